// The snapshot catalog: one folder that keeps, per snapshot-engine job, the
// snap records, the index cache (the job's uploaded metadata files) and the
// registry of archive files. Every operation fails with a reason when no
// catalog folder was set.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/log/JobIdentity.h"

namespace snapcatalog {

void SetRoot(const std::string& dir);
std::string Root();

// The folder of a job's snap records, created when missing.
bool RecordsFolder(NXJobID jobId, std::string& folder, std::string& error);
// The index cache of a job (not created).
bool IndexFolder(NXJobID jobId, std::string& folder, std::string& error);
// A path relative to a job folder that cannot leave it: not empty, not absolute, no "..".
bool IsContainedRelativePath(const std::string& relative);
// Copies source to target (creating target's folders), replacing target atomically.
bool CopyFile(const std::string& source, const std::string& target, std::string& error);

// One archive file of a snapshot-engine job: the unit the backup store keeps a VM's snapshot as.
struct ArchiveFile {
    std::uint32_t id = 0;
    NXJobID jobId = 0;
    std::string vmGuid;
    bool valid = true;
};

// The registry of archive files, shared by every process using the catalog (file-locked).
bool CreateArchiveFile(NXJobID jobId, const std::string& vmGuid, std::uint32_t& id, std::string& error);
// Marks ids invalid; an id that is not jobId's fails the call and changes nothing. An empty list
// marks every archive file of jobId.
bool InvalidateArchiveFiles(const std::vector<std::uint32_t>& ids, NXJobID jobId, std::string& error);
bool ListArchiveFiles(NXJobID jobId, std::vector<ArchiveFile>& files, std::string& error);

}  // namespace snapcatalog
