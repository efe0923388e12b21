// Preconditions of a backup snapshot (key-vault access, Ultra SSD disks) and the snapshot set itself.
#include "plugin/backup/MountCtxAccess.h"
#include "plugin/frame/AzureInfo.h"

namespace {

const char* const kKeyVaultTag = "bool CAzureInfo::VerifyKeyVaultPermissions(const MountCtx&)";
const char* const kUltraTag = "bool CAzureInfo::ExcludeUltraSsdDisks(const MountCtx&)";
const char* const kSnapshotTag = "bool CAzureInfo::_CreateVMSnapshot(const MountCtx&)";
const char* const kEncryptedTag = "bool CAzureInfo::IsVMDiskEncrypted(const std::vector<VMInfoStructs::SDisk>&)";

}  // namespace

bool CAzureInfo::VerifyKeyVaultPermissions(const MountCtx& ctx) {
    bool encrypted = false;
    for (const SDisk& disk : ctx.vmInfo.disks) encrypted = encrypted || disk.isEncrypted;
    if (!encrypted) return true;
    if (GetVSInstType() == VSINST_AZURE_STACK_HUB) {
        EvDebug::Error(kKeyVaultTag, "Backup of encrypted VMs is not supported for Azure Stack. Aborting backup!");
        SetLastVMError(VMINFO_ERR_ENCRYPTED_ON_AZURE_STACK);
        return false;
    }
    std::string config, dek, kek;
    if (sdk->GetVMConfigurationAndKeyBackups(ctx.vmInfo.resourceGroup, ctx.vmInfo.name, config, dek, kek)) return true;
    if (!SetLastVMErrorFromSDKWrapperError(sdk->GetLastErrorCode()))
        SetLastVMError(VMINFO_ERR_KEYVAULT_PERMISSION_CHECK, sdk->GetLastErrorString());
    return false;
}

bool CAzureInfo::ExcludeUltraSsdDisks(const MountCtx& ctx) {
    if (ctx.vmInfo.disks.empty()) return true;
    EvDebug::Debug(kUltraTag, "Checking for presence of any Ultra SSD disks..");
    std::vector<SDisk> kept;
    for (const SDisk& disk : ctx.vmInfo.disks) {
        if (!disk.isFiltered && disk.volumeType.find("UltraSSD") != std::string::npos) {
            EvDebug::Debug(kUltraTag, "Skipping disk [%s] as it is detected as Ultra SSD", disk.name.c_str());
            AddMountFailure(ctx, disk.name, "Snapshots for Ultra SSD disks are not supported by Azure", false);
            continue;
        }
        kept.push_back(disk);
    }
    if (kept.empty()) {
        EvDebug::Error(kUltraTag, "All the disks of the VM are Ultra SSD.");
        SetLastVMError(VMINFO_ERR_ALL_DISKS_ULTRA_SSD);
        return false;
    }
    Writable(ctx).vmInfo.disks = kept;
    return true;
}

bool CAzureInfo::_CreateVMSnapshot(const MountCtx& ctx) {
    MountCtx& mount = Writable(ctx);
    EvDebug::Debug(kSnapshotTag, "Creating Snapshot on VM [%s] ...", ctx.mountVmName.c_str());
    const NXJobID jobTag = ctx.isVmCentric ? ctx.altJobId : ctx.jobId;
    std::string snapshotGuid;
    std::vector<SDisk> disks;
    if (!sdk->CreateDiskSnapshots(ctx.vmInfo.disks, ctx.vmInfo.resourceGroup, ctx.vmInfo.region, ctx.vmInfo.name,
                                  ctx.appId, jobTag, snapshotGuid, disks)) {
        const std::string text = sdk->GetLastErrorString();
        EvDebug::Error(kSnapshotTag, "Failed to create disk snapshots, [%s]", text.c_str());
        SetLastVMError(VMINFO_ERR_SNAPSHOT_SET_CREATE, text);
        return false;
    }
    UpdateMountCtxReferenceTimeWIthCurrentTime(ctx);
    EvDebug::Debug(kSnapshotTag,
                   "Created disk snapshots with Snapshot GUID [%s]. This GUID would be later used during cleanup of "
                   "disk snapshots",
                   snapshotGuid.c_str());
    if (!disks.empty() && ctx.vmInfo.isManaged && !disks.front().incrementalSnapshot) {
        EvDebug::Debug(kSnapshotTag,
                       "Incremental snapshots from Managed VMs are NOT supported in Azure location [%s]. Disabling CBT "
                       "...",
                       ctx.vmInfo.region.c_str());
        mount.cbtEnabled = false;
        mount.cbtStatusText = "Not Used";
    }
    mount.vmInfo.snapshotGuid = snapshotGuid;
    mount.backupSnapshotGuid = snapshotGuid;
    mount.vmInfo.disks = disks;
    return true;
}

bool CAzureInfo::IsVMDiskEncrypted(const std::vector<SDisk>& disks) {
    for (const SDisk& disk : disks) {
        if (disk.type == DISK_TYPE_VIRTUAL_DISK && disk.isEncrypted) {
            EvDebug::Debug(kEncryptedTag, "VM has at least one of the disk as encrypted");
            return true;
        }
    }
    return false;
}
