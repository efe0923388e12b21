// What a snapshot-engine job of the agent is and did, kept as "snap-job.json" in
// its folder <store>/snapshots/agent-jobs/job-<id>. The job writes it before it asks the
// plugin for anything, naming its VMs and the GUID that marks what it creates,
// and again when it ends. A record still "running" whose folder lock can be
// taken belongs to a job that was killed: the next snap command undoes it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vsagent {

struct SnapVmOutcome {
    std::string name;
    std::string guid;
    std::string resourceGroup;
    int status = -1;                 // -1 not known yet; 0 ok; else the host error code
    std::string details;
    std::uint32_t archiveFileId = 0;
    std::string snapshotGuid;        // the VM's snapshot set
    long long childJobId = 0;        // the VM's own job in a VM-centric job; 0 otherwise
};

struct SnapJobRecord {
    static constexpr const char* kRunning = "running";
    static constexpr const char* kComplete = "complete";  // at least one VM was snapped
    static constexpr const char* kFailed = "failed";      // no VM was snapped; what it made is undone
    static constexpr const char* kUndone = "undone";      // killed, and undone by a later run
    static constexpr const char* kDeleted = "deleted";    // its snapshot sets were deleted on request

    long long jobId = 0;
    std::string jobGuid;
    bool vmCentric = false;
    std::string state = kRunning;
    std::vector<SnapVmOutcome> vms;

    // Written atomically. Throws StoreError.
    void write(const std::string& folder) const;
    // The record of job folder `folder`; none when missing or not a well-formed record of that job.
    static std::optional<SnapJobRecord> Read(const std::string& folder);
};

// The job ids under which the job keeps archive files: its own and its VMs' child jobs.
std::vector<long long> SnapJobIds(const SnapJobRecord& record);

// The folder of snapshot-engine job `jobId` of the store at `storeRoot`, and the folder of all of them.
std::string SnapJobFolder(const std::string& storeRoot, long long jobId);
std::string SnapJobsFolder(const std::string& storeRoot);

}  // namespace vsagent
