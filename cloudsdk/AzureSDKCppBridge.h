// The cloud SDK wrapper: every Azure management operation the plugin calls.
//
// Error convention: each operation returns true on success and fills its
// out-parameters (non-const references) only then. The VM record of a
// deploy, restore or clone call and the network of CreateVirtualNetwork are
// inputs that the operation completes in place. After a false,
// GetLastErrorString() holds the text the caller stores as the host's
// last-error details and GetLastErrorCode() an integer the caller may map to
// a host error code (0 when the failure carries no particular code). Both
// belong to the calling thread: threads that share one wrapper each read the
// error of their own last failed call. No exception leaves an operation; an
// internal one fails the call with its text as the last error.
// The questions DoesBlobExist, DoesContainerExist and IsCrossSubscriptionRestore
// answer with their result; false also when the answer cannot be obtained. A
// false from DoesBlobExist or DoesContainerExist means "does not exist" only when
// GetLastErrorCode() is SDK_ERR_NOT_FOUND; with any other code the question could
// not be asked, and the caller fails its step with that code and text instead of
// going on as if the blob or container were absent.
//
// Discovery arguments: `flags` is the host's 64-bit discovery flags word and
// `option` its discovery option; both are passed through unchanged.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "host/log/JobIdentity.h"
#include "plugin/frame/records/Enums.h"
#include "plugin/frame/records/Records.h"

namespace AzureSDKCppBridge {

class CAzureSDKCppBridge {
public:
    CAzureSDKCppBridge();
    ~CAzureSDKCppBridge();
    CAzureSDKCppBridge(const CAzureSDKCppBridge&) = delete;
    CAzureSDKCppBridge& operator=(const CAzureSDKCppBridge&) = delete;

    // Lifecycle and connection. What the wrapper creates is marked with the job GUID of the
    // host's job identity (EvEvent::getJobGuid), read here; with none set, a GUID of its own.
    bool Initialize(const std::string& focus, const std::string& applicationName, NXJobID jobId,
                    VirtualServerInstanceType instanceType);
    bool Connect(const std::string& subscriptionId, const std::string& userName, const std::string& password);
    // Sends every HTTP request of the process (the wrapper's and the plugin's data path) through
    // the proxy `host` ("host:port"), with basic credentials when a user name is given.
    bool SetWebProxy(const std::string& host, const std::string& userName, const std::string& password);
    bool CheckConnection();

    // Error details of the last failed operation.
    std::string GetLastErrorString();
    int GetLastErrorCode();

