#include "cloudsdk/RecordMapping.h"

#include <boost/algorithm/string/predicate.hpp>


namespace AzureSDKCppBridge {

namespace {

using boost::algorithm::iequals;
using nlohmann::json;

// The account and blob name of a blob URL "https://<account>.<suffix>/<container>/<blob>[?...]".
struct BlobName {
    std::string account;
    std::string blob;
};

BlobName BlobNameOf(const std::string& uri) {
    BlobName out;
    const std::size_t hostStart = uri.find("://") == std::string::npos ? 0 : uri.find("://") + 3;
    const std::size_t pathStart = std::min(uri.find('/', hostStart), uri.size());
    out.account = uri.substr(hostStart, std::min(uri.find('.', hostStart), pathStart) - hostStart);
    const std::size_t blobStart = std::min(uri.find('/', pathStart + 1), uri.size());
    const std::size_t end = std::min(uri.find('?', blobStart), uri.size());
    if (blobStart < end) out.blob = uri.substr(blobStart + 1, end - blobStart - 1);
    return out;
}

json PropertiesOf(const json& resource) { return resource.value("properties", json::object()); }

// The zones of a resource or size ("1,2"), empty when it has none.
std::string Zones(const json& zones) {
    std::string out;
    for (const json& zone : zones) out += (out.empty() ? "" : ",") + zone.get<std::string>();
    return out;
}

// The record of a disk entry of a VM's storage profile, but for its place (OS disk, LUN).
VMInfoStructs::SDisk DiskRecord(const json& entry, const std::string& vmGroup, InventoryLists& lists) {
    VMInfoStructs::SDisk disk;
    const json managed = entry.value("managedDisk", json::object());
    disk.capacity = entry.value("diskSizeBytes", entry.value("diskSizeGB", 0LL) << 30);
    disk.isEncrypted = entry.value("encryptionSettings", json::object()).value("enabled", false);
    if (!managed.empty()) {
        disk.name = entry.value("name", IdName(managed.value("id", "")));
        disk.managedDiskId = managed.value("id", "");
        disk.uri = disk.managedDiskId;
        disk.volumeType = managed.value("storageAccountType", "");
        disk.isManaged = true;
        disk.resourceGroup = IdPart(disk.managedDiskId, "resourceGroups");
    } else {
        disk.uri = entry.value("vhd", json::object()).value("uri", "");
        const BlobName blob = BlobNameOf(disk.uri);
        disk.name = blob.blob;
        disk.storageAccount = blob.account;
        disk.volumeType = "Standard_LRS";
        for (const json& account : lists.storageAccounts())
            if (iequals(account.value("name", ""), blob.account))
                disk.volumeType = account.value("sku", json::object()).value("name", disk.volumeType);
        disk.resourceGroup = vmGroup;
    }
    disk.originalName = disk.name;
    disk.indexName = disk.name;
    return disk;
}

void AddDisks(const json& profile, const std::string& group, bool managedVm, InventoryLists& lists,
              VMInfoStructs::SVMInfo& out) {
    std::vector<std::pair<json, int>> entries;
    if (profile.contains("osDisk")) entries.emplace_back(profile["osDisk"], -1);
    for (const json& data : profile.value("dataDisks", json::array())) entries.emplace_back(data, data.value("lun", 0));
    for (const auto& [entry, lun] : entries) {
        // A managed VM's disk that is no managed disk resource has nothing to record.
        if (managedVm && !entry.contains("managedDisk")) continue;
        VMInfoStructs::SDisk disk = DiskRecord(entry, group, lists);
        disk.isOsDisk = lun < 0;
        disk.unitNumber = lun < 0 ? 0 : lun;
        disk.namePrefix = disk.isOsDisk ? "OsDisk" : "DataDisk";
        out.disks.push_back(disk);
    }
}

// The VM's interfaces (from the interface list) and the security groups that hold one of them.
void AddNetwork(const json& vm, InventoryLists& lists, VMInfoStructs::SVMInfo& out) {
    std::vector<std::string> ids;
    for (const json& ref : PropertiesOf(vm).value("networkProfile", json::object()).value("networkInterfaces",
                                                                                            json::array()))
        ids.push_back(ref.value("id", ""));
    for (const std::string& id : ids) {
        VMInfoStructs::SVMNetworkCard card;
        card.name = IdName(id);
        for (const json& nic : lists.interfaces()) {
            if (!iequals(nic.value("id", ""), id)) continue;
            for (const json& ip : PropertiesOf(nic).value("ipConfigurations", json::array())) {
                card.subnetId = PropertiesOf(ip).value("subnet", json::object()).value("id", "");
                card.networkName = IdPart(card.subnetId, "virtualNetworks");
                break;
            }
        }
        out.nics.push_back(card);
    }
    if (ids.empty()) return;
    for (const json& group : lists.securityGroups()) {
        bool holds = false;
        for (const json& nic : PropertiesOf(group).value("networkInterfaces", json::array()))
            for (const std::string& id : ids) holds = holds || iequals(nic.value("id", ""), id);
        if (holds) out.securityGroups.push_back(SecurityGroupRecord(group));
    }
}

// 1 for a running VM, 0 otherwise, from its instance view.
int PowerStateOf(const json& properties) {
    for (const json& status : properties.value("instanceView", json::object()).value("statuses", json::array()))
        if (status.value("code", "") == "PowerState/running") return 1;
    return 0;
}

}  // namespace

std::string GroupOf(const json& resource) { return IdPart(resource.value("id", ""), "resourceGroups"); }

VMInfoStructs::SVMInfo VmRecord(const json& vm, InventoryLists& lists) {
    const json properties = PropertiesOf(vm);
    const json profile = properties.value("storageProfile", json::object());
    VMInfoStructs::SVMInfo out;
    out.name = vm.value("name", "");
    out.guid = properties.value("vmId", "");
    out.displayName = out.name;
    out.resourceGroup = GroupOf(vm);
    out.region = vm.value("location", "");
    const bool gen2 = properties.value("instanceView", json::object()).value("hyperVGeneration", "") == "V2";
    out.firmware = gen2 || properties.contains("securityProfile") ? "efi" : "";
    out.vmSize = properties.value("hardwareProfile", json::object()).value("vmSize", "");
    out.powerState = PowerStateOf(properties);
    out.availabilityZones = Zones(vm.value("zones", json::array()));
    const json osVhd = profile.value("osDisk", json::object()).value("vhd", json::object());
    out.isManaged = osVhd.empty();
    if (!out.isManaged) out.storageAccount = BlobNameOf(osVhd.value("uri", "")).account;
    for (const json& size : lists.vmSizes(out.region)) {
        if (!iequals(size.value("name", ""), out.vmSize)) continue;
        out.numCpus = size.value("numberOfCores", 0u);
        out.memoryMB = size.value("memoryInMB", 0u);
    }
    AddNetwork(vm, lists, out);
    AddDisks(profile, out.resourceGroup, out.isManaged, lists, out);
    return out;
}

VMInfoStructs::SVMInfo TemplateRecord(const json& image) {
    VMInfoStructs::SVMInfo out;
    out.name = image.value("name", "");
    out.displayName = out.name;
    out.resourceGroup = GroupOf(image);
    out.region = image.value("location", "");
    out.firmware = PropertiesOf(image).value("hyperVGeneration", "") == "V2" ? "efi" : "";
    out.isManaged = true;
    return out;
}

VMInfoStructs::SDatastoreInfo StorageAccountRecord(const json& account) {
    VMInfoStructs::SDatastoreInfo out;
    out.name = account.value("name", "");
    out.displayName = out.name;
    out.skuName = account.value("sku", json::object()).value("name", "");
    out.region = account.value("location", "");
    return out;
}

// The value of capability `name` of a resource SKU; empty when it has none.
std::string Capability(const json& sku, const char* name) {
    for (const json& capability : sku.value("capabilities", json::array()))
        if (iequals(capability.value("name", ""), name)) return capability.value("value", "");
    return std::string();
}

VMInfoStructs::SVMSizeInfo VmSizeRecord(const json& size, const json& skus) {
    VMInfoStructs::SVMSizeInfo out;
    out.name = size.value("name", "");
    out.uuid = out.name;
    out.numCpus = size.value("numberOfCores", 0);
    out.memoryMB = size.value("memoryInMB", 0);
    out.maxDataDisks = size.value("maxDataDiskCount", 0);
    for (const json& sku : skus) {
        if (!iequals(sku.value("resourceType", ""), "virtualMachines") || !iequals(sku.value("name", ""), out.name))
            continue;
        const std::string nics = Capability(sku, "MaxNetworkInterfaces");
        out.maxNics = nics.empty() ? 0 : std::stoi(nics);
        out.premiumIO = iequals(Capability(sku, "PremiumIO"), "True");
        out.gen2Supported = Capability(sku, "HyperVGenerations").find("V2") != std::string::npos;
        for (const json& info : sku.value("locationInfo", json::array()))
            out.availabilityZones = Zones(info.value("zones", json::array()));
    }
    return out;
}

VMInfoStructs::SNetworkInfo NetworkRecord(const json& network) {
    const json properties = PropertiesOf(network);
    VMInfoStructs::SNetworkInfo out;
    out.name = network.value("name", "");
    out.id = network.value("id", "");
    out.location = network.value("location", "");
    const json prefixes = properties.value("addressSpace", json::object()).value("addressPrefixes", json::array());
    if (!prefixes.empty()) out.addressPrefix = prefixes[0].get<std::string>();
    for (const json& subnet : properties.value("subnets", json::array())) out.subnets.push_back(subnet.value("name", ""));
    return out;
}

VMInfoStructs::SSecurityGroupInfo SecurityGroupRecord(const json& group) {
    return {group.value("name", ""), group.value("id", ""), group.value("location", "")};
}

VMInfoStructs::SHostInfo HostRecord(const json& group, InventoryLists& lists) {
    VMInfoStructs::SHostInfo out;
    out.name = group.value("name", "");
    out.location = group.value("location", "");
    for (const json& vm : lists.vms())
        if (iequals(GroupOf(vm), out.name)) out.vmList.push_back(VmRecord(vm, lists));
    for (const json& account : lists.storageAccounts())
        if (iequals(GroupOf(account), out.name)) out.datastores.push_back(StorageAccountRecord(account));
    for (const json& network : lists.networks())
        if (iequals(GroupOf(network), out.name)) out.networks.push_back(NetworkRecord(network));
    for (const json& nsg : lists.securityGroups())
        if (iequals(GroupOf(nsg), out.name)) out.securityGroups.push_back(SecurityGroupRecord(nsg));
    return out;
}

VMInfoStructs::SDataCenterInfo DataCenterRecord(const std::string& location, InventoryLists& lists,
                                                const std::string& name) {
    VMInfoStructs::SDataCenterInfo out;
    out.name = name;
    for (const json& account : lists.storageAccounts())
        if (iequals(lists.location(account.value("location", "")), location))
            out.datastores.push_back(StorageAccountRecord(account));
    for (const json& network : lists.networks())
        if (iequals(lists.location(network.value("location", "")), location))
            out.networks.push_back(NetworkRecord(network));
    for (const json& nsg : lists.securityGroups())
        if (iequals(lists.location(nsg.value("location", "")), location))
            out.securityGroups.push_back(SecurityGroupRecord(nsg));
    return out;
}

}  // namespace AzureSDKCppBridge
