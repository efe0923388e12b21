// Job logging of the host framework.
//
// Every message is one line: time, process id, thread id, level, tag, text.
// The tag is the full signature of the calling method. Lines go to every
// registered sink: a file sink (the job log) and, in tests, capture sinks
// that keep the lines in memory so that exact texts and tags can be checked.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

enum class EvSeverity { Debug, Error };

struct EvLogRecord {
    EvSeverity severity = EvSeverity::Debug;
    int level = 0;  // 0 for Debug and Error lines, the given level for DebugLvl
    std::string tag;
    std::string text;
};

class EvLogSink {
public:
    virtual ~EvLogSink() = default;
    virtual void write(const EvLogRecord& record, const std::string& line) = 0;
};

class EvDebug {
public:
    static void Debug(const char* tag, const char* format, ...) __attribute__((format(printf, 2, 3)));
    static void Error(const char* tag, const char* format, ...) __attribute__((format(printf, 2, 3)));
    static void DebugLvl(const char* tag, int level, const char* format, ...)
        __attribute__((format(printf, 3, 4)));

    // Name of the program that hosts the plugin; empty when the agent set none.
    static std::string getApplicationName();
    static void setApplicationName(const std::string& name);

    // Sends every following line to `path` (appending); an empty path closes the file sink.
    // Returns false when the file cannot be opened.
    static bool setLogFile(const std::string& path);

    static void addSink(EvLogSink* sink);
    static void removeSink(EvLogSink* sink);

    // printf-style formatting into a std::string (also used by FXString::Format).
    static std::string vformat(const char* format, va_list args);

private:
    static void emit(EvSeverity severity, int level, const char* tag, const char* format, va_list args);
};

// Collects log lines in memory while it lives; for tests.
class EvLogCapture : public EvLogSink {
public:
    EvLogCapture();
    ~EvLogCapture() override;
    EvLogCapture(const EvLogCapture&) = delete;
    EvLogCapture& operator=(const EvLogCapture&) = delete;

    void write(const EvLogRecord& record, const std::string& line) override;
    std::vector<EvLogRecord> records() const;
    // Texts of the lines logged under `tag`, in order.
    std::vector<std::string> texts(const std::string& tag) const;
    // True when some line carries exactly this tag and text.
    bool contains(const std::string& tag, const std::string& text) const;
    // True when some line carries this tag and exactly this text at Error severity.
    bool containsError(const std::string& tag, const std::string& text) const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<EvLogRecord> records_;
};
