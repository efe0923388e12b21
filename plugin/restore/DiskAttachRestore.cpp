// Disk-attach restore: backed-up disks written as new disks and attached, as data disks on free
// LUNs, to a VM that already exists. A failed attach removes only what this job created; the
// target VM and the disks it had keep exactly what they were.
#include "plugin/frame/AzureInfo.h"
#include "plugin/frame/SlotFailure.h"

namespace {

const char* const kInitTag = "bool CAzureInfo::InitRestoreVM_DiskAttach(const RestoreCtx&)";
const char* const kPreTag = "bool CAzureInfo::PreRestoreVM_AttachDisk(const RestoreCtx&)";
const char* const kAttachTag = "int CAzureInfo::RestoreVM_AttachDisk(const RestoreCtx&)";
const char* const kPrintTag = "bool CAzureInfo::_PrintDiskInfo(const vector<SDisk>&)";

constexpr int kMaxLuns = 16;

// The target's data disks: its OS disk occupies no data-disk LUN and counts against no data-disk limit.
std::vector<SDisk> DataDisks(const std::vector<SDisk>& disks) {
    std::vector<SDisk> out;
    for (const SDisk& disk : disks)
        if (!disk.isOsDisk) out.push_back(disk);
    return out;
}

std::string NotFoundText(const std::string& vmName) {
    return "Virtual machine [" + vmName + "] is not found. Please specify an existing virtual machine.";
}

}  // namespace

bool CAzureInfo::InitRestoreVM_DiskAttach(const RestoreCtx& ctx) {
    RestoreCtx& restore = _Writable(ctx);
    if (ctx.snapRestore) {
        FailSlot(*this, kInitTag, VMINFO_ERR_DISK_ATTACH, "Attach disk restore is not supported from a Snap backup for Azure.");
        return false;
    }
    EvDebug::Debug(kInitTag, "Searching for an existing VM with name[%s] and host[%s] on Azure", ctx.vmName.c_str(),
                   ctx.resourceGroup.c_str());
    SVMInfo existing;
    if (!GetVMInfoForVM(ctx.vmName, "", ctx.resourceGroup, 16, 0, existing)) {
        const std::string error = sdk->GetLastErrorString();
        EvDebug::Error(kInitTag, "GetVMInfoForVM failed. Error: [%s]", error.c_str());
        SetLastVMError(VMINFO_ERR_VM_NOT_FOUND, error);
        return false;
    }
    EvDebug::DebugLvl(kInitTag, 2, "No. of disks in VM = [%d]", static_cast<int>(existing.disks.size()));
    // Disks for a managed VM may go straight into managed disks.
    directUploadRestore = existing.isManaged;
    if (!InitCloudFSAndDiskNames(ctx, existing.vmSize)) return false;
    if (!_CheckAndDeleteAzureBlobs(ctx, false)) return false;

    SVMSizeInfo sizeInfo;
    if (!sdk->GetVMSizeInfoForSize(existing.vmSize, existing.region, sizeInfo)) {
        FailWrapperCall(*this, kInitTag, VMINFO_ERR_VM_SIZE,
                        "Failed to get size details for VM size [" + existing.vmSize + "]", sdk->GetLastErrorString());
        return false;
    }

    // The host need not describe the target VM in the context; its name then comes from the job.
    const std::string& subject = ctx.vmInfo.name.empty() ? ctx.vmName : ctx.vmInfo.name;
    int total = 0;
    std::vector<SDisk> unencrypted;
    for (const SDisk& disk : ctx.disks) {
        if (disk.type != DISK_TYPE_VIRTUAL_DISK) continue;
        ++total;
        if (!disk.isEncrypted) {
            unencrypted.push_back(disk);
            continue;
        }
        AddRestoreFailure(ctx, subject,
                          "Disk [" + disk.name + "] is encrypted and cannot be attached to an encrypted VM.", false);
    }
    const int encrypted = total - static_cast<int>(unencrypted.size());
    EvDebug::DebugLvl(kInitTag, 2, "Total No. of disks to be attached = [%d]", total);
    if (encrypted > 0) {
        EvDebug::DebugLvl(kInitTag, 2, "No. of encrypted disks out of them = [%d]", encrypted);
        EvDebug::DebugLvl(kInitTag, 2,
                          "[%d] encrypted disks found and they will be removed from restore. Attaching encrypted disks to existing VM is not supported.",
                          encrypted);
        if (unencrypted.empty()) {
            FailSlot(*this, kInitTag, VMINFO_ERR_ALL_DISKS_ENCRYPTED,
                     "All the disks to be attached, are found encrypted. Aborting restore sequence as nothing is left to restore..");
            return false;
        }
        restore.disks = unencrypted;
    }

    EvDebug::DebugLvl(kInitTag, 2, "Maximum no. of disks = [%d]", sizeInfo.maxDataDisks);
    const int dataDisks = static_cast<int>(DataDisks(existing.disks).size());
    if (dataDisks + total > sizeInfo.maxDataDisks) {
        const std::string text = "Total number of disks would exceed the maximum value of [" +
                                 std::to_string(sizeInfo.maxDataDisks) + "] disks for this VM size [" +
                                 existing.vmSize + "].";
        EvDebug::Error(kInitTag, "Failed to attach disk(s) with error: [%s].", text.c_str());
        SetLastVMError(VMINFO_ERR_DISK_ATTACH, text);
        return false;
    }
    return true;
}

