// The plugin object: one per job, created by CreateAzureInfoObject and driven
// by the host through the interface slots of CVMInfo. All cloud management
// goes through the owned SDK wrapper; disk data moves over HTTPS directly.
#pragma once

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "cloudsdk/AzureSDKCppBridge.h"
#include "host/cloudfs/CVSCloudFSClient.h"
#include "host/diskmap/CDiskMapperLinux.h"
#include "host/log/EvDebug.h"
#include "host/snap/CVMSnapUtil.h"
#include "host/snap/SnapRecords.h"
#include "host/sys/NxCriticalSection.h"
#include "host/util/FXString.h"
#include "host/vminfo/CVMInfo.h"
#include "plugin/frame/records/Records.h"

class CAzureInfo : public CVMInfo {
public:
    CAzureInfo(VirtualServerInstanceType type, NXJobID jobId);
    ~CAzureInfo() override;

    // Interface slots, in slot order.
    int Connect(const std::string& server, const std::string& user, const std::string& password) override;
    int Connect(const std::string& server, const std::string& user, const std::string& password, const std::vector<SHostCredentials>& credentials) override;
    int Disconnect() override;
    int BrowseInventory(const std::string& path, const SInventoryInfo& parent, std::vector<SInventoryInfo>& out, UINT64 flags, int option) override;
    int GetVMInfoForVM(const std::string& name, const std::string& guid, const std::string& host, UINT64 flags, int option, SVMInfo& out) override;
    int GetHostInfoForHost(const std::string& name, UINT64 flags, int option, SHostInfo& host) override;
    int GetDSInfoForDS(const std::string& datastore, const std::string& host, const std::string& dataCenter, UINT64 flags, int option, SDatastoreInfo& out) override;
    int GetVMInfoListForTag(const std::string& category, const std::string& tag, EInventoryType type, UINT64 flags, int option, std::vector<SVMInfo>& out) override;
    int GetVMInfoListForInventoryObject(const std::string& name, EInventoryType type, UINT64 flags, int option, std::vector<SVMInfo>& out) override;
    int GetLocalVMInfo(SVMInfo& out, UINT64 flags, int option) override;
    int GetDSInfoListForHost(const std::string& host, std::vector<SDatastoreInfo>& out, UINT64 flags, int option) override;
    int GetAvailableVMSizesForHost(const std::string& host, std::vector<SVMSizeInfo>& out, UINT64 flags, int option) override;
    bool GetImageList(const std::string& location, const std::string& publisherAndName, const std::string& sku, std::vector<SVMInfo>& out) override;
    int MountVM(const MountCtx& ctx) override;
    int UnmountVM(const MountCtx& ctx) override;
    int CleanupVM(const MountCtx& ctx) override;
    int GetFileMountInfo(const MountCtx& ctx, std::vector<SMountInfoFile>& out) override;
    int GetFullMountInfo(const MountCtx& ctx, std::vector<SMountInfoFull>& out) override;
    int CollectMetadata(const MountCtx& ctx) override;
    bool ValidateChangeId(const std::string& vmName, const std::string& vmGuid, const std::string& diskPath, const std::string& changeId) override;
    int PostBackupVM(const MountCtx& ctx) override;
    int InitRestoreVM(const RestoreCtx& ctx) override;
    int PreRestoreVM(const RestoreCtx& ctx) override;
    int RestoreVM(const RestoreCtx& ctx) override;
    int PostRestoreVM(const RestoreCtx& ctx) override;
    int CleanupRestoreVM(const RestoreCtx& ctx) override;
    bool InitRehost(const RestoreCtx& ctx) override;
    bool FinalizeRehost(const RestoreCtx& ctx) override;
    bool CleanupRehost(const RestoreCtx& ctx) override;
    int ExecuteScriptInGuest(const GuestCtx& guest, const std::string& scriptPath, const std::string& parameters, const std::string& workingDir, int timeoutSeconds, const std::string& outputPath, int& exitCode) override;
    bool ExecuteScriptInGuest(const GuestCtx& guest, const std::string& scriptText, int timeoutSeconds) override;
    int PerformVMOperation(const OperationCtx& ctx) override;
    int PerformSnapOperation(const SnapOperationCtx& op) override;
    int PerformStorageOperation(const StorageOperationCtx& ctx) override;
    int GetMetadataFiles(const MountCtx& ctx, std::vector<std::string>& files, EMetadataFilesType type) override;
    int GetAFileID(const MountCtx& ctx, const std::string& fileName, DiskType_t diskType, std::uint32_t& archiveFileId) override;
    int PreSnap(MountCtx& ctx) override;
    int PostSnap(MountCtx& ctx) override;
    int MountSnap(const MountCtx& ctx) override;
    int RevertSnap(MountCtx& ctx, const RestoreCtx& rctx) override;
    int OpenVmdk(const std::string& vmName, const std::string& vmGuid, const std::string& diskPath, VmdkHandle& handle) override;
    int CreateVmdk(const std::string& vmName, const std::string& vmGuid, const std::string& diskPath, VmdkHandle& handle, long long sizeBytes) override;
    int CloseVmdk(const VmdkHandle& handle) override;
    int GetVmdkHandle(const std::string& vmName, const std::string& vmGuid, const std::string& diskPath, VmdkHandle& handle) override;
    int GetVmdkCapacity(const VmdkHandle& handle, ULONGLONG& sectors) override;
    int GetVmdkExtents(const VmdkHandle& handle, const std::string& changeId, ULONGLONG startSector, SDiskChangeInfo& info) override;
    int ReadVmdk(const VmdkHandle& handle, ULONGLONG blockIndex, UINT sectorCount, unsigned char* buffer) override;
    int WriteVmdk(const VmdkHandle& handle, ULONGLONG byteOffset, UINT byteCount, unsigned char* buffer) override;
    bool CreateDRVM(const RestoreCtx& ctx) override;
    bool DeleteDRVM(const RestoreCtx& ctx) override;
    bool PostVMFailover(const RestoreCtx& ctx) override;
    bool CreateNetwork(SNetworkInfo& network, const std::string& resourceGroup, const SHostNetworkAdapterInfo& adapter) override;
    bool DeleteNetwork(SNetworkInfo& network, const std::string& resourceGroup, const SHostNetworkAdapterInfo& adapter) override;
    bool IsDiskFilteredByPath(const std::string& path, const SDisk& disk) override;
    bool IsDiskFilteredByPattern(const std::string& pattern, const SDisk& disk) override;
    bool IsDiskFilteredByDatastore(const MountCtx& ctx, const std::string& datastore, const SDisk& disk) override;
    bool IsDiskFilteredByType(const std::string& type, const SDisk& disk) override;
    bool IsDiskFilteredByTag(const std::string& tagName, const std::string& tagValue, const SDisk& disk) override;
    int _RefreshHostInfoCache(UINT64 flags, int option) override;
    int GetAvailableVMSizesInLocation(const std::string& location, std::vector<SVMSizeInfo>& out, UINT64 flags, int option) override;
    int RegisterBlobAsOSDisk(const std::string& storageAccount, const std::string& container, const std::string& blob, bool isWindows) override;
    int UnMountSnap(MountCtx& ctx) override;

