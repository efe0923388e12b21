// Disk handles: every handle points into the disk map that the mount and restore
// sides fill; opening prepares a managed snapshot's SAS URL, capacity records the
// blob size the reader clamps to.
#include "plugin/frame/Existence.h"
#include "plugin/frame/SlotFailure.h"
#include "plugin/frame/AzureInfo.h"

namespace {

const char* const kOpenTag =
    "virtual int CAzureInfo::OpenVmdk(const string&, const string&, const string&, VmdkHandle&)";
const char* const kCreateTag =
    "virtual int CAzureInfo::CreateVmdk(const string&, const string&, const string&, VmdkHandle&, long long int)";
const char* const kCloseTag = "virtual int CAzureInfo::CloseVmdk(const VmdkHandle&)";
const char* const kHandleTag =
    "virtual int CAzureInfo::GetVmdkHandle(const string&, const string&, const string&, VmdkHandle&)";
const char* const kCapacityTag = "virtual int CAzureInfo::GetVmdkCapacity(const VmdkHandle&, ULONGLONG&)";

// Last "/" segment of a resource id; the whole text when it has no "/".
std::string LastSegment(const std::string& id) {
    std::string::size_type slash = id.rfind('/');
    return slash == std::string::npos ? id : id.substr(slash + 1);
}

}  // namespace

int CAzureInfo::OpenVmdk(const std::string& vmName, const std::string& vmGuid, const std::string& diskPath,
                         VmdkHandle& handle) try {
    const char* tag = kOpenTag;
    SAzureDiskInfo& disk = diskMap[diskPath];
    if (disk.isManaged) {
        EvDebug::Debug(tag, "Snapshot ID [%s] to fetch SAS URI", disk.snapshotId.c_str());
        const std::string snapshotName = LastSegment(disk.snapshotId);
        std::string sasUrl;
        if (!sdk->GetSASTokenURI(disk.resourceGroup, snapshotName, sasUrl)) {
            SetLastVMErrorDetails(sdk->GetLastErrorString());
            EvDebug::Error(tag, "Failed to get SAS URI for snapshot [%s]", disk.snapshotId.c_str());
            return 0;
        }
        EvDebug::Debug(tag, "Generated SAS URL for Snapshot [%s], SAS URL[%s]", snapshotName.c_str(), sasUrl.c_str());
        disk.dataUrl = sasUrl;
        disk.sourceUri = sasUrl;
    }
    IVMInfo* self = this;
    return self->GetVmdkHandle(vmName, vmGuid, diskPath, handle);
} catch (...) {
    FailSlotOnException(*this, kOpenTag, VMINFO_ERR_DISK_INFO);
    return 0;
}

int CAzureInfo::CreateVmdk(const std::string&, const std::string&, const std::string& diskPath, VmdkHandle& handle,
                           long long sizeBytes) try {
    const char* tag = kCreateTag;
    SAzureDiskInfo& disk = diskMap[diskPath];
    handle.diskInfo = &disk;
    if (disk.directUpload) {
        // Marked before the request, so that a disk the request half-created is still this job's to remove.
        disk.createdByJob = true;
        if (!sdk->CreateDirectUploadManagedDisk(disk.blobName, disk.resourceGroup, disk.location, sizeBytes,
                                                disk.isOsDisk, disk.vmSize, disk.firmware, disk.uploadAccessUrl,
                                                disk.snapshotId, disk.managedDiskRef)) {
            EvDebug::Error(tag, "Failed to create direct upload managed disk [%s][%s][%s], Resource Group [%s]",
                           disk.storageAccount.c_str(), disk.container.c_str(), disk.blobName.c_str(),
                           disk.resourceGroup.c_str());
            SetLastVMError(VMINFO_ERR_DISK_CREATE, sdk->GetLastErrorString());
            return 0;
        }
        return 1;
    }
    EvDebug::Debug(tag, "Checking if blob already exists [%s][%s][%s] ...", disk.storageAccount.c_str(),
                   disk.container.c_str(), disk.blobName.c_str());
    switch (BlobPresence(*sdk, disk.resourceGroup, disk.storageAccount, disk.container, disk.blobName)) {
        case Presence::Present:
            EvDebug::Debug(tag, "Blob [%s] already exists in the storage account [%s]. Skipping blob creation..",
                           disk.blobName.c_str(), disk.storageAccount.c_str());
            return 1;
        case Presence::Unknown:
            // Creating the blob now could replace one that is there and not this job's.
            FailSlot(*this, tag, VMINFO_ERR_DISK_CREATE,
                     "Could not check whether blob [" + disk.blobName + "] exists in storage account [" +
                         disk.storageAccount + "]: " + sdk->GetLastErrorString() + " (error code " +
                         std::to_string(sdk->GetLastErrorCode()) + ")");
            return 0;
        case Presence::Absent:
            break;
    }
    EvDebug::Debug(tag, "Blob [%s] doesn't exist in storage account [%s]. Proceeding to create blob...",
                   disk.blobName.c_str(), disk.storageAccount.c_str());
    disk.createdByJob = true;
    if (!sdk->CreatePageBlob(disk.resourceGroup, disk.storageAccount, disk.container, disk.blobName, sizeBytes)) {
        EvDebug::Error(tag, "Failed to create blob [%s][%s][%s], Resource Group [%s]", disk.storageAccount.c_str(),
                       disk.container.c_str(), disk.blobName.c_str(), disk.resourceGroup.c_str());
        SetLastVMError(VMINFO_ERR_DISK_CREATE, sdk->GetLastErrorString());
        return 0;
    }
    return 1;
} catch (...) {
    FailSlotOnException(*this, kCreateTag, VMINFO_ERR_DISK_INFO);
    return 0;
}

