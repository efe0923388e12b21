#include "agent/job/JobCleanup.h"

#include <algorithm>
#include <optional>

namespace vsagent {

namespace {

bool StillIncomplete(const BackupStore& store, const std::string& folder) {
    const std::vector<std::string> incomplete = store.incompleteJobs();
    return std::find(incomplete.begin(), incomplete.end(), folder) != incomplete.end();
}

std::string CleanUpDeadJob(IVMInfo& plugin, BackupStore& store, const JobRecord& record, const std::string& folder) {
    const std::string job = "job " + std::to_string(record.jobId) + ", which ended before it completed";
    std::string problem;
    if (!RemoveSnapshotSet(plugin, record, problem)) return job + ", is kept for a later run: " + problem;
    store.discard(folder);
    if (record.snapshotSetGuid.empty()) return "removed the folder of " + job;
    return "removed snapshot set [" + record.snapshotSetGuid + "] and the folder of " + job;
}

}  // namespace

bool RemoveSnapshotSet(IVMInfo& plugin, const JobRecord& record, std::string& problem) {
    if (record.snapshotSetGuid.empty()) return true;
    MountCtx ctx;
    ctx.vmName = record.vmName;
    ctx.vmGuid = record.vmGuid;
    ctx.hostName = record.resourceGroup;
    ctx.jobId = record.jobId;
    ctx.backupSnapshotGuid = record.snapshotSetGuid;
    try {
        if (plugin.CleanupVM(ctx) == 1) return true;
        problem = "the plugin could not remove snapshot set [" + record.snapshotSetGuid + "] (see the job log)";
    } catch (const std::exception& e) {
        problem = "removing snapshot set [" + record.snapshotSetGuid + "] failed: " + e.what();
    }
    return false;
}

std::vector<std::string> CleanUpDeadJobs(IVMInfo& plugin, BackupStore& store, const std::string& vmGuid) {
    std::vector<std::string> done;
    for (const std::string& folder : store.incompleteJobs()) {
        // A job that still runs holds its lock; one that completed since the listing has its manifest.
        std::optional<FolderLock> lock = FolderLock::Try(folder, FolderLock::Mode::Exclusive);
        if (!lock || !StillIncomplete(store, folder)) continue;
        std::optional<JobRecord> record = JobRecord::Read(folder);
        if (record && record->vmGuid == vmGuid) done.push_back(CleanUpDeadJob(plugin, store, *record, folder));
    }
    return done;
}

}  // namespace vsagent