    // Maps an SDK wrapper error code to the host's last error; true when one was stored.
    bool SetLastVMErrorFromSDKWrapperError(int sdkError);
    // Detects the GUID of the VM this process runs in, once per process.
    void DetectLocalVMGuid();

protected:
    // Browse tree and queries.
    void BrowseViews(std::vector<SInventoryInfo>& out);
    bool BrowseVMList(std::vector<SInventoryInfo>& out, UINT64 flags, int option);
    bool BrowseHostList(const std::string& hostName, std::vector<SInventoryInfo>& out, UINT64 flags, int option);
    bool BrowseRegions(const SInventoryInfo& parent, std::vector<SInventoryInfo>& out);
    bool BrowseStorageAccounts(const SInventoryInfo& parent, std::vector<SInventoryInfo>& out);
    bool BrowseTags(const SInventoryInfo& parent, std::vector<SInventoryInfo>& out);
    void SortInventoryList(std::vector<SInventoryInfo>& list);
    void CopyVMInfoListToInventoryList(const std::vector<SVMInfo>& vms, std::vector<SInventoryInfo>& out,
                                       std::map<std::string, SVMInfo>* byGuid);
    int GetVMInfoListForRootInventoryObject(const std::string& name, EInventoryType type, UINT64 flags, int option,
                                            std::vector<SVMInfo>& out);
    bool _GetVMInfoListForRegion(const std::string& region, UINT64 flags, int option, std::vector<SVMInfo>& out);
    bool _GetVMInfoListForStorageAccount(const std::string& account, UINT64 flags, int option,
                                         std::vector<SVMInfo>& out);

