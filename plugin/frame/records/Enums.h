// Enumerations, codes and integer types shared by the host and the plugin.
//
// Fields that carry one of these codes are declared as plain 32-bit integers in
// the records; the enumerations below name their values. Plain (unscoped)
// enumerations are used so that the names compare and assign with those fields.
#pragma once

#include <cstdint>

typedef unsigned long long UINT64;
typedef unsigned long long ULONGLONG;
typedef unsigned int UINT;

// Kind of cloud a plugin instance serves; fixed when the instance is created.
enum VirtualServerInstanceType {
    VSINST_UNKNOWN = 0,
    VSINST_AZURE_CLASSIC = 401,             // cloud-service model
    VSINST_AZURE_RESOURCE_MANAGER = 402,
    VSINST_AZURE_STACK_HUB = 403,
};

// Snapshot engines the host can drive (MountCtx.snapEngine). Cloud snapshot
// jobs run on the VVol kind, which snaps whole VMs rather than storage volumes.
enum ESnapEngine : std::uint32_t {
    SNAP_ENGINE_NONE = 0,
    SNAP_ENGINE_CLOUD_VVOL = 0x5A,
    SNAP_ENGINE_STORAGE_ARRAY = 0x10,
};

// Kind of a node of the browse tree (SInventoryInfo.type).
enum EInventoryType : std::int32_t {
    INVENTORY_TYPE_NONE = 0,                // top-level view nodes
    INVENTORY_TYPE_ROOT = 1,
    INVENTORY_TYPE_REGION = 2,
    INVENTORY_TYPE_HOST = 5,                // resource group, or cloud service under the classic model
    INVENTORY_TYPE_VM = 8,
    INVENTORY_TYPE_STORAGE_ACCOUNT = 9,
};

// Last-error codes the plugin reports to the host.
enum EVMInfoError : std::int32_t {
    VMINFO_ERR_NONE = 0,
    VMINFO_ERR_VM_NOT_FOUND = 1,                        // source, local or clone-target VM cannot be looked up
    VMINFO_ERR_STORAGE_ACCOUNT_INFO = 6,                // storage-account details or a staging account unavailable
    VMINFO_ERR_VM_EXISTS = 10,                          // restore target exists and overwrite was not chosen
    VMINFO_ERR_MOUNT_DIR_PREPARE = 13,                  // the job's mount directory cannot be prepared
    VMINFO_ERR_SNAPSHOT_SET_CREATE = 17,                // backup, integrity or hardware snapshot set not created
    VMINFO_ERR_RESTORE_DEPLOY = 20,                     // restore or clone prerequisite or deployment step failed
    VMINFO_ERR_DISK_CREATE = 24,                        // managed disk or staged disk record not created or found
    VMINFO_ERR_SNAP_CONFIG_FETCH = 28,                  // snap mount cannot fetch the VM configuration files
    VMINFO_ERR_SNAP_RECORDS = 29,                       // snap records cannot be loaded or hold no snapshot
    VMINFO_ERR_SNAP_ARCHIVE_FILE = 30,                  // no archive file could be created for a VM's snapshot
    VMINFO_ERR_SNAP_VM_LIST = 31,                       // snap VM list cannot be refreshed
    VMINFO_ERR_SNAP_VOLUME_LIST = 32,                   // snap volume list cannot be built
    VMINFO_ERR_SNAP_OPERATION_UNKNOWN = 38,             // snapshot operation code not known to the plugin
    VMINFO_ERR_VM_SNAPSHOT_CREATE = 39,                 // VM snapshot of a snapshot operation not created
    VMINFO_ERR_CONFIG_FILE_WRITE = 41,                  // VM configuration file cannot be written
    VMINFO_ERR_DISK_INFO = 44,                          // disk information unavailable, or live-browse mount refused
    VMINFO_ERR_CONNECTION_LOST = 48,                    // cloud connection lost at mount
    VMINFO_ERR_DISK_ATTACH = 54,                        // disk-attach restore or conversion cannot attach disks
    VMINFO_ERR_ALL_DISKS_ENCRYPTED = 55,                // every disk to attach is encrypted
    VMINFO_ERR_SNAP_ID_RESOLVE = 59,                    // snapshot id of a snap VM cannot be resolved
    VMINFO_ERR_VM_DELETE = 61,                          // existing VM cannot be deleted before restore/replication
    VMINFO_ERR_BLOB_DELETE = 62,                        // existing blob cannot be deleted
    VMINFO_ERR_ALL_DISKS_FILTERED = 65,                 // every disk of the VM is filtered out
    VMINFO_ERR_BLOB_EXISTS = 71,                        // destination blob exists and overwrite was not chosen
    VMINFO_ERR_SNAPSHOT_LIMIT = 73,                     // VM holds its maximum number of backup snapshots
    VMINFO_ERR_SNAPSHOT_DELETE = 116,                   // previous snapshots cannot be deleted
    VMINFO_ERR_VM_CONFIG_READ = 182,                    // VM configuration or key backups cannot be read or saved
    VMINFO_ERR_CLOUDFS_UNAVAILABLE = 186,               // restore needs the cloud file system, which is absent
    VMINFO_ERR_MOUNT_DIR_MISSING = 187,                 // mount folder missing at unmount
    VMINFO_ERR_VM_SIZE = 198,                           // VM-size query, validation or compatibility check failed
    VMINFO_ERR_SNAP_MANAGED_VM_UNSUPPORTED = 233,       // snap backup of a managed VM is not supported
    VMINFO_ERR_DEFERRED_DEPLOY = 247,                   // deferred deployment (configuration upload) failed
    VMINFO_ERR_AZURE_STACK_MANAGED_UNSUPPORTED = 250,   // backup of a managed VM on Azure Stack Hub not supported
    VMINFO_ERR_ALL_DISKS_ULTRA_SSD = 260,               // every disk of the VM is an Ultra SSD disk
    VMINFO_ERR_KEYVAULT_KEY_DENIED = 265,               // no permission on the keys of the VM's key vault
    VMINFO_ERR_KEYVAULT_SECRET_DENIED = 266,            // no permission on the secrets of the VM's key vault
    VMINFO_ERR_ENCRYPTED_ON_AZURE_STACK = 269,          // encrypted VM backed up on Azure Stack Hub
    VMINFO_ERR_KEYVAULT_PERMISSION_CHECK = 276,         // key-vault permission check failed otherwise
    VMINFO_ERR_KEYVAULT_NOT_FOUND = 280,                // the VM's key vault does not exist
    VMINFO_ERR_ENCRYPTED_CROSS_SUBSCRIPTION = 281,      // encrypted disks in a cross-subscription restore
    VMINFO_ERR_KEYVAULT_FIREWALL = 285,                 // the key vault refuses connections from this network
    VMINFO_ERR_DISK_SNAPSHOT_NOT_FOUND = 294,           // no snapshot of a disk carries the requested GUID
    VMINFO_ERR_DISK_SNAPSHOT_QUERY = 295,               // snapshots of a disk cannot be listed
    VMINFO_ERR_PREMIUM_DEPLOY_AT_FAILOVER = 296,        // premium storage with deploy-at-failover-only
    VMINFO_ERR_JOB_CANCELLED = 4000,
    VMINFO_ERR_REVERT_FILE_LIST = 5002,                 // file list for a snapshot revert cannot be built
    VMINFO_ERR_REPLICA_VM_RUNNING = 7002,               // replication destination VM is running
    VMINFO_ERR_REPLICA_VM_EXISTS = 7003,                // replication destination exists without overwrite, or stays
};

