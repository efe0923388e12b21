#include "azsim/arm/VmCreate.h"

#include <algorithm>
#include <set>

#include <boost/algorithm/string/predicate.hpp>

#include "azsim/model/ResourceIds.h"

namespace azsim {

namespace {

using boost::algorithm::iequals;
using nlohmann::json;

// The metadata key with which a page blob registered as an OS disk records its OS type.
const char* const kRegisteredOsType = "osType";
const char* const kCreatedByJob = "createdByJob";

// A refusal raised while the request is read; the document is not changed yet.
struct Refused {
    VmRefusal refusal;
};

[[noreturn]] void Refuse(int status, const std::string& code, const std::string& message) {
    throw Refused{{status, code, message}};
}

// One disk of the body: the OS disk (lun -1) or a data disk.
struct BodyDisk {
    int lun = -1;
    const ManagedDisk* managed = nullptr;  // a managed disk named by id
    std::string managedId;
    std::optional<BlobKey> blob;  // a page blob named by URI
    std::string text;             // the disk as messages name it
};

std::vector<std::string> SplitZones(const std::string& text) {
    std::vector<std::string> zones;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find(',', start), text.size());
        if (end > start) zones.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return zones;
}

std::vector<std::string> ZonesOf(const json& body) {
    std::vector<std::string> zones;
    const json given = body.value("zones", json::array());
    if (!given.is_array()) Refuse(400, "InvalidParameter", "'zones' is not a list.");
    for (const json& zone : given) {
        if (!zone.is_string()) Refuse(400, "InvalidParameter", "Each zone is text.");
        zones.push_back(zone.get<std::string>());
    }
    return zones;
}

BodyDisk ReadDisk(const StateDocument& doc, const json& entry, int lun) {
    if (!entry.is_object()) Refuse(400, "InvalidParameter", "Each disk of 'storageProfile' is an object.");
    const auto option = entry.find("createOption");
    if (option != entry.end() && !(option->is_string() && iequals(option->get<std::string>(), "Attach")))
        Refuse(400, "InvalidParameter",
               "Disk createOption " + option->dump() + " is not supported here; only 'Attach' is.");
    const std::string* managedId = TextAt(entry, "managedDisk", "id");
    const std::string* uri = TextAt(entry, "vhd", "uri");
    if (!managedId == !uri)
        Refuse(400, "InvalidParameter", "Each disk names either 'managedDisk.id' or 'vhd.uri'.");
    BodyDisk d;
    d.lun = lun;
    if (managedId) {
        d.managedId = d.text = *managedId;
        d.managed = doc.findManagedDisk(*managedId);
        return d;
    }
    const std::optional<BlobUri> parsed = ParseBlobUri(*uri);
    if (!parsed || !parsed->snapshot.empty())
        Refuse(400, "InvalidParameter", "The VHD URI '" + *uri + "' does not name a page blob.");
    d.blob = parsed->key();
    d.text = d.blob->account + "/" + d.blob->container + "/" + d.blob->name;
    return d;
}

// The disks of the body, the OS disk first; LUNs checked against `size`.
std::vector<BodyDisk> ReadDisks(const StateDocument& doc, const json& storage, const VmSize& size) {
    if (!storage.contains("osDisk")) Refuse(400, "InvalidParameter", "Required parameter 'osDisk' is missing.");
    std::vector<BodyDisk> disks{ReadDisk(doc, storage["osDisk"], -1)};
    const json data = storage.value("dataDisks", json::array());
    if (!data.is_array()) Refuse(400, "InvalidParameter", "'storageProfile.dataDisks' is not a list.");
    if (static_cast<int>(data.size()) > size.maxDataDisks)
        Refuse(409, "OperationNotAllowed",
               "The size '" + size.name + "' takes at most " + std::to_string(size.maxDataDisks) + " data disks; " +
                   std::to_string(data.size()) + " were given.");
    std::set<int> luns;
    for (const json& entry : data) {
        const json lun = entry.is_object() ? entry.value("lun", json()) : json();
        if (!lun.is_number_integer() || lun.get<int>() < 0 || lun.get<int>() > 63)
            Refuse(400, "InvalidParameter", "Each data disk needs a 'lun' from 0 to 63.");
        if (!luns.insert(lun.get<int>()).second)
            Refuse(400, "InvalidParameter", "LUN " + std::to_string(lun.get<int>()) + " is used by more than one disk.");
        disks.push_back(ReadDisk(doc, entry, lun.get<int>()));
    }
    return disks;
}

bool IsPremium(const StateDocument& doc, const BodyDisk& d) {
    if (d.managed) return boost::algorithm::istarts_with(d.managed->sku, "Premium");
    const StorageAccount* account = d.blob ? doc.findStorageAccount(d.blob->account) : nullptr;
    return account && boost::algorithm::istarts_with(account->sku, "Premium");
}

void CheckDisks(const StateDocument& doc, const PageBlobStore& blobs, const std::vector<BodyDisk>& disks,
                const VmSize& size) {
    const bool managed = disks.front().blob == std::nullopt;
    for (const BodyDisk& d : disks)
        if (managed != !d.blob)
            Refuse(409, "OperationNotAllowed",
                   managed ? "Addition of a VHD blob based disk to VM with managed disks is not supported."
                           : "Managed disk '" + d.text + "' cannot be attached to an unmanaged VM.");
    for (const BodyDisk& d : disks) {
        if (!d.blob && !d.managed) Refuse(404, "NotFound", "The disk '" + d.managedId + "' was not found.");
        BlobProperties props;
        if (d.blob && (!blobs.properties(*d.blob, std::string(), props) || props.type != BlobType::Page))
            Refuse(404, "BlobNotFound", "The blob '" + d.text + "' does not exist.");
    }
    for (const BodyDisk& d : disks) {
        const VirtualMachine* user = VmHoldingDisk(doc, d.managed ? d.managed->id : PageBlobUri(*d.blob));
        if (user)
            Refuse(409, "OperationNotAllowed", "Disk '" + d.text + "' is already attached to VM '" + user->name + "'.");
        if (d.managed && (d.managed->state == "ActiveUpload" || d.managed->state == "ReadyToUpload"))
            Refuse(409, "OperationNotAllowed", "Disk '" + d.managed->name + "' is being uploaded (state " +
                                                   d.managed->state + ") and cannot be attached.");
    }
    if (size.premiumIO) return;
    for (const BodyDisk& d : disks)
        if (IsPremium(doc, d))
            Refuse(400, "BadRequest", "The size '" + size.name + "' does not support premium storage, which disk '" +
                                          d.text + "' uses.");
}

// The network interfaces the body names, each free for the VM `vmId`.
std::vector<NetworkInterface*> ReadInterfaces(StateDocument& doc, const json& properties, const VmSize& size,
                                              const std::string& vmId) {
    const json given = properties.value("networkProfile", json::object()).value("networkInterfaces", json::array());
    if (!given.is_array() || given.empty())
        Refuse(400, "InvalidParameter", "The VM needs at least one network interface in 'networkProfile'.");
    if (static_cast<int>(given.size()) > size.maxNics)
        Refuse(409, "OperationNotAllowed",
               "The size '" + size.name + "' takes at most " + std::to_string(size.maxNics) +
                   " network interfaces; " + std::to_string(given.size()) + " were given.");
    std::vector<NetworkInterface*> nics;
    for (const json& entry : given) {
        const std::string id = entry.is_object() ? entry.value("id", "") : "";
        const std::optional<ResourceId> parsed = ParseResourceId(id);
        NetworkInterface* nic = parsed && iequals(parsed->type, "networkInterfaces")
                                    ? doc.findNetworkInterface(parsed->name, parsed->resourceGroup)
                                    : nullptr;
        if (!nic) Refuse(400, "InvalidResourceReference", "Network interface '" + id + "' was not found.");
        if (!nic->virtualMachine.empty() && !iequals(nic->virtualMachine, vmId))
            Refuse(409, "Conflict", "Network interface '" + nic->name + "' belongs to another VM.");
        const PublicIpAddress* ip = nic->publicIp.empty() ? nullptr : doc.findPublicIp(nic->publicIp, nic->resourceGroup);
        if (ip && !ip->virtualMachine.empty() && !iequals(ip->virtualMachine, vmId))
            Refuse(409, "Conflict", "Public IP address '" + ip->name + "' belongs to another VM.");
        nics.push_back(nic);
    }
    return nics;
}

std::string OsTypeOf(const StateDocument& doc, const json& osDisk, const BodyDisk& d) {
    std::string osType = osDisk.value("osType", "");
    if (osType.empty() && d.managed) osType = d.managed->osType;
    const UnmanagedDisk* record = d.blob ? doc.findUnmanagedDisk(*d.blob) : nullptr;
    if (osType.empty() && record && record->tags.count(kRegisteredOsType)) osType = record->tags.at(kRegisteredOsType);
    return osType.empty() ? "Linux" : osType;
}

void ReadEncryption(const json& osDisk, DiskEncryption& out) {
    const json settings = osDisk.value("encryptionSettings", json::object());
    if (!settings.is_object() || !settings.value("enabled", false)) return;
    const json dek = settings.value("diskEncryptionKey", json::object());
    const json kek = settings.value("keyEncryptionKey", json::object());
    out.encrypted = true;
    out.dekBackup = dek.value("secretUrl", "");
    out.kekBackup = kek.value("keyUrl", "");
    out.keyVault = dek.value("sourceVault", json::object()).value("id", "");
}

Tags TagsOf(const json& body) {
    Tags tags;
    const json given = body.value("tags", json::object());
    if (!given.is_object()) Refuse(400, "InvalidParameter", "'tags' is not an object.");
    for (const auto& [name, value] : given.items()) {
        if (!value.is_string()) Refuse(400, "InvalidParameter", "The value of tag '" + name + "' is not text.");
        tags[name] = value.get<std::string>();
    }
    return tags;
}

// The record of what the job that made `vm` made for it: the VM and its resources carrying that job's mark.
void RecordDeployment(StateDocument& doc, const VirtualMachine& vm, const std::string& vmId) {
    const auto job = vm.tags.find(kCreatedByJob);
    if (job == vm.tags.end()) return;
    auto ours = [&](const Tags& tags) {
        const auto it = tags.find(kCreatedByJob);
        return it != tags.end() && it->second == job->second;
    };
    Deployment deployment;
    deployment.name = "vm-" + vm.name + "-" + vm.guid.substr(0, 8);
    deployment.resourceGroup = vm.resourceGroup;
    deployment.vmName = vm.name;
    deployment.vmGuid = vm.guid;
    deployment.resources.push_back(vmId);
    for (const DiskAttachment& a : vm.disks)
        if (const ManagedDisk* disk = doc.findManagedDisk(a.id); disk && ours(disk->tags))
            deployment.resources.push_back(disk->id);
    for (const NetworkCard& card : vm.nics) {
        const NetworkInterface* nic = doc.findNetworkInterface(card.name, vm.resourceGroup);
        if (nic && ours(nic->tags)) deployment.resources.push_back(nic->id);
        const PublicIpAddress* ip = nic && !nic->publicIp.empty() ? doc.findPublicIp(nic->publicIp, vm.resourceGroup)
                                                                  : nullptr;
        if (ip && ours(ip->tags)) deployment.resources.push_back(ip->id);
    }
    deployment.createdAt = std::time(nullptr);
    deployment.tags = {{kCreatedByJob, job->second}};
    doc.deployments.push_back(deployment);
}

}  // namespace

