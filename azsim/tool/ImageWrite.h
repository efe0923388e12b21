// Puts a disk image (a file holding a file system, say) on a page blob, so that
// the blob afterwards reads exactly as the image over the image's range.
//
// Only pages that differ from "unallocated" are touched: runs of non-zero 512-byte
// pages are written, and zero pages are cleared where the blob held data there.
// Holes of a sparse image are skipped without being read, so the cost follows the
// image's data and the blob's allocated ranges in the window, not the window's size.
#pragma once

#include <cstdint>
#include <string>

#include "azsim/blob/PageBlobStore.h"

namespace azsimtool {

struct ImageWriteCounts {
    std::uint64_t imageBytes = 0;    // the image's size
    std::uint64_t writtenBytes = 0;  // in non-zero pages written
    std::uint64_t clearedBytes = 0;  // of allocated pages cleared
};

// Writes the image at `imagePath` to `blob` at `offset` (a multiple of 512); an image whose size
// is not a multiple of 512 reads as padded with zeros to a whole page. Checks the image and the
// range before changing anything; false with `error` when they do not fit or a write fails.
bool WriteImage(azsim::PageBlobStore& store, const azsim::BlobKey& blob, const std::string& imagePath,
                std::uint64_t offset, ImageWriteCounts& counts, std::string& error);

}  // namespace azsimtool
