// Ctrl-C reaches the job through the host's cancel state.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "agent/host/CancelSignal.h"
#include "host/vminfo/CVMInfo.h"

using namespace vsagent;

namespace {

bool WaitFor(const std::function<bool()>& condition) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return condition();
}

TEST(CancelSignal, InterruptCancelsTheWatchedJob) {
    CancelSignal cancel;
    CVMInfo job(VSINST_AZURE_RESOURCE_MANAGER);
    CVMInfo other(VSINST_AZURE_RESOURCE_MANAGER);
    cancel.watch(&job);
    EXPECT_FALSE(cancel.cancelled());
    ASSERT_EQ(kill(getpid(), SIGINT), 0);  // the process survives: the signal is taken, not delivered
    EXPECT_TRUE(WaitFor([&] { return job.IsJobCancelled(); }));
    EXPECT_TRUE(cancel.cancelled());
    EXPECT_FALSE(other.IsJobCancelled());
    // A job watched after the signal came is cancelled at once.
    cancel.watch(&other);
    EXPECT_TRUE(other.IsJobCancelled());
}

}  // namespace
