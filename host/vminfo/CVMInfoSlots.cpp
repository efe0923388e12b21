// Base behaviour of the interface slots: an operation a plugin does not
// override is logged and fails.
#include "host/log/EvDebug.h"
#include "host/vminfo/CVMInfo.h"

namespace {

template <typename T>
T NotSupported(const char* tag, T result) {
    EvDebug::Debug(tag, "Operation is not supported by this plugin");
    return result;
}

}  // namespace

int CVMInfo::Connect(const std::string&, const std::string&, const std::string&) {
    return NotSupported("virtual int CVMInfo::Connect(const string&, const string&, const string&)", 0);
}

int CVMInfo::Connect(const std::string&, const std::string&, const std::string&, const std::vector<SHostCredentials>&) {
    return NotSupported("virtual int CVMInfo::Connect(const string&, const string&, const string&, const std::vector<SHostCredentials>&)", 0);
}

int CVMInfo::Disconnect() {
    return NotSupported("virtual int CVMInfo::Disconnect()", 0);
}

int CVMInfo::BrowseInventory(const std::string&, const SInventoryInfo&, std::vector<SInventoryInfo>&, UINT64, int) {
    return NotSupported("virtual int CVMInfo::BrowseInventory(const string&, const SInventoryInfo&, std::vector<SInventoryInfo>&, UINT64, int)", 0);
}

int CVMInfo::GetVMInfoForVM(const std::string&, const std::string&, const std::string&, UINT64, int, SVMInfo&) {
    return NotSupported("virtual int CVMInfo::GetVMInfoForVM(const string&, const string&, const string&, UINT64, int, SVMInfo&)", 0);
}

int CVMInfo::GetHostInfoForHost(const std::string&, UINT64, int, SHostInfo&) {
    return NotSupported("virtual int CVMInfo::GetHostInfoForHost(const string&, UINT64, int, SHostInfo&)", 0);
}

int CVMInfo::GetDSInfoForDS(const std::string&, const std::string&, const std::string&, UINT64, int, SDatastoreInfo&) {
    return NotSupported("virtual int CVMInfo::GetDSInfoForDS(const string&, const string&, const string&, UINT64, int, SDatastoreInfo&)", 0);
}

int CVMInfo::GetVMInfoListForTag(const std::string&, const std::string&, EInventoryType, UINT64, int, std::vector<SVMInfo>&) {
    return NotSupported("virtual int CVMInfo::GetVMInfoListForTag(const string&, const string&, EInventoryType, UINT64, int, std::vector<SVMInfo>&)", 0);
}

int CVMInfo::GetVMInfoListForInventoryObject(const std::string&, EInventoryType, UINT64, int, std::vector<SVMInfo>&) {
    return NotSupported("virtual int CVMInfo::GetVMInfoListForInventoryObject(const string&, EInventoryType, UINT64, int, std::vector<SVMInfo>&)", 0);
}

int CVMInfo::GetLocalVMInfo(SVMInfo&, UINT64, int) {
    return NotSupported("virtual int CVMInfo::GetLocalVMInfo(SVMInfo&, UINT64, int)", 0);
}

int CVMInfo::GetDSInfoListForHost(const std::string&, std::vector<SDatastoreInfo>&, UINT64, int) {
    return NotSupported("virtual int CVMInfo::GetDSInfoListForHost(const string&, std::vector<SDatastoreInfo>&, UINT64, int)", 0);
}

int CVMInfo::GetAvailableVMSizesForHost(const std::string&, std::vector<SVMSizeInfo>&, UINT64, int) {
    return NotSupported("virtual int CVMInfo::GetAvailableVMSizesForHost(const string&, std::vector<SVMSizeInfo>&, UINT64, int)", 0);
}

bool CVMInfo::GetImageList(const std::string&, const std::string&, const std::string&, std::vector<SVMInfo>&) {
    return NotSupported("virtual bool CVMInfo::GetImageList(const string&, const string&, const string&, std::vector<SVMInfo>&)", false);
}

int CVMInfo::MountVM(const MountCtx&) {
    return NotSupported("virtual int CVMInfo::MountVM(const MountCtx&)", 0);
}

int CVMInfo::UnmountVM(const MountCtx&) {
    return NotSupported("virtual int CVMInfo::UnmountVM(const MountCtx&)", 0);
}

int CVMInfo::CleanupVM(const MountCtx&) {
    return NotSupported("virtual int CVMInfo::CleanupVM(const MountCtx&)", 0);
}

int CVMInfo::GetFileMountInfo(const MountCtx&, std::vector<SMountInfoFile>&) {
    return NotSupported("virtual int CVMInfo::GetFileMountInfo(const MountCtx&, std::vector<SMountInfoFile>&)", 0);
}

int CVMInfo::GetFullMountInfo(const MountCtx&, std::vector<SMountInfoFull>&) {
    return NotSupported("virtual int CVMInfo::GetFullMountInfo(const MountCtx&, std::vector<SMountInfoFull>&)", 0);
}

