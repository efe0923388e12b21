// Mounts of snapshot-engine jobs: a copy job finds its VM in the snap job's metadata and points
// every disk at the snapshot the job kept, so that the disk data path reads the snapshot and not
// the live disk; the snap job itself lists each VM's disks and configuration files.
#include "cloudsdk/SdkErrorCodes.h"
#include "host/util/FXString.h"
#include "plugin/backup/MountCtxAccess.h"
#include "plugin/frame/AzureInfo.h"
#include "plugin/frame/SlotFailure.h"

namespace {

const char* const kSnapToTapeTag = "bool CAzureInfo::_MountVM_SnapToTape(const MountCtx&)";
const char* const kPointTag = "bool CAzureInfo::_PointDisksAtSnapshots(const MountCtx&, bool&)";
const char* const kFullInfoTag =
    "bool CAzureInfo::_GetFullMountInfo_SnapBackup(const MountCtx&, std::vector<SMountInfoFull>&)";
const char* const kMountSnapTag = "virtual int CAzureInfo::MountSnap(const MountCtx&)";
constexpr UINT64 kVmWithDisks = 16;
constexpr int kSnapDiskFormat = 23;

std::string UnreadableJob(NXJobID jobId) {
    return FXString::Format("Cannot read the snap metadata of job [%lld]", static_cast<long long>(jobId));
}

void DisableChangeTracking(MountCtx& mount) {
    mount.cbtEnabled = false;
    mount.cbtStatusText = "Not Used";
}

}  // namespace

bool CAzureInfo::_MountVM_SnapToTape(const MountCtx& ctx) {
    MountCtx& mount = Writable(ctx);
    if (ctx.isVmCentric) {
        mount.snapToTapeFlag = true;
        if (ctx.liveBrowse) mount.refJobId = ctx.altJobId;
    }
    std::vector<SDatastoreInfo> datastores;
    if (!ReadDSListFromSnapBackupXML(ctx, datastores)) {
        const std::string text = UnreadableJob(ctx.refJobId);
        EvDebug::Error(kSnapToTapeTag, "%s", text.c_str());
        SetLastVMError(VMINFO_ERR_SNAP_RECORDS, text);
        return false;
    }
    RestoreCtx scratch;
    if (!_GetFileListForRevertFromSnapXML(ctx, datastores, scratch)) {
        const std::string text = "Failed to get file list for VM [" + ctx.vmName + "] [" + ctx.vmGuid + "]";
        EvDebug::Error(kSnapToTapeTag, "%s", text.c_str());
        SetLastVMError(VMINFO_ERR_REVERT_FILE_LIST, text);
        return false;
    }
    if (ctx.vmInfo.snapStatus != 0) {
        if (ctx.vmInfo.snapStatus == VMINFO_ERR_VM_SNAPSHOT_CREATE)
            EvDebug::Error(kSnapToTapeTag,
                           "VM [%s] [%s] failed to create snapshot during snapbackup. Marking VM as FAILED",
                           ctx.vmName.c_str(), ctx.vmGuid.c_str());
        SetLastVMError(static_cast<EVMInfoError>(ctx.vmInfo.snapStatus), ctx.vmInfo.snapStatusDetails);
        return false;
    }
    std::string snapshotGuid;
    if (!_GetVolSnapInfo(ctx, snapshotGuid)) return false;
    mount.vmInfo.snapshotGuid = snapshotGuid;

    bool fullSnapshot = false;
    if (!_PointDisksAtSnapshots(ctx, fullSnapshot)) return false;
    if (!ctx.vmInfo.isManaged && GetVSInstType() == VSINST_AZURE_STACK_HUB && ctx.cbtEnabled) {
        DisableChangeTracking(mount);
        EvDebug::Debug(kSnapToTapeTag,
                       "CBT enabled but is not supported on Azure Stack Hub for unmanaged VMs.  "
                       "Disabling CBT for VM [%s]",
                       ctx.mountVmName.c_str());
    }
    if (fullSnapshot) {  // only managed disks have incremental snapshots
        DisableChangeTracking(mount);
        EvDebug::Debug(kSnapToTapeTag,
                       "Snapshots created during snap backup are not incremental snapshots. Disabling CBT ...");
    }
    if (!_DownloadVMConfigFile(ctx.mountPath, ctx)) {
        SetLastVMError(VMINFO_ERR_SNAP_CONFIG_FETCH,
                       "Cannot fetch the configuration files of VM [" + ctx.vmName + "] into [" + ctx.mountPath + "]");
        return false;
    }
    return true;
}

