// A disk of a backup job rebuilt as a full image from the job's chain, in the
// store, without the cloud: what retention does to the oldest job it keeps of a
// chain whose older jobs it removes.
#pragma once

#include <string>

#include "agent/store/BackupStore.h"
#include "agent/store/StoreError.h"

namespace vsagent {

// Writes disk `disk` of `job` as of that job into a new image at `path` (flushed)
// and returns the disk's record as it reads from there: the new image's name, the
// extents that hold data anywhere in the chain, their SHA-256, no parent. The
// disk's recorded digest must come out of the new image unchanged (every window of
// a windowed digest, or the whole-disk SHA-256 of the older format); otherwise, or
// when `stop` says so, the image is removed and StoreError (StoreCancelled) thrown.
DiskRecord BuildSyntheticDisk(const BackupStore& store, const Manifest& job, std::size_t disk, const std::string& path,
                              const StopRequested& stop = {});

}  // namespace vsagent
