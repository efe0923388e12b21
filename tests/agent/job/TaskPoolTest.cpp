#include "agent/job/TaskPool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace vsagent {
namespace {

// On one thread, on three, and on no thread count given, which means one per processor.
TEST(TaskPool, RunsEveryTaskOnceWithBoundedConcurrencyAndReportsTheFirstFailure) {
    const int processors = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    for (const auto& [threads, limit] : {std::pair{1, 1}, std::pair{3, 3}, std::pair{0, processors}}) {
        SCOPED_TRACE(threads);
        std::vector<int> runs(static_cast<std::size_t>(2 * limit + 1), 0);
        std::atomic<int> running{0};
        std::atomic<int> peak{0};
        std::vector<std::function<void()>> tasks;
        for (std::size_t i = 0; i < runs.size(); ++i)
            tasks.emplace_back([&, i] {
                int now = ++running;
                for (int seen = peak; now > seen && !peak.compare_exchange_weak(seen, now);) {
                }
                // The first task waits (boundedly) for a second one to start beside it; all last long
                // enough to overlap, so that a pool of any other size would show in the peak.
                for (int waited = 0; i == 0 && peak < std::min(2, limit) && waited < 5000; ++waited)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                ++runs[i];
                --running;
                if (i == 1) throw std::runtime_error("second task failed");
            });
        try {
            RunTasks(tasks, threads);
            ADD_FAILURE() << "the failure of a task was not reported";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ("second task failed", e.what());
        }
        // The failure did not stop the other tasks, and none ran twice.
        EXPECT_EQ(runs, std::vector<int>(runs.size(), 1));
        EXPECT_LE(peak.load(), limit);
        EXPECT_GE(peak.load(), std::min(2, limit));
    }
}

}  // namespace
}  // namespace vsagent
