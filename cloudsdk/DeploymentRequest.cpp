#include "cloudsdk/DeploymentRequest.h"

#include <algorithm>
#include <set>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/trim.hpp>

#include "azsim/model/ResourceIds.h"
#include "cloudsdk/DiskUse.h"

namespace AzureSDKCppBridge {

using boost::algorithm::iequals;

namespace {

std::vector<std::string> SplitZones(const std::string& text) {
    std::vector<std::string> zones;
    if (text.empty() || iequals(text, "None")) return zones;
    std::string::size_type start = 0;
    while (start <= text.size()) {
        std::string::size_type comma = text.find(',', start);
        std::string zone = boost::algorithm::trim_copy(text.substr(start, comma - start));
        if (!zone.empty()) zones.push_back(zone);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return zones;
}

const azsim::VirtualNetwork* NetworkInRegion(const azsim::StateDocument& doc, const azsim::Region& region,
                                             const std::string& name) {
    for (const azsim::VirtualNetwork& net : doc.virtualNetworks)
        if ((name.empty() || iequals(net.name, name)) && doc.findRegion(net.region) == &region) return &net;
    return nullptr;
}

const azsim::Subnet* SubnetOf(const azsim::VirtualNetwork& net, const std::string& subnetText) {
    if (subnetText.empty()) return net.subnets.empty() ? nullptr : &net.subnets.front();
    for (const azsim::Subnet& subnet : net.subnets)
        if (iequals(subnet.name, subnetText) || iequals(subnet.id, subnetText)) return &subnet;
    return nullptr;
}

std::string DiskText(const DeploymentDisk& d) {
    return d.managed ? d.entry->managedDiskId : d.blob.account + "/" + d.blob.container + "/" + d.blob.name;
}

bool IsPremium(const DeploymentDisk& d) {
    if (d.managed) return d.disk && boost::algorithm::istarts_with(d.disk->sku, "Premium");
    return d.account && boost::algorithm::istarts_with(d.account->sku, "Premium");
}

// The checks, in the order the cloud meets them.

std::string ConfigReadable(const DeploymentRequest& r) {
    return r.configError.empty() ? "" : "InvalidParameter: The VM configuration cannot be read: " + r.configError;
}

std::string GroupExists(const DeploymentRequest& r) {
    return r.group ? "" : "ResourceGroupNotFound: Resource group '" + r.vm->resourceGroup + "' could not be found.";
}

std::string RegionExists(const DeploymentRequest& r) {
    return r.region ? "" : "LocationNotAvailableForResourceType: The provided location '" + r.regionName +
                               "' is not available for resource type 'Microsoft.Compute/virtualMachines'.";
}

std::string NameFree(const DeploymentRequest& r) {
    if (r.vm->name.empty()) return "InvalidParameter: The VM has no name.";
    return r.doc->findVm(r.vm->name, r.group->name) ? "Conflict: A VM named '" + r.vm->name +
                                                          "' already exists in resource group '" + r.group->name + "'."
                                                    : "";
}

std::string SizeOffered(const DeploymentRequest& r) {
    return r.size ? "" : "SkuNotAvailable: The requested size '" + r.vm->vmSize +
                             "' is not available in location '" + r.region->name + "'.";
}

std::string ZonesOffered(const DeploymentRequest& r) {
    const std::vector<std::string> offered = SplitZones(r.size->zones);
    for (const std::string& zone : r.zones)
        if (std::find(offered.begin(), offered.end(), zone) == offered.end())
            return "InvalidParameter: Availability zone '" + zone + "' is not offered for size '" + r.size->name +
                   "' in location '" + r.region->name + "' (offered: '" + r.size->zones + "').";
    if (!r.zones.empty() && !r.managedTarget)
        return "InvalidParameter: A VM in an availability zone needs managed disks.";
    return "";
}

std::string GenerationSupported(const DeploymentRequest& r) {
    if (!r.gen2) return "";
    if (!r.size->gen2Supported)
        return "BadRequest: The size '" + r.size->name + "' does not support Generation 2 VMs.";
    return r.managedTarget ? "" : "BadRequest: A Generation 2 VM needs managed disks.";
}

std::string OneOsDisk(const DeploymentRequest& r) {
    const auto os = std::count_if(r.disks.begin(), r.disks.end(),
                                  [](const DeploymentDisk& d) { return d.entry->isOsDisk; });
    if (os != 1)
        return "InvalidParameter: The VM needs exactly one OS disk; " + std::to_string(os) + " are marked.";
    const DeploymentDisk& osDisk =
        *std::find_if(r.disks.begin(), r.disks.end(), [](const DeploymentDisk& d) { return d.entry->isOsDisk; });
    if (!r.osDiskName.empty() && osDisk.entry->name != r.osDiskName)
        return "InvalidParameter: The OS disk '" + r.osDiskName + "' is not the disk the list marks as OS disk ('" +
               osDisk.entry->name + "').";
    return "";
}

std::string DisksNamed(const DeploymentRequest& r) {
    for (const DeploymentDisk& d : r.disks)
        if (!d.naming.empty()) return d.naming;
    return "";
}

std::string DisksFitTarget(const DeploymentRequest& r) {
    for (const DeploymentDisk& d : r.disks) {
        if (d.managed && !r.managedTarget)
            return "InvalidParameter: Managed disk '" + d.entry->name + "' cannot be attached to an unmanaged VM.";
    }
    return "";
}

std::string DisksExist(const DeploymentRequest& r) {
    for (const DeploymentDisk& d : r.disks) {
        if (d.managed && !d.disk)
            return "NotFound: The disk '" + d.entry->managedDiskId + "' was not found.";
        if (!d.managed && !d.blobExists) return "BlobNotFound: The blob '" + DiskText(d) + "' does not exist.";
    }
    return "";
}

std::string DisksFree(const DeploymentRequest& r) {
    for (const DeploymentDisk& d : r.disks) {
        const azsim::VirtualMachine* user = d.managed ? VmUsingDisk(*r.doc, *d.disk) : VmLeasingBlob(*r.doc, d.blob);
        if (user)
            return "OperationNotAllowed: Disk '" + DiskText(d) + "' is already attached to VM '" + user->name + "'.";
        if (d.managed && (d.disk->state == "ActiveUpload" || d.disk->state == "ReadyToUpload"))
            return "OperationNotAllowed: Disk '" + d.disk->name + "' is being uploaded (state " + d.disk->state +
                   ") and cannot be attached.";
    }
    return "";
}

std::string ImportNamesFree(const DeploymentRequest& r) {
    std::set<std::string> names;
    for (const DeploymentDisk& d : r.disks) {
        if (!d.import) continue;
        const std::string name = ImportedDiskName(d.blob);
        if (!names.insert(name).second || r.doc->findManagedDiskByName(name, r.group->name))
            return "Conflict: A disk named '" + name + "' already exists in resource group '" + r.group->name + "'.";
    }
    return "";
}

std::string PremiumSupported(const DeploymentRequest& r) {
    if (r.size->premiumIO) return "";
    for (const DeploymentDisk& d : r.disks)
        if (IsPremium(d))
            return "BadRequest: The size '" + r.size->name + "' does not support premium storage, which disk '" +
                   DiskText(d) + "' uses.";
    return "";
}

std::string DataDiskSlots(const DeploymentRequest& r) {
    const auto data = static_cast<int>(r.disks.size()) - 1;
    if (data > r.size->maxDataDisks)
        return "OperationNotAllowed: The size '" + r.size->name + "' takes at most " +
               std::to_string(r.size->maxDataDisks) + " data disks; " + std::to_string(data) + " were given.";
    std::set<int> luns;
    for (const DeploymentDisk& d : r.disks)
        if (!d.entry->isOsDisk && !luns.insert(d.entry->unitNumber).second)
            return "InvalidParameter: LUN " + std::to_string(d.entry->unitNumber) + " is used by more than one disk.";
    return "";
}

std::string NetworksExist(const DeploymentRequest& r) {
    if (static_cast<int>(r.nics.size()) > r.size->maxNics)
        return "OperationNotAllowed: The size '" + r.size->name + "' takes at most " +
               std::to_string(r.size->maxNics) + " network interfaces; " + std::to_string(r.nics.size()) +
               " were given.";
    for (const DeploymentNic& nic : r.nics) {
        if (!nic.network)
            return nic.networkName.empty()
                       ? "InvalidResourceReference: Location '" + r.region->name +
                             "' has no virtual network for the VM's network interface."
                       : "InvalidResourceReference: Virtual network '" + nic.networkName +
                             "' was not found in location '" + r.region->name + "'.";
        if (!nic.subnet)
            return "InvalidResourceReference: Subnet '" + nic.subnetText + "' was not found in virtual network '" +
                   nic.network->name + "'.";
    }
    for (const std::string& group : r.missingSecurityGroups)
        return "InvalidResourceReference: Network security group '" + group + "' was not found.";
    return "";
}

// An interface or address of the new VM's names is taken when a VM that still exists holds it;
// a detached one (kept by an in-place restore) is taken over.
std::string NetworkNamesFree(const DeploymentRequest& r) {
    for (const std::string& name : r.nicNames)
        if (const azsim::NetworkInterface* nic = r.doc->findNetworkInterface(name, r.group->name))
            if (!nic->virtualMachine.empty())
                return "Conflict: Network interface '" + name + "' belongs to another VM.";
    if (!r.publicIpName.empty())
        if (const azsim::PublicIpAddress* ip = r.doc->findPublicIp(r.publicIpName, r.group->name))
            if (!ip->virtualMachine.empty())
                return "Conflict: Public IP address '" + r.publicIpName + "' belongs to another VM.";
    return "";
}

using Check = std::string (*)(const DeploymentRequest&);
const Check kChecks[] = {ConfigReadable, GroupExists,      RegionExists,    NameFree,         SizeOffered,
                         ZonesOffered,   GenerationSupported, OneOsDisk,    DataDiskSlots,    DisksNamed,
                         DisksFitTarget, DisksExist,       DisksFree,       ImportNamesFree,  PremiumSupported,
                         NetworksExist,  NetworkNamesFree};
const Check kDiskChecks[] = {DisksNamed, DisksFitTarget, DisksExist, DisksFree, ImportNamesFree, PremiumSupported};

std::string FirstOf(const DeploymentRequest& request, const Check* begin, const Check* end) {
    for (const Check* check = begin; check != end; ++check) {
        std::string refusal = (*check)(request);
        if (!refusal.empty()) return refusal;
    }
    return "";
}

}  // namespace

DeploymentDisk ResolveDisk(const azsim::StateDocument& doc, const azsim::PageBlobStore& store,
                           const VMInfoStructs::SDisk& entry, bool import) {
    DeploymentDisk d;
    d.entry = &entry;
    if (!entry.managedDiskId.empty()) {
        d.managed = true;
        d.disk = doc.findManagedDisk(entry.managedDiskId);
        return d;
    }
    std::optional<azsim::BlobKey> blob = PageBlobOfEntry(entry, d.naming);
    if (!blob) return d;
    d.blob = *blob;
    d.account = doc.findStorageAccount(d.blob.account);
    if (d.account) d.blob.account = d.account->name;
    azsim::BlobProperties props;
    d.blobExists = d.account && store.properties(d.blob, std::string(), props) && props.type == azsim::BlobType::Page;
    d.blobBytes = props.size;
    d.import = import;
    return d;
}

std::optional<azsim::BlobKey> PageBlobOfEntry(const VMInfoStructs::SDisk& entry, std::string& error) {
    const std::string::size_type slash = entry.storageAccount.find('\\');
    azsim::BlobKey blob{entry.storageAccount.substr(0, slash),
                        slash == std::string::npos ? "vhds" : entry.storageAccount.substr(slash + 1), entry.name};
    if (!entry.uri.empty()) {
        std::optional<azsim::BlobUri> uri = azsim::ParseBlobUri(entry.uri);
        if (!uri || !uri->snapshot.empty()) {
            error = "InvalidParameter: The URI '" + entry.uri + "' of disk '" + entry.name + "' is not a blob URL.";
            return std::nullopt;
        }
        blob = uri->key();
    }
    if (blob.account.empty() || blob.name.empty()) {
        error = "InvalidParameter: Disk '" + entry.name + "' names no storage account and blob.";
        return std::nullopt;
    }
    return blob;
}

std::string ImportedDiskName(const azsim::BlobKey& blob) {
    std::string name = blob.name.substr(blob.name.rfind('/') + 1);
    if (boost::algorithm::iends_with(name, ".vhd")) name.resize(name.size() - 4);
    return name;
}

DeploymentRequest ResolveDeployment(const azsim::StateDocument& doc, const azsim::PageBlobStore& store,
                                    const VMInfoStructs::SVMInfo& vm, const std::string& osDiskName,
                                    const std::string& configText, bool assignPublicIP, bool restoreAsManagedVM,
                                    bool convertStagedBlobs, bool restoreWithoutConfig) {
    DeploymentRequest r;
    r.doc = &doc;
    r.vm = &vm;
    r.osDiskName = osDiskName;
    r.managedTarget = restoreAsManagedVM;
    r.convertStagedBlobs = convertStagedBlobs;
    r.assignPublicIP = assignPublicIP;
    r.config = nlohmann::json::object();
    if (!restoreWithoutConfig && !configText.empty()) {
        nlohmann::json parsed = nlohmann::json::parse(configText, nullptr, false);
        if (parsed.is_object())
            r.config = parsed;
        else
            r.configError = parsed.is_discarded() ? "the text is not JSON" : "the text is not a JSON object";
    }
    r.group = doc.findResourceGroup(vm.resourceGroup);
    r.regionName = vm.region.empty() && r.group ? r.group->region : vm.region;
    r.region = doc.findRegion(r.regionName);
    if (r.region)
        for (const azsim::VmSize& size : r.region->vmSizes)
            if (iequals(size.name, vm.vmSize)) r.size = &size;
    r.zones = SplitZones(vm.availabilityZones);
    r.gen2 = iequals(vm.firmware, "efi");
    for (const VMInfoStructs::SDisk& entry : vm.disks)
        r.disks.push_back(ResolveDisk(doc, store, entry, restoreAsManagedVM));
    const bool listsOsDisk = std::any_of(vm.disks.begin(), vm.disks.end(),
                                         [](const VMInfoStructs::SDisk& d) { return d.isOsDisk; });
    if (!listsOsDisk && !osDiskName.empty() && !restoreAsManagedVM) {
        auto os = std::make_shared<VMInfoStructs::SDisk>();
        os->name = osDiskName;
        os->storageAccount = vm.storageAccount;
        os->isOsDisk = true;
        r.namedOsDisk = os;
        r.disks.insert(r.disks.begin(), ResolveDisk(doc, store, *os, false));
    }

    std::vector<VMInfoStructs::SVMNetworkCard> cards = vm.nics;
    if (cards.empty()) cards.emplace_back();  // one card on the region's first network
    for (const VMInfoStructs::SVMNetworkCard& card : cards) {
        DeploymentNic nic;
        nic.networkName = card.networkName;
        nic.subnetText = card.subnetId;
        if (r.region) nic.network = NetworkInRegion(doc, *r.region, card.networkName);
        if (nic.network) nic.subnet = SubnetOf(*nic.network, card.subnetId);
        r.nicNames.push_back(vm.name + "-nic" + std::to_string(r.nics.size()));
        r.nics.push_back(nic);
    }
    if (assignPublicIP) r.publicIpName = vm.name + "-ip";
    for (const VMInfoStructs::SSecurityGroupInfo& wanted : vm.securityGroups) {
        auto named = [&](const azsim::SecurityGroup& g) {
            return (!wanted.id.empty() && iequals(g.id, wanted.id)) ||
                   (!wanted.name.empty() && iequals(g.name, wanted.name));
        };
        auto it = std::find_if(doc.securityGroups.begin(), doc.securityGroups.end(), named);
        if (it == doc.securityGroups.end())
            r.missingSecurityGroups.push_back(wanted.name.empty() ? wanted.id : wanted.name);
        else
            r.securityGroups.push_back(&*it);
    }
    return r;
}

std::string FirstRefusal(const DeploymentRequest& request) {
    return FirstOf(request, std::begin(kChecks), std::end(kChecks));
}

std::string FirstDiskRefusal(const DeploymentRequest& request) {
    return FirstOf(request, std::begin(kDiskChecks), std::end(kDiskChecks));
}

}  // namespace AzureSDKCppBridge