    // ---- backup mount: mount driver, disk discovery, disk filters, mount information, unmount ----
    int _MountVM(const MountCtx& ctx);
    bool ExpireAndCheckStreamingSnapshotLimits(const std::string& hostName, const std::string& vmName,
                                               const std::string& vmGuid, const std::vector<std::string>& keepSnapshots,
                                               bool& atLimit);
    bool DeleteExpiredSnapshots(const std::string& hostName, const std::string& vmName,
                                const std::vector<std::string>& keepSnapshots);
    bool CheckVMBackupSnapshotLimit(const std::string& vmName, const std::string& vmGuid, bool& atLimit);
    bool VerifyKeyVaultPermissions(const MountCtx& ctx);
    bool ExcludeUltraSsdDisks(const MountCtx& ctx);
    bool _CreateVMSnapshot(const MountCtx& ctx);
    bool GetDiskInfoForVM(const MountCtx& ctx);
    bool GetDiskInfoForVM_HotAdd(const MountCtx& ctx);
    bool ParseMediaLinkURI(const std::string& uri, std::string& storageAccount, std::string& container,
                           std::string& blobName, std::string& snapshotId);
    bool _GetBlobStorageSuffixForAzureEndpoint(std::string& suffix);
    bool IsVMDiskEncrypted(const std::vector<SDisk>& disks);
    bool ExcludeFilteredDisks(const MountCtx& ctx);
    int _GetFullMountInfo(const MountCtx& ctx, std::vector<SMountInfoFull>& out);
    int _GetFullMountInfo_Disks(const MountCtx& ctx, std::vector<SMountInfoFull>& out);
    int _GetFullMountInfo_ConfigFiles(const MountCtx& ctx, std::vector<SMountInfoFull>& out);
    std::string GenerateUniqueDiskNameForBackup(const SDisk& disk);
    bool _SaveVMConfigFile(const std::string& resourceGroup, const std::string& vmName, const std::string& mountPath);
    bool _RevokeSASTokens(const MountCtx& ctx);
    bool _DeleteVMSnapshot(const MountCtx& ctx);
    bool _DeleteDiskSnapshots(const std::string& snapshotGuid, std::vector<SDisk>& disks,
                              const std::string& resourceGroup, bool isSnapJob);
    void _CleanUpSnapLiveBrowseState(const MountCtx& ctx);
    static std::string _LiveBrowseKey(const MountCtx& ctx);
    bool GetDiskInfoByUrl(const std::string& url, SAzureDiskInfo& out);
    void CleanupStagingInfoForVM(const std::vector<SDisk>& disks);
    // Hooks of the cloud file system, which this platform does not have: both fail here.
    virtual bool InitVSCloudFS();
    virtual bool AccessCloudFSPath(const std::string& path);
    bool FlushCloudFSWrites(const RestoreCtx& ctx);

