// Slots whose Azure behaviour is not part of this build yet keep the base behaviour.
#include "plugin/frame/AzureInfo.h"











int CAzureInfo::MountVM(const MountCtx& ctx) {
    return CVMInfo::MountVM(ctx);
}

int CAzureInfo::UnmountVM(const MountCtx& ctx) {
    return CVMInfo::UnmountVM(ctx);
}

int CAzureInfo::CleanupVM(const MountCtx& ctx) {
    return CVMInfo::CleanupVM(ctx);
}

int CAzureInfo::GetFileMountInfo(const MountCtx& ctx, std::vector<SMountInfoFile>& out) {
    return CVMInfo::GetFileMountInfo(ctx, out);
}

int CAzureInfo::GetFullMountInfo(const MountCtx& ctx, std::vector<SMountInfoFull>& out) {
    return CVMInfo::GetFullMountInfo(ctx, out);
}

int CAzureInfo::CollectMetadata(const MountCtx& ctx) {
    return CVMInfo::CollectMetadata(ctx);
}

bool CAzureInfo::ValidateChangeId(const std::string& vmName, const std::string& vmGuid, const std::string& diskPath, const std::string& changeId) {
    return CVMInfo::ValidateChangeId(vmName, vmGuid, diskPath, changeId);
}

int CAzureInfo::PostBackupVM(const MountCtx& ctx) {
    return CVMInfo::PostBackupVM(ctx);
}

int CAzureInfo::InitRestoreVM(const RestoreCtx& ctx) {
    return CVMInfo::InitRestoreVM(ctx);
}

int CAzureInfo::PreRestoreVM(const RestoreCtx& ctx) {
    return CVMInfo::PreRestoreVM(ctx);
}

int CAzureInfo::RestoreVM(const RestoreCtx& ctx) {
    return CVMInfo::RestoreVM(ctx);
}

int CAzureInfo::PostRestoreVM(const RestoreCtx& ctx) {
    return CVMInfo::PostRestoreVM(ctx);
}

int CAzureInfo::CleanupRestoreVM(const RestoreCtx& ctx) {
    return CVMInfo::CleanupRestoreVM(ctx);
}

bool CAzureInfo::InitRehost(const RestoreCtx& ctx) {
    return CVMInfo::InitRehost(ctx);
}

bool CAzureInfo::FinalizeRehost(const RestoreCtx& ctx) {
    return CVMInfo::FinalizeRehost(ctx);
}

bool CAzureInfo::CleanupRehost(const RestoreCtx& ctx) {
    return CVMInfo::CleanupRehost(ctx);
}

int CAzureInfo::ExecuteScriptInGuest(const GuestCtx& guest, const std::string& scriptPath, const std::string& parameters, const std::string& workingDir, int timeoutSeconds, const std::string& outputPath, int& exitCode) {
    return CVMInfo::ExecuteScriptInGuest(guest, scriptPath, parameters, workingDir, timeoutSeconds, outputPath, exitCode);
}

bool CAzureInfo::ExecuteScriptInGuest(const GuestCtx& guest, const std::string& scriptText, int timeoutSeconds) {
    return CVMInfo::ExecuteScriptInGuest(guest, scriptText, timeoutSeconds);
}

int CAzureInfo::PerformVMOperation(const OperationCtx& ctx) {
    return CVMInfo::PerformVMOperation(ctx);
}

int CAzureInfo::PerformSnapOperation(const SnapOperationCtx& op) {
    return CVMInfo::PerformSnapOperation(op);
}

int CAzureInfo::PerformStorageOperation(const StorageOperationCtx& ctx) {
    return CVMInfo::PerformStorageOperation(ctx);
}

int CAzureInfo::GetMetadataFiles(const MountCtx& ctx, std::vector<std::string>& files, EMetadataFilesType type) {
    return CVMInfo::GetMetadataFiles(ctx, files, type);
}

int CAzureInfo::GetAFileID(const MountCtx& ctx, const std::string& fileName, DiskType_t diskType, std::uint32_t& archiveFileId) {
    return CVMInfo::GetAFileID(ctx, fileName, diskType, archiveFileId);
}

int CAzureInfo::PreSnap(MountCtx& ctx) {
    return CVMInfo::PreSnap(ctx);
}

int CAzureInfo::PostSnap(MountCtx& ctx) {
    return CVMInfo::PostSnap(ctx);
}

int CAzureInfo::MountSnap(const MountCtx& ctx) {
    return CVMInfo::MountSnap(ctx);
}

