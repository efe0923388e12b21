// Disk naming and placement of a restore: a new lower-case name per disk (the VM's name for its OS
// disk, a time-stamped one for the others), its storage account and container, the disk-map record
// through which the host's disk writes reach it, and free LUNs for disks added to a VM.
#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/split.hpp>
#include <ctime>
#include <map>
#include <set>

#include "host/sys/Time.h"
#include "plugin/frame/AzureInfo.h"
#include "plugin/frame/Existence.h"
#include "plugin/frame/SlotFailure.h"

namespace {

const char* const kNamesTag = "bool CAzureInfo::GenerateUniqueDiskName(const RestoreCtx&, const string&)";
const char* const kStampTag = "void CAzureInfo::_GenerateDiskName(string&)";
const char* const kMapTag = "bool CAzureInfo::_UpdateDiskToStorageMap(const RestoreCtx&)";
const char* const kSharedTag = "bool CAzureInfo::_RefuseSharedDiskNames(const RestoreCtx&)";
const char* const kContainerTag = "bool CAzureInfo::_EnsureContainer(const RestoreCtx&, const string&, const string&)";
const char* const kLunTag = "bool CAzureInfo::_GenerateDiskLun(const OperationCtx&)";

constexpr int kMaxLun = 15;
const char* const kDefaultContainer = "vhds";

bool EndsWithVhd(const std::string& name) { return boost::algorithm::iends_with(name, ".vhd"); }

std::vector<std::string> SplitAtBackslashes(const std::string& text) {
    std::vector<std::string> parts;
    boost::algorithm::split(parts, text, [](char c) { return c == '\\'; });
    return parts;
}

std::string LunLimitText(const std::string& vmName) {
    return "Cannot attach disks to virtual machine [" + vmName +
           "] as the total count of disks would exceed the maximum permissible value of [" +
           std::to_string(kMaxLun + 1) + "].";
}

}  // namespace

bool CAzureInfo::GenerateUniqueDiskName(const RestoreCtx& ctx) { return GenerateUniqueDiskName(ctx, ctx.m_vmSize); }