// Restore kind (RestoreCtx.restoreType).
enum ERestoreType {
    RESTORE_TYPE_FULL_VM = 1,
    RESTORE_TYPE_DISK_ATTACH = 2,
    RESTORE_TYPE_REPLICATION = 4,
};

// Kind of an SDisk entry (SDisk.type); also the disk kind of an archive-file query.
enum DiskType_t {
    DISK_TYPE_FILE = 0,           // a configuration file travelling with the disks
    DISK_TYPE_VIRTUAL_DISK = 1,
};

// Kind of a mount-information entry (SMountInfoFull.kind).
enum EMountEntryKind {
    MOUNT_ENTRY_FILE = 0,         // file of the mount folder
    MOUNT_ENTRY_DISK = 1,         // disk read through the disk data path
};

// VM operation codes (OperationCtx.operation).
enum EVMOperation {
    VM_OP_POWER_ON = 1,
    VM_OP_POWER_OFF = 2,
    VM_OP_SHUTDOWN = 3,
    VM_OP_DEPLOY = 4,
    VM_OP_RECONFIGURE = 5,
    VM_OP_CLONE = 6,
    VM_OP_DELETE = 7,
    VM_OP_CREATE_SNAPSHOT = 13,
    VM_OP_DELETE_SNAPSHOT = 14,
};

// Snapshot operation codes (SnapOperationCtx.operation).
enum ESnapOperation {
    SNAP_OP_CREATE = 1,
    SNAP_OP_DELETE = 2,
    SNAP_OP_PREPARE = 4,
};

// Storage operation codes (StorageOperationCtx.operation).
enum EStorageOperation {
    STORAGE_OP_DELETE_EXPIRED_DISKS = 1,
};

// Credential kind (SHostCredentials.type).
enum ECredentialType {
    CREDENTIAL_TYPE_HTTP_PROXY = 3,
};

// Outcome of a snapshot operation for one VM (SSnapEntityInfo.status).
enum ESnapEntityStatus {
    SNAP_ENTITY_OK = 0,
    SNAP_ENTITY_DELETE_FAILED = 1,
    SNAP_ENTITY_UNKNOWN_OPERATION = 38,     // the operation code was not one the plugin knows
    SNAP_ENTITY_CREATE_FAILED = 39,
};

// Which metadata files the host asks for.
enum EMetadataFilesType {
    METADATA_FILES_INDEX = 0,       // catalog and metadata files of the index upload
    METADATA_FILES_VM_CONFIG = 1,   // the index files plus the VM configuration files
};

// Power state of a VM (SVMInfo.powerState).
enum EVMPowerState {
    VM_POWER_STATE_UNKNOWN = 0,
    VM_POWER_STATE_RUNNING = 1,
};

// Change-tracking mode chosen for a backup (MountCtx.cbtMode) and sync kind of a
// replication run (RestoreCtx.replicationSyncType).
enum EBackupSyncMode {
    SYNC_MODE_FULL = 1,
    SYNC_MODE_INCREMENTAL = 2,
};

// Kind of one disk filter rule of a backup job.
enum EDiskFilterType {
    DISK_FILTER_BY_PATH = 1,        // value: path pattern
    DISK_FILTER_BY_PATTERN = 2,     // value: disk-name pattern
    DISK_FILTER_BY_DATASTORE = 3,   // value: storage account
    DISK_FILTER_BY_TYPE = 4,        // value: disk type text
    DISK_FILTER_BY_TAG = 5,         // value: tag name, secondValue: tag value
};
