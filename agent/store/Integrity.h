// Checks and exports of stored jobs.
#pragma once

#include <string>
#include <vector>

#include "agent/store/BackupStore.h"
#include "agent/store/StoreError.h"

namespace vsagent {

// What verify found for one job: one line per problem; empty when the job is sound.
struct VerifyResult {
    long long jobId = 0;
    std::vector<std::string> problems;
    std::uint64_t bytesChecked = 0;
};

// Re-hashes what the manifest of `job` promises: each image's stored extents, each
// disk as assembled from its chain (with a windowed digest: the windows this job's
// extents touch, and the root over all windows), and the configuration files. Throws
// StoreCancelled when `stop` says so.
VerifyResult VerifyJob(const BackupStore& store, const Manifest& job, const StopRequested& stop = {});

// Writes disk `disk` of `job`, as of that job, to `outPath` (a sparse file, with a
// hole for every 4 KiB block of zeros) and returns its SHA-256. Only the windows
// that hold some of the chain's data are read and written. The disk is written
// under a temporary name beside `outPath` and renamed into place only when its
// digest (root, or SHA-256 for a format 1 job) is the one the manifest recorded;
// otherwise (StoreError, or StoreCancelled when `stop` says so) the temporary file
// is removed and a file already at `outPath` is left as it was.
std::string ExportDisk(const BackupStore& store, const Manifest& job, std::size_t disk, const std::string& outPath,
                       const StopRequested& stop = {});

}  // namespace vsagent
