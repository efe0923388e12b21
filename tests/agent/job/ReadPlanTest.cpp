// Read planning: every read expressible as blockIndex x sectorCount, at most
// 4 MiB, covering exactly the merged extents; the reading pool's bounds.
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include "agent/job/ParallelReader.h"
#include "agent/job/ReadPlan.h"

using namespace vsagent;

namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;

std::vector<PlannedRead> Drain(ReadQueue& queue) {
    std::vector<PlannedRead> out;
    PlannedRead r;
    while (queue.next(r)) out.push_back(r);
    return out;
}

TEST(ReadPlan, ExtentsAreAlignedClampedSortedAndMergedWhenClose) {
    ExtentList in = {{10 * kMiB, 4096}, {100, 10}, {8192, 4096}, {12288, 512}, {20480, 512},
                     {(10 * kMiB) + 4096 + 4096, 512}, {30 * kMiB, kMiB}, {5, 0}};
    ExtentList out = NormalizeExtents(in, 30 * kMiB + 1024);
    ExtentList expected = {{0, 512}, {8192, 4608}, {20480, 512}, {10 * kMiB, 8704}, {30 * kMiB, 1024}};
    EXPECT_EQ(out, expected);
    // Without a merge gap only touching or overlapping extents join.
    EXPECT_EQ(NormalizeExtents({{0, 4096}, {4096, 512}, {8192, 512}, {1024, 100}}, kMiB, 0),
              (ExtentList{{0, 4608}, {8192, 512}}));
}

TEST(ReadPlan, ReadsStartAtAMultipleOfTheirOwnLength) {
    // 3 MiB at block 1 (third); the largest length dividing 6 MiB (last).
    std::vector<std::uint32_t> sectors;
    for (const auto& [offset, remaining] : {std::pair<std::uint64_t, std::uint64_t>{0, 64 * kMiB}, {0, 3 * 512},
                                            {3 * kMiB, 6 * kMiB}, {4 * kMiB, 6 * kMiB}, {512, kMiB}, {1536, kMiB},
                                            {6 * kMiB, 2 * kMiB + 4096}})
        sectors.push_back(ReadSectorsAt(offset, remaining));
    EXPECT_EQ(sectors, (std::vector<std::uint32_t>{8192, 3, 6144, 8192, 1, 3, 4096}));
}

TEST(ReadPlan, QueueCoversEveryExtentExactlyWithExpressibleReads) {
    ExtentList a = NormalizeExtents({{512, 11 * kMiB + 1536}, {40 * kMiB + 3584, 9 * kMiB}}, 64 * kMiB, 0);
    ExtentList b = NormalizeExtents({{0, 9 * kMiB}}, 64 * kMiB, 0);
    ReadQueue queue;
    queue.addDisk(0, &a);
    queue.addDisk(1, &b);
    std::vector<PlannedRead> reads = Drain(queue);
    std::vector<ExtentList> covered(2);
    for (const PlannedRead& r : reads) {
        ASSERT_LE(r.bytes(), 4 * kMiB);
        ASSERT_EQ(r.blockIndex() * r.bytes(), r.offset);
        ExtentList& disk = covered[r.disk];
        ASSERT_TRUE(disk.empty() || disk.back().end() <= r.offset);  // in order, no overlap
        disk.push_back({r.offset, r.bytes()});
    }
    // Joined where they touch, the reads are the extents: no gap, nothing more.
    EXPECT_EQ(NormalizeExtents(covered[0], 64 * kMiB, 0), a);
    EXPECT_EQ(NormalizeExtents(covered[1], 64 * kMiB, 0), b);
    EXPECT_EQ(std::make_pair(reads[0].disk, reads[1].disk), std::make_pair(std::size_t{0}, std::size_t{1}));  // disks take turns
}

// The reads of one disk, run on `threads` threads or a tuned pool.
template <class Threads>
ReadOutcome ReadDisk(const ExtentList& disk, Threads threads, const ReadCallbacks& callbacks,
                     std::atomic<std::uint64_t>* progress = nullptr) {
    ReadQueue queue;
    queue.addDisk(0, &disk);
    return RunReads(queue, threads, callbacks, progress);
}

class FakeDisk {
public:
    bool read(const PlannedRead& r, unsigned char* buffer) {
        int now = ++inFlight;
        int seen = peak.load();
        while (now > seen && !peak.compare_exchange_weak(seen, now)) {
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            buffers.insert(buffer);
        }
        std::this_thread::yield();
        --inFlight;
        return !(failAt && r.offset == *failAt);
    }
    std::atomic<int> inFlight{0};
    std::atomic<int> peak{0};
    std::mutex mutex;
    std::set<unsigned char*> buffers;
    std::optional<std::uint64_t> failAt;
};

