// Unmount and job cleanup: snapshot access revoked, the backup snapshot set deleted unless kept as reference.
#include "plugin/backup/MountCtxAccess.h"
#include "plugin/frame/AzureInfo.h"
#include "plugin/frame/SlotFailure.h"

namespace {

const char* const kUnmountTag = "virtual int CAzureInfo::UnmountVM(const MountCtx&)";
const char* const kCleanupTag = "virtual int CAzureInfo::CleanupVM(const MountCtx&)";
const char* const kRevokeTag = "bool CAzureInfo::_RevokeSASTokens(const MountCtx&)";
const char* const kDeleteVmTag = "bool CAzureInfo::_DeleteVMSnapshot(const MountCtx&)";
const char* const kDeleteDisksTag =
    "bool CAzureInfo::_DeleteDiskSnapshots(const string&, std::vector<VMInfoStructs::SDisk>&, const string&, bool)";

std::vector<std::string> Split(const std::string& text, char delimiter) {
    std::vector<std::string> parts;
    std::string::size_type from = 0;
    while (true) {
        const std::string::size_type at = text.find(delimiter, from);
        parts.push_back(text.substr(from, at == std::string::npos ? std::string::npos : at - from));
        if (at == std::string::npos) return parts;
        from = at + 1;
    }
}

}  // namespace

int CAzureInfo::UnmountVM(const MountCtx& ctx) {
    return GuardSlot(*this, kUnmountTag, VMINFO_ERR_SNAPSHOT_DELETE, 0, [&] {
        // Disks attached to the local VM for live browse are released by every unmount that attached them.
        if (ctx.liveBrowse && (ctx.isBackupCopy || !ctx.isSnapJob)) _CleanUpSnapLiveBrowseState(ctx);
        if (ctx.isSnapJob && !ctx.isBackupCopy) {
            EvDebug::Debug(kUnmountTag, "Skipping unmount of VM [%s] for snap job", ctx.vmName.c_str());
            return 1;
        }
        EvDebug::Debug(kUnmountTag, "Unmounting VM [%s] with GUID:[%s]", ctx.mountVmName.c_str(),
                       ctx.mountVmGuid.c_str());
        if (!_PrepareMountPathDirectory(ctx.mountPath, false)) {
            SetLastVMError(VMINFO_ERR_MOUNT_DIR_MISSING);
            return 0;
        }
        if (ctx.vmInfo.isManaged) _RevokeSASTokens(ctx);
        if (!ctx.isBackupCopy && !_DeleteVMSnapshot(ctx))
            AddMountFailure(ctx, ctx.vmInfo.displayName, "Failed to cleanup snapshots created for backing up VM",
                            true);
        CleanupStagingInfoForVM(ctx.vmInfo.disks);
        return 1;
    });
}

bool CAzureInfo::_RevokeSASTokens(const MountCtx& ctx) {
    EvDebug::Debug(kRevokeTag, "Revoking SAS tokens for snapshots of Managed VM [%s]", ctx.vmInfo.name.c_str());
    for (const SDisk& disk : ctx.vmInfo.disks) {
        if (disk.managedDiskId.empty()) continue;
        const std::vector<std::string> parts = Split(disk.managedDiskId, '/');
        if (parts.size() <= 4) continue;
        const std::string& snapshotName = parts.back();
        const std::string& resourceGroup = parts[4];
        if (FXString::FindString(snapshotName, "_QDMD_", 1) == std::string::npos &&
            FXString::FindString(snapshotName, "_ORVALENTA_QDMD_SNAP_", 1) == std::string::npos)
            continue;
        EvDebug::Debug(kRevokeTag, "Revoking SAS tokens for snapshot [%s] in ResourceGroup [%s]", snapshotName.c_str(),
                       resourceGroup.c_str());
        sdk->RevokeSASToken(resourceGroup, snapshotName);
    }
    return true;
}

bool CAzureInfo::_DeleteVMSnapshot(const MountCtx& ctx) {
    MountCtx& mount = Writable(ctx);
    EvDebug::Debug(kDeleteVmTag, "Deleting Snapshot on VM [%s], Host [%s] ...", ctx.vmName.c_str(),
                   ctx.vmInfo.resourceGroup.c_str());
    if (ctx.backupSnapshotGuid.empty()) return true;
    if (!_DeleteDiskSnapshots(ctx.backupSnapshotGuid, mount.vmInfo.disks, ctx.vmInfo.resourceGroup, false))
        return false;
    mount.backupSnapshotGuid.clear();
    return true;
}

bool CAzureInfo::_DeleteDiskSnapshots(const std::string& snapshotGuid, std::vector<SDisk>& disks,
                                      const std::string& resourceGroup, bool isSnapJob) {
    if (!sdk->DeleteDiskSnapshots(snapshotGuid, disks, resourceGroup, isSnapJob)) {
        EvDebug::Error(kDeleteDisksTag, "Failed to delete disk snapshots with Snapshot ID [%s]", snapshotGuid.c_str());
        return false;
    }
    EvDebug::Debug(kDeleteDisksTag, "Successfully deleted disk snapshots with Snapshot ID [%s]", snapshotGuid.c_str());
    return true;
}

int CAzureInfo::CleanupVM(const MountCtx& ctx) {
    return GuardSlot(*this, kCleanupTag, VMINFO_ERR_SNAPSHOT_DELETE, 0, [&] {
        if (ctx.isBackupCopy || ctx.backupSnapshotGuid.empty()) return 1;
        if (!sdk->CleanupVMSnapshot(ctx.vmName, ctx.vmGuid, ctx.backupSnapshotGuid, ctx.isSnapJob)) {
            EvDebug::Error(kCleanupTag, "Failed to remove snapshotGuid [%s] on VM [%s] Guid [%s]",
                           ctx.backupSnapshotGuid.c_str(), ctx.vmName.c_str(), ctx.vmGuid.c_str());
            return 0;
        }
        EvDebug::Debug(kCleanupTag, "Successfully removed snapshotGuid [%s] on VM [%s] Guid [%s]",
                       ctx.backupSnapshotGuid.c_str(), ctx.vmName.c_str(), ctx.vmGuid.c_str());
        return 1;
    });
}
