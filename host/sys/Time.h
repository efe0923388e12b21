// Waits and wall-clock time of the host framework. Both go through hooks so
// that tests can record requested waits instead of sleeping, and fix the time.
#pragma once

#include <chrono>
#include <ctime>
#include <functional>
#include <vector>

// Waits `milliseconds`, or hands the request to the installed sleep hook.
void KASLEEP(unsigned long milliseconds);

using NxSleepHook = std::function<void(unsigned long milliseconds)>;
// Installs `hook` (an empty hook restores real sleeping) and returns the previous one.
NxSleepHook NxSetSleepHook(NxSleepHook hook);

class NxClock {
public:
    using time_point = std::chrono::system_clock::time_point;
    static time_point now();
    static time_t nowSeconds();
    // Local time of now(), broken down.
    static struct tm localNow();
    // Fixes the clock at `t` until unfix().
    static void fix(time_point t);
    static void unfix();
};

// Test helper: records every requested wait while it lives and restores the previous hook after.
class NxRecordingSleeper {
public:
    NxRecordingSleeper();
    ~NxRecordingSleeper();
    NxRecordingSleeper(const NxRecordingSleeper&) = delete;
    NxRecordingSleeper& operator=(const NxRecordingSleeper&) = delete;
    std::vector<unsigned long> waits() const;

private:
    struct Impl;
    Impl* impl_;
};
