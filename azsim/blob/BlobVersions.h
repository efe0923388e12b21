// Loading and storing the metadata of a blob's versions, shared by the store's
// lifecycle and data operations. Callers hold the blob's lock.
#pragma once

#include <string>

#include "azsim/blob/BlobFolder.h"
#include "azsim/blob/BlobState.h"

namespace azsim::blob {

// Empty (the blob itself) or a well-formed snapshot id.
bool validVersion(const std::string& snapshot);
std::string describe(const BlobKey& key);
std::string invalidName(const BlobKey& key);
std::string missing(const BlobKey& key);
std::string notPageBlob(const BlobKey& key);
bool fail(std::string* error, const std::string& text);

// The fixed part of a version's metadata; for the blob itself, its generation and
// time are those of the last journalled change. Costs two small reads.
bool loadHeader(const BlobFolder& folder, const std::string& snapshot, StateHeader& out);
// A snapshot's metadata, or the blob's with its journal replayed on top.
bool loadVersion(const BlobFolder& folder, const std::string& snapshot, BlobState& out);
// Rewrites the blob's metadata from `state` and empties its journal.
bool saveCurrent(const BlobFolder& folder, const BlobState& state, std::string* error);
// Gives the blob new content: `dataFile` is moved in as its data and the metadata starts
// afresh, every page changed, while the generation counter and snapshot ids carry on so
// that the blob's older snapshots still compare correctly with it.
bool installVersion(const BlobFolder& folder, const BlobKey& key, BlobType type, std::uint64_t size,
                    const IntervalMap<bool>& allocated, const std::string& dataFile, std::string* error);

}  // namespace azsim::blob
