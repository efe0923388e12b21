#include "azsim/arm/VmUpdates.h"

#include <algorithm>
#include <set>

#include <boost/algorithm/string/predicate.hpp>

#include "azsim/model/ResourceIds.h"

namespace azsim {

using boost::algorithm::iequals;

namespace {

bool SameBlobKey(const BlobKey& a, const BlobKey& b) {
    return iequals(a.account, b.account) && iequals(a.container, b.container) && a.name == b.name;
}

// Whether two attachment ids name one disk: managed disk ids in any case, page blobs by their key.
bool SameDisk(const std::string& a, const std::string& b) {
    const std::optional<BlobUri> x = ParseBlobUri(a), y = ParseBlobUri(b);
    if (x && y) return SameBlobKey(x->key(), y->key());
    return !x && !y && iequals(a, b);
}

}  // namespace

const VirtualMachine* VmHoldingDisk(const StateDocument& doc, const std::string& id) {
    for (const VirtualMachine& vm : doc.vms)
        for (const DiskAttachment& a : vm.disks)
            if (SameDisk(a.id, id)) return &vm;
    return nullptr;
}

const std::string* TextAt(const nlohmann::json& entry, const char* object, const char* field) {
    const auto outer = entry.find(object);
    if (outer == entry.end() || !outer->is_object()) return nullptr;
    const auto inner = outer->find(field);
    return inner != outer->end() && inner->is_string() ? inner->get_ptr<const std::string*>() : nullptr;
}

namespace {

VmRefusal Refuse(int status, const std::string& code, const std::string& message) {
    return {status, code, message};
}

// The attachment id a data-disk entry names on `vm`: a managed disk's id as the disk has it, or a
// page blob's URI; refused when the disk is missing, of the other kind or attached to another VM.
VmRefusal AttachmentId(const StateDocument& doc, const PageBlobStore& blobs, const VirtualMachine& vm,
                       const nlohmann::json& entry, std::string& id) {
    const std::string* managedId = TextAt(entry, "managedDisk", "id");
    const std::string* uri = TextAt(entry, "vhd", "uri");
    if (vm.managed && uri)
        return Refuse(409, "OperationNotAllowed",
                      "Addition of a VHD blob based disk to VM with managed disks is not supported.");
    if (!vm.managed && managedId)
        return Refuse(409, "OperationNotAllowed",
                      "Addition of a managed disk to a VM with blob based disks is not supported.");
    if (vm.managed) {
        if (!managedId) return Refuse(400, "InvalidParameter", "Required parameter 'managedDisk.id' is missing.");
        const ManagedDisk* disk = doc.findManagedDisk(*managedId);
        if (!disk) return Refuse(404, "NotFound", "Disk '" + *managedId + "' was not found.");
        id = disk->id;
    } else {
        if (!uri) return Refuse(400, "InvalidParameter", "Required parameter 'vhd.uri' is missing.");
        const std::optional<BlobUri> blob = ParseBlobUri(*uri);
        if (!blob || !blob->snapshot.empty())
            return Refuse(400, "InvalidParameter", "The VHD URI '" + *uri + "' does not name a page blob.");
        if (!blobs.exists(blob->key()))
            return Refuse(404, "BlobNotFound", "The VHD blob '" + *uri + "' does not exist.");
        id = PageBlobUri(blob->key());
    }
    const VirtualMachine* owner = VmHoldingDisk(doc, id);
    if (owner && !iequals(owner->guid, vm.guid))
        return Refuse(409, "OperationNotAllowed",
                      "Disk '" + id + "' cannot be attached: it is already attached to VM '" + owner->name + "'.");
    return {};
}

// The VM's disks as the body lists them: its OS disk, then the data disks at their LUNs.
VmRefusal ListedDisks(const StateDocument& doc, const PageBlobStore& blobs, const VirtualMachine& vm,
                      const nlohmann::json& list, std::vector<DiskAttachment>& out) {
    if (!list.is_array()) return Refuse(400, "InvalidParameter", "'storageProfile.dataDisks' is not a list.");
    for (const DiskAttachment& a : vm.disks)
        if (a.lun < 0) out.push_back(a);
    std::set<int> luns;
    for (const nlohmann::json& entry : list) {
        const auto lun = entry.is_object() ? entry.find("lun") : entry.end();
        if (!entry.is_object() || lun == entry.end() || !lun->is_number_integer() || *lun < 0 || *lun > 63)
            return Refuse(400, "InvalidParameter", "Each data disk needs a 'lun' from 0 to 63.");
        const auto option = entry.find("createOption");
        if (option != entry.end() && !(option->is_string() && iequals(option->get<std::string>(), "Attach")))
            return Refuse(400, "InvalidParameter",
                          "Data disk createOption " + option->dump() + " is not supported here; only 'Attach' is.");
        if (!luns.insert(lun->get<int>()).second)
            return Refuse(409, "Conflict",
                          "A disk at LUN " + std::to_string(lun->get<int>()) + " already exists on VM '" + vm.name +
                              "'.");
        std::string id;
        if (VmRefusal refusal = AttachmentId(doc, blobs, vm, entry, id); refusal.status) return refusal;
        for (const DiskAttachment& a : out)
            if (SameDisk(a.id, id))
                return Refuse(400, "InvalidParameter", "Disk '" + id + "' is listed more than once.");
        out.push_back({id, lun->get<int>()});
    }
    return {};
}

bool UsesPremium(const StateDocument& doc, const std::vector<DiskAttachment>& disks) {
    for (const DiskAttachment& a : disks) {
        if (const ManagedDisk* disk = doc.findManagedDisk(a.id)) {
            if (boost::algorithm::istarts_with(disk->sku, "Premium")) return true;
        } else if (const std::optional<BlobUri> uri = ParseBlobUri(a.id)) {
            const StorageAccount* account = doc.findStorageAccount(uri->account);
            if (account && boost::algorithm::istarts_with(account->sku, "Premium")) return true;
        }
    }
    return false;
}

VmRefusal SizeRefusal(const StateDocument& doc, const VirtualMachine& vm, const VmSize& size,
                      const std::vector<DiskAttachment>& disks) {
    const auto data = std::count_if(disks.begin(), disks.end(), [](const DiskAttachment& a) { return a.lun >= 0; });
    if (data > size.maxDataDisks)
        return Refuse(409, "OperationNotAllowed",
                      "The maximum number of data disks allowed to be attached to a VM of size '" + size.name +
                          "' is " + std::to_string(size.maxDataDisks) + "; " + std::to_string(data) + " were given.");
    if (static_cast<int>(vm.nics.size()) > size.maxNics)
        return Refuse(409, "OperationNotAllowed",
                      "The size '" + size.name + "' takes at most " + std::to_string(size.maxNics) +
                          " network interfaces; the VM has " + std::to_string(vm.nics.size()) + ".");
    if (iequals(vm.firmware, "efi") && !size.gen2Supported)
        return Refuse(400, "BadRequest", "The size '" + size.name + "' does not support Generation 2 VMs.");
    if (!size.premiumIO && UsesPremium(doc, disks))
        return Refuse(400, "BadRequest",
                      "The size '" + size.name + "' does not support premium storage, which the VM's disks use.");
    return {};
}

VmRefusal ReadTags(const nlohmann::json& body, Tags& tags) {
    const auto found = body.find("tags");
    if (found == body.end() || found->is_null()) return {};
    if (!found->is_object()) return Refuse(400, "InvalidParameter", "'tags' is not an object.");
    tags.clear();
    for (const auto& [name, value] : found->items()) {
        if (!value.is_string()) return Refuse(400, "InvalidParameter", "The value of tag '" + name + "' is not text.");
        tags[name] = value.get<std::string>();
    }
    return {};
}

}  // namespace

VmRefusal UpdateVm(StateDocument& doc, const PageBlobStore& blobs, VirtualMachine& vm, const nlohmann::json& body) {
    if (!body.is_object()) return Refuse(400, "InvalidRequestContent", "The request content is not a JSON object.");
    const nlohmann::json properties = body.value("properties", nlohmann::json::object());
    if (!properties.is_object()) return Refuse(400, "InvalidRequestContent", "'properties' is not an object.");
    const std::string* asked = TextAt(properties, "hardwareProfile", "vmSize");
    const std::string sizeName = asked ? *asked : vm.size;
    const Region* region = doc.findRegion(vm.region);
    const VmSize* size = nullptr;
    if (region)
        for (const VmSize& offered : region->vmSizes)
            if (iequals(offered.name, sizeName)) size = &offered;
    if (!size)
        return Refuse(409, "SkuNotAvailable",
                      "The requested size '" + sizeName + "' is not available in location '" + vm.region + "'.");
    std::vector<DiskAttachment> disks = vm.disks;
    const nlohmann::json storage = properties.value("storageProfile", nlohmann::json::object());
    if (storage.contains("dataDisks")) {
        disks.clear();
        if (VmRefusal refusal = ListedDisks(doc, blobs, vm, storage["dataDisks"], disks); refusal.status)
            return refusal;
    }
    if (VmRefusal refusal = SizeRefusal(doc, vm, *size, disks); refusal.status) return refusal;
    Tags tags = vm.tags;
    if (VmRefusal refusal = ReadTags(body, tags); refusal.status) return refusal;

    // Checked: the disks that leave are detached and kept, the new ones attached.
    for (const DiskAttachment& a : vm.disks)
        if (ManagedDisk* disk = doc.findManagedDisk(a.id)) disk->state = "Unattached";
    for (const DiskAttachment& a : disks)
        if (ManagedDisk* disk = doc.findManagedDisk(a.id)) disk->state = "Attached";
    vm.size = size->name;
    vm.disks = disks;
    vm.tags = tags;
    return {};
}

void RemoveVmKeepingComponents(StateDocument& doc, const std::string& name, const std::string& group) {
    const VirtualMachine* found = doc.findVm(name, group);
    if (!found) return;
    const VirtualMachine vm = *found;
    doc.vms.erase(std::remove_if(doc.vms.begin(), doc.vms.end(),
                                 [&](const VirtualMachine& v) { return iequals(v.guid, vm.guid); }),
                  doc.vms.end());
    for (const DiskAttachment& a : vm.disks)
        if (ManagedDisk* disk = doc.findManagedDisk(a.id)) disk->state = "Unattached";
    const std::string id = VirtualMachineId(doc.subscription().id, vm.resourceGroup, vm.name);
    for (NetworkInterface& nic : doc.networkInterfaces)
        if (iequals(nic.virtualMachine, id)) nic.virtualMachine.clear();
    // A card that names no interface resource becomes one, so that the interface outlives the VM.
    for (const NetworkCard& card : vm.nics) {
        if (doc.findNetworkInterface(card.name, vm.resourceGroup)) continue;
        NetworkInterface nic;
        nic.name = card.name;
        nic.id = NetworkInterfaceId(doc.subscription().id, vm.resourceGroup, card.name);
        nic.resourceGroup = vm.resourceGroup;
        nic.region = vm.region;
        nic.virtualNetwork = card.virtualNetwork;
        nic.subnet = card.subnetId;
        doc.networkInterfaces.push_back(nic);
    }
    for (PublicIpAddress& ip : doc.publicIps)
        if (iequals(ip.virtualMachine, id)) ip.virtualMachine.clear();
}

}  // namespace azsim
