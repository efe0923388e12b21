// Host records that describe VMs, disks, hosts, storage and the browse tree.
//
// Plain value types: copyable, default-constructible, no behaviour. Strings are
// UTF-8 byte strings as the cloud returns them; numbers start at zero and flags
// false unless a member initialiser below says otherwise. The records live in
// namespace VMInfoStructs and are also visible unqualified, as the interface
// signatures use them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "plugin/frame/records/Enums.h"

namespace VMInfoStructs {

// One job failure entry shown in the host's report; the job itself may still succeed.
struct SFailure {
    std::string subject;   // item the failure concerns (VM or disk text)
    std::string guid;      // GUID of the VM concerned, when known
    std::string reason;
    bool flag = false;     // host-defined marker passed with the failure
};

// A network security group.
struct SSecurityGroupInfo {
    std::string name;
    std::string id;
    std::string location;
};

// A virtual network.
struct SNetworkInfo {
    std::string name;
    std::string id;
    std::string location;
    std::string addressPrefix;
    std::vector<std::string> subnets;
};

// A network adapter of the host machine, handed along with network requests.
struct SHostNetworkAdapterInfo {
    std::string name;
    std::string networkName;
};

// A network card of a VM.
struct SVMNetworkCard {
    std::string name;
    std::string networkName;
    std::string subnetId;
};

// A disk of a VM, or a file that travels with the disks (type 0).
struct SDisk {
    std::string uri;                  // disk URI; at restore the staged disk file path/name
    std::int32_t diskFormat = 0;
    std::string guid;                 // disk GUID; replication matches disks on it
    std::string managedDiskId;
    std::string changeId;             // change-tracking id recorded for the disk
    long long capacity = 0;           // bytes
    std::string namePrefix;           // leads the disk's unique backup name
    std::int32_t unitNumber = 0;      // LUN
    std::string originalName;         // disk name as backed up
    std::string storageAccount;
    std::string indexName;
    std::string name;                 // blob (page-blob) or disk name
    std::string attachedPath;         // local device a conversion attached the disk at; non-empty = attached
    std::string targetName;           // name of the restored blob/managed disk
    std::int32_t type = DISK_TYPE_VIRTUAL_DISK;
    std::string backupStorageAccount;
    bool isFiltered = false;
    std::int32_t includeFlag = 1;
    bool isOsDisk = false;
    std::int32_t volumeSlot = 0;
    std::string integritySnapshot;    // snapshot a clone creates managed disks from
    std::string volumeType;
    bool isEncrypted = false;
    bool isManaged = false;
    bool incrementalSnapshot = false;
    std::string resourceGroup;
    std::string sourceDiskName;
    std::string restoredName;
    std::string replicationGuid;
};

// A VM with its disks, network cards and placement.
struct SVMInfo {
    std::string name;
    std::string secondaryName;
    std::string guid;
    std::string displayName;          // subject of job failure entries
    std::string storageAccount;
    std::string region;
    std::string firmware;             // "efi" marks a Generation 2 VM
    std::string resourceGroup;
    std::uint32_t snapStatus = 0;     // snap-job status: 0 ok, 39 snapshot failed, else an error code
    std::string snapStatusDetails;
    std::vector<SDisk> disks;
    std::vector<SVMNetworkCard> nics;
    std::uint32_t numCpus = 0;
    std::uint32_t memoryMB = 0;
    std::int32_t powerState = 0;      // EVMPowerState
    std::vector<SSecurityGroupInfo> securityGroups;
    std::string vmSize;
    std::string snapshotGuid;
    std::uint32_t archiveFileId = 0;
    bool isManaged = false;
    std::string availabilityZones;    // comma-separated; "None" or empty = none
};

// The identity of a VM of a job.
struct SVMBasicInfo {
    std::string name;
    std::string guid;
    std::string host;                 // resource group
};

// A storage account (datastore).
struct SDatastoreInfo {
    std::string name;
    std::string skuName;              // SKU/replication text ("ZRS", "Premium" ...)
    std::string displayName;          // second name field; the account name again for snap groups
    std::string region;
    std::int32_t volumeSlot = 0;
    std::vector<SVMInfo> vmList;      // VMs recorded with the account in snap metadata
};

// The VMs of one storage account handed to the snapshot metadata generator.
struct SVolSnap {
    std::string name;                 // group key: storage account name
    std::string displayName;          // group key again
    std::vector<SVMBasicInfo> vmBasicList;
    std::vector<SVMInfo> vmList;
    SDatastoreInfo datastore;
};

// A VM size offered in a region or resource group.
struct SVMSizeInfo {
    std::string name;
    std::string uuid;                 // the size string, e.g. Standard_A1
    std::int32_t numCpus = 0;
    std::int32_t maxDataDisks = 0;
    std::int32_t memoryMB = 0;
    std::int32_t maxNics = 0;
    bool premiumIO = false;
    bool gen2Supported = false;
    std::string availabilityZones;
};

// A node of the browse tree.
struct SInventoryInfo {
    std::vector<SInventoryInfo> children;
    std::uint32_t flags = 0;          // bit 0: VM is running
    std::string id;
    std::string name;
    EInventoryType type = INVENTORY_TYPE_NONE;
};

// A host: resource group or cloud service, or a region-qualified resource group.
struct SHostInfo {
    std::string location;
    std::vector<SDatastoreInfo> datastores;
    std::string name;
    std::vector<SNetworkInfo> networks;
    std::vector<SSecurityGroupInfo> securityGroups;
    std::vector<SVMInfo> vmList;
};

// A region (data center).
struct SDataCenterInfo {
    std::vector<SDatastoreInfo> datastores;
    std::string name;
    std::vector<SNetworkInfo> networks;
    std::vector<SSecurityGroupInfo> securityGroups;
};

// A credential record given to the connection; type 3 is an HTTP proxy.
struct SHostCredentials {
    std::string host;
    std::string password;
    std::int32_t type = 0;            // ECredentialType
    std::string userName;
};

// One entry of the full mount information: a disk or a file of the mount folder.
struct SMountInfoFull {
    std::vector<SDisk> disks;
    std::int32_t kind = MOUNT_ENTRY_FILE;
};

// One file of the file-level mount information.
struct SMountInfoFile {
    std::string name;
    std::string path;
    long long size = 0;
};

// A range of allocated or changed units; end is exclusive.
struct SectorRange {
    UINT64 end = 0;
    UINT64 start = 0;
};

// One changed or allocated extent of a disk.
struct SDiskChangeExtent {
    UINT64 reserved = 0;              // first field of the host record; always 0
    UINT64 length = 0;
    UINT64 start = 0;
};

// Changed or allocated extents of a disk.
struct SDiskChangeInfo {
    std::vector<SDiskChangeExtent> extents;
};

// One disk filter rule of a backup job; the host walks them for every disk.
struct SDiskFilterRule {
    std::int32_t type = 0;            // EDiskFilterType
    std::string value;
    std::string secondValue;          // tag value of a tag rule
};

}  // namespace VMInfoStructs

using VMInfoStructs::SDataCenterInfo;
using VMInfoStructs::SDatastoreInfo;
using VMInfoStructs::SDisk;
using VMInfoStructs::SDiskChangeExtent;
using VMInfoStructs::SDiskChangeInfo;
using VMInfoStructs::SDiskFilterRule;
using VMInfoStructs::SectorRange;
using VMInfoStructs::SFailure;
using VMInfoStructs::SHostCredentials;
using VMInfoStructs::SHostInfo;
using VMInfoStructs::SHostNetworkAdapterInfo;
using VMInfoStructs::SInventoryInfo;
using VMInfoStructs::SMountInfoFile;
using VMInfoStructs::SMountInfoFull;
using VMInfoStructs::SNetworkInfo;
using VMInfoStructs::SSecurityGroupInfo;
using VMInfoStructs::SVMBasicInfo;
using VMInfoStructs::SVMInfo;
using VMInfoStructs::SVMNetworkCard;
using VMInfoStructs::SVMSizeInfo;
using VMInfoStructs::SVolSnap;
