// The manifest of one backup job: what was backed up, where it is stored and
// how to check it. Written as "manifest.json" in the job's folder, last, so a
// job folder without one is an incomplete job.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent/store/Extent.h"
#include "agent/store/WindowDigest.h"

namespace vsagent {

struct DiskRecord {
    std::string name;                   // disk display or blob name; matches a disk across jobs
    std::string path;                   // disk path the plugin gave for this job
    int lun = 0;
    bool osDisk = false;
    std::uint64_t capacity = 0;         // bytes the disk reports: whole sectors, at most kMaxCapacity
    std::uint64_t imageBytes = 0;       // bytes of the disk's blob (capacity and the trailing footer sector)
    std::string changeId;               // change id of this backup, for the next one
    std::string image;                  // file name of the sparse image in the job folder (no folder part)
    ExtentList extents;                 // byte ranges stored in the image, sorted, disjoint, within imageBytes
    std::uint64_t bytesRead = 0;
    std::optional<long long> parentJob; // the job's parent when this image is applied over it; none for a full read
    std::string sha256;                 // format 1: SHA-256 of the whole disk as of this backup
    std::optional<DiskDigest> digest;   // format 2: the windowed digest of the disk as of this backup
    std::string dataSha256;             // the stored extents of this job's image, in order

    static constexpr std::uint64_t kSectorBytes = 512;
    // Larger than any disk the cloud offers; a bound that keeps sizes far from overflow.
    static constexpr std::uint64_t kMaxCapacity = 64ull << 40;
};

struct FileRecord {
    std::string name;  // file name in the job's "files" folder (no folder part)
    std::uint64_t size = 0;
    std::string sha256;
};

struct Manifest {
    // Format 2 digests each disk by windows; format 1, still read, by one SHA-256 of the whole disk.
    static constexpr int kFormat = 2;
    static constexpr int kWholeDiskFormat = 1;
    static constexpr long long kMaxJobId = 1LL << 62;

    int format = kFormat;
    long long jobId = 0;
    std::string vmName;                  // also the name of the VM's folder in the store
    std::string vmGuid;
    std::string resourceGroup;
    bool incremental = false;
    std::optional<long long> parentJob;  // the older job this one builds on: set exactly when incremental
    bool syntheticFull = false;          // a full built in the store from this job's chain when older jobs were pruned
    std::string referencePoint;          // opaque bytes kept for the next incremental backup
    std::string cbtStatus;
    std::string startedAt;               // ISO-8601 UTC
    std::string finishedAt;
    double seconds = 0;
    std::uint64_t bytesRead = 0;
    std::vector<DiskRecord> disks;       // at least one; names unique
    std::vector<FileRecord> files;

    nlohmann::json toJson() const;
    // Reads a manifest and checks every value, so that what reads the store can trust
    // it: types, ranges, extents (sorted, disjoint, inside the image), plain file
    // names, job ids and digests (of a windowed digest: its kind, version, window
    // size and window list; its root only verify recomputes). Throws StoreError naming the job and the field
    // ("job 3: disks[1].capacity ...") when the document is not a sound manifest of
    // this format. What only the job folder can tell (image sizes) BackupStore checks.
    static Manifest FromJson(const nlohmann::json& document);
};

std::string Base64Encode(const std::string& bytes);
// Throws StoreError on text that is not base64.
std::string Base64Decode(const std::string& text);

}  // namespace vsagent
