// A VM deployment as RestoreVM is asked for it, resolved against the
// subscription's state, and the checks the cloud makes before it creates
// anything. Each check returns the text of its refusal, or nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "azsim/model/StateDocument.h"
#include "plugin/frame/records/Records.h"

namespace AzureSDKCppBridge {

// One entry of the VM record's disk list and the resource it names.
struct DeploymentDisk {
    const VMInfoStructs::SDisk* entry = nullptr;
    bool managed = false;                      // named by managed-disk id (a direct-upload disk)
    const azsim::ManagedDisk* disk = nullptr;  // that disk, when it exists
    azsim::BlobKey blob;                       // a page-blob disk: the blob the entry names
    bool blobExists = false;
    std::uint64_t blobBytes = 0;
    const azsim::StorageAccount* account = nullptr;
    std::string naming;  // what is wrong with how the entry names its disk, empty when nothing
    bool import = false;  // a page blob that becomes a new managed disk
};

// One network card of the new VM: the network and subnet it joins.
struct DeploymentNic {
    std::string networkName;
    std::string subnetText;  // subnet name or id as asked; empty = the network's first
    const azsim::VirtualNetwork* network = nullptr;
    const azsim::Subnet* subnet = nullptr;
};

struct DeploymentRequest {
    const azsim::StateDocument* doc = nullptr;
    const VMInfoStructs::SVMInfo* vm = nullptr;
    std::string osDiskName;
    // The OS disk of an unmanaged VM named by osDiskName alone: a page blob of that name in the
    // VM's storage account, which the disk list then does not hold.
    std::shared_ptr<const VMInfoStructs::SDisk> namedOsDisk;
    bool managedTarget = false;
    // A managed target imports every page blob into a managed disk; converting deletes the blobs
    // afterwards, else they stay (a replica's blobs, which its next run reverts and writes).
    bool convertStagedBlobs = false;
    std::string configError;  // why the configuration text cannot be read, empty when it can
    nlohmann::json config;    // the configuration as a JSON object (empty object when none)

    const azsim::ResourceGroup* group = nullptr;
    std::string regionName;  // as asked, or the group's
    const azsim::Region* region = nullptr;
    const azsim::VmSize* size = nullptr;
    std::vector<std::string> zones;
    bool gen2 = false;
    std::vector<DeploymentDisk> disks;
    std::vector<DeploymentNic> nics;
    std::vector<const azsim::SecurityGroup*> securityGroups;
    std::vector<std::string> missingSecurityGroups;
    bool assignPublicIP = false;
    std::vector<std::string> nicNames;  // of the interfaces the VM gets, one per card
    std::string publicIpName;           // of the address it gets, empty without one
};

// Resolves what the VM record names; pointers stay null where the state has nothing.
DeploymentRequest ResolveDeployment(const azsim::StateDocument& doc, const azsim::PageBlobStore& store,
                                    const VMInfoStructs::SVMInfo& vm, const std::string& osDiskName,
                                    const std::string& configText, bool assignPublicIP, bool restoreAsManagedVM,
                                    bool convertStagedBlobs, bool restoreWithoutConfig);

// The first refusal of the checks, which run in order (a later check relies on the earlier
// ones having passed); empty when the cloud would accept the deployment.
std::string FirstRefusal(const DeploymentRequest& request);

// The checks of the request's disks alone, in the order FirstRefusal runs them: each names a
// disk, fits the target (no managed disk on an unmanaged target), exists, is
// used by no VM, imports into a free name of `group`, and is not premium on a size without
// premium storage (`size` must be set). Empty when all pass.
std::string FirstDiskRefusal(const DeploymentRequest& request);

// Resolves one disk entry; `import` marks a page blob that becomes a new managed disk. The result
// points at `entry`, which must outlive it.
DeploymentDisk ResolveDisk(const azsim::StateDocument& doc, const azsim::PageBlobStore& store,
                           const VMInfoStructs::SDisk& entry, bool import);

// The page blob a disk entry names: its URL, or "account" / "account\container" (container
// "vhds" when absent) with the entry's name as the blob. Nothing, with `error` set, when it names none.
std::optional<azsim::BlobKey> PageBlobOfEntry(const VMInfoStructs::SDisk& entry, std::string& error);

// The name of the managed disk a deployment imports a page blob into: the blob's name without ".vhd".
std::string ImportedDiskName(const azsim::BlobKey& blob);

}  // namespace AzureSDKCppBridge
