#include "agent/host/CancelSignal.h"

#include <unistd.h>

#include <cstdlib>
#include <ctime>

#include "host/vminfo/CVMInfo.h"

namespace vsagent {

CancelSignal::CancelSignal() {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals_, &previousMask_);
    watcher_ = std::thread([this] { run(); });
}

CancelSignal::~CancelSignal() {
    stop_ = true;
    watcher_.join();
    pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
}

void CancelSignal::watch(CVMInfo* job) {
    job_ = job;
    if (job && cancelled_) job->CancelJob();
}

void CancelSignal::run() {
    const timespec poll = {0, 100 * 1000 * 1000};
    while (!stop_) {
        if (sigtimedwait(&signals_, nullptr, &poll) < 0) continue;
        if (cancelled_) _exit(130);
        cancelled_ = true;
        if (CVMInfo* job = job_.load()) job->CancelJob();
    }
}

}  // namespace vsagent