    // ---- disk data path: disk handles, page-blob reader, changed extents, change tracking ----
    bool InitCBT(const MountCtx& ctx);
    bool SetVMCBTStatus(const MountCtx& ctx);
    bool IsDirectUploadModeSupported();
    struct SDownloadCtx {
        bool isSasUrl = false;
        UINT64 blobSize = 0;
    };
    bool _DownloadBlock(const std::string& url, const SDownloadCtx& ctx, ULONGLONG blockIndex, UINT bytes, unsigned char* buffer);
    bool _DownloadBlockAtOffset(const std::string& url, const SDownloadCtx& ctx, ULONGLONG byteOffset, UINT bytes, unsigned char* buffer);
    bool _DownloadBufferWithRetry(const std::string& url, const SDownloadCtx& ctx, ULONGLONG byteOffset, UINT bytes, unsigned char* buffer);
    bool _DownloadBuffer(const std::string& url, const SDownloadCtx& ctx, ULONGLONG byteOffset, UINT bytes, unsigned char* buffer);
    // The storage token `cached` (the reader's or the writer's), fetched when empty or `refresh`, under `lock`.
    bool _GetAccessToken(std::string& cached, NxCriticalSection& lock, const std::string& url, bool refresh,
                         std::string& token, const char* tag);
    bool _RetryReadFromStagingBlob(const SAzureDiskInfo& disk, const SDownloadCtx& ctx, ULONGLONG blockIndex, UINT bytes, unsigned char* buffer);
    static size_t curl_write_callback(char* ptr, size_t size, size_t nmemb, void* data);
    // Page-blob writer: handed down the writer's calls; it carries nothing they use yet.
    struct SUploadCtx {};
    bool _UploadBlockAtOffset(const std::string& url, const SUploadCtx& ctx, ULONGLONG byteOffset, UINT bytes, unsigned char* buffer);
    bool _UploadBufferWithRetry(const std::string& url, const SUploadCtx& ctx, ULONGLONG byteOffset, UINT bytes, unsigned char* buffer);
    bool _UploadBuffer(const std::string& url, const SUploadCtx& ctx, ULONGLONG byteOffset, UINT bytes, unsigned char* buffer);
    int _WriteVmdk(const VmdkHandle& handle, ULONGLONG byteOffset, UINT byteCount, unsigned char* buffer);
    static size_t curl_read_callback(char* ptr, size_t size, size_t nmemb, void* data);
    bool GetSnapshotURIForChangeID(const std::string& blobUri, const std::string& changeId, bool snapBackup, std::string& snapshotUri);
    bool _GetManagedDiskSnapshotIDForSnapshotGUID(const std::string& currentSnapshotId, const std::string& guid, std::string& previousSnapshotId, const std::string& fallbackResourceGroup);
    bool _GetBlobPageRangesDiffForManagedDiskSnapshots(const std::string& currentSnapshotId, const std::string& previousSnapshotId, std::string& currentSasUrl, std::string& previousSasUrl, std::vector<VMInfoStructs::SectorRange>& ranges);
    bool _GrantSnapshotAccess(const std::string& snapshotId, const char* which, std::string& sasUrl, bool& granted);
    bool _ValidateChangeIdForBlobURI(const std::string& blobUri, const std::string& changeId, bool snapBackup);
    bool _ValidateChangeIDForManagedDiskSnapshot(const std::string& snapshotId, const std::string& changeId, const std::string& fallbackResourceGroup);

