// The VMs of a snapshot-engine job as its metadata recorded them, read through the
// plugin the way a copy job reads them: the job XML fetched from the index cache.
#pragma once

#include <string>
#include <vector>

#include "agent/job/JobOutcome.h"
#include "host/vminfo/IVMInfo.h"

namespace vsagent {

// The VMs of snapshot-engine job `snapJobId`, its metadata downloaded into `workDir`; false with
// `outcome` saying why (the catalog root must be set).
bool SnapJobVms(IVMInfo& plugin, long long snapJobId, const std::string& workDir, std::vector<SVMInfo>& vms,
                JobOutcome& outcome);

}  // namespace vsagent
