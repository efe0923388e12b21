// The host's VM-information interface: every operation the host drives a
// hypervisor plugin through. The order of the declarations is the slot order of
// the interface and must not change. Operations return int 1 on success and 0
// on failure unless noted; the reason of a failure is read afterwards through
// the last-error slots. `flags` and `option` are the host's discovery arguments.
#pragma once

#include <string>
#include <vector>

#include "plugin/frame/records/Records.h"

class IVMInfo {
public:
    // Connection to the cloud account.
    virtual int Connect(const std::string& server, const std::string& user, const std::string& password) = 0;
    virtual int Connect(const std::string& server, const std::string& user, const std::string& password,
                        const std::vector<SHostCredentials>& credentials) = 0;
    virtual int Disconnect() = 0;

    // Browse tree, one level per call.
    virtual int BrowseInventory(const std::string& path, const SInventoryInfo& parent,
                                std::vector<SInventoryInfo>& out, UINT64 flags, int option) = 0;

    // VM, host, storage, VM-size and image queries.
    virtual int GetVMInfoForVM(const std::string& name, const std::string& guid, const std::string& host,
                               UINT64 flags, int option, SVMInfo& out) = 0;
    virtual int GetHostInfoForHost(const std::string& name, UINT64 flags, int option, SHostInfo& host) = 0;
    virtual int GetDSInfoForDS(const std::string& datastore, const std::string& host,
                               const std::string& dataCenter, UINT64 flags, int option,
                               SDatastoreInfo& out) = 0;
    virtual int GetVMInfoListForTag(const std::string& category, const std::string& tag, EInventoryType type,
                                    UINT64 flags, int option, std::vector<SVMInfo>& out) = 0;
    virtual int GetVMInfoListForInventoryObject(const std::string& name, EInventoryType type, UINT64 flags,
                                                int option, std::vector<SVMInfo>& out) = 0;
    virtual int GetLocalVMInfo(SVMInfo& out, UINT64 flags, int option) = 0;
    virtual int GetDSInfoListForHost(const std::string& host, std::vector<SDatastoreInfo>& out, UINT64 flags,
                                     int option) = 0;
    virtual int GetAvailableVMSizesForHost(const std::string& host, std::vector<SVMSizeInfo>& out,
                                           UINT64 flags, int option) = 0;
    virtual bool GetImageList(const std::string& location, const std::string& publisherAndName,
                              const std::string& sku, std::vector<SVMInfo>& out) = 0;

    // Backup mount, mount information and release.
    virtual int MountVM(const MountCtx& ctx) = 0;
    virtual int UnmountVM(const MountCtx& ctx) = 0;
    virtual int CleanupVM(const MountCtx& ctx) = 0;
    virtual int GetFileMountInfo(const MountCtx& ctx, std::vector<SMountInfoFile>& out) = 0;
    virtual int GetFullMountInfo(const MountCtx& ctx, std::vector<SMountInfoFull>& out) = 0;
    virtual int CollectMetadata(const MountCtx& ctx) = 0;
    // True when the change id still resolves for the disk at diskPath.
    virtual bool ValidateChangeId(const std::string& vmName, const std::string& vmGuid,
                                  const std::string& diskPath, const std::string& changeId) = 0;
    virtual int PostBackupVM(const MountCtx& ctx) = 0;

    // Restore sequence: init, host writes the disks, pre, restore, post; cleanup on failure.
    virtual int InitRestoreVM(const RestoreCtx& ctx) = 0;
    virtual int PreRestoreVM(const RestoreCtx& ctx) = 0;
    virtual int RestoreVM(const RestoreCtx& ctx) = 0;
    virtual int PostRestoreVM(const RestoreCtx& ctx) = 0;
    virtual int CleanupRestoreVM(const RestoreCtx& ctx) = 0;

    // Conversion of a machine into a cloud VM.
    virtual bool InitRehost(const RestoreCtx& ctx) = 0;
    virtual bool FinalizeRehost(const RestoreCtx& ctx) = 0;
    virtual bool CleanupRehost(const RestoreCtx& ctx) = 0;

    // Scripts run inside a VM's guest: from a local file, or given as text.
    virtual int ExecuteScriptInGuest(const GuestCtx& guest, const std::string& scriptPath,
                                     const std::string& parameters, const std::string& workingDir,
                                     int timeoutSeconds, const std::string& outputPath, int& exitCode) = 0;
    virtual bool ExecuteScriptInGuest(const GuestCtx& guest, const std::string& scriptText,
                                      int timeoutSeconds) = 0;

