// Undoing what jobs left in the cloud, through the plugin's CleanupVM slot, which
// removes a snapshot set of a VM by its GUID.
#pragma once

#include <string>
#include <vector>

#include "agent/job/JobRecord.h"
#include "agent/store/BackupStore.h"
#include "host/vminfo/IVMInfo.h"

namespace vsagent {

// Removes the snapshot set `record` names, if any (a set that is already gone
// counts as removed). False with `problem` set when the plugin could not.
bool RemoveSnapshotSet(IVMInfo& plugin, const JobRecord& record, std::string& problem);

// Undoes the dead jobs of VM `vmGuid` in the store (folders without a manifest,
// with a record, whose process is gone): their snapshot set, then their folder.
// A job whose set cannot be removed keeps its folder for a later run. One line
// per job, saying what was done.
std::vector<std::string> CleanUpDeadJobs(IVMInfo& plugin, BackupStore& store, const std::string& vmGuid);

}  // namespace vsagent
