// A byte range of a disk: where data was read from and stored at.
#pragma once

#include <cstdint>
#include <vector>

namespace vsagent {

struct Extent {
    std::uint64_t start = 0;
    std::uint64_t length = 0;
    std::uint64_t end() const { return start + length; }
    bool operator==(const Extent& o) const { return start == o.start && length == o.length; }
};

using ExtentList = std::vector<Extent>;

// The bytes the extents cover, counted as they are (overlaps twice).
inline std::uint64_t TotalBytes(const ExtentList& extents) {
    std::uint64_t total = 0;
    for (const Extent& e : extents) total += e.length;
    return total;
}

}  // namespace vsagent
