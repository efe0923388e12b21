#include "agent/restore/RestoreCleanup.h"

#include <filesystem>
#include <optional>

#include "agent/host/AgentHost.h"
#include "agent/restore/RestoreRecord.h"
#include "agent/store/FolderLock.h"
#include "cloudsdk/AzureSDKCppBridge.h"
#include "host/log/JobIdentity.h"

namespace fs = std::filesystem;

namespace vsagent {

namespace {

// The wrapper's clean-up of one dead job; false with `problem` set when it failed.
bool UndoInCloud(const RestoreRecord& record, const CloudCredentials& credentials, std::string& problem) {
    AzureSDKCppBridge::CAzureSDKCppBridge sdk;
    if (!OpenWrapperAsJob(sdk, record.jobId, record.jobGuid, credentials)) {
        problem = sdk.GetLastErrorString();
        return false;
    }
    // The group is where the job's managed disks are, for an attach too. A VM is named only
    // when the job had asked for its deployment: before that, a VM of the name is never the
    // job's, and the VM of an attach existed before the job.
    SVMInfo vm;
    vm.resourceGroup = record.resourceGroup;
    if (!record.attach && record.deploying) {
        vm.name = record.vmName;
        vm.guid = record.vmGuid;
    }
    vm.isManaged = record.managedVm;
    std::vector<SDisk> disks;
    for (const RestoreTarget& target : record.disks) {
        SDisk disk;
        disk.name = target.name;
        disk.storageAccount = target.storageAccount;
        disk.isManaged = target.managedDisk;
        disks.push_back(disk);
    }
    if (sdk.CleanupRestoreVM(vm, disks, record.managedVm)) return true;
    problem = sdk.GetLastErrorString();
    return false;
}

}  // namespace

std::string RecordedResources(const RestoreRecord& record) {
    std::string text;
    if (!record.attach && record.deploying) text = "VM [" + record.vmName + "] in [" + record.resourceGroup + "]";
    for (const RestoreTarget& target : record.disks)
        text += (text.empty() ? "" : ", ") + std::string(target.managedDisk ? "managed disk [" : "page blob [") +
                target.name + "]" + (target.storageAccount.empty() ? "" : " in [" + target.storageAccount + "]");
    return text.empty() ? "nothing" : text;
}

UndoOutcome UndoRestoreFolder(const std::string& folder, const CloudCredentials& credentials) {
    UndoOutcome outcome;
    std::optional<FolderLock> lock = FolderLock::Try(folder, FolderLock::Mode::Exclusive);
    if (!lock) return outcome;  // a restore that still runs
    std::optional<RestoreRecord> record = RestoreRecord::Read(folder);
    if (!record && fs::exists(fs::path(folder) / "restore-record.json")) {
        outcome.line = "the record of the ended restore in [" + folder +
                       "] cannot be read (or was written by an older release, which did not mark what it made as "
                       "the job's own); nothing was removed and its folder is left for a person to look at";
        return outcome;
    }
    std::string problem;
    if (record && !UndoInCloud(*record, credentials, problem)) {
        outcome.line = "restore job " + std::to_string(record->jobId) + " did not undo what it made; removing it " +
                       "failed (" + problem + "), so of " + RecordedResources(*record) +
                       " what carries the job's mark is not removed; its record stays for the next run";
        outcome.left = RecordedResources(*record);
        return outcome;
    }
    lock.reset();
    std::error_code removed;
    fs::remove_all(folder, removed);
    outcome.undone = true;
    outcome.line = record ? "undid restore job " + std::to_string(record->jobId) +
                                " that ended without undoing what it made (removed what of " +
                                RecordedResources(*record) + " carried its mark)"
                          : "removed the work folder [" + folder + "] of a killed restore that had made nothing";
    return outcome;
}

std::vector<std::string> CleanUpDeadRestores(const std::string& storeRoot, const CloudCredentials& credentials) {
    std::vector<std::string> done;
    std::error_code ec;
    for (fs::directory_iterator it(RestoreJobsFolder(storeRoot), ec), end; !ec && it != end; it.increment(ec)) {
        UndoOutcome outcome = UndoRestoreFolder(it->path().string(), credentials);
        if (!outcome.line.empty()) done.push_back(outcome.line);
    }
    return done;
}

bool OpenWrapperAsJob(AzureSDKCppBridge::CAzureSDKCppBridge& sdk, long long jobId, const std::string& jobGuid,
                      const CloudCredentials& credentials) {
    const std::string previous = EvEvent::getJobGuid();
    EvEvent::setJobGuid(jobGuid);
    const bool initialized =
        sdk.Initialize(AgentHost::kInstance, AgentHost::kApplicationName, jobId, VSINST_AZURE_RESOURCE_MANAGER);
    EvEvent::setJobGuid(previous);
    return initialized && sdk.Connect(credentials.subscriptionId, credentials.applicationId, credentials.secret);
}

}  // namespace vsagent
