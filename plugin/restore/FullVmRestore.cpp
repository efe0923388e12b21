// Full-VM restore: validates the target and names the disks, removes or refuses an existing VM and
// existing blobs of the chosen names, builds the disk list the deployment registers once the host has
// written the disks, and leaves the new VM running or shuts it down.
#include <algorithm>

#include "cloudsdk/SdkErrorCodes.h"
#include "host/settings/NXPlatformInfo.h"
#include "host/sys/Time.h"
#include "plugin/frame/AzureInfo.h"
#include "plugin/frame/Existence.h"
#include "plugin/frame/SlotFailure.h"

namespace {

const char* const kInitTag = "bool CAzureInfo::InitRestoreVM_FullVM(const RestoreCtx&)";
const char* const kPreTag = "bool CAzureInfo::PreRestoreVM_FullVM(const RestoreCtx&)";
const char* const kPostTag = "bool CAzureInfo::PostRestoreVM_FullVM(const RestoreCtx&)";
const char* const kCancelTag = "void CAzureInfo::_CancelDeployedVm(const RestoreCtx&)";
const char* const kBlobsTag = "bool CAzureInfo::_CheckAndDeleteAzureBlobs(const RestoreCtx&, bool)";

const char* const kDefaultContainer = "vhds";
// The longest wait before shutting a restored VM down, whatever the setting says: one day.
constexpr unsigned long kMaxBootWaitMinutes = 24 * 60;

unsigned long BootWaitMinutes() {
    unsigned long minutes = 5;
    NXPlatformInfo::getNumber("VirtualServer", "nMinsWaitForBootTimeout", &minutes);
    if (minutes == 0) return 5;
    return minutes > kMaxBootWaitMinutes ? kMaxBootWaitMinutes : minutes;
}

}  // namespace

