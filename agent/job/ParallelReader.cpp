#include "agent/job/ParallelReader.h"

#include "agent/store/AlignedBuffer.h"

#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace vsagent {

namespace {

class ReadRun {
public:
    ReadRun(ReadQueue& queue, const ReadCallbacks& callbacks, std::atomic<std::uint64_t>* progress)
        : queue_(queue), callbacks_(callbacks), progress_(progress) {}

    void worker() {
        AlignedBuffer buffer = MakeAlignedBuffer(kMaxReadBytes);
        PlannedRead read;
        while (!stop_) {
            if (callbacks_.cancelled && callbacks_.cancelled()) {
                finish(ReadOutcome::Status::Cancelled, read, std::string());
                return;
            }
            if (!queue_.next(read)) return;
            if (!callbacks_.read(read, buffer.get())) {
                finish(ReadOutcome::Status::Failed, read, std::string());
                return;
            }
            try {
                callbacks_.keep(read, buffer.get());
            } catch (const std::exception& e) {
                finish(ReadOutcome::Status::Failed, read, e.what());
                return;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            outcome_.bytesRead += read.bytes();
            ++outcome_.reads;
            if (progress_) *progress_ += read.bytes();
        }
    }

    ReadOutcome outcome() {
        std::lock_guard<std::mutex> lock(mutex_);
        return outcome_;
    }

private:
    void finish(ReadOutcome::Status status, const PlannedRead& read, const std::string& failure) {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
        if (outcome_.status != ReadOutcome::Status::Done) return;
        outcome_.status = status;
        outcome_.failedRead = read;
        outcome_.failure = failure;
    }

    ReadQueue& queue_;
    const ReadCallbacks& callbacks_;
    std::atomic<std::uint64_t>* progress_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    ReadOutcome outcome_;
};

}  // namespace

ReadOutcome RunReads(ReadQueue& queue, int threads, const ReadCallbacks& callbacks,
                     std::atomic<std::uint64_t>* progressBytes) {
    ReadRun run(queue, callbacks, progressBytes);
    std::vector<std::thread> pool;
    for (int i = 0; i < std::max(1, threads); ++i) pool.emplace_back([&run] { run.worker(); });
    for (std::thread& t : pool) t.join();
    ReadOutcome outcome = run.outcome();
    if (outcome.status == ReadOutcome::Status::Done && callbacks.cancelled && callbacks.cancelled())
        outcome.status = ReadOutcome::Status::Cancelled;
    return outcome;
}

}  // namespace vsagent
