// What a backup job has made in the cloud, kept as "job-record.json" in its job
// folder. The job writes it before it asks the plugin for anything (the VM and
// the job id and GUID) and again as soon as the mount has made the job's snapshot set, so
// that what a killed run left can be undone by a later one. A complete job keeps
// its record: it names the snapshot set the job left as the VM's reference.
//
// While a job runs it holds an exclusive FolderLock on its folder. A folder
// without a manifest whose lock can be taken belongs to a job that is gone.
#pragma once

#include <optional>
#include <string>

#include "agent/store/FolderLock.h"

namespace vsagent {

struct JobRecord {
    long long jobId = 0;
    std::string vmName;
    std::string vmGuid;
    std::string resourceGroup;
    std::string snapshotSetGuid;  // empty until the mount has made the set
    std::string jobGuid;          // the job's mark on what it creates; empty in a record of an older release

    // Written atomically: a temporary file, flushed, renamed into place. Throws StoreError.
    void write(const std::string& folder) const;
    // The record of job folder `folder`; none when there is none or it is not a
    // well-formed record of that folder's job.
    static std::optional<JobRecord> Read(const std::string& folder);
};

}  // namespace vsagent
