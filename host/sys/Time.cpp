#include "host/sys/Time.h"

#include <atomic>
#include <mutex>
#include <thread>

namespace {
std::mutex g_hookMutex;
NxSleepHook g_sleepHook;

std::mutex g_clockMutex;
bool g_clockFixed = false;
NxClock::time_point g_fixedTime;
}  // namespace

void KASLEEP(unsigned long milliseconds) {
    NxSleepHook hook;
    {
        std::lock_guard<std::mutex> lock(g_hookMutex);
        hook = g_sleepHook;
    }
    if (hook) {
        hook(milliseconds);
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

NxSleepHook NxSetSleepHook(NxSleepHook hook) {
    std::lock_guard<std::mutex> lock(g_hookMutex);
    NxSleepHook previous = std::move(g_sleepHook);
    g_sleepHook = std::move(hook);
    return previous;
}

NxClock::time_point NxClock::now() {
    std::lock_guard<std::mutex> lock(g_clockMutex);
    return g_clockFixed ? g_fixedTime : std::chrono::system_clock::now();
}

time_t NxClock::nowSeconds() { return std::chrono::system_clock::to_time_t(now()); }

struct tm NxClock::localNow() {
    time_t t = nowSeconds();
    struct tm out;
    localtime_r(&t, &out);
    return out;
}

void NxClock::fix(time_point t) {
    std::lock_guard<std::mutex> lock(g_clockMutex);
    g_clockFixed = true;
    g_fixedTime = t;
}

void NxClock::unfix() {
    std::lock_guard<std::mutex> lock(g_clockMutex);
    g_clockFixed = false;
}

struct NxRecordingSleeper::Impl {
    mutable std::mutex mutex;
    std::vector<unsigned long> waits;
    NxSleepHook previous;
};

NxRecordingSleeper::NxRecordingSleeper() : impl_(new Impl) {
    Impl* impl = impl_;
    impl_->previous = NxSetSleepHook([impl](unsigned long ms) {
        std::lock_guard<std::mutex> lock(impl->mutex);
        impl->waits.push_back(ms);
    });
}

NxRecordingSleeper::~NxRecordingSleeper() {
    NxSetSleepHook(std::move(impl_->previous));
    delete impl_;
}

std::vector<unsigned long> NxRecordingSleeper::waits() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->waits;
}