bool CAzureInfo::_PointDisksAtSnapshots(const MountCtx& ctx, bool& fullSnapshot) {
    const std::string& snapshotGuid = ctx.vmInfo.snapshotGuid;
    for (SDisk& disk : Writable(ctx).vmInfo.disks) {
        if (!ctx.vmInfo.isManaged) {
            std::string snapshotUri;
            if (!sdk->GetSnapshotURI(disk.uri, snapshotGuid, true, snapshotUri)) {
                // Only a definite "none" means the snapshot is missing; any other failure is a failed query.
                const EVMInfoError code = sdk->GetLastErrorCode() == AzureSDKCppBridge::SDK_ERR_NOT_FOUND
                                              ? VMINFO_ERR_DISK_SNAPSHOT_NOT_FOUND
                                              : VMINFO_ERR_DISK_SNAPSHOT_QUERY;
                const std::string text = "Failed to get the snapshot for [" + disk.uri + "]";
                EvDebug::Error(kPointTag, "%s: [%s]", text.c_str(), sdk->GetLastErrorString().c_str());
                SetLastVMError(code, text);
                return false;
            }
            disk.uri = snapshotUri;
            continue;
        }
        disk.managedDiskId = disk.uri;
        std::string subscription, resourceGroup, providerNamespace, name;
        _ParseResourceID(disk.managedDiskId, subscription, resourceGroup, providerNamespace, name);
        if (resourceGroup.empty()) resourceGroup = ctx.vmInfo.resourceGroup;
        std::vector<SDisk> snapshots;
        if (!sdk->GetManagedDiskSnapshotsForDisk(disk, snapshotGuid, true, resourceGroup, true, snapshots)) {
            const std::string text = "Failed to get the snapshots for Managed Disk [" + disk.uri + "]";
            EvDebug::Error(kPointTag, "%s", text.c_str());
            SetLastVMError(VMINFO_ERR_DISK_SNAPSHOT_QUERY, text);
            return false;
        }
        if (snapshots.empty()) {
            const std::string text =
                FXString::Format("No snapshots with snapshot GUID [%s] found for Managed Disk [%s]",
                                 snapshotGuid.c_str(), disk.name.c_str());
            EvDebug::Error(kPointTag, "%s", text.c_str());
            SetLastVMError(VMINFO_ERR_DISK_SNAPSHOT_NOT_FOUND, text);
            return false;
        }
        const SDisk& snapshot = snapshots.front();
        disk.uri = disk.managedDiskId = snapshot.managedDiskId;
        if (!snapshot.incrementalSnapshot) fullSnapshot = true;
        EvDebug::Debug(kPointTag, "Successfully enumerated Snapshot [%s] Type [%s] for managed disk [%s]",
                       snapshot.managedDiskId.c_str(), snapshot.incrementalSnapshot ? "Incremental" : "Full",
                       disk.name.c_str());
    }
    return true;
}

bool CAzureInfo::_GetFullMountInfo_SnapBackup(const MountCtx& ctx, std::vector<SMountInfoFull>& infos) {
    const SVMInfo& vm = ctx.vmInfo;
    EvDebug::Debug(kFullInfoTag, "Get full mount info for VM [%s]", vm.name.c_str());
    if (!_GenerateVMConfigFileForSnapBackup(ctx, vm)) {
        EvDebug::Error(kFullInfoTag, "Failed to save the VM create spec for [%s][%s]", vm.name.c_str(),
                       vm.guid.c_str());
        return false;
    }
    if (!_GetFullMountInfo_ConfigFiles(ctx, infos)) {
        SetLastVMError(VMINFO_ERR_SNAP_CONFIG_FETCH, "Cannot list the configuration files of VM [" + vm.name + "]");
        return false;
    }
    SVMInfo fresh;
    if (!sdk->GetVMInfoForVM(vm.name, vm.guid, vm.resourceGroup, kVmWithDisks, 0, fresh)) {
        EvDebug::Error(kFullInfoTag, "Failed to fetch VM Info with disks for [%s][%s]", vm.name.c_str(),
                       vm.guid.c_str());
        SetLastVMError(VMINFO_ERR_VM_NOT_FOUND, sdk->GetLastErrorString());
        return false;
    }
    for (SDisk disk : fresh.disks) {
        if (skipDataDisks && !disk.isOsDisk) continue;
        if (IsDiskFiltered(ctx, disk) || disk.includeFlag != 1) continue;
        disk.diskFormat = kSnapDiskFormat;
        disk.type = DISK_TYPE_VIRTUAL_DISK;
        disk.indexName = GenerateUniqueDiskNameForBackup(disk);
        SMountInfoFull entry;
        entry.kind = MOUNT_ENTRY_DISK;
        entry.disks.push_back(disk);
        infos.push_back(entry);
    }
    return true;
}

int CAzureInfo::MountSnap(const MountCtx& ctx) {
    return GuardSlot(*this, kMountSnapTag, VMINFO_ERR_SNAP_RECORDS, 0, [&] {
        EvDebug::Debug(kMountSnapTag, "Invoked");
        SetLastVMError(VMINFO_ERR_NONE);
        if (ctx.isVmCentric) return 1;
        // The id is 64-bit: printed whole, it reads as it always did for ids that fit 32 bits.
        EvDebug::Debug(kMountSnapTag, "Input Snap Job ID [%lld]", static_cast<long long>(ctx.refJobId));
        if (ctx.reassignSnapJob) {
            if (!snapUtil->GetVOLSNAPInfo(ctx, volSnapInfo, false)) {
                FailSlot(*this, kMountSnapTag, VMINFO_ERR_SNAP_RECORDS, "GetVOLSNAPInfo Failed");
                return 0;
            }
            if (volSnapInfo.numOfSnap() == 0 || volSnapInfo.volumes.empty()) {
                FailSlot(*this, kMountSnapTag, VMINFO_ERR_SNAP_RECORDS, "No Snap found. Snap Count is Zero.");
                return 0;
            }
            const SMVolumeInfo& first = volSnapInfo.volumes.front();
            MountCtx& mount = Writable(ctx);
            mount.orbitId = first.orbitId;
            mount.appId = first.appId;
            mount.refJobId = first.jobId;
            EvDebug::Debug(kMountSnapTag, "Reassigned Snap Job ID [%lld]", static_cast<long long>(ctx.refJobId));
        }
        std::vector<SDatastoreInfo> datastores;
        if (_DownloadSnapBackupXML(ctx) && snapUtil->ReadSnapMetadataXML(datastores, ctx)) return 1;
        const std::string text = UnreadableJob(ctx.refJobId);
        EvDebug::Error(kMountSnapTag, "%s", text.c_str());
        SetLastVMError(VMINFO_ERR_SNAP_RECORDS, text);
        return 0;
    });
}
