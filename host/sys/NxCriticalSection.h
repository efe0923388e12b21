// Recursive lock of the host framework, and a scoped holder for it.
#pragma once

#include <mutex>

class NxCriticalSection {
public:
    void enter() { mutex_.lock(); }
    void leave() { mutex_.unlock(); }
    bool tryEnter() { return mutex_.try_lock(); }
    // BasicLockable, so std::lock_guard works too.
    void lock() { enter(); }
    void unlock() { leave(); }

private:
    std::recursive_mutex mutex_;
};

// Enters the section on construction and leaves it on destruction, or earlier through leave().
class NxCriticalSectionH {
public:
    explicit NxCriticalSectionH(NxCriticalSection& cs) : cs_(&cs) { cs_->enter(); }
    ~NxCriticalSectionH() { leave(); }
    NxCriticalSectionH(const NxCriticalSectionH&) = delete;
    NxCriticalSectionH& operator=(const NxCriticalSectionH&) = delete;
    void leave() {
        if (cs_) cs_->leave();
        cs_ = nullptr;
    }

private:
    NxCriticalSection* cs_;
};
