// Planning of disk reads. The read slot names a read by a block index and a
// sector count and reads bytes [blockIndex * n, blockIndex * n + n) with
// n = sectorCount * 512, so every read must start at a multiple of its own
// length. Extents are first aligned to sectors, clamped to the disk, sorted and
// merged when they touch or lie close together; they are then cut into the
// longest reads (at most 4 MiB) that this arithmetic can express. Reads are
// produced one at a time, so a plan never holds more than its extent list.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "agent/store/Extent.h"

namespace vsagent {

constexpr std::uint64_t kSectorBytes = 512;
constexpr std::uint64_t kMaxReadBytes = 4 * 1024 * 1024;
// Extents closer than this are read as one: fewer requests for a few more bytes.
constexpr std::uint64_t kMergeGapBytes = 4096;

ExtentList NormalizeExtents(ExtentList extents, std::uint64_t diskBytes, std::uint64_t mergeGap = kMergeGapBytes);

// Sectors of the longest read that may start at `offset` (a sector multiple) with
// `remaining` bytes (a sector multiple, > 0) left in its extent.
std::uint32_t ReadSectorsAt(std::uint64_t offset, std::uint64_t remaining, std::uint64_t maxBytes = kMaxReadBytes);

struct PlannedRead {
    std::size_t disk = 0;
    std::uint64_t offset = 0;
    std::uint32_t sectors = 0;
    std::uint64_t bytes() const { return std::uint64_t(sectors) * kSectorBytes; }
    std::uint64_t blockIndex() const { return offset / bytes(); }
};

// How extents are cut into reads: for the read slot, each read starts at a
// multiple of its own length; for a reader that takes any range (the store),
// reads end only at multiples of kMaxReadBytes, so an extent that starts at one
// gives whole windows of that size.
enum class ReadCut { SlotAligned, Windows };

// The reads of several disks, handed out one at a time to any number of threads,
// taking the disks in turn so that every disk is read at once.
class ReadQueue {
public:
    explicit ReadQueue(ReadCut cut = ReadCut::SlotAligned) : cut_(cut) {}
    // `extents` must be normalized and outlive the queue.
    void addDisk(std::size_t disk, const ExtentList* extents);
    bool next(PlannedRead& out);

private:
    struct Cursor {
        std::size_t disk;
        const ExtentList* extents;
        std::size_t extent = 0;
        std::uint64_t position = 0;  // within the current extent
    };
    bool advance(Cursor& cursor, PlannedRead& out);

    ReadCut cut_;
    std::mutex mutex_;
    std::vector<Cursor> cursors_;
    std::size_t turn_ = 0;
};

}  // namespace vsagent
