// The whole state document of a simulated subscription as typed records, with
// the look-ups the cloud offers: names of resources, groups and regions match
// case-insensitively, blob names exactly.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "azsim/model/Resources.h"

namespace azsim {

struct StateDocument {
    std::vector<Subscription> subscriptions;
    std::vector<Region> regions;
    std::vector<ResourceGroup> resourceGroups;
    std::vector<StorageAccount> storageAccounts;
    std::vector<VirtualMachine> vms;
    std::vector<ManagedDisk> managedDisks;
    std::vector<UnmanagedDisk> unmanagedDisks;
    std::vector<ManagedSnapshot> snapshots;
    std::vector<BlobSnapshot> blobSnapshots;
    std::vector<SnapshotSet> snapshotSets;
    std::vector<VirtualNetwork> virtualNetworks;
    std::vector<SecurityGroup> securityGroups;
    std::vector<NetworkInterface> networkInterfaces;
    std::vector<PublicIpAddress> publicIps;
    std::vector<Deployment> deployments;
    std::vector<MarketplaceImage> images;
    std::vector<VirtualMachine> templates;  // VM records offered as templates
    // Top-level members this model does not know, written back unchanged.
    nlohmann::json extra = nlohmann::json::object();

    // Throws azsim::Error when a known member has the wrong shape.
    static StateDocument fromJson(const nlohmann::json& document);
    // Always dumpable: a name holding bytes that are not UTF-8 is written as Utf8Escaped
    // (azsim/Journal.h) gives it, and reads back in that escaped form.
    nlohmann::json toJson() const;

    // The subscription the document serves (the first one); throws azsim::Error when there is none.
    const Subscription& subscription() const;

    const Subscription* findSubscription(const std::string& id) const;
    // By name ("westeurope") or display name ("West Europe"), ignoring case and spaces.
    const Region* findRegion(const std::string& name) const;
    const ResourceGroup* findResourceGroup(const std::string& name) const;
    const StorageAccount* findStorageAccount(const std::string& name) const;
    // An empty resource group matches any group.
    const VirtualMachine* findVm(const std::string& name, const std::string& resourceGroup = std::string()) const;
    const VirtualMachine* findVmByGuid(const std::string& guid) const;
    const ManagedDisk* findManagedDisk(const std::string& id) const;
    const ManagedDisk* findManagedDiskByName(const std::string& name,
                                             const std::string& resourceGroup = std::string()) const;
    // Account and container ignore case (the cloud keeps them lower case), the blob name does not.
    const UnmanagedDisk* findUnmanagedDisk(const BlobKey& blob) const;
    const ManagedSnapshot* findSnapshot(const std::string& id) const;
    const ManagedSnapshot* findSnapshotByName(const std::string& name,
                                              const std::string& resourceGroup = std::string()) const;
    const BlobSnapshot* findBlobSnapshot(const BlobKey& blob, const std::string& storeSnapshot) const;
    const SnapshotSet* findSnapshotSet(const std::string& guid) const;
    const VirtualNetwork* findVirtualNetwork(const std::string& name,
                                             const std::string& resourceGroup = std::string()) const;
    const SecurityGroup* findSecurityGroup(const std::string& name,
                                           const std::string& resourceGroup = std::string()) const;
    const NetworkInterface* findNetworkInterface(const std::string& name,
                                                 const std::string& resourceGroup = std::string()) const;
    const PublicIpAddress* findPublicIp(const std::string& name,
                                        const std::string& resourceGroup = std::string()) const;

    // The page blob holding the data of the VM's disk at `index` (0 = OS disk).
    std::optional<BlobKey> diskBlob(const VirtualMachine& vm, std::size_t index) const;

    // Mutable look-ups for read-modify-write.
    Region* findRegion(const std::string& name) { return mut(std::as_const(*this).findRegion(name)); }
    ResourceGroup* findResourceGroup(const std::string& name) {
        return mut(std::as_const(*this).findResourceGroup(name));
    }
    StorageAccount* findStorageAccount(const std::string& name) {
        return mut(std::as_const(*this).findStorageAccount(name));
    }
    VirtualMachine* findVm(const std::string& name, const std::string& resourceGroup = std::string()) {
        return mut(std::as_const(*this).findVm(name, resourceGroup));
    }
    VirtualMachine* findVmByGuid(const std::string& guid) { return mut(std::as_const(*this).findVmByGuid(guid)); }
    ManagedDisk* findManagedDisk(const std::string& id) { return mut(std::as_const(*this).findManagedDisk(id)); }
    ManagedDisk* findManagedDiskByName(const std::string& name, const std::string& resourceGroup = std::string()) {
        return mut(std::as_const(*this).findManagedDiskByName(name, resourceGroup));
    }
    UnmanagedDisk* findUnmanagedDisk(const BlobKey& blob) { return mut(std::as_const(*this).findUnmanagedDisk(blob)); }
    ManagedSnapshot* findSnapshot(const std::string& id) { return mut(std::as_const(*this).findSnapshot(id)); }
    ManagedSnapshot* findSnapshotByName(const std::string& name, const std::string& resourceGroup = std::string()) {
        return mut(std::as_const(*this).findSnapshotByName(name, resourceGroup));
    }
    BlobSnapshot* findBlobSnapshot(const BlobKey& blob, const std::string& storeSnapshot) {
        return mut(std::as_const(*this).findBlobSnapshot(blob, storeSnapshot));
    }
    SnapshotSet* findSnapshotSet(const std::string& guid) { return mut(std::as_const(*this).findSnapshotSet(guid)); }
    VirtualNetwork* findVirtualNetwork(const std::string& name, const std::string& resourceGroup = std::string()) {
        return mut(std::as_const(*this).findVirtualNetwork(name, resourceGroup));
    }
    SecurityGroup* findSecurityGroup(const std::string& name, const std::string& resourceGroup = std::string()) {
        return mut(std::as_const(*this).findSecurityGroup(name, resourceGroup));
    }
    NetworkInterface* findNetworkInterface(const std::string& name, const std::string& resourceGroup = std::string()) {
        return mut(std::as_const(*this).findNetworkInterface(name, resourceGroup));
    }
    PublicIpAddress* findPublicIp(const std::string& name, const std::string& resourceGroup = std::string()) {
        return mut(std::as_const(*this).findPublicIp(name, resourceGroup));
    }

private:
    template <class T>
    static T* mut(const T* p) {
        return const_cast<T*>(p);
    }
};

}  // namespace azsim
