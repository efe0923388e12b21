// Undoing what snapshot-engine jobs made: their snapshot sets, found in the cloud
// by the job's mark (the job GUID every snapshot of the job carries), deleted
// through the plugin's snapshot operation, and their archive files marked
// invalid. Nothing that carries another job's mark is touched.
#pragma once

#include <string>
#include <vector>

#include "agent/host/AgentCloud.h"
#include "agent/snap/SnapJobRecord.h"
#include "host/vminfo/IVMInfo.h"

namespace vsagent {

struct MarkedSet {
    std::string setGuid;
    std::string vmName;
    std::string vmGuid;
};

// The snapshot sets whose snapshots carry the mark of the job of `record`, asked of the cloud with
// `credentials`: the subscription's managed sets and the page-blob sets of the job's VMs. Throws
// std::runtime_error when the cloud could not be asked.
std::vector<MarkedSet> SetsMarkedBy(const CloudCredentials& credentials, const SnapJobRecord& record);

// Deletes `sets` in one snapshot operation; false with one line per set that stayed in `problem`.
bool DeleteSets(IVMInfo& plugin, const std::vector<MarkedSet>& sets, std::string& problem);

// Deletes the snapshot sets job `record` made and marks its archive files invalid (the catalog
// root must be set). False with `problem` set when something of it stays.
bool UndoSnapJob(IVMInfo& plugin, const SnapJobRecord& record, const CloudCredentials& credentials,
                 std::string& problem);

// Undoes the snapshot-engine jobs of the store that were killed (record "running", folder lock
// free) and marks each "undone"; one line per job, saying what was done or why it waits.
std::vector<std::string> UndoDeadSnapJobs(IVMInfo& plugin, const std::string& storeRoot,
                                          const CloudCredentials& credentials);

}  // namespace vsagent
