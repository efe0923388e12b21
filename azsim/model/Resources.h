// The resources of a simulated subscription as typed records, each with its
// JSON form in the state document (member names are the JSON keys; missing
// keys read as the member's default, so older documents stay readable).
//
// Names follow the cloud's conventions: regions by their short name
// ("westeurope") with a display name ("West Europe"), resources by name within
// a resource group, managed resources also by their full resource id.
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "azsim/blob/PageBlobStore.h"

namespace azsim {

using Tags = std::map<std::string, std::string>;

// A subscription and the application identity allowed to sign in to it.
struct Subscription {
    std::string id;
    std::string name;
    std::string tenantId;
    std::string applicationId;
    std::string secret;
};

// A VM size offered in a region.
struct VmSize {
    std::string name;  // e.g. "Standard_D2s_v3"
    int cpus = 0;
    int memoryMB = 0;
    int maxDataDisks = 0;
    int maxNics = 0;
    bool premiumIO = false;
    bool gen2Supported = false;
    std::string zones;  // comma-separated, empty = no zones
};

struct Region {
    std::string name;                  // "westeurope"
    std::string displayName;           // "West Europe"
    bool incrementalSnapshots = true;  // whether managed snapshots may be incremental here
    std::vector<VmSize> vmSizes;
};

struct ResourceGroup {
    std::string name;
    std::string region;
    Tags tags;
};

struct StorageAccount {
    std::string name;
    std::string resourceGroup;
    std::string region;
    std::string sku = "Standard_LRS";  // Standard_LRS, Premium_LRS, Standard_ZRS, ...
    std::string kind = "StorageV2";
    std::vector<std::string> containers;
};

struct NetworkCard {
    std::string name;
    std::string virtualNetwork;
    std::string subnetId;
};

// Disk encryption of a VM with the key backups a restore needs.
struct DiskEncryption {
    bool encrypted = false;
    std::string keyVault;
    std::string dekBackup;  // disk encryption key (secret) backup text
    std::string kekBackup;  // key encryption key backup text
    bool osDiskOnly = false;
};

// One disk of a VM: a managed disk resource id (managed VM) or a page-blob URI
// (unmanaged VM). The OS disk comes first and has LUN -1.
struct DiskAttachment {
    std::string id;
    int lun = -1;
};

enum class PowerState { Unknown, Running, Stopped, Deallocated };

struct VirtualMachine {
    std::string name;
    std::string guid;  // the VM id, lower case
    std::string resourceGroup;
    std::string region;
    std::string size;
    std::string firmware;          // "" = Generation 1, "efi" = Generation 2
    std::string osType = "Linux";  // "Windows" or "Linux"
    PowerState powerState = PowerState::Running;
    std::string zones;  // comma-separated, empty = none
    Tags tags;
    std::vector<NetworkCard> nics;
    std::vector<std::string> securityGroups;
    bool managed = true;
    std::string storageAccount;  // account of an unmanaged VM's disks
    DiskEncryption encryption;
    std::vector<DiskAttachment> disks;