int CAzureInfo::CloseVmdk(const VmdkHandle& handle) try {
    SAzureDiskInfo* disk = handle.diskInfo;
    if (!disk || !disk->directUpload || disk->uploadAccessUrl.empty()) return 1;
    const std::string url = disk->uploadAccessUrl;
    disk->uploadAccessUrl.clear();
    if (!sdk->ClosePageBlob(disk->managedDiskRef, disk->resourceGroup, url))
        EvDebug::Error(kCloseTag, "Error closing page blob for managed disk [%s] with URI[%s] , Error [%s]",
                       disk->managedDiskRef.c_str(), url.c_str(), sdk->GetLastErrorString().c_str());
    return 1;
} catch (...) {
    // A close never fails; what went wrong is logged and kept as the last error.
    FailSlotOnException(*this, kCloseTag, VMINFO_ERR_DISK_INFO);
    return 1;
}

int CAzureInfo::GetVmdkHandle(const std::string&, const std::string&, const std::string& diskPath,
                              VmdkHandle& handle) try {
    handle.diskInfo = &diskMap[diskPath];
    return 1;
} catch (...) {
    FailSlotOnException(*this, kHandleTag, VMINFO_ERR_DISK_INFO);
    return 0;
}

int CAzureInfo::GetVmdkCapacity(const VmdkHandle& handle, ULONGLONG& sectors) try {
    const char* tag = kCapacityTag;
    sectors = 0;
    SAzureDiskInfo* disk = handle.diskInfo;
    if (!disk) {
        EvDebug::Error(tag, "Failed to get blob Information from from disk handle");
        return 0;
    }
    UINT64 size = 0;
    if (!sdk->GetBlobSizeInBytes(disk->dataUrl, size)) {
        const std::string error = sdk->GetLastErrorString();
        SetLastVMErrorDetails(error);
        EvDebug::Error(tag, "Failed to get blob size for blob [%s], error [%s]", disk->dataUrl.c_str(), error.c_str());
        return 0;
    }
    EvDebug::Debug(tag, "Disk size [%lld]", static_cast<long long>(size));
    disk->blobSize = size;
    // The last 512 bytes of a disk blob are its footer, never disk capacity.
    if (size > 512) sectors = (size - 512) / 512;
    return 1;
} catch (...) {
    FailSlotOnException(*this, kCapacityTag, VMINFO_ERR_DISK_INFO);
    return 0;
}

bool CAzureInfo::IsDirectUploadModeSupported() {
    static const char* tag = "bool CAzureInfo::IsDirectUploadModeSupported()";
    if (directUploadRestore) {
        EvDebug::Debug(tag, "Direct upload to managed disk %s supported", directUploadToManagedDisk ? "is" : "is not");
        return directUploadToManagedDisk != 0;
    }
    EvDebug::Debug(tag, "Direct upload to managed disk is not supported because the target is an unmanaged VM");
    return false;
}
