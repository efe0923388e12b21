#include "agent/job/ReadPlan.h"

#include <algorithm>

namespace vsagent {

ExtentList NormalizeExtents(ExtentList extents, std::uint64_t diskBytes, std::uint64_t mergeGap) {
    ExtentList aligned;
    aligned.reserve(extents.size());
    const std::uint64_t limit = diskBytes / kSectorBytes * kSectorBytes;
    for (const Extent& e : extents) {
        std::uint64_t start = e.start / kSectorBytes * kSectorBytes;
        std::uint64_t end = std::min(limit, (e.end() + kSectorBytes - 1) / kSectorBytes * kSectorBytes);
        if (e.length > 0 && e.end() > e.start && start < end) aligned.push_back({start, end - start});
    }
    std::sort(aligned.begin(), aligned.end(), [](const Extent& a, const Extent& b) { return a.start < b.start; });
    ExtentList merged;
    for (const Extent& e : aligned) {
        if (!merged.empty() && e.start <= merged.back().end() + mergeGap)
            merged.back().length = std::max(merged.back().end(), e.end()) - merged.back().start;
        else
            merged.push_back(e);
    }
    return merged;
}

std::uint32_t ReadSectorsAt(std::uint64_t offset, std::uint64_t remaining, std::uint64_t maxBytes) {
    const std::uint64_t position = offset / kSectorBytes;
    std::uint64_t sectors = std::min(remaining, maxBytes) / kSectorBytes;
    // The longest length that divides the position; a power of two dividing it is a quick lower bound.
    std::uint64_t powerOfTwo = position == 0 ? sectors : (position & (~position + 1));
    while (powerOfTwo > sectors) powerOfTwo >>= 1;
    for (; sectors > powerOfTwo; --sectors)
        if (position % sectors == 0) break;
    return static_cast<std::uint32_t>(std::max<std::uint64_t>(sectors, powerOfTwo));
}

void ReadQueue::addDisk(std::size_t disk, const ExtentList* extents) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!extents->empty()) cursors_.push_back({disk, extents});
}

bool ReadQueue::advance(Cursor& cursor, PlannedRead& out) {
    if (cursor.extent >= cursor.extents->size()) return false;
    const Extent& extent = (*cursor.extents)[cursor.extent];
    out.disk = cursor.disk;
    out.offset = extent.start + cursor.position;
    const std::uint64_t remaining = extent.length - cursor.position;
    out.sectors = cut_ == ReadCut::Windows
                      ? static_cast<std::uint32_t>(
                            std::min(remaining, kMaxReadBytes - out.offset % kMaxReadBytes) / kSectorBytes)
                      : ReadSectorsAt(out.offset, remaining);
    cursor.position += out.bytes();
    if (cursor.position >= extent.length) {
        ++cursor.extent;
        cursor.position = 0;
    }
    return true;
}

bool ReadQueue::next(PlannedRead& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t tried = 0; tried < cursors_.size(); ++tried) {
        Cursor& cursor = cursors_[turn_ % cursors_.size()];
        ++turn_;
        if (advance(cursor, out)) return true;
    }
    return false;
}

}  // namespace vsagent
