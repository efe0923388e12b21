#include "azsim/arm/DiskShapes.h"

#include <boost/algorithm/string/predicate.hpp>

#include "azsim/auth/IsoTime.h"
#include "azsim/model/ResourceIds.h"

namespace azsim {

namespace {

using boost::algorithm::iequals;

nlohmann::json DiskTagsJson(const Tags& tags) {
    nlohmann::json out = nlohmann::json::object();
    for (const auto& [name, value] : tags) out[name] = value;
    return out;
}

// What the disk was made from: nothing, an upload, a page blob (imported) or a snapshot or disk (copied).
nlohmann::json CreationData(const StateDocument& doc, const std::string& subscription, const ManagedDisk& disk) {
    if (disk.uploadSizeBytes > 0) return {{"createOption", "Upload"}, {"uploadSizeBytes", disk.uploadSizeBytes}};
    if (disk.sourceId.empty()) return {{"createOption", "Empty"}};
    const std::optional<BlobUri> uri = ParseBlobUri(disk.sourceId);
    if (!uri) return {{"createOption", "Copy"}, {"sourceResourceId", disk.sourceId}};
    nlohmann::json data = {{"createOption", "Import"}, {"sourceUri", disk.sourceId}};
    if (const StorageAccount* account = doc.findStorageAccount(uri->account))
        data["storageAccountId"] = BuildResourceId(
            {subscription, account->resourceGroup, "Microsoft.Storage", "storageAccounts", account->name, "", ""});
    return data;
}

// A disk of a VM is "Attached" whatever its record says ("Reserved" while the VM is deallocated);
// a detached one is never.
std::string DiskState(const ManagedDisk& disk, const VirtualMachine* vm) {
    if (vm) return vm->powerState == PowerState::Deallocated ? "Reserved" : "Attached";
    return disk.state == "Attached" || disk.state.empty() ? "Unattached" : disk.state;
}

}  // namespace

const VirtualMachine* VmWithDisk(const StateDocument& doc, const ManagedDisk& disk) {
    for (const VirtualMachine& vm : doc.vms)
        for (const DiskAttachment& attachment : vm.disks)
            if (iequals(attachment.id, disk.id)) return &vm;
    return nullptr;
}

std::string DiskSkuTier(const std::string& sku) {
    if (boost::algorithm::istarts_with(sku, "Premium")) return "Premium";
    if (boost::algorithm::istarts_with(sku, "Ultra")) return "Ultra";
    return "Standard";
}

nlohmann::json ManagedDiskJson(const StateDocument& doc, const std::string& subscription, const ManagedDisk& disk) {
    const VirtualMachine* vm = VmWithDisk(doc, disk);
    nlohmann::json properties = {
        {"creationData", CreationData(doc, subscription, disk)},
        {"diskSizeGB", disk.sizeBytes >> 30},
        {"diskSizeBytes", disk.sizeBytes},
        {"timeCreated", formatIsoTime(disk.createdAt)},
        {"provisioningState", "Succeeded"},
        {"diskState", DiskState(disk, vm)},
        {"encryption", {{"type", "EncryptionAtRestWithPlatformKey"}}},
        {"networkAccessPolicy", "AllowAll"}};
    if (!disk.osType.empty()) {
        properties["osType"] = disk.osType;
        properties["hyperVGeneration"] = iequals(disk.firmware, "efi") ? "V2" : "V1";
    }
    nlohmann::json out = {{"id", disk.id},
                          {"name", disk.name},
                          {"type", "Microsoft.Compute/disks"},
                          {"location", disk.region},
                          {"tags", DiskTagsJson(disk.tags)},
                          {"sku", {{"name", disk.sku}, {"tier", DiskSkuTier(disk.sku)}}},
                          {"properties", properties}};
    if (vm) out["managedBy"] = VirtualMachineId(subscription, vm->resourceGroup, vm->name);
    if (!disk.zones.empty()) {
        out["zones"] = nlohmann::json::array();
        for (std::size_t start = 0; start <= disk.zones.size();) {
            const std::size_t end = std::min(disk.zones.find(',', start), disk.zones.size());
            out["zones"].push_back(disk.zones.substr(start, end - start));
            start = end + 1;
        }
    }
    return out;
}

}  // namespace azsim
