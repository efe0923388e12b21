#include "agent/restore/RestoreCleanup.h"

#include <filesystem>
#include <optional>

#include "agent/host/AgentHost.h"
#include "agent/restore/RestoreRecord.h"
#include "agent/store/FolderLock.h"
#include "cloudsdk/AzureSDKCppBridge.h"

namespace fs = std::filesystem;

namespace vsagent {

namespace {

// The wrapper's clean-up of one dead job; false with `problem` set when it failed.
bool UndoInCloud(const RestoreRecord& record, const CloudCredentials& credentials, std::string& problem) {
    AzureSDKCppBridge::CAzureSDKCppBridge sdk;
    if (!sdk.Initialize(AgentHost::kInstance, AgentHost::kApplicationName, record.jobId,
                        VSINST_AZURE_RESOURCE_MANAGER) ||
        !sdk.Connect(credentials.subscriptionId, credentials.applicationId, credentials.secret)) {
        problem = sdk.GetLastErrorString();
        return false;
    }
    // The VM of an attach existed before the job: the clean-up names none, so none is touched.
    SVMInfo vm;
    if (!record.attach) {
        vm.name = record.vmName;
        vm.resourceGroup = record.resourceGroup;
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

std::vector<std::string> CleanUpDeadRestores(const std::string& storeRoot, const CloudCredentials& credentials) {
    std::vector<std::string> done;
    std::error_code ec;
    for (fs::directory_iterator it(RestoreJobsFolder(storeRoot), ec), end; !ec && it != end; it.increment(ec)) {
        const std::string folder = it->path().string();
        std::optional<FolderLock> lock = FolderLock::Try(folder, FolderLock::Mode::Exclusive);
        if (!lock) continue;  // a restore that still runs
        std::optional<RestoreRecord> record = RestoreRecord::Read(folder);
        if (!record && fs::exists(it->path() / "restore-record.json")) {
            done.push_back("the record of the killed restore in [" + folder +
                           "] cannot be read; its folder is left for a person to look at");
            continue;
        }
        std::string problem;
        if (record && !UndoInCloud(*record, credentials, problem)) {
            done.push_back("restore job " + std::to_string(record->jobId) + " was killed; undoing it failed (" +
                           problem + "), its folder stays for a later run");
            continue;
        }
        lock.reset();
        std::error_code removed;
        fs::remove_all(folder, removed);
        done.push_back(record ? "undid restore job " + std::to_string(record->jobId) + " that was killed (VM [" +
                                    record->vmName + "], " + std::to_string(record->disks.size()) + " disk(s))"
                              : "removed the work folder [" + folder + "] of a killed restore that had made nothing");
    }
    return done;
}

}  // namespace vsagent
