// The replica's disks as they are in the cloud: their replication GUIDs, which of them the run may
// reuse, and their growth when the source disks grew.
#include <set>

#include "plugin/frame/AzureInfo.h"
#include "plugin/frame/Existence.h"
#include "plugin/frame/SlotFailure.h"
#include "plugin/replication/ReplicaNames.h"

namespace {

const char* const kGuidTag = "bool CAzureInfo::GetReplicationDiskGuid(const string, SDisk&)";
const char* const kStagingTag = "bool CAzureInfo::UpdateDiskListFromStaging(const RestoreCtx&)";
const char* const kIncrTag = "bool CAzureInfo::InitDisks_IncrReplication(const RestoreCtx&, std::vector<SDisk>&)";
const char* const kGrownTag =
    "bool CAzureInfo::IsDiskSizeIncreasedinSourceVM(const std::vector<SDisk>&, SDisk&)";

constexpr long long kGiB = 1LL << 30;

long long WholeGiB(long long bytes) { return bytes / kGiB + (bytes % kGiB > 0 ? 1 : 0); }

}  // namespace

std::string ReplicaBlobName(const std::string& resourceGroup, const std::string& vmName, bool isOsDisk, int n) {
    if (isOsDisk) return resourceGroup + "-" + vmName + ".vhd";
    return resourceGroup + "-" + vmName + "-" + std::to_string(n) + ".vhd";
}

bool CAzureInfo::GetReplicationDiskGuid(const std::string resourceGroup, SDisk& disk) {
    std::vector<SInventoryInfo> tags;
    if (!sdk->GetDiskTagInfo(resourceGroup, disk, tags)) {
        EvDebug::Debug(kGuidTag, "Failed to get disk [%s] metadata", disk.name.c_str());
        return false;
    }
    for (const SInventoryInfo& tag : tags) {
        if (!boost::algorithm::iequals(tag.name, kReplicationDiskGuidTag)) continue;
        disk.guid = tag.id;
        return true;
    }
    return false;
}

bool CAzureInfo::UpdateDiskListFromStaging(const RestoreCtx& ctx) {
    RestoreCtx& restore = _Writable(ctx);
    if (!ctx.vmInfo.disks.empty()) {
        for (SDisk& disk : restore.vmInfo.disks) {
            if (disk.type != DISK_TYPE_VIRTUAL_DISK) continue;
            disk.isManaged = ctx.vmInfo.isManaged;
            GetReplicationDiskGuid(disk.resourceGroup, disk);
            if (disk.guid.empty()) {
                EvDebug::Error(kStagingTag, "Failed to get GUID for disk [%s]. Falling back to full replication.",
                               disk.name.c_str());
                return false;
            }
        }
        return true;
    }
    for (const SDisk& disk : ctx.disks) {
        if (disk.type != DISK_TYPE_VIRTUAL_DISK) continue;
        SDisk info;
        if (!sdk->GetBlobInfo(disk.storageAccount, "vhds", disk.name, info)) {
            EvDebug::Debug(kStagingTag, "Failed to get blob [%s] details. Assuming it's a new source disk.",
                           disk.name.c_str());
            continue;
        }
        GetReplicationDiskGuid("", info);
        if (info.guid.empty()) {
            EvDebug::Error(kStagingTag, "Failed to get disk GUID for staging blob [%s]. Falling back to full replication.",
                           disk.name.c_str());
            return false;
        }
        info.isOsDisk = disk.isOsDisk;
        restore.vmInfo.disks.push_back(info);
    }
    return true;
}

bool CAzureInfo::InitDisks_IncrReplication(const RestoreCtx& ctx, std::vector<SDisk>& changedDisks) {
    std::set<std::string> attached;
    int n = 0;
    for (const SDisk& disk : ctx.vmInfo.disks) {
        if (disk.type != DISK_TYPE_VIRTUAL_DISK) continue;
        std::string name = disk.name;
        if (ctx.vmInfo.isManaged) name = ReplicaBlobName(ctx.resourceGroup, ctx.vmName, disk.isOsDisk, n);
        ++n;
        boost::algorithm::to_lower(name);
        EvDebug::DebugLvl(kIncrTag, 2, "Disk [%s] is already attached to destination VM", name.c_str());
        attached.insert(name);
    }
    std::vector<SDisk> inTheWay;
    for (const SDisk& disk : ctx.disks) {
        if (disk.type != DISK_TYPE_VIRTUAL_DISK || attached.count(boost::algorithm::to_lower_copy(disk.name))) continue;
        const Presence presence = BlobPresence(*sdk, "", disk.storageAccount, "vhds", disk.name);
        if (presence == Presence::Unknown) {
            FailWrapperCall(*this, kIncrTag, VMINFO_ERR_RESTORE_DEPLOY,
                            "Could not check whether blob [" + disk.name + "] exists in storage account [" +
                                disk.storageAccount + "]",
                            sdk->GetLastErrorString());
            return false;
        }
        if (presence == Presence::Absent) continue;
        EvDebug::DebugLvl(kIncrTag, 2, "Disk [%s] already exists in storage account", disk.name.c_str());
        inTheWay.push_back(disk);
    }
    if (!inTheWay.empty()) {
        if (!ctx.overwrite && !ctx.deployReplicaVm) {
            SetLastVMError(VMINFO_ERR_BLOB_EXISTS);
            const char* text = "Blob already exists in destination storage account. Please select different storage "
                               "account or select overwrite option";
            EvDebug::Error(kIncrTag, "%s", text);
            SetLastVMErrorDetails(text);
            return false;
        }
        if (!DeleteExistingBlobs(inTheWay)) return false;
    }
    return HandleReplicatedDiskSizeChange(ctx, changedDisks);
}

bool CAzureInfo::HandleReplicatedDiskSizeChange(const RestoreCtx& ctx, std::vector<SDisk>& changedDisks) {
    bool changed = false;
    std::vector<SDisk> working;
    for (const SDisk& disk : ctx.vmInfo.disks) {
        if (disk.type != DISK_TYPE_VIRTUAL_DISK) continue;
        SDisk copy = disk;
        if (IsDiskSizeIncreasedinSourceVM(ctx.disks, copy)) {
            changed = true;
            changedDisks.push_back(copy);
        }
        working.push_back(copy);
    }
    if (changed) _Writable(ctx).vmInfo.disks = working;
    return true;
}

bool CAzureInfo::IsDiskSizeIncreasedinSourceVM(const std::vector<SDisk>& restoreDisks, SDisk& destDisk) {
    for (const SDisk& source : restoreDisks) {
        if (source.type != DISK_TYPE_VIRTUAL_DISK || source.guid != destDisk.guid) continue;
        const long long destGB = WholeGiB(destDisk.capacity);
        const long long srcGB = WholeGiB(source.capacity);
        if (destGB >= srcGB) return false;
        EvDebug::Debug(kGrownTag, "Changing max disk size of disk [%s] from [%lld] GB to [%lld] GB",
                       destDisk.name.c_str(), destGB, srcGB);
        destDisk.capacity = srcGB * kGiB;
        return true;
    }
    return false;
}
