// Backup mount driver: orders the mount steps and turns their failures into host error codes.

#include "host/settings/NXPlatformInfo.h"
#include "plugin/backup/MountCtxAccess.h"
#include "plugin/frame/AzureInfo.h"
#include "plugin/frame/SlotFailure.h"

namespace {

const char* const kMountTag = "virtual int CAzureInfo::MountVM(const MountCtx&)";
const char* const kDriverTag = "int CAzureInfo::_MountVM(const MountCtx&)";

bool LiveBrowseAllowed() {
    bool allowed = false;
    NXPlatformInfo::getBoolean("VirtualServer", "bUseHotAddForAzureLiveBrowse", &allowed);
    return allowed;
}

// Releases what a failed mount created; the host is told why the mount failed, not how the release went.
void UnmountKeepingError(CAzureInfo& plugin, const MountCtx& ctx) {
    const EVMInfoError code = plugin.GetLastVMError();
    const std::string message = plugin.GetLastVMErrorMessage();
    const std::string details = plugin.GetLastVMErrorDetails();
    plugin.UnmountVM(ctx);
    plugin.SetLastVMError(code, message);
    plugin.SetLastVMErrorDetails(details);
}

}  // namespace

int CAzureInfo::MountVM(const MountCtx& ctx) {
    return GuardSlot(*this, kMountTag, VMINFO_ERR_DISK_INFO, 0, [&] {
        SetLastVMError(VMINFO_ERR_NONE);
        if (ctx.isSnapJob && !ctx.isBackupCopy) return _MountVM_Snap_Backup(ctx) ? 1 : 0;
        if (!sdk->CheckConnection()) {
            const std::string text = sdk->GetLastErrorString();
            SetLastVMError(VMINFO_ERR_CONNECTION_LOST);
            SetLastVMErrorDetails(text);
            EvDebug::Debug(kMountTag, "Connection lost [%s]", text.c_str());
            return 0;
        }
        if (_MountVM(ctx)) return 1;
        UnmountKeepingError(*this, ctx);
        return 0;
    });
}

int CAzureInfo::_MountVM(const MountCtx& ctx) {
    MountCtx& mount = Writable(ctx);
    if (mount.mountVmGuid.empty()) {
        mount.mountVmGuid = mount.vmGuid;
        mount.mountVmName = mount.vmName;
    }
    EvDebug::Debug(kDriverTag, "Mounting VM:[%s] with GUID:[%s]", ctx.mountVmName.c_str(), ctx.mountVmGuid.c_str());

    if (!ctx.liveBrowse && !_PrepareMountPathDirectory(ctx.mountPath, true)) {
        SetLastVMError(VMINFO_ERR_MOUNT_DIR_PREPARE);
        return 0;
    }
    if (!directDownload && !InitVSCloudFS()) {
        SetLastVMError(VMINFO_ERR_CLOUDFS_UNAVAILABLE);
        return 0;
    }

    if (ctx.isBackupCopy) {
        if (!_MountVM_SnapToTape(ctx)) return 0;
    } else {
        if (!sdk->GetVMInfoForVM(ctx.mountVmName, ctx.mountVmGuid, ctx.hostName, 0x34, 0, mount.vmInfo)) {
            const std::string text = sdk->GetLastErrorString();
            EvDebug::Error(kDriverTag, "Failed to get VM Info for VM [%s/%s], [%s]", ctx.mountVmName.c_str(),
                           ctx.mountVmGuid.c_str(), text.c_str());
            SetLastVMError(VMINFO_ERR_VM_NOT_FOUND, text);
            return 0;
        }
        EvDebug::Debug(kDriverTag, "VM [%s] is a %s VM.", ctx.mountVmName.c_str(),
                       IsGen2Firmware(ctx.vmInfo.firmware) ? "Gen 2" : "Gen 1");
        if (GetVSInstType() == VSINST_AZURE_STACK_HUB && ctx.cbtEnabled && !ctx.vmInfo.isManaged) {
            mount.cbtEnabled = false;
            mount.cbtStatusText = "Not Used";
            EvDebug::Debug(kDriverTag,
                           "CBT enabled but is not supported on Azure Stack Hub for unmanaged VMs.  "
                           "Disabling CBT for VM [%s]",
                           ctx.mountVmName.c_str());
        }
        if (!VerifyKeyVaultPermissions(ctx) || !ExcludeFilteredDisks(ctx) || !ExcludeUltraSsdDisks(ctx)) return 0;
        if (ctx.isFailback) {
            for (SDisk& disk : mount.vmInfo.disks) {
                if (disk.type != DISK_TYPE_VIRTUAL_DISK || GetReplicationDiskGuid(disk.resourceGroup, disk)) continue;
                EvDebug::Error(kDriverTag, "Failed to get replication GUID for disk [%s]", disk.name.c_str());
                SetLastVMError(VMINFO_ERR_DISK_INFO, "Failed to get replication GUID for disk [" + disk.name + "]");
                return 0;
            }
        }
        if (!_CreateVMSnapshot(ctx)) return 0;  // the snapshot step has set error 17 with the cloud's text
        if (!_SaveVMConfigFile(ctx.vmInfo.resourceGroup, ctx.mountVmName, ctx.mountPath)) return 0;
        if (sdk->GetLastErrorCode() == 6)
            AddMountFailure(ctx, ctx.vmInfo.displayName,
                            "In case of a Linux VM where only OS Disk is encrypted, there is a possibility of "
                            "encountering a boot failure after Full VM restore.",
                            false);
    }

    if (ctx.liveBrowse) {
        if (!LiveBrowseAllowed() || !GetDiskInfoForVM_HotAdd(ctx)) {
            SetLastVMError(VMINFO_ERR_DISK_INFO);
            return 0;
        }
    } else if (!GetDiskInfoForVM(ctx)) {
        SetLastVMError(VMINFO_ERR_DISK_INFO);
        return 0;
    }
    EvDebug::DebugLvl(kDriverTag, 2, "Azure VM Location [%s]", ctx.vmInfo.region.c_str());

    if (ctx.cbtEnabled && !InitCBT(ctx)) return 0;

    if (ctx.isBackupCopy) return 1;  // a copy reads snapshots of another job: none of this job's to sweep
    bool atLimit = false;
    ExpireAndCheckStreamingSnapshotLimits(ctx.hostName, ctx.vmName, ctx.vmGuid, {referenceSnapshotId}, atLimit);
    if (atLimit) {
        EvDebug::Error(kDriverTag, "VM [%s] is at max number of snapshots for streaming backups.", ctx.vmGuid.c_str());
        SetLastVMError(VMINFO_ERR_SNAPSHOT_LIMIT);
        return 0;
    }
    return 1;
}