    // Inventory: browse nodes, hosts, VMs, regions, storage accounts, sizes and images.
    bool BrowseRegions(const VMInfoStructs::SInventoryInfo& parent, std::vector<VMInfoStructs::SInventoryInfo>& out);
    bool BrowseStorageAccounts(const VMInfoStructs::SInventoryInfo& parent,
                               std::vector<VMInfoStructs::SInventoryInfo>& out);
    bool BrowseTags(const VMInfoStructs::SInventoryInfo& parent, std::vector<VMInfoStructs::SInventoryInfo>& out);
    bool BrowseImages(const VMInfoStructs::SInventoryInfo& parent, std::vector<VMInfoStructs::SInventoryInfo>& out);
    bool GetHostInfoList(UINT64 flags, int option, std::vector<VMInfoStructs::SHostInfo>& hosts);
    bool GetHostInfoForHost(const std::string& hostName, UINT64 flags, int option, VMInfoStructs::SHostInfo& host);
    bool GetTemplateInfoList(UINT64 flags, int option, std::vector<VMInfoStructs::SVMInfo>& templates);
    bool GetVMInfoListForRegion(const std::string& region, UINT64 flags, int option,
                                std::vector<VMInfoStructs::SVMInfo>& out);
    bool GetVMInfoListForStorageAccount(const std::string& storageAccount, UINT64 flags, int option,
                                        std::vector<VMInfoStructs::SVMInfo>& out);
    bool GetVMInfoListForTag(const std::string& tag, UINT64 flags, int option,
                             std::vector<VMInfoStructs::SVMInfo>& out);
    bool GetVMInfoForVM(const std::string& vmName, const std::string& vmGuid, const std::string& hostName, UINT64 flags,
                        int option, VMInfoStructs::SVMInfo& out);
    bool GetLocalVMInfo(const std::string& vmName, const std::string& vmGuid, UINT64 flags, int option,
                        VMInfoStructs::SVMInfo& out);
    bool GetDCInfoForDC(const std::string& region, UINT64 flags, int option,
                        VMInfoStructs::SDataCenterInfo& dataCenter);
    bool GetStorageAccountInfo(const std::string& storageAccount, UINT64 flags, int option,
                               VMInfoStructs::SDatastoreInfo& out);
    bool GetStorageAccountInfoList(const std::string& hostName, UINT64 flags, int option,
                                   std::vector<VMInfoStructs::SDatastoreInfo>& out, bool forceRefresh);
    bool GetStorageAccountInfoListForRegion(const std::string& region, UINT64 flags, int option,
                                            std::vector<VMInfoStructs::SDatastoreInfo>& out);
    bool GetAvailableVMSizesForHost(const std::string& hostName, std::vector<VMInfoStructs::SVMSizeInfo>& out,
                                    UINT64 flags, int option);
    bool GetAvailableVMSizesInLocation(const std::string& location, std::vector<VMInfoStructs::SVMSizeInfo>& out,
                                       UINT64 flags, int option);
    bool GetVMSizeInfoForSize(const std::string& vmSize, const std::string& region, VMInfoStructs::SVMSizeInfo& out);
    bool GetImages(const std::string& location, const std::string& publisherAndName, const std::string& filter,
                   std::vector<VMInfoStructs::SVMInfo>& out);
    // True when the configuration's VM id names a subscription other than the connected one
    // (the last error text then says so); false otherwise and when the text cannot be read.
    bool IsCrossSubscriptionRestore(const std::string& configText);
    bool GetBlobStorageSuffixForAzureEndpoint(const std::string& endpointName, std::string& suffix);

