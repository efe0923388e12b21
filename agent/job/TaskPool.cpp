#include "agent/job/TaskPool.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>

namespace vsagent {

void RunTasks(const std::vector<std::function<void()>>& tasks, int threads) {
    std::atomic<std::size_t> next{0};
    std::mutex mutex;
    std::exception_ptr firstFailure;
    auto worker = [&] {
        for (std::size_t i = next++; i < tasks.size(); i = next++) {
            try {
                tasks[i]();
            } catch (...) {
                std::lock_guard<std::mutex> lock(mutex);
                if (!firstFailure) firstFailure = std::current_exception();
            }
        }
    };
    if (threads <= 0) threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    const std::size_t count = std::min<std::size_t>(static_cast<std::size_t>(threads), tasks.size());
    std::vector<std::thread> pool;
    for (std::size_t i = 1; i < count; ++i) pool.emplace_back(worker);
    worker();
    for (std::thread& t : pool) t.join();
    if (firstFailure) std::rethrow_exception(firstFailure);
}

}  // namespace vsagent
