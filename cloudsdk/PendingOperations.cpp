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
bool CAzureSDKCppBridge::BrowseRegions(const SInventoryInfo&, std::vector<SInventoryInfo>&) {
    return NotAvailable("BrowseRegions");
}

bool CAzureSDKCppBridge::BrowseStorageAccounts(const SInventoryInfo&, std::vector<SInventoryInfo>&) {
    return NotAvailable("BrowseStorageAccounts");
}

bool CAzureSDKCppBridge::BrowseTags(const SInventoryInfo&, std::vector<SInventoryInfo>&) {
    return NotAvailable("BrowseTags");
}

bool CAzureSDKCppBridge::BrowseImages(const SInventoryInfo&, std::vector<SInventoryInfo>&) {
    return NotAvailable("BrowseImages");
}

bool CAzureSDKCppBridge::GetHostInfoList(UINT64, int, std::vector<SHostInfo>&) {
    return NotAvailable("GetHostInfoList");
}

bool CAzureSDKCppBridge::GetHostInfoForHost(const std::string&, UINT64, int, SHostInfo&) {
    return NotAvailable("GetHostInfoForHost");
}

bool CAzureSDKCppBridge::GetTemplateInfoList(UINT64, int, std::vector<SVMInfo>&) {
    return NotAvailable("GetTemplateInfoList");
}

bool CAzureSDKCppBridge::GetVMInfoListForRegion(const std::string&, UINT64, int, std::vector<SVMInfo>&) {
    return NotAvailable("GetVMInfoListForRegion");
}

bool CAzureSDKCppBridge::GetVMInfoListForStorageAccount(const std::string&, UINT64, int, std::vector<SVMInfo>&) {
    return NotAvailable("GetVMInfoListForStorageAccount");
}

bool CAzureSDKCppBridge::GetVMInfoListForTag(const std::string&, UINT64, int, std::vector<SVMInfo>&) {
    return NotAvailable("GetVMInfoListForTag");
}

bool CAzureSDKCppBridge::GetVMInfoForVM(const std::string&, const std::string&, const std::string&, UINT64, int,
                                        SVMInfo&) {
    return NotAvailable("GetVMInfoForVM");
}

bool CAzureSDKCppBridge::GetLocalVMInfo(const std::string&, const std::string&, UINT64, int, SVMInfo&) {
    return NotAvailable("GetLocalVMInfo");
}

bool CAzureSDKCppBridge::GetDCInfoForDC(const std::string&, UINT64, int, SDataCenterInfo&) {
    return NotAvailable("GetDCInfoForDC");
}

bool CAzureSDKCppBridge::GetStorageAccountInfo(const std::string&, UINT64, int, SDatastoreInfo&) {
    return NotAvailable("GetStorageAccountInfo");
}

bool CAzureSDKCppBridge::GetStorageAccountInfoList(const std::string&, UINT64, int, std::vector<SDatastoreInfo>&,
                                                   bool) {
    return NotAvailable("GetStorageAccountInfoList");
}

bool CAzureSDKCppBridge::GetStorageAccountInfoListForRegion(const std::string&, UINT64, int,
                                                            std::vector<SDatastoreInfo>&) {
    return NotAvailable("GetStorageAccountInfoListForRegion");
}

bool CAzureSDKCppBridge::GetAvailableVMSizesForHost(const std::string&, std::vector<SVMSizeInfo>&, UINT64, int) {
    return NotAvailable("GetAvailableVMSizesForHost");
}

bool CAzureSDKCppBridge::GetAvailableVMSizesInLocation(const std::string&, std::vector<SVMSizeInfo>&, UINT64, int) {
    return NotAvailable("GetAvailableVMSizesInLocation");
}

bool CAzureSDKCppBridge::GetVMSizeInfoForSize(const std::string&, const std::string&, SVMSizeInfo&) {
    return NotAvailable("GetVMSizeInfoForSize");
}

bool CAzureSDKCppBridge::GetImages(const std::string&, const std::string&, const std::string&, std::vector<SVMInfo>&) {
    return NotAvailable("GetImages");
}

bool CAzureSDKCppBridge::IsCrossSubscriptionRestore(const std::string&) {
    return NotAvailable("IsCrossSubscriptionRestore");
}