    // ---- restore: driver, full-VM restore, validation, disk naming, staging, rehost, size matching ----
    bool InitRestoreVM_FullVM(const RestoreCtx& ctx);
    bool PreRestoreVM_FullVM(const RestoreCtx& ctx);
    bool PostRestoreVM_FullVM(const RestoreCtx& ctx);
    bool _CheckAndDeleteAzureBlobs(const RestoreCtx& ctx, bool overwriteBlobs);
    bool InitRestoreVM_DiskAttach(const RestoreCtx& ctx);
    bool PreRestoreVM_AttachDisk(const RestoreCtx& ctx);
    int RestoreVM_AttachDisk(const RestoreCtx& ctx);
    bool PostRestoreVM_DiskAttach(const RestoreCtx& ctx);
    void clearDiskURIs(std::vector<SDisk>& disks);
    // Diagnostic dump of a disk list into the job log.
    bool _PrintDiskInfo(const std::vector<SDisk>& disks);
    bool ModifyRestoredVM(const RestoreCtx& ctx);
    bool _ValidateVMForAzureDeployment(const RestoreCtx& ctx, bool autoSelect);
    bool _ValidateOSDisk(const RestoreCtx& ctx);
    bool _ValidateOSDisk(const std::vector<SDisk>& disks);
    bool _ValidateStorageAccount(const RestoreCtx& ctx);
    bool _ValidateVirtualNetworks(const RestoreCtx& ctx);
    bool _ValidateVirtualNetworksInLocation(const RestoreCtx& ctx);
    bool _ValidateVirtualNetworksInResourceGroup(const RestoreCtx& ctx);
    bool _GetStorageAccountInfoForVMDisks(const RestoreCtx& ctx, std::vector<SDatastoreInfo>& out);
    bool _GetStorageAccountInfoFromCache(const std::string& account, SDatastoreInfo& out);
    bool _IsValidStorageAccount(const std::string& text);
    bool _GetStagingStorageAccountInfo(const std::string& region, SDatastoreInfo& out);
    bool IsAvailabilityZoneRestoreEnabled();
    void UpdateAvailabilityZoneForRestoreVM(const RestoreCtx& ctx);
    bool GenerateUniqueDiskName(const RestoreCtx& ctx);
    bool GenerateUniqueDiskName(const RestoreCtx& ctx, const std::string& vmSize);
    void _GenerateDiskName(std::string& name);
    bool _UpdateDiskToStorageMap(const RestoreCtx& ctx);
    bool _GenerateDiskLun(const OperationCtx& opCtx);
    int GetFirstAvailableLUN(const std::vector<SDisk>& disks, int after);
    bool LoadVMConfigFile(const RestoreCtx& ctx, std::string& text);
    bool GetStagingPath(const RestoreCtx& ctx, std::string& path);
    bool InitCloudFSAndDiskNames(const RestoreCtx& ctx);
    bool InitCloudFSAndDiskNames(const RestoreCtx& ctx, const std::string& vmSize);
    bool IsVSCloudFSRequired(const RestoreCtx& ctx);
    bool GetDiskInfoByStagingFile(const std::string& key, SAzureDiskInfo& out);
    int UploadDisksToAzure(std::vector<SDisk>& disks);
    int UploadDisk(SAzureDiskInfo& record);
    bool _CreateAndAttachDisk(SDisk& disk);
    bool _AttachDisk(SDisk& disk);
    bool _DetachDisk(SDisk& disk);
    bool _DeleteVirtualDiskFile(SDisk& disk);
    bool _ValidateVMSize(const RestoreCtx& ctx, bool autoSelect);
    bool _GetVMSizeInfoForVMSizeString(const std::string& size, const std::vector<SVMSizeInfo>& sizes,
                                       SVMSizeInfo& out);
    bool GetBestMatchingVMSizeInfo(const std::vector<SVMSizeInfo>& sizes, SVMSizeInfo& required, bool premiumStorage,
                                   bool gen2, SVMSizeInfo& best);
    bool _GetBestMatchingVMSizeInfo(const std::vector<SVMSizeInfo>& sizes, SVMSizeInfo& required, bool gen2,
                                    SVMSizeInfo& best);
    bool _CheckVMSizeDeviceLimits(const SVMSizeInfo& required, const SVMSizeInfo& selected, bool gen2);
    bool _CheckVMSizeAvailabilityZoneCompatibility(const SVMSizeInfo& size, const std::string& zones);
    bool _GetPremiumStorageCompatibleVMSizes(const std::vector<SVMSizeInfo>& sizes, bool gen2,
                                             std::vector<SVMSizeInfo>& premium, std::vector<SVMSizeInfo>& standard);
    bool _CheckPremiumStorageAccount(const RestoreCtx& ctx, const std::vector<SVMSizeInfo>& sizes);
    // The host passes the restore context as a constant reference but reads back what the
    // restore writes into it (disk names, VM description, size, GUID).
    static RestoreCtx& _Writable(const RestoreCtx& ctx) { return const_cast<RestoreCtx&>(ctx); }
    // True when `ctx.stagingPath` may be a job's folder and so may be removed: an absolute path of a
    // directory reached through no symbolic link that is neither "/" nor the staging root nor a folder
    // holding it. `folder` is then the path in plain form, the one to remove.
    bool _IsRemovableStagingPath(const RestoreCtx& ctx, std::string& folder);
    // The disks the wrapper's clean-up may remove: the deployed list plus the direct-upload disks this job created.
    std::vector<SDisk> _DisksCreatedForCleanup(const RestoreCtx& ctx);
    // Deletes the page blob of one restored disk (and the managed disks made from it) when this job created it.
    void _DeleteCreatedBlob(const RestoreCtx& ctx, const SDisk& disk);
    // A copy of a restored disk pointed at where its data was written: the managed disk of a direct
    // upload (`managed`), else the page blob, with its container when it is not the default one.
    SDisk _DiskAsWritten(const SDisk& disk, const SAzureDiskInfo& record, bool managed);
    // GUID of the VM this job's own deployment created; the only VM the job's clean-up may remove.
    std::string restoredVmGuid;
    // Refuses a restore whose disks share a backed-up name: their disk-map records would be one.
    bool _RefuseSharedDiskNames(const RestoreCtx& ctx);
    // Makes sure the container a disk is placed in exists, creating it (and recording it as this
    // job's) when the wrapper says definitely that it does not.
    bool _EnsureContainer(const RestoreCtx& ctx, const std::string& account, const std::string& container);
    // After a cancel: deletes the VM this job deployed (never one known by its name alone) with only what carries
    // the job's mark, then cleans up the rest the job made; last error 4000.
    void _CancelDeployedVm(const RestoreCtx& ctx);
    // Waits `minutes` in short steps; false, at once, when the job is cancelled meanwhile.
    bool _WaitUnlessCancelled(unsigned long minutes);
    // A container that disk placement created for this job, recorded once its creation succeeded.
    struct SCreatedContainer {
        std::string resourceGroup;
        std::string account;
        std::string container;
    };
    std::vector<SCreatedContainer> restoreCreatedContainers;
    // A new restore job owns nothing yet: forgets what an earlier job of this object created.
    void _StartRestoreJob();
    // Removes the containers this job created that hold no blob, so a refused or failed job
    // leaves the storage accounts as it found them.
    void _DeleteCreatedContainers(const char* tag);

