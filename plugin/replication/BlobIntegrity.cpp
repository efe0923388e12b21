// Destination page blobs of a replication: whether they are there, their deletion, and whether the
// integrity snapshots an incremental run starts from are still there. Always the "vhds" container of
// the disk's storage account; only virtual disks count.
#include "plugin/frame/AzureInfo.h"
#include "plugin/frame/Existence.h"
#include "plugin/frame/SlotFailure.h"

namespace {

const char* const kCheckTag = "bool CAzureInfo::CheckIfBlobsExist(const RestoreCtx&, bool&)";
const char* const kDeleteTag = "bool CAzureInfo::DeleteExistingBlobs(std::vector<SDisk>)";
const char* const kVerifyTag = "bool CAzureInfo::VerifyIntegrity(const RestoreCtx&)";
const char* const kReplicaContainer = "vhds";

}  // namespace

bool CAzureInfo::CheckIfBlobsExist(const RestoreCtx& ctx, bool& blobsExist) {
    blobsExist = false;
    for (const SDisk& disk : ctx.disks) {
        if (disk.type != DISK_TYPE_VIRTUAL_DISK || disk.storageAccount.empty() || disk.name.empty()) continue;
        const Presence presence =
            BlobPresence(*sdk, ctx.resourceGroup, disk.storageAccount, kReplicaContainer, disk.name);
        // A blob nobody could ask about may hold a replica: it is never taken for absent.
        if (presence == Presence::Unknown) {
            FailWrapperCall(*this, kCheckTag, VMINFO_ERR_RESTORE_DEPLOY,
                            "Could not check whether blob [" + disk.name + "] exists in storage account [" +
                                disk.storageAccount + "]",
                            sdk->GetLastErrorString());
            return false;
        }
        blobsExist = blobsExist || presence == Presence::Present;
    }
    return true;
}

bool CAzureInfo::DeleteExistingBlobs(std::vector<SDisk> disks) {
    for (const SDisk& disk : disks) {
        if (disk.type != DISK_TYPE_VIRTUAL_DISK) continue;
        const Presence presence = BlobPresence(*sdk, "", disk.storageAccount, kReplicaContainer, disk.name);
        if (presence == Presence::Absent) continue;
        if (presence == Presence::Present) {
            EvDebug::Debug(kDeleteTag, "Deleting blob [%s]", disk.name.c_str());
            if (sdk->DeletePageBlob("", disk.storageAccount, kReplicaContainer, disk.name)) continue;
        }
        const std::string text = sdk->GetLastErrorString();
        EvDebug::Error(kDeleteTag, "Failed to delete blob [%s]: %s", disk.name.c_str(), text.c_str());
        SetLastVMErrorDetails(text);
        SetLastVMError(VMINFO_ERR_BLOB_DELETE);
        return false;
    }
    return true;
}

bool CAzureInfo::VerifyIntegrity(const RestoreCtx& ctx) {
    if (ctx.destVmExists && !ctx.vmInfo.isManaged) {
        EvDebug::Debug(kVerifyTag, "Destination VM exists. Checking integrity snapshots of VM");
        int count = 0;
        sdk->GetVMSnapshotCount(ctx.vmInfo.name, ctx.vmInfo.guid, "", count);
        return count > 0;
    }
    if (ctx.vmInfo.isManaged)
        EvDebug::Debug(kVerifyTag, "Managed VM detected. Checking integrity snapshots of staging blobs.");
    else
        EvDebug::Debug(kVerifyTag, "Destination VM doesn't exists. Checking integrity snapshots of blobs");
    bool result = false;
    for (const SDisk& disk : ctx.disks) {
        if (disk.type != DISK_TYPE_VIRTUAL_DISK) continue;
        // A blob nobody could ask about, or whose snapshots nobody could count, counts as one without a
        // snapshot: the run then writes in full.
        const Presence presence = BlobPresence(*sdk, "", disk.storageAccount, kReplicaContainer, disk.name);
        if (presence == Presence::Absent) continue;
        int count = 0;
        if (presence == Presence::Present)
            sdk->GetBlobSnapshotCount(disk.storageAccount, kReplicaContainer, disk.name, false, count);
        if (count == 0) {
            EvDebug::Debug(kVerifyTag, "Integrity snapshot is missing for Blob [%s]", disk.name.c_str());
            return false;
        }
        result = true;
    }
    return result;
}
