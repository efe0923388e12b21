// Reads a disk as of one backup job from the chain of images that make it up:
// zeros, overlaid with each job's stored extents from the oldest job to the newest.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "agent/store/BackupStore.h"
#include "agent/store/SparseImage.h"
#include "agent/store/StoreError.h"

namespace vsagent {

class ChainReader {
public:
    ChainReader(const std::vector<ChainLink>& links, std::uint64_t size);
    std::uint64_t size() const { return size_; }
    // Fills `out` with `length` bytes from `offset`; the range must lie within the disk.
    void read(std::uint64_t offset, std::size_t length, unsigned char* out) const;

private:
    struct Layer {
        SparseImage image;
        ExtentList extents;
    };
    std::vector<Layer> layers_;
    std::uint64_t size_;
};

// SHA-256 of the whole disk the reader presents. Both digests ask `stop` before
// each window and throw StoreCancelled when it says so.
std::string HashDisk(const ChainReader& reader, const StopRequested& stop = {});
// SHA-256 of the bytes of `extents` in one image, in order.
std::string HashExtents(const SparseImage& image, const ExtentList& extents, const StopRequested& stop = {});
// SHA-256 of a whole file.
std::string HashFile(const std::string& path);

}  // namespace vsagent
