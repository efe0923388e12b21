#include "host/log/EvDebug.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <memory>

#include "host/sys/Time.h"

namespace {

class FileSink : public EvLogSink {
public:
    explicit FileSink(const std::string& path) : out_(path, std::ios::app) {}
    bool ok() const { return out_.good(); }
    void write(const EvLogRecord&, const std::string& line) override {
        out_ << line << '\n';
        out_.flush();
    }

private:
    std::ofstream out_;
};

struct LogState {
    std::mutex mutex;
    std::vector<EvLogSink*> sinks;
    std::unique_ptr<FileSink> fileSink;
    std::string applicationName;
};

LogState& state() {
    static LogState* s = new LogState();  // never destroyed: logging may run during static teardown
    return *s;
}

std::string linePrefix(const EvLogRecord& record) {
    auto now = NxClock::now();
    time_t secs = std::chrono::system_clock::to_time_t(now);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    struct tm local;
    localtime_r(&secs, &local);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03lld", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<long long>(ms));
    const char* level = record.severity == EvSeverity::Error ? "ERR" : "DBG";
    char head[160];
    std::snprintf(head, sizeof head, "%s %d %ld %s%d ", stamp, static_cast<int>(getpid()),
                  static_cast<long>(syscall(SYS_gettid)), level, record.level);
    return head;
}

}  // namespace

std::string EvDebug::vformat(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    char small[512];
    int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
    std::string out(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(&out[0], out.size(), format, args);
    out.resize(static_cast<size_t>(n));
    return out;
}

void EvDebug::emit(EvSeverity severity, int level, const char* tag, const char* format, va_list args) {
    EvLogRecord record;
    record.severity = severity;
    record.level = level;
    record.tag = tag ? tag : "";
    record.text = vformat(format, args);
    LogState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.sinks.empty() && !s.fileSink) return;
    std::string line = linePrefix(record) + "[" + record.tag + "] " + record.text;
    if (s.fileSink) s.fileSink->write(record, line);
    for (EvLogSink* sink : s.sinks) sink->write(record, line);
}

void EvDebug::Debug(const char* tag, const char* format, ...) {
    va_list args;
    va_start(args, format);
    emit(EvSeverity::Debug, 0, tag, format, args);
    va_end(args);
}

void EvDebug::Error(const char* tag, const char* format, ...) {
    va_list args;
    va_start(args, format);
    emit(EvSeverity::Error, 0, tag, format, args);
    va_end(args);
}

void EvDebug::DebugLvl(const char* tag, int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    emit(EvSeverity::Debug, level, tag, format, args);
    va_end(args);
}

std::string EvDebug::getApplicationName() {
    LogState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.applicationName;
}

void EvDebug::setApplicationName(const std::string& name) {
    LogState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.applicationName = name;
}

bool EvDebug::setLogFile(const std::string& path) {
    std::unique_ptr<FileSink> sink;
    if (!path.empty()) {
        sink.reset(new FileSink(path));
        if (!sink->ok()) return false;
    }
    LogState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.fileSink = std::move(sink);
    return true;
}

void EvDebug::addSink(EvLogSink* sink) {
    LogState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.sinks.push_back(sink);
}

void EvDebug::removeSink(EvLogSink* sink) {
    LogState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.sinks.erase(std::remove(s.sinks.begin(), s.sinks.end(), sink), s.sinks.end());
}

EvLogCapture::EvLogCapture() { EvDebug::addSink(this); }
EvLogCapture::~EvLogCapture() { EvDebug::removeSink(this); }

void EvLogCapture::write(const EvLogRecord& record, const std::string&) {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.push_back(record);
}

std::vector<EvLogRecord> EvLogCapture::records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
}

std::vector<std::string> EvLogCapture::texts(const std::string& tag) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (const auto& r : records_)
        if (r.tag == tag) out.push_back(r.text);
    return out;
}

bool EvLogCapture::contains(const std::string& tag, const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& r : records_)
        if (r.tag == tag && r.text == text) return true;
    return false;
}

bool EvLogCapture::containsError(const std::string& tag, const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& r : records_)
        if (r.tag == tag && r.text == text && r.severity == EvSeverity::Error) return true;
    return false;
}

void EvLogCapture::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.clear();
}
