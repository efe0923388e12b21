// Revert and restore of a VM from the snapshots a snapshot-engine job kept: the VM is found in the
// job's snap metadata, its disks are pointed at the recorded ones, and the full-VM restore creates
// the destination disks straight from the snapshots instead of uploading data.
//
// What the caller passes:
//   MountCtx: vmName, vmGuid (the VM as the job recorded it), isVmCentric, refJobId (the snap job),
//     isSnapJob, snapEngine, metadataDir (where the job XML lies or is downloaded to). For a VM-centric
//     job: refJobId and altJobId the VM's child job, snapMetadataFolder the folder holding the VM's
//     catalog; its configuration files are not fetched but must already lie in stagingRoot.
//   RestoreCtx: snapRestore set, restoreType RESTORE_TYPE_FULL_VM; disks from the VM's record (name,
//     indexName, type, isOsDisk, storageAccount, resourceGroup, managedDiskId, isEncrypted, volumeType)
//     plus one entry of type 0 whose indexName is "<source VM name>.json" (the job's configuration
//     file, downloaded into stagingRoot, so stagingPath must be stagingRoot); nics, securityGroups,
//     stagingRoot, stagingPath, restoreAsManagedVM, inPlaceRestore, overwrite, resourceGroup, region,
//     m_vmSize, vmName, sourceVmName, originalInfo. vmInfo.name and vmInfo.guid may be left empty: the
//     source VM's (MountCtx.vmName, vmGuid) then find the configuration file to download.
#include "cloudsdk/SdkErrorCodes.h"
#include "plugin/frame/AzureInfo.h"
#include "plugin/frame/SlotFailure.h"

namespace {

const char* const kRevertTag = "virtual int CAzureInfo::RevertSnap(MountCtx&, const RestoreCtx&)";
const char* const kPrepareTag = "bool CAzureInfo::_PrepareForFileRevert(MountCtx&, const RestoreCtx&)";
const char* const kFromSnapTag = "bool CAzureInfo::RestoreVM_FromSnap(const RestoreCtx&)";
const char* const kPreSnapTag = "bool CAzureInfo::_PreRestoreVM_Snap(const RestoreCtx&)";
const char* const kSourcesTag = "bool CAzureInfo::_PrepareSnapRestoreDisks(const RestoreCtx&)";
const char* const kContainer = "vhds";
// Numbered names tried for a managed disk before the restore gives up finding a free one.
constexpr int kMaxNameTries = 100;

// A disk recorded as a page blob, by its URL; any other is a managed disk, by its resource id, with managed
// snapshots. (A name ending in ".vhd" tells nothing: a restore names managed disks so too.)
bool IsPageBlob(const std::string& source) { return source.find("://") != std::string::npos; }

// The disk is the page blob at `uri` now, no longer the recorded disk it was made from.
void BecomePageBlob(SDisk& disk, const std::string& uri) {
    disk.uri = uri;
    disk.managedDiskId.clear();
    disk.isManaged = false;
}

std::string WithoutVhd(const std::string& name) {
    return boost::algorithm::iends_with(name, ".vhd") ? name.substr(0, name.size() - 4) : name;
}

const SVMInfo* RecordedVm(const std::vector<SDatastoreInfo>& datastores, const std::string& guid) {
    for (const SDatastoreInfo& datastore : datastores)
        for (const SVMInfo& vm : datastore.vmList)
            if (vm.guid == guid) return &vm;
    return nullptr;
}

std::string NumberedName(const std::string& name, int n) {
    return WithoutVhd(name) + "-" + std::to_string(n) + ".vhd";
}

}  // namespace

int CAzureInfo::RevertSnap(MountCtx& ctx, const RestoreCtx& rctx) {
    return GuardSlot(*this, kRevertTag, VMINFO_ERR_RESTORE_DEPLOY, 0, [&] {
        SetLastVMError(VMINFO_ERR_NONE, "");
        if (!_PrepareForFileRevert(ctx, rctx) || !RestoreVM_FromSnap(rctx)) return 0;
        EvDebug::Debug(kRevertTag, "VM [%s] reverted successfully", ctx.vmGuid.c_str());
        return 1;
    });
}