VmRefusal CreateVm(StateDocument& doc, const PageBlobStore& blobs, const ResourceGroup& group,
                   const std::string& name, const json& body) try {
    if (!body.is_object()) Refuse(400, "InvalidRequestContent", "The request content is not a JSON object.");
    const json properties = body.value("properties", json::object());
    if (!properties.is_object()) Refuse(400, "InvalidRequestContent", "'properties' is not an object.");
    const std::string location = body.value("location", "");
    const Region* region = doc.findRegion(location);
    if (!region)
        Refuse(400, "LocationNotAvailableForResourceType",
               "The provided location '" + location +
                   "' is not available for resource type 'Microsoft.Compute/virtualMachines'.");
    const std::string* sizeName = TextAt(properties, "hardwareProfile", "vmSize");
    const auto size = std::find_if(region->vmSizes.begin(), region->vmSizes.end(),
                                   [&](const VmSize& s) { return sizeName && iequals(s.name, *sizeName); });
    if (size == region->vmSizes.end())
        Refuse(409, "SkuNotAvailable", "The requested size '" + (sizeName ? *sizeName : std::string()) +
                                           "' is not available in location '" + region->name + "'.");
    const json storage = properties.value("storageProfile", json::object());
    const std::vector<BodyDisk> disks = ReadDisks(doc, storage, *size);
    const bool managed = !disks.front().blob;
    const std::vector<std::string> zones = ZonesOf(body), offered = SplitZones(size->zones);
    for (const std::string& zone : zones)
        if (std::find(offered.begin(), offered.end(), zone) == offered.end())
            Refuse(400, "InvalidParameter", "Availability zone '" + zone + "' is not offered for size '" + size->name +
                                                "' in location '" + region->name + "' (offered: '" + size->zones +
                                                "').");
    if (!zones.empty() && !managed) Refuse(400, "InvalidParameter", "A VM in an availability zone needs managed disks.");
    const bool gen2 = properties.value("securityProfile", json::object()).contains("uefiSettings") ||
                      (disks.front().managed && disks.front().managed->firmware == "efi");
    if (gen2 && !size->gen2Supported)
        Refuse(400, "BadRequest", "The size '" + size->name + "' does not support Generation 2 VMs.");
    if (gen2 && !managed) Refuse(400, "BadRequest", "A Generation 2 VM needs managed disks.");
    CheckDisks(doc, blobs, disks, *size);
    const std::string vmId = VirtualMachineId(doc.subscription().id, group.name, name);
    const std::vector<NetworkInterface*> nics = ReadInterfaces(doc, properties, *size, vmId);

    VirtualMachine vm;
    vm.name = name;
    vm.guid = NewGuid();
    vm.resourceGroup = group.name;
    vm.region = region->name;
    vm.size = size->name;
    vm.firmware = gen2 ? "efi" : "";
    vm.tags = TagsOf(body);
    for (const std::string& zone : zones) vm.zones += (vm.zones.empty() ? "" : ",") + zone;
    vm.managed = managed;
    const json osDisk = storage["osDisk"];
    vm.osType = OsTypeOf(doc, osDisk, disks.front());
    ReadEncryption(osDisk, vm.encryption);
    if (!managed) vm.storageAccount = disks.front().blob->account;
    for (const BodyDisk& d : disks) vm.disks.push_back({d.managed ? d.managed->id : PageBlobUri(*d.blob), d.lun});
    for (NetworkInterface* nic : nics) {
        nic->virtualMachine = vmId;
        vm.nics.push_back({nic->name, nic->virtualNetwork, nic->subnet});
        if (!nic->securityGroup.empty() &&
            std::find(vm.securityGroups.begin(), vm.securityGroups.end(), nic->securityGroup) == vm.securityGroups.end())
            vm.securityGroups.push_back(nic->securityGroup);
        if (PublicIpAddress* ip = nic->publicIp.empty() ? nullptr : doc.findPublicIp(nic->publicIp, nic->resourceGroup))
            ip->virtualMachine = vmId;
    }
    for (const BodyDisk& d : disks)
        if (d.managed) doc.findManagedDisk(d.managed->id)->state = "Attached";
    doc.vms.push_back(vm);
    RecordDeployment(doc, vm, vmId);
    return {};
} catch (const Refused& refused) {
    return refused.refusal;
} catch (const json::exception& e) {
    return {400, "InvalidRequestContent", std::string("The request content was invalid: ") + e.what()};
}

}  // namespace azsim