int CVMInfo::CollectMetadata(const MountCtx&) {
    return NotSupported("virtual int CVMInfo::CollectMetadata(const MountCtx&)", 0);
}

bool CVMInfo::ValidateChangeId(const std::string&, const std::string&, const std::string&, const std::string&) {
    return NotSupported("virtual bool CVMInfo::ValidateChangeId(const string&, const string&, const string&, const string&)", false);
}

int CVMInfo::PostBackupVM(const MountCtx&) {
    return NotSupported("virtual int CVMInfo::PostBackupVM(const MountCtx&)", 0);
}

int CVMInfo::InitRestoreVM(const RestoreCtx&) {
    return NotSupported("virtual int CVMInfo::InitRestoreVM(const RestoreCtx&)", 0);
}

int CVMInfo::PreRestoreVM(const RestoreCtx&) {
    return NotSupported("virtual int CVMInfo::PreRestoreVM(const RestoreCtx&)", 0);
}

int CVMInfo::RestoreVM(const RestoreCtx&) {
    return NotSupported("virtual int CVMInfo::RestoreVM(const RestoreCtx&)", 0);
}

int CVMInfo::PostRestoreVM(const RestoreCtx&) {
    return NotSupported("virtual int CVMInfo::PostRestoreVM(const RestoreCtx&)", 0);
}

int CVMInfo::CleanupRestoreVM(const RestoreCtx&) {
    return NotSupported("virtual int CVMInfo::CleanupRestoreVM(const RestoreCtx&)", 0);
}

bool CVMInfo::InitRehost(const RestoreCtx&) {
    return NotSupported("virtual bool CVMInfo::InitRehost(const RestoreCtx&)", false);
}

bool CVMInfo::FinalizeRehost(const RestoreCtx&) {
    return NotSupported("virtual bool CVMInfo::FinalizeRehost(const RestoreCtx&)", false);
}

bool CVMInfo::CleanupRehost(const RestoreCtx&) {
    return NotSupported("virtual bool CVMInfo::CleanupRehost(const RestoreCtx&)", false);
}

int CVMInfo::ExecuteScriptInGuest(const GuestCtx&, const std::string&, const std::string&, const std::string&, int, const std::string&, int&) {
    return NotSupported("virtual int CVMInfo::ExecuteScriptInGuest(const GuestCtx&, const string&, const string&, const string&, int, const string&, int&)", 0);
}

bool CVMInfo::ExecuteScriptInGuest(const GuestCtx&, const std::string&, int) {
    return NotSupported("virtual bool CVMInfo::ExecuteScriptInGuest(const GuestCtx&, const string&, int)", false);
}

int CVMInfo::PerformVMOperation(const OperationCtx&) {
    return NotSupported("virtual int CVMInfo::PerformVMOperation(const OperationCtx&)", 0);
}

int CVMInfo::PerformSnapOperation(const SnapOperationCtx&) {
    return NotSupported("virtual int CVMInfo::PerformSnapOperation(const SnapOperationCtx&)", 0);
}

// The storage operation reports failure as 1 (its success is 0), so an operation no plugin
// provides must answer 1, never the 0 that would read as done.
int CVMInfo::PerformStorageOperation(const StorageOperationCtx&) {
    return NotSupported("virtual int CVMInfo::PerformStorageOperation(const StorageOperationCtx&)", 1);
}

int CVMInfo::GetMetadataFiles(const MountCtx&, std::vector<std::string>&, EMetadataFilesType) {
    return NotSupported("virtual int CVMInfo::GetMetadataFiles(const MountCtx&, std::vector<string>&, EMetadataFilesType)", 0);
}

int CVMInfo::GetAFileID(const MountCtx&, const std::string&, DiskType_t, std::uint32_t&) {
    return NotSupported("virtual int CVMInfo::GetAFileID(const MountCtx&, const string&, DiskType_t, std::uint32_t&)", 0);
}

int CVMInfo::PreSnap(MountCtx&) {
    return NotSupported("virtual int CVMInfo::PreSnap(MountCtx&)", 0);
}

int CVMInfo::PostSnap(MountCtx&) {
    return NotSupported("virtual int CVMInfo::PostSnap(MountCtx&)", 0);
}

int CVMInfo::MountSnap(const MountCtx&) {
    return NotSupported("virtual int CVMInfo::MountSnap(const MountCtx&)", 0);
}

int CVMInfo::RevertSnap(MountCtx&, const RestoreCtx&) {
    return NotSupported("virtual int CVMInfo::RevertSnap(MountCtx&, const RestoreCtx&)", 0);
}

int CVMInfo::OpenVmdk(const std::string&, const std::string&, const std::string&, VmdkHandle&) {
    return NotSupported("virtual int CVMInfo::OpenVmdk(const string&, const string&, const string&, VmdkHandle&)", 0);
}

