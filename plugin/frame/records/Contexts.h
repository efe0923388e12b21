// Contexts the host passes to the plugin's operations.
//
// The host owns every context as a modifiable object and passes it to most
// operations as a constant reference; the plugin still writes results back into
// it (VM record, disk names and URIs, change-tracking state, snapshot GUIDs,
// VM size, zones), and the host and later calls read them after the call.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "host/log/JobIdentity.h"
#include "plugin/frame/records/AzureDiskInfo.h"
#include "plugin/frame/records/Enums.h"
#include "plugin/frame/records/VMInfoStructs.h"

// One backup mount of a VM (streaming, snapshot-engine, backup-copy or live browse).
struct MountCtx {
    std::string vmName;
    std::string vmGuid;
    std::string hostName;                     // resource group of the VM as the job gives it
    std::string mountPath;                    // job-local folder for the VM configuration file
    std::string metadataDir;                  // folder of the snap metadata file and per-VM folders
    NXJobID jobId = 0;
    NXJobID refJobId = 0;                     // snapshot-engine job whose snapshot is used
    std::uint32_t originClientId = 0;
    std::int32_t backupType = 0;              // 4: the reference snapshot is the change id itself
    std::uint32_t appId = 0;
    std::uint32_t appTypeId = 0;
    std::uint32_t orbitId = 0;
    std::uint32_t snapEngine = 0;
    long long archFileId = 0;                 // archive file of a live-browse mount
    bool reassignSnapJob = false;
    bool isSnapJob = false;
    bool isBackupCopy = false;
    std::vector<SVolSnap> volSnaps;
    std::string mountVmGuid;                  // defaults to vmGuid when empty
    std::string mountVmName;                  // defaults to vmName when mountVmGuid is empty
    std::string snapMountPath;
    std::string snapMetadataFolder;
    std::vector<SVMBasicInfo> vmList;
    SVMInfo vmInfo;                           // the mounted VM, filled at mount
    std::map<std::string, SVMInfo> vmInfoByGuid;
    std::string backupSnapshotGuid;
    std::string cbtStatusText;
    bool liveBrowse = false;
    std::uint32_t sourceClientId = 0;
    std::map<std::string, std::vector<SDisk>> filteredDisksByVm;
    bool cbtEnabled = false;
    bool snapToTapeFlag = false;
    bool isAppAware = false;
    std::uint32_t arrayNum = 0;
    std::string referencePoint;               // serialised reference point of the previous backup
    std::int32_t cbtMode = 0;                 // EBackupSyncMode, else backupType
    std::uint32_t filteredDiskCount = 0;
    NXJobID altJobId = 0;                     // per-VM child job id of a VM-centric job
    bool isVmCentric = false;
    bool isFailback = false;
    std::vector<SDiskFilterRule> diskFilters; // the job's disk filter rules
    long long referenceTime = 0;              // reference time of the backup, seconds since the epoch
    std::vector<SFailure> mountFailures;      // job failure entries of the mount
};

// Facts about the source VM of a restore.
struct RestoreCtxOriginalInfo {
    bool isManaged = false;
    std::string m_InstanceSize;               // source VM size
    std::string firmware;                     // "efi" (any case) = Generation 2
    std::string availabilityZones;
};

// One restore job: full VM, disk attach or replication.
struct RestoreCtx {
    std::int32_t restoreType = 0;             // ERestoreType
    bool restoreWithoutConfig = false;
    std::string vmName;
    std::string stagingRoot;
    std::string resourceGroup;
    bool powerOn = false;
    bool overwrite = false;
    std::string storageAccount;
    std::string region;
    bool snapRestore = false;
    std::vector<SVMNetworkCard> nics;
    std::vector<SSecurityGroupInfo> securityGroups;
    bool assignPublicIP = false;
    std::string m_vmSize;
    std::string configFilePath;
    std::string sourceVmName;
    std::string sourceVmGuid;
    std::string vmGuid;
    bool replicaReset = false;
    std::string snapshotGuid;
    SVMInfo vmInfo;                           // destination VM, filled during restore
    std::vector<SDisk> disks;
    std::vector<SFailure> restoreFailures;
    std::string stagingPath;
    bool inPlaceRestore = false;
    bool isRestartedJob = false;
    std::int32_t replicationSyncType = 0;     // EBackupSyncMode
    bool destVmExists = false;
    bool firstTimeReplication = false;
    bool isFirstReplication = false;
    bool deployReplicaVm = false;
    std::int32_t validationStatus = 0;
    bool cloudFSRestore = false;
    bool restoreAsManagedVM = false;
    bool createVm = true;
    bool forceFullReplication = false;
    RestoreCtxOriginalInfo originalInfo;
    std::string availabilityZones;            // empty = Auto
};

// One VM operation (power, deploy, reconfigure, clone, delete, VM snapshot).
struct OperationCtx {
    std::int32_t operation = 0;               // EVMOperation
    SVMInfo vmInfo;
    std::string sourceVmName;
    std::string sourceVmGuid;
    bool cloneFromSourceVm = false;
    bool deployFlag = false;
    bool autoSelectVmSize = false;
    std::string snapshotName;
    std::string snapshotId;
};

// One VM of a snapshot operation, with its outcome.
struct SSnapEntityInfo {
    std::string name;
    std::string guid;
    std::string snapshotId;
    std::string filteredDisks;
    NXJobID jobId = 0;
    std::string snapshotRef;
    SFailure failure;
    std::int32_t status = SNAP_ENTITY_OK;     // ESnapEntityStatus
};

// Snapshot creation, deletion or preparation for several VMs.
struct SnapOperationCtx {
    std::int32_t operation = 0;               // ESnapOperation
    std::vector<SSnapEntityInfo> entities;
};

// One storage operation; failures come back as text.
struct StorageOperationCtx {
    std::int32_t operation = 0;               // EStorageOperation
    std::string region;
    std::time_t expiryTime = 0;
    std::string errorText;
};

// An open disk of the data path; points into the plugin's disk map, owns nothing.
struct VmdkHandle {
    SAzureDiskInfo* diskInfo = nullptr;
};

// The guest VM a script runs in.
struct GuestCtx {
    std::string vmName;
    std::string secondText;                   // third argument of the guest script call
    std::string thirdText;                    // first argument of the guest script call
};
