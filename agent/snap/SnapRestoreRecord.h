// What a revert or restore from a snapshot-engine job's snapshots is about to do,
// kept as "snap-restore.json" in its work folder
// (<store>/snapshots/agent-restores/restore-<id>). The job writes it before it asks
// the plugin for anything that creates: the VM it builds, where, and the source
// VM's own disks as the snap job recorded them, which are never the job's to
// remove. Everything the job creates carries its GUID, so a later run removes
// what a killed job left by that mark alone. The folder goes when the job ends
// and nothing carrying its mark is left.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vsagent {

struct SnapRestoreRecord {
    long long jobId = 0;
    std::string jobGuid;             // the mark of what the job creates
    long long snapJobId = 0;         // the snap job whose snapshots it builds from
    bool revert = false;             // the VM is put back in place
    std::string vmName;              // the VM the job builds
    std::string resourceGroup;
    std::string sourceVmName;
    std::vector<std::string> sourceDisks;  // the source VM's disks: managed disk ids or page blob URLs

    // Written atomically. Throws StoreError.
    void write(const std::string& folder) const;
    // The record of work folder `folder`; none when missing or not a well-formed record of that folder's job.
    static std::optional<SnapRestoreRecord> Read(const std::string& folder);
};

// The work folders of reverts and restores from snapshots, and the one of job `jobId`.
std::string SnapRestoresFolder(const std::string& storeRoot);
std::string SnapRestoreFolder(const std::string& storeRoot, long long jobId);

}  // namespace vsagent