bool CAzureInfo::GenerateUniqueDiskName(const RestoreCtx& ctx, const std::string& vmSize) {
    RestoreCtx& restore = _Writable(ctx);
    EvDebug::Debug(kNamesTag, "Generating unique disk names...");
    if (!_RefuseSharedDiskNames(ctx)) return false;
    const bool skipPlacement = ctx.snapRestore && !IsVMDiskEncrypted(ctx.disks) && ctx.restoreAsManagedVM;
    // Restored name to the backed-up name of the disk that took it in this pass.
    std::map<std::string, std::string> taken;
    for (SDisk& disk : restore.disks) {
        if (disk.type != DISK_TYPE_VIRTUAL_DISK) continue;
        if (!ctx.cloudFSRestore) disk.sourceDiskName = disk.originalName;
        disk.diskFormat = 23;

        std::string name;
        const bool userTarget = ctx.restoreType == RESTORE_TYPE_DISK_ATTACH && !disk.targetName.empty();
        if (ctx.restoreType == RESTORE_TYPE_REPLICATION && EndsWithVhd(disk.name)) {
            name = disk.name;
        } else if (userTarget) {
            name = EndsWithVhd(disk.targetName) ? disk.targetName : disk.targetName + ".vhd";
        } else {
            name = ctx.vmName;
            if (disk.isOsDisk && ctx.restoreType != RESTORE_TYPE_DISK_ATTACH)
                name += ".vhd";
            else
                _GenerateDiskName(name);
        }
        boost::algorithm::to_lower(name);

        std::string account;
        std::string container;
        if (skipPlacement) {
            EvDebug::Debug(kNamesTag, "Skipping Storage Account and Container checks for Managed VM snap restores...");
        } else {
            if (ctx.restoreAsManagedVM && !_IsValidStorageAccount(disk.storageAccount)) {
                EvDebug::Debug(kNamesTag, "Staging storage account [%s] is invalid. Fetching Storage Accounts in Region [%s]..",
                               disk.storageAccount.c_str(), ctx.region.c_str());
                SDatastoreInfo staging;
                if (!_GetStagingStorageAccountInfo(ctx.region, staging)) return false;
                disk.storageAccount = staging.name;
                EvDebug::Debug(kNamesTag, "Selecting storage account [%s] for staging blobs..", staging.name.c_str());
            }
            const std::string::size_type slash = disk.storageAccount.find('\\');
            account = disk.storageAccount.substr(0, slash);
            container = kDefaultContainer;
            if (slash != std::string::npos) {
                container = disk.storageAccount.substr(slash + 1);
                disk.storageAccount = account;
            }
            int snapshots = 0;
            if (!userTarget && sdk->GetBlobSnapshotCount(account, container, name, true, snapshots) && snapshots > 0) {
                std::string renamed = ctx.vmName;
                _GenerateDiskName(renamed);
                boost::algorithm::to_lower(renamed);
                EvDebug::Debug(kNamesTag, "blob [%s] has a snapshot from snap backup. Renaming blob to [%s]",
                               name.c_str(), renamed.c_str());
                name = renamed;
            }
            if (!_EnsureContainer(ctx, account, container)) return false;
        }

        // Two disks under one name would be written into one blob or managed disk, the second over the first.
        const auto earlier = taken.find(name);
        if (earlier != taken.end()) {
            const std::string text = "Disks [" + earlier->second + "] and [" + disk.name +
                                     "] would both be restored as [" + name + "]. Please give each disk its own name";
            EvDebug::Error(kNamesTag, "%s", text.c_str());
            SetLastVMError(VMINFO_ERR_RESTORE_DEPLOY, text);
            return false;
        }
        taken[name] = disk.name;

        if (!ctx.snapRestore) {
            if (IsVSCloudFSRequired(ctx)) {
                InitVSCloudFS();
                SetLastVMError(VMINFO_ERR_CLOUDFS_UNAVAILABLE, "VSCloudFS is not supported on linux");
                return false;
            }
            SAzureDiskInfo record;
            record.originalDiskName = disk.name;
            record.blobName = name;
            record.storageAccount = account;
            record.container = container;
            record.resourceGroup = ctx.resourceGroup;
            record.vmResourceGroup = ctx.resourceGroup;
            record.isOsDisk = disk.isOsDisk;
            if (IsDirectUploadModeSupported()) {
                record.directUpload = true;
                record.isManaged = true;
                record.location = ctx.region;
                EvDebug::Debug(kNamesTag, "adding VMsize info '%s' to disk '%s'", vmSize.c_str(), disk.name.c_str());
                record.vmSize = vmSize;
                record.firmware = ctx.originalInfo.firmware;
            }
            diskMap[disk.name] = record;
            disk.uri = disk.name;
            disk.isManaged = record.isManaged;
        }
        disk.targetName = name;
        disk.name = name;
        disk.restoredName = name;
    }
    return true;
}

bool CAzureInfo::_RefuseSharedDiskNames(const RestoreCtx& ctx) {
    std::set<std::string> seen;
    for (const SDisk& disk : ctx.disks) {
        if (disk.type != DISK_TYPE_VIRTUAL_DISK || seen.insert(disk.name).second) continue;
        FailSlot(*this, kSharedTag, VMINFO_ERR_RESTORE_DEPLOY,
                 "More than one disk of the backup is named [" + disk.name +
                     "]; the restore cannot tell their data apart and is refused before anything is created");
        return false;
    }
    return true;
}

