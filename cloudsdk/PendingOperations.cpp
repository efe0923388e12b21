// Operations of the cloud SDK wrapper that this build does not provide yet.
// Each one fails honestly: it returns false with the text "Operation [<name>]
// is not available in this build", so a caller takes its ordinary failure path.
#include "cloudsdk/AzureSDKCppBridge.h"

#include <string>

#include "host/log/EvDebug.h"

namespace AzureSDKCppBridge {

using VMInfoStructs::SDataCenterInfo;
using VMInfoStructs::SDatastoreInfo;
using VMInfoStructs::SDisk;
using VMInfoStructs::SectorRange;
using VMInfoStructs::SHostInfo;
using VMInfoStructs::SInventoryInfo;
using VMInfoStructs::SNetworkInfo;
using VMInfoStructs::SVMInfo;
using VMInfoStructs::SVMSizeInfo;

bool CAzureSDKCppBridge::NotAvailable(const char* operation) {
    const std::string tag = std::string("AzureSDKCppBridge::CAzureSDKCppBridge::") + operation;
    const std::string text = std::string("Operation [") + operation + "] is not available in this build";
    EvDebug::Error(tag.c_str(), "%s", text.c_str());
    return Fail(0, text);
}

// Inventory: browse nodes, hosts, VMs, regions, storage accounts, sizes and images.




















bool CAzureSDKCppBridge::IsCrossSubscriptionRestore(const std::string&) {
    return NotAvailable("IsCrossSubscriptionRestore");
}


// Snapshots: VM snapshots, disk snapshot sets and blob snapshots.
bool CAzureSDKCppBridge::CreateVMSnapshot(const std::string&, const std::string&, bool, const std::string&, NXJobID,
                                          std::string&, std::vector<SDisk>&, std::string&) {
    return NotAvailable("CreateVMSnapshot");
}


bool CAzureSDKCppBridge::DeleteVMSnapshot(const std::string&, const std::string&, const std::string&,
                                          const std::string&, bool) {
    return NotAvailable("DeleteVMSnapshot");
}








bool CAzureSDKCppBridge::GetManagedDiskSnapshotsForDisk(const SDisk&, const std::string&, bool, const std::string&,
                                                        bool, std::vector<SDisk>&) {
    return NotAvailable("GetManagedDiskSnapshotsForDisk");
}



bool CAzureSDKCppBridge::RevertBlobSnapshots(const std::vector<SDisk>&) {
    return NotAvailable("RevertBlobSnapshots");
}


// Access: SAS URLs of managed snapshots and the storage bearer token.



// Blobs and disks: containers, page blobs, page data, managed disks and disk tags.

bool CAzureSDKCppBridge::DoesContainerExist(const std::string&, const std::string&, const std::string&) {
    return NotAvailable("DoesContainerExist");
}

bool CAzureSDKCppBridge::CreateStorageContainer(const std::string&, const std::string&, const std::string&) {
    return NotAvailable("CreateStorageContainer");
}

bool CAzureSDKCppBridge::CreatePageBlob(const std::string&, const std::string&, const std::string&, const std::string&,
                                        long long) {
    return NotAvailable("CreatePageBlob");
}

bool CAzureSDKCppBridge::ClosePageBlob(const std::string&, const std::string&, const std::string&) {
    return NotAvailable("ClosePageBlob");
}

bool CAzureSDKCppBridge::DeletePageBlob(const std::string&, const std::string&, const std::string&,
                                        const std::string&) {
    return NotAvailable("DeletePageBlob");
}


bool CAzureSDKCppBridge::GetBlobInfo(const std::string&, const std::string&, const std::string&, SDisk&) {
    return NotAvailable("GetBlobInfo");
}





bool CAzureSDKCppBridge::UploadBlobPageFromBufferForOffset(const std::string&, ULONGLONG, UINT, const unsigned char*) {
    return NotAvailable("UploadBlobPageFromBufferForOffset");
}

bool CAzureSDKCppBridge::UploadBlobPageFromBufferForOffset(const std::string&, const std::string&, const std::string&,
                                                           ULONGLONG, UINT, const unsigned char*) {
    return NotAvailable("UploadBlobPageFromBufferForOffset");
}

bool CAzureSDKCppBridge::UploadPageBlobToStorageAccount(const std::string&, const std::string&, const std::string&,
                                                        const std::string&, const std::string&) {
    return NotAvailable("UploadPageBlobToStorageAccount");
}

bool CAzureSDKCppBridge::DownloadBlockBlobToString(const std::string&, const std::string&, const std::string&,
                                                   std::string&) {
    return NotAvailable("DownloadBlockBlobToString");
}

bool CAzureSDKCppBridge::CreateDirectUploadManagedDisk(const std::string&, const std::string&, const std::string&,
                                                       long long, bool, const std::string&, const std::string&,
                                                       std::string&, std::string&, std::string&) {
    return NotAvailable("CreateDirectUploadManagedDisk");
}

bool CAzureSDKCppBridge::DeleteDisksOriginatingFromBlob(const std::string&, const std::string&, const std::string&,
                                                        const std::string&) {
    return NotAvailable("DeleteDisksOriginatingFromBlob");
}

bool CAzureSDKCppBridge::DeleteExpiredDisks(const std::string&, std::time_t) {
    return NotAvailable("DeleteExpiredDisks");
}

bool CAzureSDKCppBridge::CleanupStagingResources(const std::string&, const std::string&) {
    return NotAvailable("CleanupStagingResources");
}


bool CAzureSDKCppBridge::SetDiskTagInfo(const std::string&, const SDisk&, const std::vector<SInventoryInfo>&) {
    return NotAvailable("SetDiskTagInfo");
}

// VMs and networks: deployment, restore, power, disk attachment, guest scripts.
bool CAzureSDKCppBridge::DeployVM(SVMInfo&, const std::string&, bool) {
    return NotAvailable("DeployVM");
}

bool CAzureSDKCppBridge::DeployVMFromOSDisk(SVMInfo&, const std::string&, bool, bool) {
    return NotAvailable("DeployVMFromOSDisk");
}

bool CAzureSDKCppBridge::DeployVMFromConfig(const std::string&, SVMInfo&, bool) {
    return NotAvailable("DeployVMFromConfig");
}

bool CAzureSDKCppBridge::CloneVMFromConfig(const std::string&, SVMInfo&) {
    return NotAvailable("CloneVMFromConfig");
}

bool CAzureSDKCppBridge::DelayVMDeployment(const SVMInfo&, const std::string&, const std::string&, bool, bool, bool,
                                           const std::string&, const std::string&) {
    return NotAvailable("DelayVMDeployment");
}

bool CAzureSDKCppBridge::RestoreVM(SVMInfo&, const std::string&, const std::string&, bool, bool, bool, bool,
                                   const std::string&, const std::string&, bool, bool) {
    return NotAvailable("RestoreVM");
}

bool CAzureSDKCppBridge::ReconfigureVM(const SVMInfo&) {
    return NotAvailable("ReconfigureVM");
}

bool CAzureSDKCppBridge::DeleteVM(const std::string&, const std::string&, bool, bool) {
    return NotAvailable("DeleteVM");
}

bool CAzureSDKCppBridge::StartVM(const std::string&, const std::string&) {
    return NotAvailable("StartVM");
}

bool CAzureSDKCppBridge::ShutdownVM(const std::string&, const std::string&, bool) {
    return NotAvailable("ShutdownVM");
}

bool CAzureSDKCppBridge::CleanupRestoreVM(const SVMInfo&, const std::vector<SDisk>&, bool) {
    return NotAvailable("CleanupRestoreVM");
}

bool CAzureSDKCppBridge::RegisterBlobAsOSDisk(const std::string&, const std::string&, const std::string&, bool) {
    return NotAvailable("RegisterBlobAsOSDisk");
}


bool CAzureSDKCppBridge::ExecuteScriptInGuestVM(const std::string&, const std::string&, const std::string&,
                                                const std::string&, const std::string&) {
    return NotAvailable("ExecuteScriptInGuestVM");
}

bool CAzureSDKCppBridge::CreateVirtualNetwork(SNetworkInfo&, const std::string&) {
    return NotAvailable("CreateVirtualNetwork");
}

bool CAzureSDKCppBridge::DeleteVirtualNetwork(const SNetworkInfo&, const std::string&) {
    return NotAvailable("DeleteVirtualNetwork");
}

}  // namespace AzureSDKCppBridge