    // Snapshots: VM snapshots, disk snapshot sets and blob snapshots.
    // A snapshot set of the VM vmName names (vmGuid must match when given) taken of all its disks
    // but those filteredDisks names (comma-separated disk names; a name that is not one of its disks
    // is refused, and so is leaving none). Every snapshot carries the set's tags (jobId as its job
    // tag), "createdByJob" and the snapshot engine's marker. snapshotId and snapshotRef both receive the set's GUID, by which
    // DeleteVMSnapshot deletes it. Snapshots complete at once, so waitForCompletion changes nothing.
    bool CreateVMSnapshot(const std::string& vmName, const std::string& vmGuid, bool waitForCompletion,
                          const std::string& filteredDisks, NXJobID jobId, std::string& snapshotId,
                          std::vector<VMInfoStructs::SDisk>& snapshotDisks, std::string& snapshotRef);
    // Snapshots the disks as one set: managed disks by managedDiskId, page blobs by URL in uri or by name
    // in storageAccount ("account" or "account\container", container "vhds" when absent). A set taken
    // for no VM (vmName empty) is a set of integrity snapshots.
    bool CreateDiskSnapshots(const std::vector<VMInfoStructs::SDisk>& disks, const std::string& resourceGroup,
                             const std::string& region, const std::string& vmName, std::uint32_t appId, NXJobID jobTag,
                             std::string& snapshotGuid, std::vector<VMInfoStructs::SDisk>& snapshotDisks);
    // Deletes the snapshot set snapshotId names (snapshotRef when snapshotId is empty) with every
    // snapshot in it, only when it was taken of the VM named (by vmGuid when given, else by vmName);
    // otherwise nothing changes and the call fails, with code 8 when that VM has no such set. A
    // backup's snapshot set (one CreateDiskSnapshots took) is never deleted here.
    bool DeleteVMSnapshot(const std::string& vmName, const std::string& vmGuid, const std::string& snapshotId,
                          const std::string& snapshotRef, bool isSnapJob);
    // Deletes the set snapshotGuid names; with an empty snapshotGuid, every integrity snapshot of the
    // listed page blobs (addressed as for CreateDiskSnapshots), and nothing else.
    bool DeleteDiskSnapshots(const std::string& snapshotGuid, const std::vector<VMInfoStructs::SDisk>& disks,
                             const std::string& resourceGroup, bool isSnapJob);
    bool DeleteExpiredSnapshots(const std::string& hostName, const std::string& vmName, unsigned long expiryHours,
                                const std::vector<std::string>& keepSnapshots);
    bool CleanupVMSnapshot(const std::string& vmName, const std::string& vmGuid, const std::string& snapshotGuid,
                           bool isSnapJob);
    // Snapshot sets of the VM; without a filter, for an unmanaged VM, also the integrity snapshot sets
    // taken of its page blobs.
    bool GetVMSnapshotCount(const std::string& vmName, const std::string& vmGuid, const std::string& filter,
                            int& count);
    // Snapshots of the blob; with snapBackupOnly, only those the snapshot engine kept.
    bool GetBlobSnapshotCount(const std::string& storageAccount, const std::string& container,
                              const std::string& blobName, bool snapBackupOnly, int& count);
    // The snapshot of the page blob blobUri that carries the set GUID snapshotGuid and is of the snapshot
    // engine (snapBackup set) or of a backup (clear); none is code 8.
    bool GetSnapshotURI(const std::string& blobUri, const std::string& snapshotGuid, bool snapBackup,
                        std::string& snapshotUri);
    bool GetManagedDiskSnapshotIDForSnapshotGUID(const std::string& sourceDiskId, const std::string& snapshotGuid,
                                                 bool snapMarker, const std::string& resourceGroup,
                                                 std::string& snapshotId);
    // The managed snapshots of disk (its managedDiskId, else its uri) that carry the set GUID snapshotGuid
    // and are of the snapshot engine (snapBackup set) or of a backup (clear), looked for in resourceGroup or,
    // with searchAllGroups, in every group. None found is success with an empty list.
    bool GetManagedDiskSnapshotsForDisk(const VMInfoStructs::SDisk& disk, const std::string& snapshotGuid,
                                        bool snapBackup, const std::string& resourceGroup, bool searchAllGroups,
                                        std::vector<VMInfoStructs::SDisk>& snapshots);
    bool GetDiskSnapshotWithGUID(const std::string& diskId, const std::string& snapshotGuid,
                                 VMInfoStructs::SDisk& snapshot);
    bool GetSourceDiskForSnapshot(const std::string& snapshotId, std::string& sourceDiskId);
    // Copies the latest integrity snapshot of each listed page blob (addressed as for CreateDiskSnapshots)
    // onto the blob. Checked first for every blob: it exists, no VM holds it, it has an integrity
    // snapshot; a refusal changes nothing.
    bool RevertBlobSnapshots(const std::vector<VMInfoStructs::SDisk>& disks);
    bool CreateBackupBlobFromSnapshot(const std::string& snapshotUri, const std::string& storageAccount,
                                      const std::string& container, const std::string& blobName, std::string& blobUrl);

    // Access: SAS URLs of managed snapshots and the storage bearer token.
    bool GetSASTokenURI(const std::string& resourceGroup, const std::string& snapshotName, std::string& sasUri);
    bool RevokeSASToken(const std::string& resourceGroup, const std::string& snapshotName);
    bool GetStorageAccessToken(std::string& token);