int CVMInfo::CreateVmdk(const std::string&, const std::string&, const std::string&, VmdkHandle&, long long) {
    return NotSupported("virtual int CVMInfo::CreateVmdk(const string&, const string&, const string&, VmdkHandle&, long long)", 0);
}

int CVMInfo::CloseVmdk(const VmdkHandle&) {
    return NotSupported("virtual int CVMInfo::CloseVmdk(const VmdkHandle&)", 0);
}

int CVMInfo::GetVmdkHandle(const std::string&, const std::string&, const std::string&, VmdkHandle&) {
    return NotSupported("virtual int CVMInfo::GetVmdkHandle(const string&, const string&, const string&, VmdkHandle&)", 0);
}

int CVMInfo::GetVmdkCapacity(const VmdkHandle&, ULONGLONG&) {
    return NotSupported("virtual int CVMInfo::GetVmdkCapacity(const VmdkHandle&, ULONGLONG&)", 0);
}

int CVMInfo::GetVmdkExtents(const VmdkHandle&, const std::string&, ULONGLONG, SDiskChangeInfo&) {
    return NotSupported("virtual int CVMInfo::GetVmdkExtents(const VmdkHandle&, const string&, ULONGLONG, SDiskChangeInfo&)", 0);
}

int CVMInfo::ReadVmdk(const VmdkHandle&, ULONGLONG, UINT, unsigned char*) {
    return NotSupported("virtual int CVMInfo::ReadVmdk(const VmdkHandle&, ULONGLONG, UINT, unsigned char*)", 0);
}

int CVMInfo::WriteVmdk(const VmdkHandle&, ULONGLONG, UINT, unsigned char*) {
    return NotSupported("virtual int CVMInfo::WriteVmdk(const VmdkHandle&, ULONGLONG, UINT, unsigned char*)", 0);
}

bool CVMInfo::CreateDRVM(const RestoreCtx&) {
    return NotSupported("virtual bool CVMInfo::CreateDRVM(const RestoreCtx&)", false);
}

bool CVMInfo::DeleteDRVM(const RestoreCtx&) {
    return NotSupported("virtual bool CVMInfo::DeleteDRVM(const RestoreCtx&)", false);
}

bool CVMInfo::PostVMFailover(const RestoreCtx&) {
    return NotSupported("virtual bool CVMInfo::PostVMFailover(const RestoreCtx&)", false);
}

bool CVMInfo::CreateNetwork(SNetworkInfo&, const std::string&, const SHostNetworkAdapterInfo&) {
    return NotSupported("virtual bool CVMInfo::CreateNetwork(SNetworkInfo&, const string&, const SHostNetworkAdapterInfo&)", false);
}

bool CVMInfo::DeleteNetwork(SNetworkInfo&, const std::string&, const SHostNetworkAdapterInfo&) {
    return NotSupported("virtual bool CVMInfo::DeleteNetwork(SNetworkInfo&, const string&, const SHostNetworkAdapterInfo&)", false);
}

bool CVMInfo::IsDiskFilteredByPath(const std::string&, const SDisk&) {
    return NotSupported("virtual bool CVMInfo::IsDiskFilteredByPath(const string&, const SDisk&)", false);
}

bool CVMInfo::IsDiskFilteredByPattern(const std::string&, const SDisk&) {
    return NotSupported("virtual bool CVMInfo::IsDiskFilteredByPattern(const string&, const SDisk&)", false);
}

bool CVMInfo::IsDiskFilteredByDatastore(const MountCtx&, const std::string&, const SDisk&) {
    return NotSupported("virtual bool CVMInfo::IsDiskFilteredByDatastore(const MountCtx&, const string&, const SDisk&)", false);
}

bool CVMInfo::IsDiskFilteredByType(const std::string&, const SDisk&) {
    return NotSupported("virtual bool CVMInfo::IsDiskFilteredByType(const string&, const SDisk&)", false);
}

bool CVMInfo::IsDiskFilteredByTag(const std::string&, const std::string&, const SDisk&) {
    return NotSupported("virtual bool CVMInfo::IsDiskFilteredByTag(const string&, const string&, const SDisk&)", false);
}

int CVMInfo::GetAvailableVMSizesInLocation(const std::string&, std::vector<SVMSizeInfo>&, UINT64, int) {
    return NotSupported("virtual int CVMInfo::GetAvailableVMSizesInLocation(const string&, std::vector<SVMSizeInfo>&, UINT64, int)", 0);
}

int CVMInfo::RegisterBlobAsOSDisk(const std::string&, const std::string&, const std::string&, bool) {
    return NotSupported("virtual int CVMInfo::RegisterBlobAsOSDisk(const string&, const string&, const string&, bool)", 0);
}

int CVMInfo::UnMountSnap(MountCtx&) {
    return NotSupported("virtual int CVMInfo::UnMountSnap(MountCtx&)", 0);
}