bool CAzureInfo::InitRestoreVM_FullVM(const RestoreCtx& ctx) {
    RestoreCtx& restore = _Writable(ctx);
    EvDebug::Debug(kInitTag, "Snap Restore [%d], Source VM Managed [%d], RestoreAsManagedVM [%d] ", ctx.snapRestore,
                   ctx.originalInfo.isManaged, ctx.restoreAsManagedVM);
    UpdateAvailabilityZoneForRestoreVM(ctx);
    if (ctx.snapRestore && ctx.originalInfo.isManaged && !ctx.restoreAsManagedVM) {
        FailSlot(*this, kInitTag, VMINFO_ERR_RESTORE_DEPLOY,
                 "For a Managed VM, snap restore as Unmanaged VM is not supported.");
        return false;
    }
    if (!InitCloudFSAndDiskNames(ctx)) return false;

    const bool resourceManager =
        GetVSInstType() == VSINST_AZURE_RESOURCE_MANAGER || GetVSInstType() == VSINST_AZURE_STACK_HUB;
    restore.region.erase(std::remove(restore.region.begin(), restore.region.end(), ' '), restore.region.end());
    EvDebug::Debug(kInitTag, "Original VMName : [%s] Restore VMName : [%s]", ctx.sourceVmName.c_str(),
                   ctx.vmName.c_str());
    EvDebug::Debug(kInitTag, "Restoring VM to Azure %s [%s], [%s]", resourceManager ? "Resource Group" : "Cloud Service",
                   ctx.resourceGroup.c_str(), ctx.region.c_str());
    if (!_ValidateVMForAzureDeployment(ctx, false)) return false;
    if (ctx.snapRestore && !_PrepareSnapRestoreDisks(ctx)) return false;

    EvDebug::Debug(kInitTag, "Searching for an existing VM with name[%s] on Azure", ctx.vmName.c_str());
    SVMInfo existing;
    const bool found = GetVMInfoForVM(ctx.vmName, "", ctx.resourceGroup, 0, 0, existing) != 0;
    if (!found && sdk->GetLastErrorCode() != AzureSDKCppBridge::SDK_ERR_NOT_FOUND) {
        FailWrapperCall(*this, kInitTag, VMINFO_ERR_VM_NOT_FOUND,
                        "Could not check whether VM [" + ctx.vmName + "] exists", sdk->GetLastErrorString());
        return false;
    }
    if (found) {
        EvDebug::Debug(kInitTag, "Found VM with name [%s] already registered on Azure", ctx.vmName.c_str());
        if (!ctx.overwrite) {
            FailSlot(*this, kInitTag, VMINFO_ERR_VM_EXISTS,
                     "As per task option not overwriting existing VM. Please use a non-existing VM name to continue restore");
            return false;
        }
        EvDebug::Debug(kInitTag, "As per task option overwriting VM with name [%s]", existing.name.c_str());
        if (existing.powerState != 0) {
            EvDebug::Debug(kInitTag, "Virtual machine [%s] is currently running. Trying to power it off before starting restore..",
                           ctx.vmName.c_str());
            if (sdk->ShutdownVM(ctx.vmName, existing.guid, false))
                EvDebug::Debug(kInitTag, "Successfully shutdown virtual machine [%s]", ctx.vmName.c_str());
            else
                EvDebug::Debug(kInitTag, "Failed to shutdown virtual machine [%s]. ", ctx.vmName.c_str());
        }
        EvDebug::Debug(kInitTag, "Deleting Virtual machine [%s]", ctx.vmName.c_str());
        // A snap restore keeps the VM's disks: a page blob's deletion would take the snapshots it restores from,
        // and the VM's data must outlive a restore that fails before its new disks exist.
        if (!sdk->DeleteVM(ctx.vmName, existing.guid, !ctx.snapRestore, !ctx.inPlaceRestore)) {
            FailWrapperCall(*this, kInitTag, VMINFO_ERR_VM_DELETE,
                            "Failed to delete virtual machine [" + ctx.vmName + "]. Aborting restore !!!",
                            sdk->GetLastErrorString());
            return false;
        }
    } else {
        EvDebug::Debug(kInitTag, "VM with name [%s] not found", ctx.vmName.c_str());
    }
    if (ctx.cloudFSRestore) {
        restore.vmInfo.nics = ctx.nics;
        restore.vmInfo.securityGroups = ctx.securityGroups;
    }
    return _CheckAndDeleteAzureBlobs(ctx, ctx.cloudFSRestore);
}

bool CAzureInfo::_CheckAndDeleteAzureBlobs(const RestoreCtx& ctx, bool overwriteBlobs) {
    if (ctx.snapRestore && ctx.restoreAsManagedVM) return true;
    for (const SDisk& disk : ctx.disks) {
        if (disk.type != DISK_TYPE_VIRTUAL_DISK) continue;
        // Placement may have chosen a container other than the default; the disk's record keeps it.
        const std::string::size_type slash = disk.storageAccount.find('\\');
        const std::string account = disk.storageAccount.substr(0, slash);
        std::string container = slash == std::string::npos ? kDefaultContainer : disk.storageAccount.substr(slash + 1);
        const auto record = diskMap.find(disk.uri);
        if (slash == std::string::npos && record != diskMap.end() && !record->second.container.empty())
            container = record->second.container;
        const std::string& blob = disk.name;
        const Presence presence = BlobPresence(*sdk, ctx.resourceGroup, account, container, blob);
        if (presence == Presence::Unknown) {
            FailWrapperCall(*this, kBlobsTag, VMINFO_ERR_RESTORE_DEPLOY,
                            "Could not check whether blob [" + blob + "] exists in storage account [" + account + "]",
                            sdk->GetLastErrorString());
            return false;
        }
        if (presence == Presence::Present) {
            if (!ctx.overwrite && !overwriteBlobs) {
                FailSlot(*this, kBlobsTag, VMINFO_ERR_BLOB_EXISTS,
                         "Blob [" + blob + "] already exists in storage account [" + account +
                             "] and overwrite option is not selected.");
                return false;
            }
            if (ctx.snapRestore) {
                // Deleting the blob would take its snapshots, perhaps the one restored from; it is written over instead.
                EvDebug::Debug(kBlobsTag, "Blob [%s] already exists in storage account [%s]. It will be written over from the snapshot",
                               blob.c_str(), account.c_str());
                continue;
            }
            EvDebug::Debug(kBlobsTag, "Blob [%s] already exist in storage account [%s]. Overwrite existing blob option is selected. Deleting blob from Azure",
                           blob.c_str(), account.c_str());
            if (!sdk->DeletePageBlob(ctx.resourceGroup, account, container, blob)) {
                FailWrapperCall(*this, kBlobsTag, VMINFO_ERR_BLOB_DELETE, "Failed to delete blob [" + blob + "] from Azure",
                                sdk->GetLastErrorString());
                return false;
            }
            if (ctx.cloudFSRestore) AccessCloudFSPath(disk.uri);
        }
        if (disk.isOsDisk && ctx.cloudFSRestore) AccessCloudFSPath(disk.uri);
    }
    return true;
}