bool CAzureInfo::_PrepareForFileRevert(MountCtx& ctx, const RestoreCtx& rctx) {
    RestoreCtx& restore = _Writable(rctx);
    const std::string job = std::to_string(ctx.refJobId);
    if (ctx.isVmCentric) ctx.snapToTapeFlag = true;
    std::vector<SDatastoreInfo> datastores;
    if (!ReadDSListFromSnapBackupXML(ctx, datastores)) {
        FailSlot(*this, kPrepareTag, VMINFO_ERR_SNAP_RECORDS, "The snap metadata of job [" + job + "] cannot be read");
        return false;
    }
    if (!_GetFileListForRevertFromSnapXML(ctx, datastores, rctx)) {
        FailSlot(*this, kPrepareTag, VMINFO_ERR_REVERT_FILE_LIST,
                 "Failed to get the file list for VM [" + ctx.vmName + "] [" + ctx.vmGuid + "]");
        return false;
    }
    // A VM whose snapshot failed has none of this job: nothing else may stand in for it.
    const SVMInfo& recorded = *RecordedVm(datastores, ctx.vmGuid);
    if (recorded.snapStatus != 0) {
        FailSlot(*this, kPrepareTag, static_cast<EVMInfoError>(recorded.snapStatus),
                 "VM [" + ctx.vmName + "] has no snapshot in job [" + job + "]" +
                     (recorded.snapStatusDetails.empty() ? "" : ": " + recorded.snapStatusDetails));
        return false;
    }
    ctx.vmInfo = rctx.vmInfo;
    // The job's files of the VM are found by the VM's recorded name and GUID.
    if (ctx.vmInfo.name.empty()) ctx.vmInfo.name = ctx.vmName;
    if (ctx.vmInfo.guid.empty()) ctx.vmInfo.guid = ctx.vmGuid;
    std::string snapshotGuid;
    if (!_GetVolSnapInfo(ctx, snapshotGuid)) return false;
    // A VM-centric job writes the VM's catalog before it snaps the VM, so the catalog names no snapshot; the
    // records of the VM's child job, which hold that VM alone, do.
    if (snapshotGuid.empty() || (!ctx.isVmCentric && !boost::iequals(snapshotGuid, recorded.snapshotGuid))) {
        FailSlot(*this, kPrepareTag, VMINFO_ERR_SNAP_ID_RESOLVE,
                 "The snap records of job [" + job + "] name snapshot [" + snapshotGuid + "] for VM [" + ctx.vmName +
                     "], its metadata [" + recorded.snapshotGuid + "]");
        return false;
    }
    restore.snapshotGuid = snapshotGuid;
    ctx.vmInfo.snapshotGuid = snapshotGuid;
    if (_DownloadVMConfigFile(rctx.stagingRoot, ctx)) return true;
    SetLastVMError(VMINFO_ERR_SNAP_CONFIG_FETCH,
                   "The configuration files of VM [" + ctx.vmName + "] of job [" + job + "] cannot be fetched");
    return false;
}

bool CAzureInfo::RestoreVM_FromSnap(const RestoreCtx& rctx) {
    EvDebug::Debug(kFromSnapTag, "Restore vm from snap");
    if (InitRestoreVM(rctx) != 1) return false;
    const char* const vm = rctx.sourceVmName.c_str();
    bool done = PreRestoreVM(rctx) == 1;
    if (!done) {
        EvDebug::Error(kFromSnapTag, "PreRestore failed for VM [%s]", vm);
    } else if (!(done = RestoreVM(rctx) == 1)) {
        EvDebug::Error(kFromSnapTag, "Restore failed for VM [%s]", vm);
    } else {
        done = PostRestoreVM(rctx) == 1;
    }
    if (done) return true;
    // The clean-up must not replace the reason of the failure.
    const EVMInfoError code = GetLastVMError();
    const std::string details = GetLastVMErrorDetails();
    CleanupRestoreVM(rctx);
    SetLastVMError(code == VMINFO_ERR_NONE ? VMINFO_ERR_RESTORE_DEPLOY : code,
                   details.empty() ? "Restore of VM [" + rctx.vmName + "] from snapshots failed" : details);
    return false;
}

