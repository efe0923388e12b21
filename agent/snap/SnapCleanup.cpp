#include "agent/snap/SnapCleanup.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <stdexcept>

#include "agent/store/FolderLock.h"
#include "cloudsdk/BlobSnapshotSets.h"
#include "cloudsdk/CreatedByJob.h"
#include "cloudsdk/SnapshotSets.h"
#include "cloudsdk/rest/CloudEndpoints.h"
#include "host/snap/SnapCatalog.h"

namespace fs = std::filesystem;

namespace vsagent {

namespace {

using namespace AzureSDKCppBridge;

// A failure to ask the cloud: "could not ask" is never "no set".
void Check(const std::optional<Refusal>& refusal) {
    if (refusal) throw std::runtime_error(refusal->text);
}

}  // namespace

std::vector<MarkedSet> SetsMarkedBy(const CloudCredentials& credentials, const SnapJobRecord& record) {
    const rest::CloudEndpoints endpoints = rest::CloudEndpoints::FromSettings();
    rest::ArmClient arm(endpoints, credentials.subscriptionId, credentials.applicationId, credentials.secret);
    rest::BlobClient blob(endpoints, credentials.applicationId, credentials.secret,
                          [&arm](std::string& tenant, std::string& error) {
                              rest::ArmResult failure;
                              if (arm.tenant(tenant, failure)) return true;
                              error = failure.text;
                              return false;
                          });
    // Managed sets are in the subscription's snapshot list; page-blob sets with the blobs of the job's VMs.
    std::vector<CloudSet> sets;
    const rest::ArmResult managed = ReadManagedSets(arm, sets);
    if (!managed.ok) throw std::runtime_error(managed.text);
    for (const SnapVmOutcome& vm : record.vms) {
        std::vector<CloudSet> ofVm;
        Check(ReadVmBlobSets(arm, blob, vm.name, vm.guid, vm.resourceGroup, ofVm));
        for (const CloudSet& set : ofVm)
            if (!FindSet(sets, set.guid)) sets.push_back(set);
    }
    std::vector<MarkedSet> out;
    for (const CloudSet& set : sets) {
        const bool marked = std::any_of(set.snapshots.begin(), set.snapshots.end(), [&](const nlohmann::json& snap) {
            return TagOf(snap, kCreatedByJobTag) == record.jobGuid;
        });
        if (marked) out.push_back({set.guid, TagOf(set.snapshots[0], kVmNameTag), TagOf(set.snapshots[0], kVmGuidTag)});
    }
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

bool UndoSnapJob(IVMInfo& plugin, const SnapJobRecord& record, const CloudCredentials& credentials,
                 std::string& problem) {
    try {
        if (!DeleteSets(plugin, SetsMarkedBy(credentials, record), problem)) return false;
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

std::vector<std::string> UndoDeadSnapJobs(IVMInfo& plugin, const std::string& storeRoot,
                                          const CloudCredentials& credentials) {
    std::vector<std::string> done;
    std::error_code ec;
    for (fs::directory_iterator it(SnapJobsFolder(storeRoot), ec), end; !ec && it != end; it.increment(ec)) {
        const std::string folder = it->path().string();
        std::optional<FolderLock> lock = FolderLock::Try(folder, FolderLock::Mode::Exclusive);
        std::optional<SnapJobRecord> record = SnapJobRecord::Read(folder);
        if (!lock || !record || record->state != SnapJobRecord::kRunning) continue;
        const std::string job = "snap job " + std::to_string(record->jobId) + ", which ended before it completed";
        std::string problem;
        if (!UndoSnapJob(plugin, *record, credentials, problem)) {
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
