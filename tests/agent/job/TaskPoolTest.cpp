#include "agent/job/TaskPool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace vsagent {
namespace {

TEST(TaskPool, RunsEveryTaskOnceWithBoundedConcurrencyAndReportsTheFirstFailure) {
    std::vector<int> runs(9, 0);
    std::atomic<int> running{0};
    std::atomic<int> peak{0};
    std::vector<std::function<void()>> tasks;
    for (std::size_t i = 0; i < runs.size(); ++i)
        tasks.emplace_back([&, i] {
            int now = ++running;
            for (int seen = peak; now > seen && !peak.compare_exchange_weak(seen, now);) {
            }
            // The first task waits (boundedly) for a second one to start beside it.
            for (int waited = 0; i == 0 && peak < 2 && waited < 5000; ++waited)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            ++runs[i];
            --running;
            if (i == 2) throw std::runtime_error("third task failed");
        });
    try {
        RunTasks(tasks, 3);
        FAIL() << "the failure of a task was not reported";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("third task failed", e.what());
    }
    // The failure did not stop the other tasks, and none ran twice.
    for (int count : runs) EXPECT_EQ(1, count);
    EXPECT_LE(peak.load(), 3);
    EXPECT_GE(peak.load(), 2);
}

TEST(TaskPool, NoThreadCountMeansOnePerProcessor) {
    const int processors = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    std::atomic<int> running{0};
    std::atomic<int> peak{0};
    // Tasks long enough to overlap, so that a pool of any other size would show in the peak.
    std::vector<std::function<void()>> tasks(static_cast<std::size_t>(2 * processors + 1), [&] {
        int now = ++running;
        for (int seen = peak; now > seen && !peak.compare_exchange_weak(seen, now);) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        --running;
    });
    RunTasks(tasks, 0);
    EXPECT_LE(peak.load(), processors);
    EXPECT_GE(peak.load(), std::min(2, processors));
}

}  // namespace
}  // namespace vsagent