SDisk CAzureInfo::_DiskAsWritten(const SDisk& disk, const SAzureDiskInfo& record, bool managed) {
    SDisk copy = disk;
    copy.storageAccount = record.storageAccount;
    if (managed) {
        copy.uri = record.managedDiskRef;
        copy.name = record.managedDiskRef;
        copy.managedDiskId = record.snapshotId;
    } else {
        copy.uri = record.sourceUri;
        copy.name = record.blobName;
        // The deployment or the attach finds a page blob outside the default container only when told which.
        if (!record.container.empty() && record.container != kDefaultContainer)
            copy.storageAccount += "\\" + record.container;
    }
    return copy;
}

bool CAzureInfo::PreRestoreVM_FullVM(const RestoreCtx& ctx) {
    RestoreCtx& restore = _Writable(ctx);
    if (IsJobCancelled()) {
        EvDebug::Debug(kPreTag, "Kill command has been given. Cleaning up blobs.");
        CleanupRestoreVM(ctx);
        SetLastVMError(VMINFO_ERR_JOB_CANCELLED, "The job was cancelled");
        return false;
    }
    FlushCloudFSWrites(ctx);
    restore.restoreFailures.clear();
    restore.vmInfo.firmware = ctx.originalInfo.firmware;
    if (!_ValidateVMForAzureDeployment(ctx, true)) return false;
    if (ctx.snapRestore) return _PreRestoreVM_Snap(ctx);

    // The size the validation settled on is the size the VM is described with.
    restore.vmInfo.vmSize = ctx.m_vmSize;
    restore.vmInfo.disks.clear();
    if (ctx.isRestartedJob && ctx.restoreType == RESTORE_TYPE_REPLICATION && diskMap.empty()) {
        EvDebug::Debug(kPreTag, "Updating storage account map for restarted Tidewater job...");
        _UpdateDiskToStorageMap(ctx);
    }

    osDiskName.clear();
    int dataLun = 0;
    for (const SDisk& disk : ctx.disks) {
        if (disk.type == DISK_TYPE_FILE) continue;
        SAzureDiskInfo record;
        if (!GetDiskInfoByStagingFile(disk.uri, record)) {
            FailSlot(*this, kPreTag, VMINFO_ERR_DISK_CREATE,
                     "Failed to get storage account for disk file [" + disk.uri +
                         "] from cached storage account details");
            return false;
        }
        const bool managed = record.directUpload && (!disk.isOsDisk || ctx.restoreAsManagedVM);
        SDisk copy = _DiskAsWritten(disk, record, managed);
        if (disk.isOsDisk) {
            osDiskName = managed ? record.managedDiskRef : record.blobName;
            restore.storageAccount = record.storageAccount;
            EvDebug::DebugLvl(kPreTag, 2, "Adding disk [%s] as OS disk", copy.name.c_str());
        } else {
            copy.unitNumber = dataLun++;
            EvDebug::DebugLvl(kPreTag, 2, "Adding disk [%s] to list of data disks", copy.name.c_str());
        }
        restore.vmInfo.disks.push_back(copy);
    }
    if (osDiskName.empty()) {
        FailSlot(*this, kPreTag, VMINFO_ERR_RESTORE_DEPLOY, "No OS Disk was registered");
        return false;
    }
    restore.vmInfo.nics = ctx.nics;
    restore.vmInfo.securityGroups = ctx.securityGroups;
    return true;
}

