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

namespace vsagent {

struct DiskRecord {
    std::string name;                   // disk display or blob name; matches a disk across jobs
    std::string path;                   // disk path the plugin gave for this job
    int lun = 0;
    bool osDisk = false;
    std::uint64_t capacity = 0;         // bytes the disk reports
    std::uint64_t imageBytes = 0;       // bytes of the disk's blob (capacity and the trailing footer sector)
    std::string changeId;               // change id of this backup, for the next one
    std::string image;                  // file name of the sparse image in the job folder
    ExtentList extents;                 // byte ranges stored in the image, sorted, disjoint
    std::uint64_t bytesRead = 0;
    std::optional<long long> parentJob; // job this disk's image is applied over; none for a full read
    std::string sha256;                 // the whole disk as of this backup
    std::string dataSha256;             // the stored extents of this job's image, in order
};

struct FileRecord {
    std::string name;
    std::uint64_t size = 0;
    std::string sha256;
};

struct Manifest {
    static constexpr int kFormat = 1;

    long long jobId = 0;
    std::string vmName;
    std::string vmGuid;
    std::string resourceGroup;
    bool incremental = false;
    std::optional<long long> parentJob;
    std::string referencePoint;          // opaque bytes kept for the next incremental backup
    std::string cbtStatus;
    std::string startedAt;               // ISO-8601 UTC
    std::string finishedAt;
    double seconds = 0;
    std::uint64_t bytesRead = 0;
    std::vector<DiskRecord> disks;
    std::vector<FileRecord> files;

    nlohmann::json toJson() const;
    // Throws StoreError when the document is not a manifest of this format.
    static Manifest FromJson(const nlohmann::json& document);
};

std::string Base64Encode(const std::string& bytes);
// Throws StoreError on text that is not base64.
std::string Base64Decode(const std::string& text);

}  // namespace vsagent
