#include "agent/job/ParallelReader.h"

#include "agent/store/AlignedBuffer.h"
#include "host/log/EvDebug.h"

#include <algorithm>
#include <condition_variable>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace vsagent {

namespace {

const char* const kTag =
    "ReadOutcome vsagent::RunReads(ReadQueue&, const ReadConcurrency&, const ReadCallbacks&, std::atomic<uint64_t>*)";

// Threads start this far apart, so that their first connections do not reach the
// server all at once: a server with a short queue of pending connections drops
// those beyond it, and TCP retries a dropped one only after a second.
constexpr std::chrono::milliseconds kStartGap{2};

class ReadRun {
public:
    ReadRun(ReadQueue& queue, const ReadCallbacks& callbacks, std::atomic<std::uint64_t>* progress)
        : queue_(queue), callbacks_(callbacks), progress_(progress) {}

    // Called before each thread starts, so that the run counts it from then on.
    void starting() {
        std::lock_guard<std::mutex> lock(mutex_);
        ++running_;
    }

    void worker(int index) {
        work(index);
        std::lock_guard<std::mutex> lock(mutex_);
        --running_;
        changed_.notify_all();
    }

    // Threads from `count` on end after their current read.
    void limit(int count) { limit_ = count; }

    // More threads would find reads to do: none has found the queue empty, none failed or was cancelled.
    bool open() {
        std::lock_guard<std::mutex> lock(mutex_);
        return !drained_ && !stop_;
    }

    // Waits `period` at most; false as soon as the run is no longer open or no thread runs.
    bool waitFor(std::chrono::milliseconds period) {
        std::unique_lock<std::mutex> lock(mutex_);
        auto ended = [this] { return drained_ || stop_ || running_ == 0; };
        changed_.wait_for(lock, period, ended);
        return !ended();
    }

    std::uint64_t bytesRead() {
        std::lock_guard<std::mutex> lock(mutex_);
        return outcome_.bytesRead;
    }

    ReadOutcome outcome() {
        std::lock_guard<std::mutex> lock(mutex_);
        return outcome_;
    }

private:
    void work(int index) {
        AlignedBuffer buffer = MakeAlignedBuffer(kMaxReadBytes);
        PlannedRead read;
        while (!stop_ && index < limit_) {
            if (callbacks_.cancelled && callbacks_.cancelled()) {
                finish(ReadOutcome::Status::Cancelled, read, std::string());
                return;
            }
            if (!queue_.next(read)) {
                std::lock_guard<std::mutex> lock(mutex_);
                drained_ = true;
                changed_.notify_all();
                return;
            }
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

    void finish(ReadOutcome::Status status, const PlannedRead& read, const std::string& failure) {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
        changed_.notify_all();
        if (outcome_.status != ReadOutcome::Status::Done) return;
        outcome_.status = status;
        outcome_.failedRead = read;
        outcome_.failure = failure;
    }

    ReadQueue& queue_;
    const ReadCallbacks& callbacks_;
    std::atomic<std::uint64_t>* progress_;
    std::atomic<bool> stop_{false};
    std::atomic<int> limit_{std::numeric_limits<int>::max()};
    std::mutex mutex_;
    std::condition_variable changed_;
    bool drained_ = false;
    int running_ = 0;
    ReadOutcome outcome_;
};

}  // namespace

ReadConcurrency ReadConcurrency::Fixed(int threads) {
    ReadConcurrency fixed;
    fixed.initial = fixed.cap = std::max(1, threads);
    return fixed;
}

ConcurrencyTuner::ConcurrencyTuner(const ReadConcurrency& concurrency)
    : concurrency_(concurrency),
      threads_(std::max(1, concurrency.initial)),
      settled_(!concurrency.tuned() || concurrency.step < 1) {}

int ConcurrencyTuner::observe(double bytesPerSecond) {
    if (settled_) return threads_;
    if (warmingUp_) {
        warmingUp_ = false;
        return threads_;
    }
    if (before_ < 0 || bytesPerSecond >= before_ * (1 + concurrency_.minGain)) {
        before_ = bytesPerSecond;
        grow();
    } else {
        // The step did not pay: its threads only cost memory and switching.
        threads_ = previous_;
        settled_ = true;
    }
    return threads_;
}

void ConcurrencyTuner::grow() {
    if (threads_ >= concurrency_.cap) {
        settled_ = true;
        return;
    }
    previous_ = threads_;
    threads_ = std::min(concurrency_.cap, threads_ + concurrency_.step);
    warmingUp_ = true;
}

ReadOutcome RunReads(ReadQueue& queue, int threads, const ReadCallbacks& callbacks,
                     std::atomic<std::uint64_t>* progressBytes) {
    return RunReads(queue, threads > 0 ? ReadConcurrency::Fixed(threads) : ReadConcurrency(), callbacks,
                    progressBytes);
}

ReadOutcome RunReads(ReadQueue& queue, const ReadConcurrency& concurrency, const ReadCallbacks& callbacks,
                     std::atomic<std::uint64_t>* progressBytes) {
    ReadRun run(queue, callbacks, progressBytes);
    ConcurrencyTuner tuner(concurrency);
    std::vector<std::thread> pool;
    auto runOn = [&](int count) {
        run.limit(count);
        while (static_cast<int>(pool.size()) < count && run.open()) {
            if (!pool.empty()) std::this_thread::sleep_for(kStartGap);
            run.starting();
            pool.emplace_back([&run, index = static_cast<int>(pool.size())] { run.worker(index); });
        }
    };
    runOn(tuner.threads());
    auto mark = std::chrono::steady_clock::now();
    std::uint64_t bytesAtMark = 0;
    while (!tuner.settled() && run.waitFor(concurrency.period)) {
        auto now = std::chrono::steady_clock::now();
        std::uint64_t bytes = run.bytesRead();
        double seconds = std::chrono::duration<double>(now - mark).count();
        double rate = seconds > 0 ? static_cast<double>(bytes - bytesAtMark) / seconds : 0;
        int before = tuner.threads();
        int next = tuner.observe(rate);
        if (next != before)
            EvDebug::Debug(kTag, "Reading with %d threads: %.1f MB/s with %d", next, rate / 1e6, before);
        else if (tuner.settled())
            EvDebug::Debug(kTag, "Reading with %d threads: %.1f MB/s", next, rate / 1e6);
        runOn(next);
        mark = now;
        bytesAtMark = bytes;
    }
    for (std::thread& t : pool) t.join();
    ReadOutcome outcome = run.outcome();
    outcome.threads = static_cast<int>(pool.size());
    if (outcome.status == ReadOutcome::Status::Done && callbacks.cancelled && callbacks.cancelled())
        outcome.status = ReadOutcome::Status::Cancelled;
    EvDebug::Debug(kTag, "Read %llu bytes in %llu reads on %d threads, %d at the end",
                   static_cast<unsigned long long>(outcome.bytesRead), static_cast<unsigned long long>(outcome.reads),
                   outcome.threads, tuner.threads());
    return outcome;
}

}  // namespace vsagent