int CAzureInfo::RevertSnap(MountCtx& ctx, const RestoreCtx& rctx) {
    return CVMInfo::RevertSnap(ctx, rctx);
}

int CAzureInfo::OpenVmdk(const std::string& vmName, const std::string& vmGuid, const std::string& diskPath, VmdkHandle& handle) {
    return CVMInfo::OpenVmdk(vmName, vmGuid, diskPath, handle);
}

int CAzureInfo::CreateVmdk(const std::string& vmName, const std::string& vmGuid, const std::string& diskPath, VmdkHandle& handle, long long sizeBytes) {
    return CVMInfo::CreateVmdk(vmName, vmGuid, diskPath, handle, sizeBytes);
}

int CAzureInfo::CloseVmdk(const VmdkHandle& handle) {
    return CVMInfo::CloseVmdk(handle);
}

int CAzureInfo::GetVmdkHandle(const std::string& vmName, const std::string& vmGuid, const std::string& diskPath, VmdkHandle& handle) {
    return CVMInfo::GetVmdkHandle(vmName, vmGuid, diskPath, handle);
}

int CAzureInfo::GetVmdkCapacity(const VmdkHandle& handle, ULONGLONG& sectors) {
    return CVMInfo::GetVmdkCapacity(handle, sectors);
}

int CAzureInfo::GetVmdkExtents(const VmdkHandle& handle, const std::string& changeId, ULONGLONG startSector, SDiskChangeInfo& info) {
    return CVMInfo::GetVmdkExtents(handle, changeId, startSector, info);
}

int CAzureInfo::ReadVmdk(const VmdkHandle& handle, ULONGLONG blockIndex, UINT sectorCount, unsigned char* buffer) {
    return CVMInfo::ReadVmdk(handle, blockIndex, sectorCount, buffer);
}

int CAzureInfo::WriteVmdk(const VmdkHandle& handle, ULONGLONG byteOffset, UINT byteCount, unsigned char* buffer) {
    return CVMInfo::WriteVmdk(handle, byteOffset, byteCount, buffer);
}

bool CAzureInfo::CreateDRVM(const RestoreCtx& ctx) {
    return CVMInfo::CreateDRVM(ctx);
}

bool CAzureInfo::DeleteDRVM(const RestoreCtx& ctx) {
    return CVMInfo::DeleteDRVM(ctx);
}

bool CAzureInfo::PostVMFailover(const RestoreCtx& ctx) {
    return CVMInfo::PostVMFailover(ctx);
}

bool CAzureInfo::CreateNetwork(SNetworkInfo& network, const std::string& resourceGroup, const SHostNetworkAdapterInfo& adapter) {
    return CVMInfo::CreateNetwork(network, resourceGroup, adapter);
}

bool CAzureInfo::DeleteNetwork(SNetworkInfo& network, const std::string& resourceGroup, const SHostNetworkAdapterInfo& adapter) {
    return CVMInfo::DeleteNetwork(network, resourceGroup, adapter);
}

bool CAzureInfo::IsDiskFilteredByPath(const std::string& path, const SDisk& disk) {
    return CVMInfo::IsDiskFilteredByPath(path, disk);
}

bool CAzureInfo::IsDiskFilteredByPattern(const std::string& pattern, const SDisk& disk) {
    return CVMInfo::IsDiskFilteredByPattern(pattern, disk);
}

bool CAzureInfo::IsDiskFilteredByDatastore(const MountCtx& ctx, const std::string& datastore, const SDisk& disk) {
    return CVMInfo::IsDiskFilteredByDatastore(ctx, datastore, disk);
}

bool CAzureInfo::IsDiskFilteredByType(const std::string& type, const SDisk& disk) {
    return CVMInfo::IsDiskFilteredByType(type, disk);
}

bool CAzureInfo::IsDiskFilteredByTag(const std::string& tagName, const std::string& tagValue, const SDisk& disk) {
    return CVMInfo::IsDiskFilteredByTag(tagName, tagValue, disk);
}



int CAzureInfo::RegisterBlobAsOSDisk(const std::string& storageAccount, const std::string& container, const std::string& blob, bool isWindows) {
    return CVMInfo::RegisterBlobAsOSDisk(storageAccount, container, blob, isWindows);
}

int CAzureInfo::UnMountSnap(MountCtx& ctx) {
    return CVMInfo::UnMountSnap(ctx);
}