bool CAzureInfo::_PrepareSnapRestoreDisks(const RestoreCtx& ctx) {
    std::vector<std::string> taken;
    for (SDisk& disk : _Writable(ctx).disks) {
        if (disk.type == DISK_TYPE_FILE) continue;
        const std::string& source = disk.managedDiskId;
        const std::string failure = "The snapshot [" + ctx.snapshotGuid + "] of disk [" + source + "] cannot be found";
        std::string found;
        SDisk snapshot;
        if (IsPageBlob(source) ? !sdk->GetSnapshotURI(source, ctx.snapshotGuid, true, found)
                               : !sdk->GetDiskSnapshotWithGUID(source, ctx.snapshotGuid, snapshot)) {
            FailWrapperCall(*this, kSourcesTag, VMINFO_ERR_RESTORE_DEPLOY, failure, sdk->GetLastErrorString());
            return false;
        }
        if (!ctx.restoreAsManagedVM) continue;
        // A new managed disk never takes a name a disk holds, such as the reverted VM's current disk; an encrypted
        // disk's page blob becomes a managed disk named after the blob without ".vhd".
        const std::string group = _SnapDiskResourceGroup(ctx, disk);
        const std::string original = disk.name;
        for (int n = 1;; ++n) {
            SDisk probe;
            probe.isManaged = true;
            probe.name = disk.isEncrypted ? WithoutVhd(disk.name) : disk.name;
            probe.managedDiskId = "/subscriptions/" + subscriptionId + "/resourceGroups/" + group +
                                  "/providers/Microsoft.Compute/disks/" + probe.name;
            std::vector<SInventoryInfo> tags;
            const bool present = sdk->GetDiskTagInfo(group, probe, tags);
            if (!present && sdk->GetLastErrorCode() != AzureSDKCppBridge::SDK_ERR_NOT_FOUND) {
                FailWrapperCall(*this, kSourcesTag, VMINFO_ERR_RESTORE_DEPLOY,
                                "Could not check whether disk [" + disk.name + "] exists", sdk->GetLastErrorString());
                return false;
            }
            if (!present && std::find(taken.begin(), taken.end(), disk.name) == taken.end()) break;
            if (n > kMaxNameTries) {
                FailSlot(*this, kSourcesTag, VMINFO_ERR_RESTORE_DEPLOY,
                         "No free name for disk [" + original + "] in resource group [" + group + "]");
                return false;
            }
            disk.name = disk.targetName = disk.restoredName = NumberedName(original, n);
        }
        if (disk.name != original)
            EvDebug::Debug(kSourcesTag, "Disk name [%s] is taken. Restoring disk as [%s]", original.c_str(),
                           disk.name.c_str());
        taken.push_back(disk.name);
    }
    return true;
}

std::string CAzureInfo::_SnapDiskResourceGroup(const RestoreCtx& ctx, const SDisk& disk) {
    return GetVSInstType() == VSINST_AZURE_CLASSIC && ctx.inPlaceRestore ? disk.resourceGroup : ctx.resourceGroup;
}

bool CAzureInfo::_PreRestoreVM_Snap(const RestoreCtx& rctx) {
    RestoreCtx& restore = _Writable(rctx);
    restore.restoreFailures.clear();
    restore.vmInfo.disks.clear();
    osDiskName.clear();
    snapCreatedUnlistedDisks.clear();
    int dataLun = 0;
    std::string configText;
    if (!LoadVMConfigFile(rctx, configText)) {
        EvDebug::Error(kPreSnapTag,
                       "Failed to load VM configuration file. Configuration file [%s] is either missing or corrupt",
                       rctx.configFilePath.c_str());
        SetLastVMError(VMINFO_ERR_VM_CONFIG_READ,
                       "The configuration file of VM [" + rctx.sourceVmName + "] is either missing or corrupt");
        return false;
    }
    if (!configText.empty()) EvDebug::Debug(kPreSnapTag, "VM Configuration: [%s]", configText.c_str());
    for (const SDisk& disk : rctx.disks) {
        if (disk.type == DISK_TYPE_FILE) continue;
        SDisk copy = disk;
        if (!_CreateDiskFromSnap(rctx, configText, copy)) return false;
        const bool listed = rctx.restoreAsManagedVM || disk.isEncrypted || !disk.isOsDisk;
        if (disk.isOsDisk) {
            osDiskName = disk.name;
            restore.storageAccount = disk.storageAccount;
            if (listed) EvDebug::Debug(kPreSnapTag, "Adding disk [%s] as OS Disk", copy.name.c_str());
        } else {
            copy.unitNumber = dataLun++;
            EvDebug::Debug(kPreSnapTag, "Adding disk [%s] to list of data disks", copy.name.c_str());
        }
        // The deployment takes an unlisted OS disk by name; a clean-up must still know it is the job's.
        (listed ? restore.vmInfo.disks : snapCreatedUnlistedDisks).push_back(copy);
    }
    if (osDiskName.empty()) {
        FailSlot(*this, kPreSnapTag, VMINFO_ERR_RESTORE_DEPLOY, "OS disk is missing");
        return false;
    }
    restore.vmInfo.nics = rctx.nics;
    restore.vmInfo.securityGroups = rctx.securityGroups;
    return true;
}

