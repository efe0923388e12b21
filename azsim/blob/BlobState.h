// Metadata of one version of a blob (the blob itself or a snapshot) and its
// compact binary form. Pages are counted in 512-byte units.
//
// Every write or clear takes the blob's next generation number and stamps it on
// the pages it touches; a snapshot keeps the generation it was taken at, so the
// pages changed since then are those stamped with a higher one.
#pragma once

#include <cstdint>
#include <string>

#include "azsim/blob/IntervalMap.h"
#include "azsim/blob/PageBlobStore.h"

namespace azsim::blob {

// The fixed-size start of a stored state: enough for writes to check bounds
// and pick the next generation without decoding the page maps.
struct StateHeader {
    static constexpr std::size_t kBytes = 48;
    BlobType type = BlobType::Page;
    std::uint64_t size = 0;
    std::uint64_t generation = 0;
    std::int64_t createdTicks = 0;  // 100 ns units since the epoch; makes etags unique per incarnation
    std::int64_t lastModified = 0;  // seconds since the epoch

    std::string etag() const;
};

struct BlobState {
    StateHeader header;
    BlobKey key;
    std::string snapshotId;      // set in a snapshot's own metadata
    std::string lastSnapshotId;  // newest snapshot id handed out for the blob
    IntervalMap<bool> allocated;            // pages holding data
    IntervalMap<std::uint64_t> changed;     // per page: generation of its last write or clear

    std::uint64_t pages() const { return header.size / PageBlobStore::kPageSize; }

    // Resets to a fresh version of `size` bytes, all pages unallocated and stamped
    // with the generation after `previousGeneration`.
    void restart(std::uint64_t size, std::uint64_t previousGeneration, std::int64_t nowTicks);
    void applyWrite(std::uint64_t startPage, std::uint64_t endPage, std::uint64_t generation, std::int64_t time);
    void applyClear(std::uint64_t startPage, std::uint64_t endPage, std::uint64_t generation, std::int64_t time);
};

std::string encodeState(const BlobState& state);
bool decodeState(const std::string& bytes, BlobState& out);
bool decodeHeader(const unsigned char* bytes, std::size_t length, StateHeader& out);

}  // namespace azsim::blob
