// Checks and exports of stored jobs.
#pragma once

#include <string>
#include <vector>

#include "agent/store/BackupStore.h"

namespace vsagent {

// What verify found for one job: one line per problem; empty when the job is sound.
struct VerifyResult {
    long long jobId = 0;
    std::vector<std::string> problems;
    std::uint64_t bytesChecked = 0;
};

// Re-hashes what the manifest of `job` promises: each image's stored extents, each
// disk as assembled from its chain, and the configuration files.
VerifyResult VerifyJob(const BackupStore& store, const Manifest& job);

// Writes disk `disk` of `job`, as of that job, to `outPath` (a sparse file) and
// returns its SHA-256. Throws StoreError when it differs from the manifest's.
std::string ExportDisk(const BackupStore& store, const Manifest& job, std::size_t disk, const std::string& outPath);

}  // namespace vsagent