bool CAzureInfo::_CreateDiskFromSnap(const RestoreCtx& rctx, const std::string& configText, SDisk& copy) {
    std::string created;
    if (!rctx.restoreAsManagedVM) {
        if (!sdk->CreateDiskFromSnapshot(copy.uri, copy.storageAccount, kContainer, copy.name, rctx.snapshotGuid,
                                         created, true, false)) {
            const std::string text = sdk->GetLastErrorString();
            EvDebug::Error(kPreSnapTag, "Failed to create disk from snapshot, [%s]", text.c_str());
            SetLastVMError(VMINFO_ERR_RESTORE_DEPLOY, text);
            return false;
        }
        BecomePageBlob(copy, created);
        return true;
    }
    if (copy.isEncrypted) return _CreateBlobFromEncryptedSnap(rctx, copy);
    if (!sdk->CreateManagedDiskFromSnapshot(copy.managedDiskId, rctx.originalInfo.availabilityZones, rctx.snapshotGuid,
                                            copy.name, _SnapDiskResourceGroup(rctx, copy), rctx.region,
                                            rctx.m_vmSize, copy.volumeType, configText, false, copy.isOsDisk,
                                            !IsPageBlob(copy.managedDiskId), rctx.vmInfo.availabilityZones,
                                            created)) {
        const std::string text = sdk->GetLastErrorString();
        EvDebug::Error(kPreSnapTag, "Failed to create managed disk from snapshot, [%s]", text.c_str());
        SetLastVMError(VMINFO_ERR_RESTORE_DEPLOY, text);
        return false;
    }
    copy.managedDiskId = created;
    copy.isManaged = true;
    EvDebug::DebugLvl(kPreSnapTag, 2, "Managed disk ID [%s]", created.c_str());
    return true;
}

bool CAzureInfo::_CreateBlobFromEncryptedSnap(const RestoreCtx& rctx, SDisk& copy) {
    // An encrypted disk becomes a page blob first; a managed snapshot is read through a URL granted for it.
    std::string source = copy.managedDiskId;
    SDisk snapshot;
    const bool managedSnapshot = !IsPageBlob(source);
    if (managedSnapshot) {
        if (!sdk->GetDiskSnapshotWithGUID(source, rctx.snapshotGuid, snapshot)) {
            const std::string text = sdk->GetLastErrorString();
            EvDebug::Error(kPreSnapTag, "Failed to find snapshot for disk [%s]. Error [%s]", source.c_str(),
                           text.c_str());
            SetLastVMError(VMINFO_ERR_RESTORE_DEPLOY, text);
            return false;
        }
        if (!sdk->GetSASTokenURI(snapshot.resourceGroup, snapshot.name, source)) {
            const std::string text = sdk->GetLastErrorString();
            EvDebug::Error(kPreSnapTag, "Failed to get SAS Token URI for encrypted snapshot. Error [%s]", text.c_str());
            SetLastVMError(VMINFO_ERR_RESTORE_DEPLOY, text);
            return false;
        }
    }
    std::string created;
    const bool made = sdk->CreateDiskFromSnapshot(source, copy.storageAccount, kContainer, copy.name,
                                                  rctx.snapshotGuid, created, true, false);
    const std::string text = sdk->GetLastErrorString();
    // The read URL goes whether or not the copy succeeded; a failed revocation only leaves it to expire.
    if (managedSnapshot && !sdk->RevokeSASToken(snapshot.resourceGroup, snapshot.name))
        EvDebug::Debug(kPreSnapTag, "Failed to revoke SAS Token for encrypted snapshot. Error [%s]",
                       sdk->GetLastErrorString().c_str());
    if (!made) {
        EvDebug::Error(kPreSnapTag, "Failed to create a blob from encrypted snapshot. Error [%s]", text.c_str());
        SetLastVMError(VMINFO_ERR_RESTORE_DEPLOY, text);
        return false;
    }
    BecomePageBlob(copy, created);
    return true;
}