    // ---- replication: destination blobs and their integrity, the replication restore flow ----
    // False when a blob's presence could not be asked (last error set); else `blobsExist` says whether any is there.
    bool CheckIfBlobsExist(const RestoreCtx& ctx, bool& blobsExist);
    bool DeleteExistingBlobs(std::vector<SDisk> disks);
    bool VerifyIntegrity(const RestoreCtx& ctx);
    bool InitRestoreVM_Replication(const RestoreCtx& ctx);
    bool InitRestoreVM_FirstTimeVMReplication(const RestoreCtx& ctx, bool blobsExist);
    bool InitRestoreVM_IncrementalReplication(const RestoreCtx& ctx, bool blobsExist);
    bool UpdateDiskListFromStaging(const RestoreCtx& ctx);
    bool InitDisks_IncrReplication(const RestoreCtx& ctx, std::vector<SDisk>& changedDisks);
    bool HandleReplicatedDiskSizeChange(const RestoreCtx& ctx, std::vector<SDisk>& changedDisks);
    bool IsDiskSizeIncreasedinSourceVM(const std::vector<SDisk>& restoreDisks, SDisk& destDisk);
    bool PreRestoreVM_Replication(const RestoreCtx& ctx);
    bool UpdateDiskTrackingInfo(const RestoreCtx& ctx, const std::string changeId);
    bool GetReplicationDiskGuid(const std::string resourceGroup, SDisk& disk);
    bool PostRestoreVM_Replication(const RestoreCtx& ctx);
    bool ValidateDestinationVM(const RestoreCtx& ctx);
    // Destination blob names of the virtual disks, and the destination VM's names for disks still without one.
    void _NameReplicaBlobs(const RestoreCtx& ctx);
    // Deletes the destination blobs before a full write; without overwrite, refuses (71) a blob that is not the
    // replica's own.
    bool _DeleteBlobsForFullSync(const RestoreCtx& ctx);
    // The blob carries a replication GUID tag or was created by this job.
    bool _IsReplicaBlob(const SDisk& disk);

    // ---- VM operations: operation handlers, clone, guest scripts ----
    int PowerOnVM(const OperationCtx& ctx);
    int ShutdownVM(const OperationCtx& ctx);
    int DeployVM(const OperationCtx& ctx);
    int ReconfigureVM(const OperationCtx& ctx);
    int DeleteVM(const OperationCtx& ctx);
    int CreateVMSnapshot(const OperationCtx& ctx);
    int DeleteVMSnapshot(const OperationCtx& ctx);
    bool DeleteExpiredDisks(const std::string& region, const std::time_t& expiry);
    int CloneVM(const OperationCtx& ctx);
    bool CloneVmFromConfig(const OperationCtx& ctx);
    bool CloneVmFromOsDisk(const OperationCtx& ctx);
    void CleanupCloneFromOsDisk(const OperationCtx& ctx);
    bool _AutoSelectVMSize(SVMInfo& vm);

