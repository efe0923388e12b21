// Reads a disk as of one backup job from the chain of images that make it up:
// each byte comes from the newest job that stored it, zeros where no job did.
// The chain is resolved once, when the reader is made, into a map of which job's
// image holds each range, so a read costs the bytes it returns whatever the
// depth of the chain.
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
    // Each byte is read from one image only. May be called from several threads at once.
    void read(std::uint64_t offset, std::size_t length, unsigned char* out) const;
    // The ranges where some job of the chain stored data, sorted, with touching
    // ranges joined; everything else reads as zeros.
    const ExtentList& dataExtents() const { return data_; }

private:
    // A range of the disk and the index of the image that holds its bytes.
    struct Piece {
        std::uint64_t start;
        std::uint64_t end;
        std::size_t layer;
    };
    std::vector<SparseImage> images_;
    std::vector<Piece> pieces_;  // sorted, disjoint
    ExtentList data_;
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