    // Single-call VM, snapshot and storage operations. PerformStorageOperation
    // returns 0 on success and non-zero on failure.
    virtual int PerformVMOperation(const OperationCtx& ctx) = 0;
    virtual int PerformSnapOperation(const SnapOperationCtx& op) = 0;
    virtual int PerformStorageOperation(const StorageOperationCtx& ctx) = 0;

    // Snapshot-engine backups: metadata files, archive files, snapshot phase, mounts and revert.
    virtual int GetMetadataFiles(const MountCtx& ctx, std::vector<std::string>& files,
                                 EMetadataFilesType type) = 0;
    virtual int GetAFileID(const MountCtx& ctx, const std::string& fileName, DiskType_t diskType,
                           std::uint32_t& archiveFileId) = 0;
    virtual int PreSnap(MountCtx& ctx) = 0;
    virtual int PostSnap(MountCtx& ctx) = 0;
    virtual int MountSnap(const MountCtx& ctx) = 0;
    virtual int RevertSnap(MountCtx& ctx, const RestoreCtx& rctx) = 0;

    // Disk data path: handles keyed by disk path, capacity in 512-byte sectors,
    // changed extents, reads by block index and sector count, writes by byte offset and count.
    virtual int OpenVmdk(const std::string& vmName, const std::string& vmGuid, const std::string& diskPath,
                         VmdkHandle& handle) = 0;
    virtual int CreateVmdk(const std::string& vmName, const std::string& vmGuid, const std::string& diskPath,
                           VmdkHandle& handle, long long sizeBytes) = 0;
    virtual int CloseVmdk(const VmdkHandle& handle) = 0;
    virtual int GetVmdkHandle(const std::string& vmName, const std::string& vmGuid, const std::string& diskPath,
                              VmdkHandle& handle) = 0;
    virtual int GetVmdkCapacity(const VmdkHandle& handle, ULONGLONG& sectors) = 0;
    virtual int GetVmdkExtents(const VmdkHandle& handle, const std::string& changeId, ULONGLONG startSector,
                               SDiskChangeInfo& info) = 0;
    virtual int ReadVmdk(const VmdkHandle& handle, ULONGLONG blockIndex, UINT sectorCount,
                         unsigned char* buffer) = 0;
    virtual int WriteVmdk(const VmdkHandle& handle, ULONGLONG byteOffset, UINT byteCount,
                          unsigned char* buffer) = 0;

    // Standby VM of a replication: create at failover, delete at failback, clean up after failover.
    virtual bool CreateDRVM(const RestoreCtx& ctx) = 0;
    virtual bool DeleteDRVM(const RestoreCtx& ctx) = 0;
    virtual bool PostVMFailover(const RestoreCtx& ctx) = 0;

    // Virtual networks.
    virtual bool CreateNetwork(SNetworkInfo& network, const std::string& resourceGroup,
                               const SHostNetworkAdapterInfo& adapter) = 0;
    virtual bool DeleteNetwork(SNetworkInfo& network, const std::string& resourceGroup,
                               const SHostNetworkAdapterInfo& adapter) = 0;

    // The host deletes a plugin object through this interface.
    virtual ~IVMInfo() = default;

    // Disk filter matchers the host calls for each filter rule of a backup job.
    virtual bool IsDiskFilteredByPath(const std::string& path, const SDisk& disk) = 0;
    virtual bool IsDiskFilteredByPattern(const std::string& pattern, const SDisk& disk) = 0;
    virtual bool IsDiskFilteredByDatastore(const MountCtx& ctx, const std::string& datastore,
                                           const SDisk& disk) = 0;
    virtual bool IsDiskFilteredByType(const std::string& type, const SDisk& disk) = 0;
    virtual bool IsDiskFilteredByTag(const std::string& tagName, const std::string& tagValue,
                                     const SDisk& disk) = 0;

    // Refresh of the host-information cache shared by browsing and the VM queries.
    virtual int _RefreshHostInfoCache(UINT64 flags, int option) = 0;

    // VM sizes offered in a region.
    virtual int GetAvailableVMSizesInLocation(const std::string& location, std::vector<SVMSizeInfo>& out,
                                              UINT64 flags, int option) = 0;

    // Registration of a page blob as an OS disk.
    virtual int RegisterBlobAsOSDisk(const std::string& storageAccount, const std::string& container,
                                     const std::string& blob, bool isWindows) = 0;

    // Release of a snapshot-engine mount.
    virtual int UnMountSnap(MountCtx& ctx) = 0;

    // Last error of the most recent failed operation: code and details text.
    virtual EVMInfoError GetLastVMError() = 0;
    virtual std::string GetLastVMErrorDetails() = 0;
};
