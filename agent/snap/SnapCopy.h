// Copies of a snapshot-engine job's snapshots into the backup store: the job's VMs
// as its metadata recorded them (fetched from the index cache), and one ordinary
// full backup per VM read from its snapshot. A job that ran VM by VM kept each
// VM's catalog and configuration files apart, under the VM's child job.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "agent/host/AgentHost.h"
#include "agent/job/BackupJob.h"
#include "agent/job/JobOutcome.h"
#include "agent/snap/SnapJobRecord.h"
#include "agent/store/BackupStore.h"
#include "host/vminfo/IVMInfo.h"

namespace vsagent {

// The VMs of snapshot-engine job `record`, what a copy of each reads; the metadata is fetched into
// `workDir`, which must stay until the copies are done. False with `outcome` saying why (the
// catalog root must be set). A VM the job did not snap is listed with the status it failed with.
bool SnapJobVms(IVMInfo& plugin, const SnapJobRecord& record, const std::string& workDir,
                std::vector<SnapCopySource>& vms, JobOutcome& outcome);

// The folder a copy fetches a job's metadata into, removed with all it holds when this goes.
class ScratchFolder {
public:
    explicit ScratchFolder(std::string path) : path_(std::move(path)) {}
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

struct SnapCopyResult {
    long long jobId = 0;         // the store job the copy made; 0 when none was started
    BackupResult result;
};

// Copies the VM of `source` into a new job of `store`, through a plugin object of its own;
// `watch` is told of the object while the copy runs (null when done). A VM that a job run VM
// by VM did not snap fails, with the job's reason, before any job is made.
SnapCopyResult CopySnapVm(AgentHost& host, BackupStore& store, const SnapCopySource& source, bool showProgress,
                          const std::function<bool()>& cancelled, const std::function<void(IVMInfo*)>& watch);

}  // namespace vsagent
