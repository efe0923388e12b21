#include "agent/job/Progress.h"

#include <unistd.h>

#include <cstdio>

namespace vsagent {

std::string FormatBytes(std::uint64_t bytes) {
    static const char* kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024 && unit < 4) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof(text), unit == 0 ? "%.0f %s" : "%.1f %s", value, kUnits[unit]);
    return text;
}

std::string Progress::Line(std::uint64_t done, std::uint64_t total, double seconds) {
    double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    int percent = total ? static_cast<int>(done * 100 / total) : 100;
    char text[160];
    if (rate > 0 && done < total)
        std::snprintf(text, sizeof(text), "%s / %s  %d%%  %.1f MB/s  ETA %.0fs", FormatBytes(done).c_str(),
                      FormatBytes(total).c_str(), percent, rate / 1e6, static_cast<double>(total - done) / rate);
    else
        std::snprintf(text, sizeof(text), "%s / %s  %d%%  %.1f MB/s", FormatBytes(done).c_str(),
                      FormatBytes(total).c_str(), percent, rate / 1e6);
    return text;
}

Progress::Progress(std::uint64_t totalBytes, bool show)
    : total_(totalBytes), start_(std::chrono::steady_clock::now()) {
    if (show && isatty(STDERR_FILENO)) painter_ = std::thread([this] { run(); });
}

Progress::~Progress() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (painter_.joinable()) {
        painter_.join();
        std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
    }
}

void Progress::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, std::chrono::milliseconds(250), [this] { return stop_; })) {
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        std::fprintf(stderr, "\r\033[K  %s", Line(bytes_, total_, seconds).c_str());
        std::fflush(stderr);
    }
}

}  // namespace vsagent
