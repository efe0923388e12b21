// Base class of every hypervisor plugin: gives each interface slot a base
// behaviour and provides the services plugins rely on (last error, failure
// lists, cancel state, progress, the host-information cache, the disk-filter
// walk, mount-folder preparation, BIOS identity, reference-time stamping).
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "host/log/JobIdentity.h"
#include "host/snap/SnapRecords.h"
#include "host/vminfo/IVMInfo.h"
#include "plugin/frame/records/Records.h"

class CVMInfo : public IVMInfo {
public:
    explicit CVMInfo(VirtualServerInstanceType type);
    ~CVMInfo() override;
    CVMInfo(const CVMInfo&) = delete;
    CVMInfo& operator=(const CVMInfo&) = delete;

    VirtualServerInstanceType GetVSInstType() const { return instanceType_; }
    // The log event every log line of this object belongs to.
    const EvEvent& GetLogEvent() const { return logEvent_; }

    // Interface slots; each logs and fails unless the base has a behaviour of its own.
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
    int GetAvailableVMSizesInLocation(const std::string& location, std::vector<SVMSizeInfo>& out, UINT64 flags, int option) override;
    int RegisterBlobAsOSDisk(const std::string& storageAccount, const std::string& container, const std::string& blob, bool isWindows) override;
    int UnMountSnap(MountCtx& ctx) override;
    EVMInfoError GetLastVMError() override;
    std::string GetLastVMErrorDetails() override;
    // Records when the host list was fetched; plugins call it after filling the cache.
    int _RefreshHostInfoCache(UINT64 flags, int option) override;

    // Last error, read by the host through the last-error slots. An error set with a text keeps
    // that text as its message (and as the details until SetLastVMErrorDetails replaces them);
    // an error set without one has no message.
    void SetLastVMError(EVMInfoError code);
    void SetLastVMError(EVMInfoError code, const std::string& text);
    void SetLastVMErrorDetails(const std::string& details);
    std::string GetLastVMErrorMessage();

    // Failure lists of the job report.
    void AddMountFailure(const MountCtx& ctx, const std::string& item, const std::string& reason, bool flag);
    void AddRestoreFailure(const RestoreCtx& ctx, const std::string& item, const std::string& reason, bool flag);

    // Job state, driven by the host.
    void CancelJob() { cancelled_ = true; }
    bool IsJobCancelled() const { return cancelled_; }
    void SetProgressCallback(std::function<void()> callback);
    void NotifyProgressUpdate();

    // Host-information cache: the list of hosts (resource groups) with their VMs.
    void ResetCaches();
    // True when the cache must be fetched again for a request with these flags.
    bool IsNewHostDiscoveryReq(UINT64 flags, int option);
    const std::vector<VMInfoStructs::SHostInfo>& GetHostInfoCache() const { return hostInfoCache; }

    // Walks the job's disk-filter rules (MountCtx.diskFilters) through the IsDiskFilteredBy... slots.
    bool IsDiskFiltered(const MountCtx& ctx, const VMInfoStructs::SDisk& disk);

    // Backup bookkeeping.
    void UpdateMountCtxReferenceTimeWIthCurrentTime(const MountCtx& ctx);
    // Creates (create = true) or checks (create = false) the job's mount folder; 0 on failure.
    int _PrepareMountPathDirectory(const std::string& path, bool create);
    // Vendor, serial number, UUID and asset tag of this machine from its DMI data.
    bool getBiosInfo(std::string& vendor, std::string& serial, std::string& uuid, std::string& other);
    // Folder getBiosInfo reads (default "/sys/class/dmi/id"); tests point it elsewhere.
    static void SetDmiDirectory(const std::string& dir);

    // Snapshot-engine services. Archive files are kept in the registry of the snapshot catalog
    // (CVMSnapUtil::SetCatalogRoot), so that a later process sees which of a job's are valid.
    // True for the engines of the VVol kind (SNAP_ENGINE_CLOUD_VVOL).
    bool isVVolSnap(std::uint32_t engine) const;
    // Runs the host's application-aware workflow for one VM (the hook SetAppawareWorkflow installs;
    // none does nothing and succeeds).
    int StartAppawareWorkflow(const std::string& vmGuid);
    static void SetAppawareWorkflow(std::function<int(const std::string& vmGuid)> workflow);
    // A new valid archive file of ctx.jobId for the VM vmGuid; 0 on failure.
    virtual int CreateArchiveFileForSnapBackup(const MountCtx& ctx, std::uint32_t& archiveFileId,
                                               const std::string& vmGuid);
    // Copies names from the index cache of ctx.refJobId into dir (CVMSnapUtil::DownloadMetadataFiles).
    virtual int DownloadMetadataFiles(const MountCtx& ctx, const std::string& dir,
                                      const std::vector<std::string>& names);
    // Marks every archive file of ctx.jobId invalid.
    int InvalidateArchiveFiles(const MountCtx& ctx);
    // Marks the listed archive files of jobId invalid; an id that is not jobId's fails the call
    // and changes nothing.
    int InvalidateArchiveFiles(const std::vector<std::uint32_t>& archiveFileIds, NXJobID jobId,
                               std::uint32_t orbitId);
    // Writes info to the log through the snapshot utility.
    void _DumpVolSnapInfo(const SMVolSnapInfo& info);

protected:
    std::vector<VMInfoStructs::SHostInfo> hostInfoCache;
    // HTTP proxy of the connection, filled by plugins that connect through one.
    std::string proxyHost;
    std::string proxyUser;
    std::string proxyPassword;

private:
    VirtualServerInstanceType instanceType_;
    EvEvent logEvent_;
    mutable std::mutex errorMutex_;
    EVMInfoError lastError_ = VMINFO_ERR_NONE;
    std::string lastErrorMessage_;
    std::string lastErrorDetails_;
    std::atomic<bool> cancelled_{false};
    std::function<void()> progressCallback_;
    bool hostCacheValid_ = false;
    UINT64 hostCacheFlags_ = 0;
    long long hostCacheTime_ = 0;
};