    // The power state as the host records count it: 1 running, 0 otherwise.
    int powerStateCode() const { return powerState == PowerState::Running ? 1 : 0; }
};

// Time-limited access granted on a managed snapshot (read) or on a disk being uploaded (write).
struct AccessGrant {
    bool active = false;
    std::string accessUrl;
    std::int64_t expiresAt = 0;
};

// A managed disk; its data lives in an internal page blob reached through an
// access URL of the form https://md-<hex>.z1.blob.storage.azure.net/<container>/abcd.
struct ManagedDisk {
    std::string id;
    std::string name;
    std::string resourceGroup;
    std::string region;
    std::uint64_t sizeBytes = 0;
    std::string sku = "Premium_LRS";  // volume type: Standard_LRS, StandardSSD_LRS, Premium_LRS, UltraSSD_LRS
    std::string osType;               // set on OS disks
    std::string firmware;             // "efi" for a Generation 2 OS disk
    Tags tags;
    bool encrypted = false;
    std::string zones;
    std::string sourceId;              // what it was created from (snapshot id or blob URI), empty when created empty
    std::string state = "Unattached";  // Attached, Unattached, ReadyToUpload, ActiveUpload
    BlobKey blob;
    std::int64_t createdAt = 0;  // seconds since the epoch
    // A disk created for upload: the size its blob takes, the disk's bytes plus the 512-byte
    // VHD footer; 0 for disks made any other way.
    std::uint64_t uploadSizeBytes = 0;
    AccessGrant grant;  // the write access of an upload while it is active
};

// A page blob the model knows about: an unmanaged VM disk, a staging or restored blob.
// Its tags are the blob's metadata.
struct UnmanagedDisk {
    std::string name;
    std::string resourceGroup;
    std::string region;
    std::uint64_t sizeBytes = 0;
    Tags tags;
    bool encrypted = false;
    BlobKey blob;
};

// A managed snapshot: a frozen version of a disk's internal blob (the store's snapshot).
struct ManagedSnapshot {
    std::string id;
    std::string name;
    std::string resourceGroup;
    std::string region;
    std::string sourceDiskId;
    bool incremental = false;
    std::int64_t createdAt = 0;
    std::uint64_t sizeBytes = 0;
    Tags tags;  // set GUID, job tag, application id
    BlobKey blob;
    std::string storeSnapshot;
    AccessGrant grant;
};

// A snapshot of a page blob (unmanaged disk); its metadata carries the set GUID.
struct BlobSnapshot {
    BlobKey blob;
    std::string storeSnapshot;
    std::int64_t createdAt = 0;
    Tags metadata;
};

// Snapshots taken together for one VM; members are managed snapshot ids or
// blob snapshot URIs.
struct SnapshotSet {
    std::string guid;
    std::string vmName;
    std::string vmGuid;
    std::string resourceGroup;
    std::int64_t createdAt = 0;
    std::string jobTag;
    std::string applicationId;
    std::vector<std::string> members;
};

struct Subnet {
    std::string name;
    std::string id;
    std::string addressPrefix;
};

struct VirtualNetwork {
    std::string name;
    std::string id;
    std::string resourceGroup;
    std::string region;
    std::string addressPrefix;
    std::vector<Subnet> subnets;
    Tags tags;
};

struct SecurityGroup {
    std::string name;
    std::string id;
    std::string resourceGroup;
    std::string region;
};

// A network interface resource. A VM's embedded cards (VirtualMachine::nics) name
// the interfaces it uses; VMs seeded by older scenarios may have cards without one.
struct NetworkInterface {
    std::string name;
    std::string id;
    std::string resourceGroup;
    std::string region;
    std::string virtualNetwork;  // network name
    std::string subnet;          // subnet id
    std::string publicIp;        // name of its public IP address in the same group, empty = none
    std::string virtualMachine;  // id of the VM it belongs to, empty = detached
    Tags tags;
    std::string securityGroup = std::string();  // name of the security group it was created with, empty = none
};

struct PublicIpAddress {
    std::string name;
    std::string id;
    std::string resourceGroup;
    std::string region;
    std::string address;
    std::string virtualMachine;  // id of the VM whose interface holds it, empty = detached
    Tags tags;
};

// The record of a VM deployment and what it created.
struct Deployment {
    std::string name;
    std::string resourceGroup;
    std::string vmName;
    std::string vmGuid;
    std::string state = "Succeeded";
    std::vector<std::string> resources;  // ids (page-blob disks: URIs) of what it created
    std::int64_t createdAt = 0;          // seconds since the epoch
    Tags tags;
};

struct MarketplaceImage {
    std::string publisher;
    std::string offer;
    std::string sku;
    std::string version;
    std::string location;
};

void to_json(nlohmann::json& j, const BlobKey& key);
void from_json(const nlohmann::json& j, BlobKey& key);

NLOHMANN_JSON_SERIALIZE_ENUM(PowerState, {{PowerState::Unknown, "unknown"},
                                          {PowerState::Running, "running"},
                                          {PowerState::Stopped, "stopped"},
                                          {PowerState::Deallocated, "deallocated"}})

NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(Subscription, id, name, tenantId, applicationId, secret)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(VmSize, name, cpus, memoryMB, maxDataDisks, maxNics, premiumIO,
                                                gen2Supported, zones)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(Region, name, displayName, incrementalSnapshots, vmSizes)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(ResourceGroup, name, region, tags)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(StorageAccount, name, resourceGroup, region, sku, kind, containers)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(NetworkCard, name, virtualNetwork, subnetId)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(DiskEncryption, encrypted, keyVault, dekBackup, kekBackup, osDiskOnly)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(DiskAttachment, id, lun)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(VirtualMachine, name, guid, resourceGroup, region, size, firmware,
                                                osType, powerState, zones, tags, nics, securityGroups, managed,
                                                storageAccount, encryption, disks)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(AccessGrant, active, accessUrl, expiresAt)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(ManagedDisk, id, name, resourceGroup, region, sizeBytes, sku, osType,
                                                firmware, tags, encrypted, zones, sourceId, state, blob, createdAt,
                                                uploadSizeBytes, grant)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(UnmanagedDisk, name, resourceGroup, region, sizeBytes, tags, encrypted,
                                                blob)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(ManagedSnapshot, id, name, resourceGroup, region, sourceDiskId,
                                                incremental, createdAt, sizeBytes, tags, blob, storeSnapshot, grant)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(BlobSnapshot, blob, storeSnapshot, createdAt, metadata)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(SnapshotSet, guid, vmName, vmGuid, resourceGroup, createdAt, jobTag,
                                                applicationId, members)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(Subnet, name, id, addressPrefix)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(VirtualNetwork, name, id, resourceGroup, region, addressPrefix, subnets,
                                                tags)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(SecurityGroup, name, id, resourceGroup, region)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(NetworkInterface, name, id, resourceGroup, region, virtualNetwork,
                                                subnet, publicIp, virtualMachine, tags, securityGroup)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(PublicIpAddress, name, id, resourceGroup, region, address,
                                                virtualMachine, tags)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(Deployment, name, resourceGroup, vmName, vmGuid, state, resources,
                                                createdAt, tags)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(MarketplaceImage, publisher, offer, sku, version, location)

}  // namespace azsim
