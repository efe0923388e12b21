// Undoing what ended restore jobs left in the cloud: jobs that were killed, and
// jobs whose own clean-up failed. A work folder of a restore whose lock can be
// taken belongs to a job that is gone; its record names what the job was about to
// create. The SDK wrapper is opened under that job's GUID, so its clean-up removes
// only what carries that job's mark: a disk or VM of the same name that the job
// did not make is never touched.
#pragma once

#include <string>
#include <vector>

#include "agent/host/AgentCloud.h"
#include "agent/restore/RestoreRecord.h"
#include "cloudsdk/AzureSDKCppBridge.h"

namespace vsagent {

// What `record` lists as the job's: its VM (once the deployment was asked for) and its disks.
std::string RecordedResources(const RestoreRecord& record);

struct UndoOutcome {
    bool undone = false;  // nothing the record lists that carries the job's mark is left; the folder is gone
    std::string line;     // what was done; empty for a folder whose job still runs
    std::string left;     // when the removal failed: what the record lists
};

// Undoes the ended restore job of work folder `folder` through its record, and removes
// the folder when nothing it lists is left.
UndoOutcome UndoRestoreFolder(const std::string& folder, const CloudCredentials& credentials);

// Initializes and connects `sdk` under job `jobId` and its GUID, so that what it removes must carry that
// job's mark; false when the session cannot be opened.
bool OpenWrapperAsJob(AzureSDKCppBridge::CAzureSDKCppBridge& sdk, long long jobId, const std::string& jobGuid,
                      const CloudCredentials& credentials);

// One line per dead job, saying what was done; a job whose clean-up fails keeps its folder
// with its record, so that a later run finishes the removal.
std::vector<std::string> CleanUpDeadRestores(const std::string& storeRoot, const CloudCredentials& credentials);

}  // namespace vsagent