    // Snapshot-engine backup: snapshots of every VM of a job taken at once and kept as the copy.
    bool _BuildVolListForSnapshot(const MountCtx& ctx);
    bool _PopulateVMInfo_SnapBackup(const MountCtx& ctx, const SVMBasicInfo& basic, SVMInfo& info);
    bool _UpdateVolSnapInfo(MountCtx& ctx);
    bool _GetVolSnapInfo(const MountCtx& ctx, std::string& snapshotGuid);
    bool _GetSnapIdFromVolSnap(const std::string vmGuid, std::string& snapshotGuid);
    bool UpdateVMSnapStatusAndInvalidateAFile(const MountCtx& ctx);
    // Snap metadata: the job XML, the per-VM metadata folders and their download.
    bool _GenerateSnapMetadataXML(MountCtx& ctx, std::string& path);
    bool _Prepare_Snap_ConfigPath(const MountCtx& ctx, const SVMInfo& vm, std::string& path);
    bool _GenerateVMConfigFileForSnapBackup(const MountCtx& ctx, const SVMInfo& vm);
    bool SetVMStatusInSnapMetadataXml(const MountCtx& ctx, EVMInfoError code, const std::string& details);
    bool ReadDSListFromSnapBackupXML(const MountCtx& ctx, std::vector<SDatastoreInfo>& datastores);
    bool _DownloadSnapBackupXML(const MountCtx& ctx);
    bool _DownloadVMConfigFile(const std::string& localDir, const MountCtx& ctx);
    bool _AddFileForIndexUpload(const std::string& path);
    // Snap mounts: a copy job's VM pointed at the snapshots a snapshot-engine job kept, and the
    // mount information of a VM of a snapshot-engine job.
    bool _MountVM_SnapToTape(const MountCtx& ctx);
    bool _PointDisksAtSnapshots(const MountCtx& ctx, bool& fullSnapshot);
    bool _GetFullMountInfo_SnapBackup(const MountCtx& ctx, std::vector<SMountInfoFull>& infos);
    // Finds the VM of ctx in the datastores of a job's snap metadata and takes its disks from there.
    bool _GetFileListForRevertFromSnapXML(const MountCtx& ctx, const std::vector<SDatastoreInfo>& datastores,
                                          const RestoreCtx& rctx);
    // Revert and restore from the snapshots of a snapshot-engine job: the VM found in the job's snap
    // metadata, then the plugin's own full-VM restore with disks created from the snapshots.
    bool _PrepareForFileRevert(MountCtx& ctx, const RestoreCtx& rctx);
    bool RestoreVM_FromSnap(const RestoreCtx& rctx);
    bool _PreRestoreVM_Snap(const RestoreCtx& rctx);
    // Before anything of an existing VM goes: every disk's snapshot exists, and every managed disk to
    // create has a name no disk of its resource group holds.
    bool _PrepareSnapRestoreDisks(const RestoreCtx& ctx);
    std::string _SnapDiskResourceGroup(const RestoreCtx& ctx, const SDisk& disk);
    // Creates the disk `copy` describes from its snapshot and points `copy` at it.
    bool _CreateDiskFromSnap(const RestoreCtx& rctx, const std::string& configText, SDisk& copy);
    bool _CreateBlobFromEncryptedSnap(const RestoreCtx& rctx, SDisk& copy);
    // Disks a snap restore created that the VM's disk list does not name (an unmanaged OS disk).
    std::vector<SDisk> snapCreatedUnlistedDisks;
    // Subscription, resource group, provider namespace and name of a cloud resource id; an id of
    // eight or fewer "/" pieces leaves them as they are. Always true.
    static bool _ParseResourceID(const std::string& id, std::string& subscription, std::string& resourceGroup,
                                 std::string& providerNamespace, std::string& name);
    // Snap operations per VM and the mount of one VM of a snapshot-engine job.
    void _CreateSnapshotForEntity(SSnapEntityInfo& entity, const std::string& injectFaultFor, bool onlyEntity);
    void _DeleteSnapshotForEntity(SSnapEntityInfo& entity);
    bool _MountVM_Snap_Backup(const MountCtx& ctx);
    // VM-centric snapshot-engine jobs: each VM snapped and catalogued on its own at mount.
    bool _MountVM_SnapBackup_VMCentric(const MountCtx& ctx);
    bool _PopulateVMInfo_VMCentric(const MountCtx& ctx);
    bool _GetVMBasicInfoForVMGUID(const MountCtx& ctx, const std::string& guid, SVMBasicInfo& basic);
    bool _PopulateVolSnapListForVM_VMCentric(const MountCtx& ctx);
    bool _GenerateVMLevelSnapCatalogXML_VMCentric(const MountCtx& ctx);
    bool _GenerateVMSnapMetadataFilePath_VMCentric(const MountCtx& ctx, std::string& path);
    bool _CreateVMSnapshot_VMCentric(const MountCtx& ctx);
    bool _PopulateSMVolSnapInfoForVM_VMCentric(const MountCtx& ctx, SMVolSnapInfo& record);
    bool _PopulateSMVolumeInfoForVM_VMCentric(const MountCtx& ctx, const SVMInfo& vm, SMVolumeInfo& volume);
    bool _GenerateJobLevelSnapCatalogXML_VMCentric(const MountCtx& ctx);
    // Forgets the VMs a finished VM-centric job recorded for its job-level catalog.
    static void _ForgetSnapV2VMs(NXJobID jobId);

public:
    // True for Generation 2 firmware ("efi", any case): the one test of a VM's generation.
    static bool IsGen2Firmware(const std::string& firmware);

protected:
    // Runs a script's text in the guest of `guest.vmName`; false with the wrapper's error as details.
    bool _ExecuteScriptInGuestVM(const GuestCtx& guest, const std::string& scriptText, const std::string& parameters,
                                 const char* tag);
    // The host passes the operation context as a constant reference but reads back the VM record,
    // disk list and snapshot id the operation fills in.
    static OperationCtx& _Writable(const OperationCtx& ctx) { return const_cast<OperationCtx&>(ctx); }
    // Indices of the clone request's disk entries that the running clone from OS disk replaced
    // with disks it created; its clean-up touches only these.
    std::vector<std::size_t> cloneReplacedEntries;