    // Blobs and disks: containers, page blobs, page data, managed disks and disk tags.
    bool DoesBlobExist(const std::string& resourceGroup, const std::string& storageAccount,
                       const std::string& container, const std::string& blobName);
    bool DoesContainerExist(const std::string& resourceGroup, const std::string& storageAccount,
                            const std::string& container);
    bool CreateStorageContainer(const std::string& resourceGroup, const std::string& storageAccount,
                                const std::string& container);
    // Removes a container that holds no blob; one that holds any is left as it is and the call fails.
    bool DeleteStorageContainer(const std::string& resourceGroup, const std::string& storageAccount,
                                const std::string& container);
    bool CreatePageBlob(const std::string& resourceGroup, const std::string& storageAccount,
                        const std::string& container, const std::string& blobName, long long sizeBytes);
    bool ClosePageBlob(const std::string& managedDiskRef, const std::string& resourceGroup,
                       const std::string& accessUrl);
    bool DeletePageBlob(const std::string& resourceGroup, const std::string& storageAccount,
                        const std::string& container, const std::string& blobName);
    bool GetBlobSizeInBytes(const std::string& blobUrl, UINT64& sizeBytes);
    // The page blob as a disk record: name, URL in uri, storage account and its resource group, size.
    bool GetBlobInfo(const std::string& storageAccount, const std::string& container, const std::string& blobName,
                     VMInfoStructs::SDisk& info);
    bool GetBlobPageRanges(const std::string& blobUri, std::vector<VMInfoStructs::SectorRange>& ranges, bool isManaged);
    bool GetBlobPageRanges(const std::string& diskUri, const std::string& resourceGroup,
                           const std::string& snapshotName, std::vector<VMInfoStructs::SectorRange>& ranges,
                           bool isManaged);
    bool GetBlobPageRangesDiff(const std::string& blobUri, const std::string& previousSnapshotUri,
                               std::vector<VMInfoStructs::SectorRange>& ranges);
    bool GetBlobPageRangesDiffForManagedDiskURIs(const std::string& currentSasUri, const std::string& previousSasUri,
                                                 std::vector<VMInfoStructs::SectorRange>& ranges);
    bool DownloadBlobPageToBuffer(const std::string& blobUrl, ULONGLONG blockIndex, unsigned char* buffer, UINT bytes);
    bool UploadBlobPageFromBufferForOffset(const std::string& accessUrl, ULONGLONG byteOffset, UINT byteCount,
                                           const unsigned char* buffer);
    bool UploadBlobPageFromBufferForOffset(const std::string& storageAccount, const std::string& container,
                                           const std::string& blobName, ULONGLONG byteOffset, UINT byteCount,
                                           const unsigned char* buffer);
    bool UploadPageBlobToStorageAccount(const std::string& resourceGroup, const std::string& storageAccount,
                                        const std::string& container, const std::string& blobName,
                                        const std::string& localFilePath);
    // The text of a block blob (a VM configuration file); a missing blob fails with code 8, a page blob
    // of that name fails too.
    bool DownloadBlockBlobToString(const std::string& storageAccount, const std::string& container,
                                   const std::string& blobName, std::string& text);
    // The name of a VM's configuration file in the "vhds" container of a storage account:
    // "<resource group>-<VM name>.json", lower-cased. Every writer and reader names it this way.
    static std::string VmConfigBlobName(const std::string& resourceGroup, const std::string& vmName);
    bool CreateDirectUploadManagedDisk(const std::string& diskName, const std::string& resourceGroup,
                                       const std::string& location, long long sizeBytes, bool isOsDisk,
                                       const std::string& vmSize, const std::string& firmware,
                                       std::string& uploadAccessUrl, std::string& diskId, std::string& managedDiskRef);
    // A page blob blobName in container of storageAccount holding exactly the bytes of a snapshot:
    // with sourceIsManagedSnapshot, the managed snapshot `source` names (id, or a name within its
    // resource id) or, when `source` is a managed disk's id, that disk's snapshot carrying snapshotGuid;
    // otherwise `source` is a blob URL, either of a blob snapshot (a snapshot query, e.g. a snapshot's
    // SAS URL) or of a page blob, whose blob snapshot carrying snapshotGuid is then copied. An existing
    // blob is refused without overwrite, and always while a VM holds its lease; one written over keeps
    // its snapshots and its tags, while a new blob carries "createdByJob". An OS disk's copy keeps its
    // OS type.
    bool CreateDiskFromSnapshot(const std::string& source, const std::string& storageAccount,
                                const std::string& container, const std::string& blobName,
                                const std::string& snapshotGuid, std::string& blobUri, bool overwrite,
                                bool sourceIsManagedSnapshot);
    // A new managed disk, tagged with the set GUID and "createdByJob", holding the bytes of a snapshot:
    // with managedSource, the managed snapshot `source` names (id, or a name within its resource id)
    // or, when `source` is a managed disk's id, that disk's snapshot carrying `snapshotGuid`; otherwise
    // `source` is a page blob's URL and the snapshot is its blob snapshot whose metadata carries
    // `snapshotGuid` (the integrity snapshot), not the blob's later bytes. An OS disk takes the OS type
    // and firmware of the snapped disk, or of the VM that uses the blob, if any. A name taken in the
    // group is refused. sourceLocation and fromBackupCopy only describe the source to the journal.
    bool CreateManagedDiskFromSnapshot(const std::string& source, const std::string& sourceLocation,
                                       const std::string& snapshotGuid, const std::string& diskName,
                                       const std::string& resourceGroup, const std::string& region,
                                       const std::string& vmSize, const std::string& diskType,
                                       const std::string& configText, bool fromBackupCopy, bool isOsDisk,
                                       bool managedSource, const std::string& availabilityZones, std::string& diskId);
    bool DeleteDisksOriginatingFromBlob(const std::string& resourceGroup, const std::string& storageAccount,
                                        const std::string& container, const std::string& blobName);
    // Deletes, in the region (name or display name; an unknown one is refused), the managed disks
    // this product created ("createdByJob" of any job) before expiryTime that no VM has attached.
    // Disks without the tag, newer ones and attached ones always stay.
    bool DeleteExpiredDisks(const std::string& region, std::time_t expiryTime);
    bool CleanupStagingBlobs(const std::string& stagingBlobUrl);
    bool CleanupStagingResources(const std::string& vmName, const std::string& resourceGroup);
    // Tags of a managed disk (isManaged, by managedDiskId) or metadata of a page blob (by URL in uri, or
    // by name in storageAccount as for CreateDiskSnapshots). Setting replaces the named tags whatever
    // the case of their names and keeps the others.
    bool GetDiskTagInfo(const std::string& resourceGroup, const VMInfoStructs::SDisk& disk,
                        std::vector<VMInfoStructs::SInventoryInfo>& tags);
    bool SetDiskTagInfo(const std::string& resourceGroup, const VMInfoStructs::SDisk& disk,
                        const std::vector<VMInfoStructs::SInventoryInfo>& tags);

