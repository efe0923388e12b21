// Progress of a job's reads on a terminal: bytes, rate and time left, redrawn
// on one line of stderr a few times a second while it lives (only when stderr
// is a terminal and showing was asked for).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace vsagent {

class Progress {
public:
    Progress(std::uint64_t totalBytes, bool show);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    std::atomic<std::uint64_t>& bytes() { return bytes_; }

    // "12.0 MiB / 48.0 MiB  25%  31.2 MB/s  ETA 1s"
    static std::string Line(std::uint64_t done, std::uint64_t total, double seconds);

private:
    void run();

    std::uint64_t total_;
    std::atomic<std::uint64_t> bytes_{0};
    std::chrono::steady_clock::time_point start_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread painter_;
};

std::string FormatBytes(std::uint64_t bytes);

}  // namespace vsagent