    void _InitializeSdk(const char* tag);
    void _ReadSettings(const char* tag);
    void _CleanUpSnapLiveBrowseState();
    void DeinitVSCloudFS();

    std::unique_ptr<AzureSDKCppBridge::CAzureSDKCppBridge> sdk;
    bool sdkInitialized = false;
    std::string subscriptionId;
    std::string userName;
    std::string password;
    CVSCloudFSClient* cloudFsClient = nullptr;
    std::map<std::string, SAzureDiskInfo> diskMap;
    std::vector<SAzureDiskInfo> uploadDiskList;
    std::string osDiskName;
    std::string changeIdBase;
    std::string referenceSnapshotId;
    std::string snapMetadataDir;
    std::unique_ptr<CVMSnapUtil> snapUtil;
    std::vector<std::string> indexUploadFiles;
    SMVolSnapInfo volSnapInfo;
    std::vector<SDatastoreInfo> volSnapDatastores;
    std::vector<SVolSnap> volSnaps;
    std::map<std::string, SDatastoreInfo> storageAccountCache;
    std::map<std::string, boost::shared_ptr<CDiskMapperLinux>> liveBrowseDiskManagers;
    // Disks a live-browse mount attached to the local VM, by the same key; only these are released.
    std::map<std::string, std::vector<SDisk>> liveBrowseAttachedDisks;
    bool directDownload = true;
    bool directUpload = true;
    bool nativeDownload = true;
    bool nativeUpload = false;
    std::int32_t directUploadToManagedDisk = 0;
    std::string downloadAccessToken;
    NxCriticalSection downloadAccessTokenLock;
    std::string uploadAccessToken;
    NxCriticalSection uploadAccessTokenLock;
    NxCriticalSection snapXmlLock;
    bool downloadLogging = false;
    bool uploadLogging = false;
    bool cbtForManagedVm = true;
    bool directUploadRestore = false;
    std::map<std::string, std::vector<SDatastoreInfo>> stagingStorageCache;
    bool skipDataDisks = false;

    static std::string c_localVMGuid;
    static NxCriticalSection c_localVMGuidCS;
    // VMs of the running VM-centric jobs, by parent job id: a VM enters once its snapshot exists.
    static std::map<NXJobID, SnapVMInfoMap> c_SnapV2VMInfoMap;
    static NxCriticalSection c_SnapV2VMInfoMapLock;
};