bool CAzureSDKCppBridge::GetBlobStorageSuffixForAzureEndpoint(const std::string&, std::string&) {
    return NotAvailable("GetBlobStorageSuffixForAzureEndpoint");
}

// Snapshots: VM snapshots, disk snapshot sets and blob snapshots.
bool CAzureSDKCppBridge::CreateVMSnapshot(const std::string&, const std::string&, bool, const std::string&, NXJobID,
                                          std::string&, std::vector<SDisk>&, std::string&) {
    return NotAvailable("CreateVMSnapshot");
}

bool CAzureSDKCppBridge::CreateDiskSnapshots(const std::vector<SDisk>&, const std::string&, const std::string&,
                                             const std::string&, std::uint32_t, NXJobID, std::string&,
                                             std::vector<SDisk>&) {
    return NotAvailable("CreateDiskSnapshots");
}

bool CAzureSDKCppBridge::DeleteVMSnapshot(const std::string&, const std::string&, const std::string&,
                                          const std::string&, bool) {
    return NotAvailable("DeleteVMSnapshot");
}

bool CAzureSDKCppBridge::DeleteDiskSnapshots(const std::string&, const std::vector<SDisk>&, const std::string&, bool) {
    return NotAvailable("DeleteDiskSnapshots");
}

bool CAzureSDKCppBridge::DeleteExpiredSnapshots(const std::string&, const std::string&, unsigned long,
                                                const std::vector<std::string>&) {
    return NotAvailable("DeleteExpiredSnapshots");
}

bool CAzureSDKCppBridge::CleanupVMSnapshot(const std::string&, const std::string&, const std::string&, bool) {
    return NotAvailable("CleanupVMSnapshot");
}

bool CAzureSDKCppBridge::GetVMSnapshotCount(const std::string&, const std::string&, const std::string&, int&) {
    return NotAvailable("GetVMSnapshotCount");
}

bool CAzureSDKCppBridge::GetBlobSnapshotCount(const std::string&, const std::string&, const std::string&, bool, int&) {
    return NotAvailable("GetBlobSnapshotCount");
}

bool CAzureSDKCppBridge::GetSnapshotURI(const std::string&, const std::string&, bool, std::string&) {
    return NotAvailable("GetSnapshotURI");
}

bool CAzureSDKCppBridge::GetManagedDiskSnapshotIDForSnapshotGUID(const std::string&, const std::string&, bool,
                                                                 const std::string&, std::string&) {
    return NotAvailable("GetManagedDiskSnapshotIDForSnapshotGUID");
}

bool CAzureSDKCppBridge::GetManagedDiskSnapshotsForDisk(const SDisk&, const std::string&, bool, const std::string&,
                                                        bool, std::vector<SDisk>&) {
    return NotAvailable("GetManagedDiskSnapshotsForDisk");
}

bool CAzureSDKCppBridge::GetDiskSnapshotWithGUID(const std::string&, const std::string&, SDisk&) {
    return NotAvailable("GetDiskSnapshotWithGUID");
}

bool CAzureSDKCppBridge::GetSourceDiskForSnapshot(const std::string&, std::string&) {
    return NotAvailable("GetSourceDiskForSnapshot");
}

bool CAzureSDKCppBridge::RevertBlobSnapshots(const std::vector<SDisk>&) {
    return NotAvailable("RevertBlobSnapshots");
}

bool CAzureSDKCppBridge::CreateBackupBlobFromSnapshot(const std::string&, const std::string&, const std::string&,
                                                      const std::string&, std::string&) {
    return NotAvailable("CreateBackupBlobFromSnapshot");
}

// Access: SAS URLs of managed snapshots and the storage bearer token.
bool CAzureSDKCppBridge::GetSASTokenURI(const std::string&, const std::string&, std::string&) {
    return NotAvailable("GetSASTokenURI");
}

bool CAzureSDKCppBridge::RevokeSASToken(const std::string&, const std::string&) {
    return NotAvailable("RevokeSASToken");
}

bool CAzureSDKCppBridge::GetStorageAccessToken(std::string&) {
    return NotAvailable("GetStorageAccessToken");
}

