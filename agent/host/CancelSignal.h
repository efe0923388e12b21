// Ctrl-C and termination requests turned into the host's cancel state.
//
// While a CancelSignal lives, SIGINT and SIGTERM are blocked in every thread the
// process starts afterwards and taken by one watcher thread, which cancels the
// job it was given (CVMInfo::CancelJob) and records that a cancel came. Create
// it before any other thread. A second signal after a cancel ends the process.
//
// The two signals are taken alike, so every long command must stop on either:
// a plugin job through watch(), work of the agent's own (verify, export) by
// polling cancelled() between pieces of work.
#pragma once

#include <signal.h>

#include <atomic>
#include <thread>

class CVMInfo;

namespace vsagent {

class CancelSignal {
public:
    CancelSignal();
    ~CancelSignal();
    CancelSignal(const CancelSignal&) = delete;
    CancelSignal& operator=(const CancelSignal&) = delete;

    // The job that a signal cancels from now on (none: only the flag is set).
    void watch(CVMInfo* job);
    bool cancelled() const { return cancelled_; }

private:
    void run();

    sigset_t signals_;
    sigset_t previousMask_;
    std::atomic<CVMInfo*> job_{nullptr};
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> stop_{false};
    std::thread watcher_;
};

}  // namespace vsagent