TEST(ParallelReader, FirstFailureOrCancelStopsTheRun) {
    ExtentList disk = {{0, 256 * kMiB}};
    FakeDisk fake;
    fake.failAt = 40 * kMiB;
    ReadCallbacks callbacks;
    callbacks.read = [&](const PlannedRead& r, unsigned char* b) { return fake.read(r, b); };
    callbacks.keep = [](const PlannedRead&, const unsigned char*) {};
    ReadOutcome failed = ReadDisk(disk, 2, callbacks);
    EXPECT_EQ(std::make_pair(failed.status, failed.failedRead.offset), std::make_pair(ReadOutcome::Status::Failed, 40 * kMiB));
    EXPECT_LT(failed.reads, 64u);

    fake.failAt.reset();
    callbacks.keep = [](const PlannedRead& r, const unsigned char*) {
        if (r.offset == 8 * kMiB) throw std::runtime_error("disk full");
    };
    ReadOutcome notKept = ReadDisk(disk, 2, callbacks);
    EXPECT_EQ(std::make_pair(notKept.status, notKept.failure),
              std::make_pair(ReadOutcome::Status::Failed, std::string("disk full")));

    std::atomic<int> reads{0};
    callbacks.keep = [](const PlannedRead&, const unsigned char*) {};
    callbacks.read = [&](const PlannedRead&, unsigned char*) { return ++reads > 0; };
    callbacks.cancelled = [&] { return reads >= 5; };
    ReadOutcome stopped = ReadDisk(disk, 2, callbacks);
    EXPECT_EQ(stopped.status, ReadOutcome::Status::Cancelled);
    EXPECT_LT(stopped.reads, 10u);

    // A cancel that comes after the worker's last look still cancels the run: the
    // worker looks before each of the two reads and before finding the queue empty.
    const ExtentList small = {{0, 8 * kMiB}};
    int looks = 0;
    callbacks.cancelled = [&] { return ++looks > 3; };
    ReadOutcome late = ReadDisk(small, 1, callbacks);
    EXPECT_EQ(std::make_pair(late.reads, late.status), std::make_pair(std::uint64_t{2}, ReadOutcome::Status::Cancelled));
}

// The thread count after each throughput fed in, with "s" once settled; every measured
// period follows a warm-up one (fed 1 here), which is left out.
TEST(ConcurrencyTuner, GrowsWhileEachStepPaysAndTakesBackTheFirstThatDoesNot) {
    ReadConcurrency capped;  // 16 threads, +8 a step, up to 32, a step must gain 15%
    capped.cap = 20;
    const struct {
        ReadConcurrency concurrency;
        std::vector<double> rates;
        std::string trace;
    } rows[] = {
        // The first measurement always tries a step; over 15% is worth another; at the cap, whatever the gain.
        {ReadConcurrency(), {100, 116, 1000}, "16 16 24 24 32 32 32s"},
        // Under 15%: the step is taken back, and none is tried later.
        {ReadConcurrency(), {100, 114, 1000}, "16 16 24 24 16s 16s 16s"},
        {capped, {100}, "16 16 20"},  // a step never passes the cap
        {ReadConcurrency::Fixed(5), {100}, "5s 5s 5s"},
        {ReadConcurrency::Fixed(0), {}, "1s"},
    };
    for (const auto& row : rows) {
        ConcurrencyTuner tuner(row.concurrency);
        auto state = [&tuner](int threads) { return std::to_string(threads) + (tuner.settled() ? "s" : ""); };
        std::string trace = state(tuner.threads());
        for (double rate : row.rates) {
            trace += " " + state(tuner.observe(1));
            trace += " " + state(tuner.observe(rate));
        }
        EXPECT_EQ(trace, row.trace);
    }
}

// Each byte once, with one buffer per thread whatever the disk size.
TEST(ParallelReader, TunedRunReadsEverythingOnceWithinItsCap) {
    FakeDisk fake;
    std::mutex mutex;
    std::set<std::uint64_t> offsets;
    ReadCallbacks callbacks;
    callbacks.read = [&](const PlannedRead& r, unsigned char* b) {
        std::this_thread::sleep_for(std::chrono::microseconds(500));
        return fake.read(r, b);
    };
    callbacks.keep = [&](const PlannedRead& r, const unsigned char*) {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_TRUE(offsets.insert(r.offset).second);
    };
    ReadConcurrency c;
    c.initial = 2;
    c.step = 2;
    c.cap = 6;
    c.period = std::chrono::milliseconds(1);
    std::atomic<std::uint64_t> progress{0};
    ReadOutcome outcome = ReadDisk({{0, 512 * kMiB}}, c, callbacks, &progress);
    EXPECT_EQ(std::make_tuple(outcome.status, outcome.reads, offsets.size(), progress.load()),
              std::make_tuple(ReadOutcome::Status::Done, std::uint64_t{128}, std::size_t{128}, 512 * kMiB));
    EXPECT_GE(outcome.threads, 2);
    EXPECT_LE(std::max({outcome.threads, fake.peak.load(), static_cast<int>(fake.buffers.size())}), 6);
}

}  // namespace
