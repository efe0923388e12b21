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

TEST(CancelSignal, InterruptCancelsTheWatchedJob) {
    CancelSignal cancel;
    CVMInfo job(VSINST_AZURE_RESOURCE_MANAGER);
    CVMInfo other(VSINST_AZURE_RESOURCE_MANAGER);
    cancel.watch(&job);
    EXPECT_FALSE(cancel.cancelled());
    ASSERT_EQ(kill(getpid(), SIGINT), 0);  // the process survives: the signal is taken, not delivered
    // The signal is passed on by another thread: give it up to ten seconds.
    for (int i = 0; i < 1000 && !job.IsJobCancelled(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(job.IsJobCancelled());
    EXPECT_TRUE(cancel.cancelled());
    EXPECT_FALSE(other.IsJobCancelled());
    // A job watched after the signal came is cancelled at once.
    cancel.watch(&other);
    EXPECT_TRUE(other.IsJobCancelled());
}

}  // namespace
