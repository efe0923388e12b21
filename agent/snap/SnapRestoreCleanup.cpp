#include "agent/snap/SnapRestoreCleanup.h"

#include <algorithm>
#include <filesystem>

#include <boost/algorithm/string/predicate.hpp>

#include "agent/restore/RestoreCleanup.h"
#include "agent/store/FolderLock.h"
#include "azsim/model/ResourceIds.h"
#include "azsim/model/SubscriptionState.h"
#include "cloudsdk/AzureSDKCppBridge.h"
#include "cloudsdk/CreatedByJob.h"
#include "host/log/JobIdentity.h"

namespace fs = std::filesystem;
using boost::algorithm::iequals;

namespace vsagent {

namespace {

bool IsSourceDisk(const SnapRestoreRecord& record, const std::string& location) {
    return std::any_of(record.sourceDisks.begin(), record.sourceDisks.end(),
                       [&](const std::string& disk) { return iequals(disk, location); });
}

std::vector<SDisk> DiskEntries(const MarkedLeftovers& left) {
    std::vector<SDisk> disks;
    for (const std::string& id : left.managedDiskIds) {
        SDisk disk;
        disk.managedDiskId = id;
        disk.isManaged = true;
        disks.push_back(disk);
    }
    for (const std::string& url : left.pageBlobUrls) {
        SDisk disk;
        disk.uri = url;
        disk.name = url.substr(url.rfind('/') + 1);
        disks.push_back(disk);
    }
    return disks;
}

// Removes what `left` names; false with `problem` set at the first call that failed.
bool Remove(AzureSDKCppBridge::CAzureSDKCppBridge& sdk, const MarkedLeftovers& left, std::string& problem) {
    std::vector<SVMInfo> builtOnOwnDisks;
    for (const MarkedLeftovers::Vm& vm : left.vms) {
        if (!vm.usesSourceDisk) {
            SVMInfo info;
            info.name = vm.name;
            info.guid = vm.guid;
            info.resourceGroup = vm.resourceGroup;
            builtOnOwnDisks.push_back(info);
        } else if (!sdk.DeleteVM(vm.name, vm.guid, false, false)) {
            problem = "VM [" + vm.name + "] was not deleted: " + sdk.GetLastErrorString();
            return false;
        }
    }
    if (builtOnOwnDisks.empty()) builtOnOwnDisks.emplace_back();  // the disks alone
    const std::vector<SDisk> disks = DiskEntries(left);
    for (const SVMInfo& vm : builtOnOwnDisks)
        if (!sdk.CleanupRestoreVM(vm, disks, true)) {
            problem = sdk.GetLastErrorString();
            return false;
        }
    return true;
}

// False only when the VM is known to be absent.
bool VmMayExist(const std::string& cloudDir, const std::string& name, const std::string& resourceGroup) {
    try {
        return azsim::SubscriptionState(cloudDir).load().findVm(name, resourceGroup) != nullptr;
    } catch (const std::exception&) {
        return true;
    }
}

}  // namespace

std::string MarkedLeftovers::text() const {
    std::string out;
    auto add = [&](const std::string& kind, const std::string& name) {
        out += (out.empty() ? "" : ", ") + kind + " [" + name + "]";
    };
    for (const Vm& vm : vms) add("VM", vm.name);
    for (const std::string& id : managedDiskIds) add("managed disk", id);
    for (const std::string& url : pageBlobUrls) add("page blob", url);
    return out.empty() ? "nothing" : out;
}

MarkedLeftovers LeftoversOf(const std::string& cloudDir, const SnapRestoreRecord& record) {
    using AzureSDKCppBridge::CreatedByJob;
    const azsim::StateDocument doc = azsim::SubscriptionState(cloudDir).load();
    MarkedLeftovers left;
    for (const azsim::VirtualMachine& vm : doc.vms) {
        if (!CreatedByJob(vm.tags, record.jobGuid)) continue;
        const bool usesSource = std::any_of(vm.disks.begin(), vm.disks.end(), [&](const azsim::DiskAttachment& a) {
            return IsSourceDisk(record, a.id);
        });
        left.vms.push_back({vm.name, vm.guid, vm.resourceGroup, usesSource});
    }
    for (const azsim::ManagedDisk& disk : doc.managedDisks)
        if (CreatedByJob(disk.tags, record.jobGuid) && !IsSourceDisk(record, disk.id))
            left.managedDiskIds.push_back(disk.id);
    for (const azsim::UnmanagedDisk& blob : doc.unmanagedDisks) {
        const std::string url = azsim::PageBlobUri(blob.blob);
        if (CreatedByJob(blob.tags, record.jobGuid) && !IsSourceDisk(record, url)) left.pageBlobUrls.push_back(url);
    }
    return left;
}

std::vector<std::string> DetachedSourceDisks(const std::string& cloudDir, const SnapRestoreRecord& record) {
    const azsim::StateDocument doc = azsim::SubscriptionState(cloudDir).load();
    std::vector<std::string> existing;
    for (const azsim::ManagedDisk& disk : doc.managedDisks) existing.push_back(disk.id);
    for (const azsim::UnmanagedDisk& blob : doc.unmanagedDisks) existing.push_back(azsim::PageBlobUri(blob.blob));
    std::vector<std::string> detached;
    for (const std::string& disk : existing) {
        const bool used = std::any_of(doc.vms.begin(), doc.vms.end(), [&](const azsim::VirtualMachine& vm) {
            return std::any_of(vm.disks.begin(), vm.disks.end(),
                               [&](const azsim::DiskAttachment& a) { return iequals(a.id, disk); });
        });
        if (IsSourceDisk(record, disk) && !used) detached.push_back(disk);
    }
    return detached;
}

bool UndoSnapRestore(const SnapRestoreRecord& record, const std::string& cloudDir,
                     const CloudCredentials& credentials, std::string& problem) {
    try {
        const MarkedLeftovers left = LeftoversOf(cloudDir, record);
        if (left.empty()) return true;
        AzureSDKCppBridge::CAzureSDKCppBridge sdk;
        if (!OpenWrapperAsJob(sdk, record.jobId, record.jobGuid, credentials)) {
            problem = "the cloud cannot be reached under the job's identity: " + sdk.GetLastErrorString();
            return false;
        }
        if (!Remove(sdk, left, problem)) return false;
        const MarkedLeftovers after = LeftoversOf(cloudDir, record);
        if (after.empty()) return true;
        problem = after.text() + " still carry the job's mark";
    } catch (const std::exception& e) {
        problem = std::string("the subscription's state cannot be read: ") + e.what();
    }
    return false;
}

UndoOutcome UndoSnapRestoreFolder(const std::string& folder, const std::string& cloudDir,
                                  const CloudCredentials& credentials) {
    UndoOutcome outcome;
    std::optional<FolderLock> lock = FolderLock::Try(folder, FolderLock::Mode::Exclusive);
    if (!lock) return outcome;  // a job that still runs
    std::optional<SnapRestoreRecord> record = SnapRestoreRecord::Read(folder);
    if (!record && fs::exists(fs::path(folder) / "snap-restore.json")) {
        outcome.line = "the record of the ended snap restore in [" + folder +
                       "] cannot be read; nothing was removed and its folder is left for a person to look at";
        return outcome;
    }
    const std::string job = record ? "snap restore job " + std::to_string(record->jobId) : std::string();
    std::string problem;
    if (record && !UndoSnapRestore(*record, cloudDir, credentials, problem)) {
        outcome.line = job + " did not undo what it made, and removing it failed (" + problem +
                       "); its record stays for the next run";
        outcome.left = problem;
        return outcome;
    }
    lock.reset();
    std::error_code removed;
    fs::remove_all(folder, removed);
    outcome.undone = true;
    if (!record) {
        outcome.line = "removed the work folder [" + folder + "] of a killed snap restore that had made nothing";
        return outcome;
    }
    outcome.line = "undid " + job + " that ended without undoing what it made (what carried its mark was removed)";
    if (record->revert && !VmMayExist(cloudDir, record->vmName, record->resourceGroup))
        outcome.line += "; VM [" + record->vmName +
                        "] is not there any more, its disks and the snapshots of snap job " +
                        std::to_string(record->snapJobId) + " are kept: 'vsagent snap revert --job " +
                        std::to_string(record->snapJobId) + " --vm " + record->sourceVmName + "' puts it back";
    return outcome;
}

std::vector<std::string> UndoDeadSnapRestores(const std::string& storeRoot, const std::string& cloudDir,
                                              const CloudCredentials& credentials) {
    std::vector<std::string> done;
    std::error_code ec;
    for (fs::directory_iterator it(SnapRestoresFolder(storeRoot), ec), end; !ec && it != end; it.increment(ec)) {
        const UndoOutcome outcome = UndoSnapRestoreFolder(it->path().string(), cloudDir, credentials);
        if (!outcome.line.empty()) done.push_back(outcome.line);
    }
    return done;
}

}  // namespace vsagent