bool CAzureInfo::PreRestoreVM_AttachDisk(const RestoreCtx& ctx) {
    RestoreCtx& restore = _Writable(ctx);
    // The failure records of the initialisation (encrypted disks left out) stay: the host reads them at the end.
    restore.vmInfo.disks.clear();
    SVMInfo existing;
    if (!GetVMInfoForVM(ctx.vmName, "", ctx.resourceGroup, 16, 0, existing)) {
        const std::string text = NotFoundText(ctx.vmName);
        EvDebug::Error(kPreTag, "%s. Error: [%s].", text.c_str(), sdk->GetLastErrorString().c_str());
        SetLastVMError(VMINFO_ERR_VM_NOT_FOUND, text);
        return false;
    }
    const std::vector<SDisk> occupied = DataDisks(existing.disks);
    int lun = -1;
    for (const SDisk& disk : ctx.disks) {
        if (disk.type == DISK_TYPE_FILE) continue;
        lun = GetFirstAvailableLUN(occupied, lun);
        if (lun == -1) {
            const std::string text = "Cannot attach disks to virtual machine [" + ctx.vmName +
                                     "] as the total count of disks would exceed the maximum permissible value of [" +
                                     std::to_string(kMaxLuns) + "].";
            SetLastVMError(VMINFO_ERR_DISK_ATTACH, text);
            EvDebug::Error(kPreTag, "%s", text.c_str());
            return false;
        }
        SAzureDiskInfo record;
        if (!GetDiskInfoByStagingFile(disk.uri, record)) {
            FailSlot(*this, kPreTag, VMINFO_ERR_DISK_CREATE,
                     "Failed to get storage account for disk file [" + disk.uri +
                         "] from cached storage account details");
            return false;
        }
        SDisk copy = _DiskAsWritten(disk, record, record.directUpload);
        copy.unitNumber = lun;
        if (copy.isOsDisk) {
            copy.isOsDisk = false;
            EvDebug::DebugLvl(kPreTag, 2, "Adding OS disk [%s] to list of data disks", copy.name.c_str());
        } else {
            EvDebug::DebugLvl(kPreTag, 2, "Adding disk [%s] to list of data disks", copy.name.c_str());
        }
        restore.vmInfo.disks.push_back(copy);
    }
    return true;
}

int CAzureInfo::RestoreVM_AttachDisk(const RestoreCtx& ctx) {
    RestoreCtx& restore = _Writable(ctx);
    // Page blobs are then named by blob name and storage account.
    if (!IsDirectUploadModeSupported()) clearDiskURIs(restore.vmInfo.disks);
    SVMInfo found;
    if (!GetVMInfoForVM(ctx.vmName, "", ctx.resourceGroup, 16, 0, found)) {
        const std::string text = NotFoundText(ctx.vmName);
        EvDebug::Error(kAttachTag, "%s. Error: [%s].", text.c_str(), sdk->GetLastErrorString().c_str());
        SetLastVMError(VMINFO_ERR_VM_NOT_FOUND, text);
        return 0;
    }
    // The wrapper refuses the attach unless the VM of this name is the one the host chose.
    found.guid = ctx.vmGuid;
    if (sdk->AddDisksToVM(found, ctx.vmInfo.disks)) return 1;

    const std::string text = "Failed to update VM [" + ctx.vmName + "]. Error: [" + sdk->GetLastErrorString() + "].";
    EvDebug::Error(kAttachTag, "%s", text.c_str());
    SetLastVMError(VMINFO_ERR_DISK_ATTACH, text);
    // Detaches only the listed disks; the VM and the disks it had stay as they are.
    if (!sdk->DeleteDisksFromVM(found, ctx.vmInfo.disks))
        EvDebug::Error(kAttachTag,
                       "Warning: Could not remove failed disks from the VM [%s]. Provisioning state may be shown as 'Failed'.",
                       found.name.c_str());
    if (found.isManaged) {
        restore.vmInfo.isManaged = true;
        CleanupRestoreVM(ctx);
    }
    return 0;
}

bool CAzureInfo::PostRestoreVM_DiskAttach(const RestoreCtx& ctx) {
    CleanupStagingInfoForVM(ctx.disks);
    return true;
}

void CAzureInfo::clearDiskURIs(std::vector<SDisk>& disks) {
    for (SDisk& disk : disks) disk.uri.clear();
}

bool CAzureInfo::_PrintDiskInfo(const std::vector<SDisk>& disks) {
    const std::string rule(72, '=');
    EvDebug::Debug(kPrintTag, "%s", rule.c_str());
    for (const SDisk& disk : disks) {
        EvDebug::Debug(kPrintTag, "Name [%s]", disk.name.c_str());
        EvDebug::Debug(kPrintTag, "Type [%d]", disk.type);
        EvDebug::Debug(kPrintTag, "URI [%s]", disk.uri.c_str());
        EvDebug::Debug(kPrintTag, "Index Name [%s]", disk.indexName.c_str());
        EvDebug::Debug(kPrintTag, "Storage Account [%s]", disk.storageAccount.c_str());
        EvDebug::Debug(kPrintTag, "Unit Number [%d]", disk.unitNumber);
        EvDebug::Debug(kPrintTag, "Os Disk [%d]", disk.isOsDisk);
        EvDebug::Debug(kPrintTag, "Managed Disk [%d]", disk.isManaged);
        EvDebug::Debug(kPrintTag, "Managed Disk ID [%s]", disk.managedDiskId.c_str());
        EvDebug::Debug(kPrintTag, "Source Disk Name [%s]", disk.sourceDiskName.c_str());
        EvDebug::Debug(kPrintTag, "Encrypted [%d]", disk.isEncrypted);
        EvDebug::Debug(kPrintTag, "Volume Type [%s]", disk.volumeType.c_str());
        EvDebug::Debug(kPrintTag, "Disk Resource Group [%s]", disk.resourceGroup.c_str());
    }
    EvDebug::Debug(kPrintTag, "%s", rule.c_str());
    return true;
}
