// Runs the reads of a ReadQueue on a pool of threads. Each thread owns one
// buffer of the largest read, so memory stays at threads x 4 MiB whatever the
// size of the disks. The first failure or a cancel stops every thread after its
// current read.
#pragma once

#include <atomic>
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

struct ReadOutcome {
    enum class Status { Done, Failed, Cancelled };
    Status status = Status::Done;
    PlannedRead failedRead;
    std::string failure;          // what went wrong, when it was not the read itself
    std::uint64_t bytesRead = 0;
    std::uint64_t reads = 0;
};

ReadOutcome RunReads(ReadQueue& queue, int threads, const ReadCallbacks& callbacks,
                     std::atomic<std::uint64_t>* progressBytes = nullptr);

}  // namespace vsagent
