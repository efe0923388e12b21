// The VM's resource description as the cloud returns it, and its key backups.
#include <boost/algorithm/string/predicate.hpp>

#include "azsim/model/ResourceIds.h"
#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/SdkErrorCodes.h"

namespace AzureSDKCppBridge {

namespace {

using nlohmann::json;

json DiskDescription(const azsim::StateDocument& doc, const azsim::VirtualMachine& vm,
                     const azsim::DiskAttachment& attachment) {
    json disk = {{"createOption", "Attach"}, {"caching", attachment.lun < 0 ? "ReadWrite" : "None"}};
    if (attachment.lun >= 0) disk["lun"] = attachment.lun;
    if (vm.managed) {
        const azsim::ManagedDisk* md = doc.findManagedDisk(attachment.id);
        disk["name"] = md ? md->name : "";
        disk["diskSizeGB"] = md ? static_cast<long long>(md->sizeBytes >> 30) : 0;
        disk["managedDisk"] = {{"id", attachment.id}, {"storageAccountType", md ? md->sku : ""}};
    } else {
        std::optional<azsim::BlobUri> uri = azsim::ParseBlobUri(attachment.id);
        disk["name"] = uri ? uri->blob : attachment.id;
        disk["vhd"] = {{"uri", attachment.id}};
    }
    if (vm.encryption.encrypted && (attachment.lun < 0 || !vm.encryption.osDiskOnly))
        disk["encryptionSettings"] = {{"enabled", true},
                                      {"diskEncryptionKey", {{"sourceVault", {{"id", vm.encryption.keyVault}}}}}};
    return disk;
}

json VmDescription(const azsim::StateDocument& doc, const azsim::VirtualMachine& vm) {
    const std::string& sub = doc.subscription().id;
    json storage = {{"dataDisks", json::array()}};
    for (const azsim::DiskAttachment& attachment : vm.disks) {
        json disk = DiskDescription(doc, vm, attachment);
        if (attachment.lun < 0) {
            disk["osType"] = vm.osType;
            storage["osDisk"] = disk;
        } else {
            storage["dataDisks"].push_back(disk);
        }
    }
    json nics = json::array();
    for (const azsim::NetworkCard& nic : vm.nics)
        nics.push_back({{"id", "/subscriptions/" + sub + "/resourceGroups/" + vm.resourceGroup +
                                   "/providers/Microsoft.Network/networkInterfaces/" + nic.name}});
    json description = {{"name", vm.name},
                        {"id", azsim::VirtualMachineId(sub, vm.resourceGroup, vm.name)},
                        {"type", "Microsoft.Compute/virtualMachines"},
                        {"location", vm.region},
                        {"tags", vm.tags},
                        {"properties",
                         {{"vmId", vm.guid},
                          {"hardwareProfile", {{"vmSize", vm.size}}},
                          {"storageProfile", storage},
                          {"networkProfile", {{"networkInterfaces", nics}}},
                          {"provisioningState", "Succeeded"}}}};
    if (!vm.zones.empty()) description["zones"] = vm.zones;
    if (boost::algorithm::iequals(vm.firmware, "efi"))
        description["properties"]["securityProfile"] = {{"uefiSettings", {{"secureBootEnabled", true}}}};
    return description;
}

}  // namespace

bool CAzureSDKCppBridge::GetVMConfigurationAndKeyBackups(const std::string& resourceGroup, const std::string& vmName,
                                                         std::string& configText, std::string& dekBackup,
                                                         std::string& kekBackup) try {
    if (std::optional<Refusal> refusal = impl_->begin("GetVMConfigurationAndKeyBackups",
                                                      {{"resourceGroup", resourceGroup}, {"vmName", vmName}}))
        return Fail(refusal->code, refusal->text);
    try {
        azsim::StateDocument doc = impl_->localState().load();
        const azsim::VirtualMachine* vm = doc.findVm(vmName, resourceGroup);
        if (!vm)
            return Fail(SDK_ERR_NOT_FOUND, "ResourceNotFound: The Resource 'Microsoft.Compute/virtualMachines/" +
                                               vmName + "' under resource group '" + resourceGroup +
                                               "' was not found.");
        configText = VmDescription(doc, *vm).dump(2);
        dekBackup = vm->encryption.encrypted ? vm->encryption.dekBackup : std::string();
        kekBackup = vm->encryption.encrypted ? vm->encryption.kekBackup : std::string();
        // Success, with a note for the caller: only the OS disk of this VM is encrypted.
        impl_->lastErrors.set(
            vm->encryption.encrypted && vm->encryption.osDiskOnly ? SDK_ERR_OS_DISK_ONLY_ENCRYPTED : 0, "");
    } catch (const azsim::Error& e) {
        return Fail(SDK_ERR_GENERAL, e.what());
    }
    return true;
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