bool CAzureInfo::_EnsureContainer(const RestoreCtx& ctx, const std::string& account, const std::string& container) {
    const Presence presence = ContainerPresence(*sdk, ctx.resourceGroup, account, container);
    if (presence == Presence::Present) return true;
    const std::string where = "container [" + container + "] of storage account [" + account + "]";
    if (presence == Presence::Unknown) {
        FailWrapperCall(*this, kContainerTag, VMINFO_ERR_RESTORE_DEPLOY, "Could not check " + where,
                        sdk->GetLastErrorString());
        return false;
    }
    if (!sdk->CreateStorageContainer(ctx.resourceGroup, account, container)) {
        FailWrapperCall(*this, kContainerTag, VMINFO_ERR_RESTORE_DEPLOY, "Failed to create " + where,
                        sdk->GetLastErrorString());
        return false;
    }
    restoreCreatedContainers.push_back({ctx.resourceGroup, account, container});
    return true;
}

void CAzureInfo::_GenerateDiskName(std::string& name) {
    // One second between two stamps, so that no two names of one restore share a stamp.
    KASLEEP(1000);
    struct tm now = NxClock::localNow();
    char stamp[32] = {0};
    if (std::strftime(stamp, sizeof(stamp), "%Y%m%d-%H%M%S", &now) == 0)
        EvDebug::Error(kStampTag, "Failed to format the time stamp of disk [%s]", name.c_str());
    name += "-";
    name += stamp;
    name += ".vhd";
}

bool CAzureInfo::_UpdateDiskToStorageMap(const RestoreCtx& ctx) {
    for (SDisk& disk : _Writable(ctx).disks) {
        if (disk.type != DISK_TYPE_VIRTUAL_DISK) continue;
        const std::vector<std::string> parts = SplitAtBackslashes(disk.uri);
        if (parts.size() < 2) {
            EvDebug::Error(kMapTag, "Disk staging path [%s] is not of the expected format", disk.uri.c_str());
            return false;
        }
        SAzureDiskInfo record;
        record.storageAccount = disk.storageAccount;
        record.container = parts[parts.size() - 2];
        record.blobName = parts.back();
        record.originalDiskName = disk.name;
        record.dataUrl = disk.uri;
        record.isOsDisk = disk.isOsDisk;
        record.resourceGroup = ctx.resourceGroup;
        diskMap[disk.uri] = record;
        EvDebug::Debug(kMapTag, "Disk [%s], Storage Account [%s], Container [%s], Blob Name [%s]", disk.uri.c_str(),
                       record.storageAccount.c_str(), record.container.c_str(), record.blobName.c_str());
        disk.name = record.blobName;
    }
    return true;
}

bool CAzureInfo::_GenerateDiskLun(const OperationCtx& opCtx) {
    OperationCtx& op = const_cast<OperationCtx&>(opCtx);
    SVMInfo existing;
    if (opCtx.operation == VM_OP_RECONFIGURE &&
        !GetVMInfoForVM(opCtx.vmInfo.name, opCtx.vmInfo.guid, "", 16, 0, existing)) {
        const std::string text =
            "Virtual machine [" + opCtx.vmInfo.name + "] [" + opCtx.vmInfo.guid + "] not found";
        EvDebug::Error(kLunTag, "%s. Error: [%s].", text.c_str(), sdk->GetLastErrorString().c_str());
        SetLastVMError(VMINFO_ERR_VM_NOT_FOUND, text);
        return false;
    }
    int cursor = -1;
    for (SDisk& disk : op.vmInfo.disks) {
        if (disk.isOsDisk || !disk.uri.empty()) continue;
        cursor = GetFirstAvailableLUN(existing.disks, cursor);
        if (cursor == -1) {
            const std::string text = LunLimitText(opCtx.vmInfo.name);
            SetLastVMError(VMINFO_ERR_DISK_ATTACH, text);
            EvDebug::Error(kLunTag, "%s", text.c_str());
            return false;
        }
        disk.unitNumber = cursor;
    }
    return true;
}

int CAzureInfo::GetFirstAvailableLUN(const std::vector<SDisk>& disks, int after) {
    for (int candidate = after < -1 ? 0 : after + 1; candidate <= kMaxLun; ++candidate) {
        bool used = false;
        for (const SDisk& disk : disks) used = used || disk.unitNumber == candidate;
        if (!used) return candidate;
    }
    return -1;
}