// Blobs and disks: containers, page blobs, page data, managed disks and disk tags.
bool CAzureSDKCppBridge::DoesBlobExist(const std::string&, const std::string&, const std::string&, const std::string&) {
    return NotAvailable("DoesBlobExist");
}

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

bool CAzureSDKCppBridge::GetBlobSizeInBytes(const std::string&, UINT64&) {
    return NotAvailable("GetBlobSizeInBytes");
}

bool CAzureSDKCppBridge::GetBlobInfo(const std::string&, const std::string&, const std::string&, SDisk&) {
    return NotAvailable("GetBlobInfo");
}

bool CAzureSDKCppBridge::GetBlobPageRanges(const std::string&, std::vector<SectorRange>&, bool) {
    return NotAvailable("GetBlobPageRanges");
}

bool CAzureSDKCppBridge::GetBlobPageRanges(const std::string&, const std::string&, const std::string&,
                                           std::vector<SectorRange>&, bool) {
    return NotAvailable("GetBlobPageRanges");
}

bool CAzureSDKCppBridge::GetBlobPageRangesDiff(const std::string&, const std::string&, std::vector<SectorRange>&) {
    return NotAvailable("GetBlobPageRangesDiff");
}

bool CAzureSDKCppBridge::GetBlobPageRangesDiffForManagedDiskURIs(const std::string&, const std::string&,
                                                                 std::vector<SectorRange>&) {
    return NotAvailable("GetBlobPageRangesDiffForManagedDiskURIs");
}

bool CAzureSDKCppBridge::DownloadBlobPageToBuffer(const std::string&, ULONGLONG, unsigned char*, UINT) {
    return NotAvailable("DownloadBlobPageToBuffer");
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

bool CAzureSDKCppBridge::CreateDiskFromSnapshot(const std::string&, const std::string&, const std::string&,
                                                const std::string&, const std::string&, std::string&, bool, bool) {
    return NotAvailable("CreateDiskFromSnapshot");
}

bool CAzureSDKCppBridge::CreateManagedDiskFromSnapshot(const std::string&, const std::string&, const std::string&,
                                                       const std::string&, const std::string&, const std::string&,
                                                       const std::string&, const std::string&, const std::string&, bool,
                                                       bool, bool, const std::string&, std::string&) {
    return NotAvailable("CreateManagedDiskFromSnapshot");
}

bool CAzureSDKCppBridge::DeleteDisksOriginatingFromBlob(const std::string&, const std::string&, const std::string&,
                                                        const std::string&) {
    return NotAvailable("DeleteDisksOriginatingFromBlob");
}

bool CAzureSDKCppBridge::DeleteExpiredDisks(const std::string&, std::time_t) {
    return NotAvailable("DeleteExpiredDisks");
}

bool CAzureSDKCppBridge::CleanupStagingBlobs(const std::string&) {
    return NotAvailable("CleanupStagingBlobs");
}

bool CAzureSDKCppBridge::CleanupStagingResources(const std::string&, const std::string&) {
    return NotAvailable("CleanupStagingResources");
}

bool CAzureSDKCppBridge::GetDiskTagInfo(const std::string&, const SDisk&, std::vector<SInventoryInfo>&) {
    return NotAvailable("GetDiskTagInfo");
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

bool CAzureSDKCppBridge::AddDisksToVM(const SVMInfo&, const std::vector<SDisk>&) {
    return NotAvailable("AddDisksToVM");
}

bool CAzureSDKCppBridge::DeleteDisksFromVM(const SVMInfo&, const std::vector<SDisk>&) {
    return NotAvailable("DeleteDisksFromVM");
}

bool CAzureSDKCppBridge::CleanupRestoreVM(const SVMInfo&, const std::vector<SDisk>&, bool) {
    return NotAvailable("CleanupRestoreVM");
}

bool CAzureSDKCppBridge::RegisterBlobAsOSDisk(const std::string&, const std::string&, const std::string&, bool) {
    return NotAvailable("RegisterBlobAsOSDisk");
}

bool CAzureSDKCppBridge::GetVMConfigurationAndKeyBackups(const std::string&, const std::string&, std::string&,
                                                         std::string&, std::string&) {
    return NotAvailable("GetVMConfigurationAndKeyBackups");
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