    // VMs and networks: deployment, restore, power, disk attachment, guest scripts.
    // The deploys create a VM with the restore deployment's checks (a taken name, a size not offered in
    // the region, a missing network, a disk in use or missing...) made before anything changes: a
    // refusal leaves the subscription as it was. On success vmInfo.guid holds the new VM's GUID; with
    // deployFlag false the VM is created deallocated. What they create carries "createdByJob".
    // DeployVM: the VM the record describes from disks that exist (managed disks by id, or page blobs);
    // a given sourceVmGuid must name a VM or template, whose OS type and firmware the new VM takes.
    // DeployVMFromOSDisk: alike, with osDiskName (a disk's name or managed-disk id; empty = the entry
    // marked isOsDisk) as its OS disk; isClone records the deployment as a clone.
    // DeployVMFromConfig: what the record leaves empty (region, size, firmware, zones, disks, network
    // cards) comes from the VM configuration text, whose tags and OS type the VM takes; a deferred
    // deployment's configuration (DelayVMDeployment) also gives the VM its key backups and, for a
    // managed VM, managed disks imported from its page blobs, which stay.
    // CloneVMFromConfig: a running copy of the VM the configuration describes: each of its disks is
    // copied into a new managed disk "<name>-osdisk" / "<name>-data<LUN>", and the clone gets network
    // interfaces of its own on the source's networks.
    bool DeployVM(VMInfoStructs::SVMInfo& vmInfo, const std::string& sourceVmGuid, bool deployFlag);
    bool DeployVMFromOSDisk(VMInfoStructs::SVMInfo& vmInfo, const std::string& osDiskName, bool deployFlag,
                            bool isClone);
    bool DeployVMFromConfig(const std::string& configText, VMInfoStructs::SVMInfo& vmInfo, bool deployFlag);
    bool CloneVMFromConfig(const std::string& configText, VMInfoStructs::SVMInfo& vmInfo);
    bool DelayVMDeployment(const VMInfoStructs::SVMInfo& vmInfo, const std::string& osDiskName,
                           const std::string& configText, bool assignPublicIP, bool inPlaceRestore,
                           bool restoreAsManagedVM, const std::string& dekBackup, const std::string& kekBackup);
    // Creates a VM from prepared disks: page blobs imported into new managed disks that carry each
    // blob's metadata as tags (restoreAsManagedVM; with convertStagedBlobs the imported blobs are
    // deleted once the VM exists, without it they stay, as a replica's blobs do for its next run),
    // direct-upload managed disks attached as they are, or page blobs attached by URL (unmanaged).
    // An unmanaged VM whose list holds no OS disk takes the page blob osDiskName of the container
    // "vhds" of vmInfo.storageAccount as its OS disk; a listed OS disk must be the one osDiskName
    // names, if given. Every check the cloud makes runs before anything is created; a refusal or a
    // failed creation leaves the subscription as it was. On success
    // vmInfo.guid holds the new VM's GUID; with deployFlag false the VM is left deallocated;
    // restoreWithoutConfig ignores configText; non-empty key backups record the VM as encrypted.
    // Error code 3 (SDK_ERR_VM_CREATED_LATER_STEP_FAILED) means exactly: the VM was created
    // (vmInfo.guid is filled) and a later step failed; the VM stays. No other failure carries 3.
    // What the wrapper creates carries the tag "createdByJob" = the job GUID (CreatedByJob.h).
    bool RestoreVM(VMInfoStructs::SVMInfo& vmInfo, const std::string& osDiskName, const std::string& configText,
                   bool assignPublicIP, bool inPlaceRestore, bool restoreAsManagedVM, bool deployFlag,
                   const std::string& dekBackup, const std::string& kekBackup, bool convertStagedBlobs,
                   bool restoreWithoutConfig);
    // Changes the VM that vmInfo.name and vmInfo.resourceGroup name (vmInfo.guid must match when
    // given): a non-empty vmSize different from the VM's is applied when the region offers it and it
    // fits the VM (data disks, network cards, premium disks, Generation 2); the data disks become
    // exactly the listed non-OS entries at their LUNs (unitNumber): listed disks not attached yet are
    // attached (they must exist and be free), data disks no longer listed are detached and kept,
    // never deleted; an empty disk list leaves the disks as they are. The OS disk stays. A refusal
    // leaves the subscription as it was.
    bool ReconfigureVM(const VMInfoStructs::SVMInfo& vmInfo);
    // Deletes the VM named by both its name and GUID; an empty or mismatched GUID deletes nothing
    // and fails. The third flag also deletes its disks (managed disks, or the page blobs of an
    // unmanaged VM), else they are detached; the fourth also deletes its network interfaces and
    // their public IPs, else they are detached and kept (an in-place restore keeps the VM's
    // network identity that way, and the next deployment of the name takes them over).
    bool DeleteVM(const std::string& vmName, const std::string& vmGuid, bool isManaged, bool deleteComponents);
    // Starts the VM; one already running succeeds unchanged. A given GUID must match.
    bool StartVM(const std::string& vmName, const std::string& vmGuid);
    // Stops (deallocates) the VM; one already stopped succeeds unchanged. A given GUID must match.
    bool ShutdownVM(const std::string& vmName, const std::string& vmGuid, bool waitForCompletion);
    // Attaches the listed disks as data disks of the VM that vm.name and vm.resourceGroup name,
    // each at the LUN in its unitNumber. vm.guid must be that VM's GUID, else nothing changes.
    // An entry is a managed disk (managedDiskId) or a page blob (its URL in uri, or name = blob
    // and storageAccount = "account" or "account\container", container "vhds" when absent; a
    // blob URL in managedDiskId names that blob too). A managed VM takes a page blob by importing
    // it into a new managed disk named after the blob without ".vhd", with the blob's URL as its
    // source and the tag "createdByJob"; once attached, the blob is deleted. An unmanaged VM
    // takes page blobs by URL and refuses managed disks. Checked before anything changes: every
    // disk exists, is listed once and is attached to no VM; LUNs are distinct and not used by
    // the VM's data disks (the OS disk holds none); the VM's data disks plus the new ones stay
    // within its size's maxDataDisks (the OS disk does not count). A refusal or failure leaves
    // the subscription as it was.
    bool AddDisksToVM(const VMInfoStructs::SVMInfo& vm, const std::vector<VMInfoStructs::SDisk>& disks);
    // Detaches exactly the listed disks from the VM named as for AddDisksToVM (GUID checked
    // alike): a managed disk by id, a page blob by its attachment or by the managed disk this
    // job imported from it. Disks this job imported are deleted, others stay unattached; the
    // VM's other disks and the VM itself are never touched. True when none is attached.
    bool DeleteDisksFromVM(const VMInfoStructs::SVMInfo& vm, const std::vector<VMInfoStructs::SDisk>& disks);
    // Removes what this job's deployment left: the VM whose GUID is vmInfo.guid with its tagged
    // disks, interfaces and public IPs, and the tagged managed disks listed in `disks` (by id) or
    // imported from a listed page blob. Nothing without this job's "createdByJob" tag goes; a VM
    // without it fails the call and stays. True when there was nothing to remove.
    bool CleanupRestoreVM(const VMInfoStructs::SVMInfo& vmInfo, const std::vector<VMInfoStructs::SDisk>& disks,
                          bool restoreAsManagedVM);
    // Records an existing page blob as an OS disk of the given OS type ("Windows" or "Linux", kept in
    // its metadata "osType"), which a deployment from the blob then gives the VM. Refuses a missing
    // storage account or blob.
    bool RegisterBlobAsOSDisk(const std::string& storageAccount, const std::string& container,
                              const std::string& blobName, bool isWindows);
    bool GetVMConfigurationAndKeyBackups(const std::string& resourceGroup, const std::string& vmName,
                                         std::string& configText, std::string& dekBackup, std::string& kekBackup);
    // Hands the script to the guest of the running VM vmName; nothing runs on this machine. The run
    // (VM, script text, parameters, guestContext, guestDetail, outcome) is appended to the guest
    // log of the subscription ("azsim guest" shows it). A VM that does not exist or is not running
    // is refused before any run, with a text that says so. A failure the guest reports (a fault
    // rule on "ExecuteScriptInGuestVM") is logged as a failed run and fails the call with its text.
    bool ExecuteScriptInGuestVM(const std::string& guestContext, const std::string& vmName,
                                const std::string& guestDetail, const std::string& scriptText,
                                const std::string& parameters);
    // Creates the network in an existing resource group, refusing a name the group already has:
    // location empty = the group's region, addressPrefix empty = "10.0.0.0/16", subnets by name
    // (none = one "default"; a repeated name is refused), tagged "createdByJob". On success the
    // record is completed in place (id, location, address prefix, subnets).
    bool CreateVirtualNetwork(VMInfoStructs::SNetworkInfo& network, const std::string& resourceGroup);
    // Deletes the network of that name in the resource group; refused, with the user named, while
    // a network interface (a VM's card or an interface resource, attached or not) uses it.
    bool DeleteVirtualNetwork(const VMInfoStructs::SNetworkInfo& network, const std::string& resourceGroup);

private:
    // Stores the error of a failed operation for the calling thread; always returns false.
    bool Fail(int code, const std::string& text);
    // The handler of every public operation: fails the call with the error of the
    // exception being handled. Only called from inside a catch block.
    bool FailOnException() noexcept;
    // Pages changed in the blob version `currentUri` names since the snapshot `previousUri` names.
    bool DiffPageRanges(const std::string& currentUri, const std::string& previousUri,
                        std::vector<VMInfoStructs::SectorRange>& ranges);
    // Fails an operation this build does not provide (code 0) and logs it under the operation's tag.
    bool NotAvailable(const char* operation);

    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace AzureSDKCppBridge
