#include "azsim/arm/ArmShapes.h"

#include <boost/algorithm/string/predicate.hpp>

#include <map>
#include <vector>

#include "azsim/arm/ApiVersions.h"
#include "azsim/model/ResourceIds.h"

namespace azsim {

namespace {

nlohmann::json TagsJson(const Tags& tags) {
    nlohmann::json out = nlohmann::json::object();
    for (const auto& [name, value] : tags) out[name] = value;
    return out;
}

nlohmann::json Status(const std::string& code, const std::string& display) {
    return {{"code", code}, {"level", "Info"}, {"displayStatus", display}};
}

// A disk's encryption settings: the OS disk of a VM encrypted with its own keys names them as
// Key Vault references (the secret of the disk key, the key that wraps it, and their vault).
nlohmann::json EncryptionSettings(const VirtualMachine& vm, const DiskAttachment& attachment) {
    nlohmann::json settings = {{"enabled", true}};
    const DiskEncryption& keys = vm.encryption;
    if (attachment.lun >= 0 || !keys.encrypted || keys.dekBackup.empty()) return settings;
    const nlohmann::json vault = {{"id", keys.keyVault}};
    settings["diskEncryptionKey"] = {{"secretUrl", keys.dekBackup}, {"sourceVault", vault}};
    if (!keys.kekBackup.empty()) settings["keyEncryptionKey"] = {{"keyUrl", keys.kekBackup}, {"sourceVault", vault}};
    return settings;
}

// The disk entry of a storage profile: a managed disk by id, an unmanaged one by its VHD's URI.
// Besides the size in GB it gives the exact size in bytes ("diskSizeBytes"), and whether the disk
// is encrypted ("encryptionSettings"), by its own mark or by the VM's encryption.
nlohmann::json DiskJson(const StateDocument& doc, const DiskAttachment& attachment, const VirtualMachine& vm) {
    nlohmann::json disk = {{"lun", attachment.lun}, {"createOption", "Attach"}};
    bool encrypted = vm.encryption.encrypted && (attachment.lun < 0 || !vm.encryption.osDiskOnly);
    if (const ManagedDisk* managed = doc.findManagedDisk(attachment.id)) {
        disk["name"] = managed->name;
        disk["managedDisk"] = {{"id", managed->id}, {"storageAccountType", managed->sku}};
        disk["diskSizeGB"] = managed->sizeBytes >> 30;
        disk["diskSizeBytes"] = managed->sizeBytes;
        encrypted = encrypted || managed->encrypted;
    } else {
        disk["name"] = attachment.id.substr(attachment.id.rfind('/') + 1);
        disk["vhd"] = {{"uri", attachment.id}};
        const std::optional<BlobUri> uri = ParseBlobUri(attachment.id);
        if (const UnmanagedDisk* blob = uri ? doc.findUnmanagedDisk(uri->key()) : nullptr) {
            disk["diskSizeGB"] = blob->sizeBytes >> 30;
            disk["diskSizeBytes"] = blob->sizeBytes;
            encrypted = encrypted || blob->encrypted;
        }
    }
    if (encrypted) disk["encryptionSettings"] = EncryptionSettings(vm, attachment);
    if (attachment.lun < 0) {  // the OS disk has no LUN
        disk.erase("lun");
        disk["osType"] = vm.osType;
    }
    return disk;
}

nlohmann::json StorageProfile(const StateDocument& doc, const VirtualMachine& vm) {
    nlohmann::json profile = {{"dataDisks", nlohmann::json::array()}};
    for (const DiskAttachment& attachment : vm.disks) {
        if (attachment.lun < 0)
            profile["osDisk"] = DiskJson(doc, attachment, vm);
        else
            profile["dataDisks"].push_back(DiskJson(doc, attachment, vm));
    }
    return profile;
}

// The resource types of each provider the simulator models.
const std::map<std::string, std::vector<std::string>>& ProviderTypes() {
    static const std::map<std::string, std::vector<std::string>> types = {
        {"Microsoft.Compute", {"virtualMachines", "disks", "snapshots", "locations", "locations/operations"}},
        {"Microsoft.Network", {"networkInterfaces", "virtualNetworks", "publicIPAddresses", "networkSecurityGroups"}},
        {"Microsoft.Resources", {"resourceGroups", "deployments", "subscriptions", "tenants"}},
        {"Microsoft.Storage", {"storageAccounts"}},
    };
    return types;
}

}  // namespace

nlohmann::json LocationJson(const std::string& subscription, const Region& region) {
    const std::string display = region.displayName.empty() ? region.name : region.displayName;
    return {{"id", "/subscriptions/" + subscription + "/locations/" + region.name},
            {"name", region.name},
            {"type", "Region"},
            {"displayName", display},
            {"regionalDisplayName", display},
            {"metadata", {{"regionType", "Physical"}}}};
}

nlohmann::json ProviderJson(const StateDocument& doc, const std::string& subscription, const std::string& provider) {
    for (const auto& [name, types] : ProviderTypes()) {
        if (!boost::algorithm::iequals(name, provider)) continue;
        nlohmann::json locations = nlohmann::json::array();
        for (const Region& region : doc.regions) locations.push_back(region.displayName);
        nlohmann::json resourceTypes = nlohmann::json::array();
        for (const std::string& type : types)
            resourceTypes.push_back(
                {{"resourceType", type}, {"locations", locations}, {"apiVersions", ApiVersionsOf(name)}});
        return {{"id", "/subscriptions/" + subscription + "/providers/" + name},
                {"namespace", name},
                {"registrationState", "Registered"},
                {"registrationPolicy", "RegistrationRequired"},
                {"resourceTypes", resourceTypes}};
    }
    return nullptr;
}

nlohmann::json ProviderListJson(const StateDocument& doc, const std::string& subscription) {
    nlohmann::json value = nlohmann::json::array();
    for (const auto& entry : ProviderTypes()) value.push_back(ProviderJson(doc, subscription, entry.first));
    return {{"value", value}};
}

std::string PowerStateCode(PowerState state) {
    switch (state) {
        case PowerState::Running:
            return "PowerState/running";
        case PowerState::Stopped:
            return "PowerState/stopped";
        case PowerState::Deallocated:
            return "PowerState/deallocated";
        case PowerState::Unknown:
            break;
    }
    return std::string();
}

nlohmann::json SubscriptionJson(const Subscription& subscription) {
    return {{"id", "/subscriptions/" + subscription.id},
            {"subscriptionId", subscription.id},
            {"tenantId", subscription.tenantId},
            {"displayName", subscription.name},
            {"state", "Enabled"},
            {"subscriptionPolicies",
             {{"locationPlacementId", "Public_2014-09-01"}, {"quotaId", "PayAsYouGo_2014-09-01"},
              {"spendingLimit", "Off"}}},
            {"authorizationSource", "RoleBased"},
            {"managedByTenants", nlohmann::json::array()}};
}

nlohmann::json TenantJson(const std::string& tenantId) {
    return {{"id", "/tenants/" + tenantId}, {"tenantId", tenantId}, {"tenantCategory", "Home"}};
}

nlohmann::json ResourceGroupJson(const std::string& subscription, const ResourceGroup& group) {
    return {{"id", "/subscriptions/" + subscription + "/resourceGroups/" + group.name},
            {"name", group.name},
            {"type", "Microsoft.Resources/resourceGroups"},
            {"location", group.region},
            {"tags", TagsJson(group.tags)},
            {"properties", {{"provisioningState", "Succeeded"}}}};
}

nlohmann::json VirtualMachineJson(const StateDocument& doc, const std::string& subscription,
                                  const VirtualMachine& vm, bool withInstanceView) {
    nlohmann::json nics = nlohmann::json::array();
    for (std::size_t i = 0; i < vm.nics.size(); ++i)
        nics.push_back({{"id", NetworkInterfaceId(subscription, vm.resourceGroup, vm.nics[i].name)},
                        {"properties", {{"primary", i == 0}}}});
    nlohmann::json properties = {
        {"vmId", vm.guid},
        {"hardwareProfile", {{"vmSize", vm.size}}},
        {"storageProfile", StorageProfile(doc, vm)},
        {"networkProfile", {{"networkInterfaces", nics}}},
        {"provisioningState", "Succeeded"}};
    if (!vm.firmware.empty()) properties["securityProfile"] = {{"uefiSettings", {{"secureBootEnabled", false}}}};
    if (withInstanceView) {
        nlohmann::json statuses = {Status("ProvisioningState/succeeded", "Provisioning succeeded")};
        const std::string power = PowerStateCode(vm.powerState);
        if (!power.empty()) statuses.push_back(Status(power, "VM " + power.substr(power.find('/') + 1)));
        // Each disk's encryption as the instance view shows it, the OS disk's and the data disks' alike.
        nlohmann::json disks = nlohmann::json::array();
        for (const DiskAttachment& attachment : vm.disks) {
            const nlohmann::json entry = DiskJson(doc, attachment, vm);
            disks.push_back({{"name", entry["name"]}, {"statuses", nlohmann::json::array({statuses.front()})}});
            if (entry.contains("encryptionSettings"))
                disks.back()["encryptionSettings"] = nlohmann::json::array({entry["encryptionSettings"]});
        }
        properties["instanceView"] = {{"hyperVGeneration", vm.firmware.empty() ? "V1" : "V2"},
                                      {"statuses", statuses},
                                      {"disks", disks}};
    }
    nlohmann::json out = {{"id", VirtualMachineId(subscription, vm.resourceGroup, vm.name)},
                          {"name", vm.name},
                          {"type", "Microsoft.Compute/virtualMachines"},
                          {"location", vm.region},
                          {"tags", TagsJson(vm.tags)},
                          {"properties", properties}};
    if (!vm.zones.empty()) {
        out["zones"] = nlohmann::json::array();
        for (std::size_t start = 0; start <= vm.zones.size();) {
            std::size_t end = std::min(vm.zones.find(',', start), vm.zones.size());
            out["zones"].push_back(vm.zones.substr(start, end - start));
            start = end + 1;
        }
    }
    return out;
}

}  // namespace azsim
