#include "agent/snap/SnapCleanup.h"

#include <filesystem>
#include <optional>
#include <set>

#include "agent/store/FolderLock.h"
#include "azsim/model/SubscriptionState.h"
#include "cloudsdk/CreatedByJob.h"
#include "cloudsdk/SnapshotSets.h"
#include "host/snap/SnapCatalog.h"

namespace fs = std::filesystem;

namespace vsagent {

namespace {

void AddMarked(const azsim::Tags& tags, const std::string& jobGuid, std::set<std::string>& sets) {
    auto mark = tags.find(AzureSDKCppBridge::kCreatedByJobTag);
    auto set = tags.find(AzureSDKCppBridge::kSetGuidTag);
    if (mark != tags.end() && mark->second == jobGuid && set != tags.end()) sets.insert(set->second);
}

}  // namespace

std::vector<MarkedSet> SetsMarkedBy(const std::string& cloudDir, const std::string& jobGuid) {
    const azsim::StateDocument doc = azsim::SubscriptionState(cloudDir).load();
    std::set<std::string> marked;
    for (const azsim::ManagedSnapshot& snap : doc.snapshots) AddMarked(snap.tags, jobGuid, marked);
    for (const azsim::BlobSnapshot& snap : doc.blobSnapshots) AddMarked(snap.metadata, jobGuid, marked);
    std::vector<MarkedSet> out;
    for (const azsim::SnapshotSet& set : doc.snapshotSets)
        if (marked.count(set.guid)) out.push_back({set.guid, set.vmName, set.vmGuid});
    return out;
}

bool DeleteSets(IVMInfo& plugin, const std::vector<MarkedSet>& sets, std::string& problem) {
    if (sets.empty()) return true;
    SnapOperationCtx op;
    op.operation = SNAP_OP_DELETE;
    for (const MarkedSet& set : sets) {
        SSnapEntityInfo entity;
        entity.name = set.vmName;
        entity.guid = set.vmGuid;
        entity.snapshotId = set.setGuid;
        op.entities.push_back(entity);
    }
    plugin.PerformSnapOperation(op);
    for (const SSnapEntityInfo& entity : op.entities)
        if (entity.status != SNAP_ENTITY_OK)
            problem += (problem.empty() ? "" : "; ") + std::string("snapshot set [") + entity.snapshotId + "] of VM [" +
                       entity.name + "] was not deleted" +
                       (entity.failure.reason.empty() ? "" : ": " + entity.failure.reason);
    return problem.empty();
}

bool UndoSnapJob(IVMInfo& plugin, const SnapJobRecord& record, const std::string& cloudDir, std::string& problem) {
    try {
        if (!DeleteSets(plugin, SetsMarkedBy(cloudDir, record.jobGuid), problem)) return false;
    } catch (const std::exception& e) {
        problem = std::string("the job's snapshot sets could not be listed: ") + e.what();
        return false;
    }
    for (long long job : SnapJobIds(record)) {
        std::vector<snapcatalog::ArchiveFile> files;
        if (!snapcatalog::ListArchiveFiles(job, files, problem)) return false;
        if (!files.empty() && !snapcatalog::InvalidateArchiveFiles({}, job, problem)) return false;
    }
    return true;
}

std::vector<std::string> UndoDeadSnapJobs(IVMInfo& plugin, const std::string& storeRoot, const std::string& cloudDir) {
    std::vector<std::string> done;
    std::error_code ec;
    for (fs::directory_iterator it(SnapJobsFolder(storeRoot), ec), end; !ec && it != end; it.increment(ec)) {
        const std::string folder = it->path().string();
        std::optional<FolderLock> lock = FolderLock::Try(folder, FolderLock::Mode::Exclusive);
        std::optional<SnapJobRecord> record = SnapJobRecord::Read(folder);
        if (!lock || !record || record->state != SnapJobRecord::kRunning) continue;
        const std::string job = "snap job " + std::to_string(record->jobId) + ", which ended before it completed";
        std::string problem;
        if (!UndoSnapJob(plugin, *record, cloudDir, problem)) {
            done.push_back(job + ", is kept for a later run: " + problem);
            continue;
        }
        record->state = SnapJobRecord::kUndone;
        record->write(folder);
        done.push_back("undid " + job + ": its snapshot sets were deleted and its archive files marked invalid");
    }
    return done;
}

}  // namespace vsagent