bool CAzureInfo::PostRestoreVM_FullVM(const RestoreCtx& ctx) {
    CleanupStagingInfoForVM(ctx.disks);
    if (IsJobCancelled()) {
        _CancelDeployedVm(ctx);
        return false;
    }
    if (ctx.powerOn) return true;
    SVMInfo found;
    if (!sdk->GetVMInfoForVM(ctx.vmName, "", ctx.resourceGroup, 0, 0, found)) {
        EvDebug::Error(kPostTag, "VM [%s] is not found in Azure. Failed to power off VM.", ctx.vmName.c_str());
        return true;
    }
    EvDebug::Debug(kPostTag, "Power on VM option is not selected. Shutting down VM [%s][%s]", ctx.vmName.c_str(),
                   ctx.vmInfo.guid.c_str());
    const unsigned long minutes = BootWaitMinutes();
    EvDebug::Debug(kPostTag, "Waiting for [%d] minutes before shutting down VM [%s]", static_cast<int>(minutes),
                   ctx.vmName.c_str());
    if (!_WaitUnlessCancelled(minutes)) {
        _CancelDeployedVm(ctx);
        return false;
    }
    if (!sdk->ShutdownVM(ctx.vmName, found.guid, true)) EvDebug::Error(kPostTag, "Failed to power off VM");
    return true;
}

void CAzureInfo::_CancelDeployedVm(const RestoreCtx& ctx) {
    EvDebug::Debug(kCancelTag, "Kill command has been given. Deleting the VM [%s].", ctx.vmName.c_str());
    SVMInfo found;
    // Only the VM this job's deployment created is removed, and never one known by its name alone. Of its disks and
    // network interfaces only those carrying this job's mark go with it: the disks may be the source VM's own page
    // blobs with their snapshots (a snap restore written over them), the interfaces those of the VM it replaced.
    if (!sdk->GetVMInfoForVM(ctx.vmName, "", ctx.resourceGroup, 0, 0, found)) {
        EvDebug::Error(kCancelTag, "Error in getting VMInfo for VM [%s].", ctx.vmName.c_str());
    } else if (restoredVmGuid.empty() || found.guid != restoredVmGuid) {
        EvDebug::Error(kCancelTag, "VM [%s][%s] was not created by this job. Leaving it in place.", ctx.vmName.c_str(),
                       found.guid.c_str());
    } else if (!sdk->CleanupRestoreVM(found, {}, ctx.restoreAsManagedVM)) {
        EvDebug::Error(kCancelTag, "Failed to delete VM [%s] and/or its components.", ctx.vmName.c_str());
    }
    // Then what else the job made: its disks that the VM no longer held, containers and staging folder.
    CleanupRestoreVM(ctx);
    SetLastVMError(VMINFO_ERR_JOB_CANCELLED, "The job was cancelled");
}

bool CAzureInfo::_WaitUnlessCancelled(unsigned long minutes) {
    // A step short enough that a cancel is seen at once, long enough to cost nothing.
    constexpr unsigned long kStepMs = 1000;
    for (unsigned long waited = 0; waited < minutes * 60000; waited += kStepMs) {
        if (IsJobCancelled()) return false;
        KASLEEP(kStepMs);
    }
    return !IsJobCancelled();
}
