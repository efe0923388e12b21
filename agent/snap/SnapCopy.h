// Copies of a snapshot-engine job's snapshots into the backup store: the job's VMs
// as its metadata recorded them (the job XML fetched from the index cache), and
// one ordinary full backup per VM read from its snapshot.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "agent/host/AgentHost.h"
#include "agent/job/BackupJob.h"
#include "agent/job/JobOutcome.h"
#include "agent/store/BackupStore.h"
#include "host/vminfo/IVMInfo.h"

namespace vsagent {

// The VMs of snapshot-engine job `snapJobId`, its metadata downloaded into `workDir`; false with
// `outcome` saying why (the catalog root must be set).
bool SnapJobVms(IVMInfo& plugin, long long snapJobId, const std::string& workDir, std::vector<SVMInfo>& vms,
                JobOutcome& outcome);

struct SnapCopyResult {
    long long jobId = 0;         // the store job the copy made
    BackupResult result;
};

// Copies VM `vm` of snapshot-engine job `snapJobId` into a new job of `store`, through a plugin
// object of its own; `watch` is told of the object while the copy runs (null when done).
SnapCopyResult CopySnapVm(AgentHost& host, BackupStore& store, long long snapJobId, const SVMInfo& vm,
                          bool showProgress, const std::function<bool()>& cancelled,
                          const std::function<void(IVMInfo*)>& watch);

}  // namespace vsagent
