// Runs the reads of a ReadQueue on a pool of threads. Each thread owns one
// buffer of the largest read, so memory stays at threads x 4 MiB whatever the
// size of the disks. The first failure or a cancel stops every thread after its
// current read.
//
// Every read is one request to the cloud, and every request waits out the
// service's latency before its bytes flow, so a few threads spend most of their
// time waiting. The number of threads is either fixed or tuned while the run
// goes: it starts high enough to hide a typical latency and grows step by step
// while each step still raises the throughput; the first step that does not is
// taken back, since more threads than pay cost memory and switching.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "agent/job/ReadPlan.h"

namespace vsagent {

struct ReadCallbacks {
    // Reads one planned read into `buffer`; false when the read failed.
    std::function<bool(const PlannedRead&, unsigned char* buffer)> read;
    // Keeps the bytes of a successful read; may throw (the run then fails with its text).
    std::function<void(const PlannedRead&, const unsigned char* data)> keep;
    std::function<bool()> cancelled;
};

// How many reads run at once.
struct ReadConcurrency {
    int initial = 16;        // threads at the start
    int cap = 32;            // never more than this
    int step = 8;            // threads added at a time
    double minGain = 0.15;   // a step must raise the throughput by this share to be kept
    // One measurement; the first period at every count is left out, while the new
    // threads open their connections and fill the pipe.
    std::chrono::milliseconds period{200};

    // Exactly `threads` threads (at least one), never tuned.
    static ReadConcurrency Fixed(int threads);
    bool tuned() const { return cap > initial; }
};

// The decision rule of a tuned run, fed with the throughput of each period.
class ConcurrencyTuner {
public:
    explicit ConcurrencyTuner(const ReadConcurrency& concurrency);
    int threads() const { return threads_; }
    // No further change will come.
    bool settled() const { return settled_; }
    // Takes the bytes per second of the period that just ended at threads();
    // returns the thread count for the next one.
    int observe(double bytesPerSecond);

private:
    void grow();

    ReadConcurrency concurrency_;
    int threads_;
    bool settled_;
    bool warmingUp_ = true;
    int previous_ = 0;    // the count before the last step
    double before_ = -1;  // throughput at that count; -1 before the first measurement
};

struct ReadOutcome {
    enum class Status { Done, Failed, Cancelled };
    Status status = Status::Done;
    PlannedRead failedRead;
    std::string failure;          // what went wrong, when it was not the read itself
    std::uint64_t bytesRead = 0;
    std::uint64_t reads = 0;
    int threads = 0;              // threads started in all (the most that ran at once)
};

// `threads` > 0: that many threads; otherwise a tuned count (ReadConcurrency's defaults).
ReadOutcome RunReads(ReadQueue& queue, int threads, const ReadCallbacks& callbacks,
                     std::atomic<std::uint64_t>* progressBytes = nullptr);
ReadOutcome RunReads(ReadQueue& queue, const ReadConcurrency& concurrency, const ReadCallbacks& callbacks,
                     std::atomic<std::uint64_t>* progressBytes = nullptr);

}  // namespace vsagent
