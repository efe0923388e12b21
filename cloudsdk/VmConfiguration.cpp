// The VM's resource description as the cloud returns it, and its key backups: the references to
// the disk encryption key (a Key Vault secret) and the key that wraps it (a Key Vault key) that
// the OS disk's encryption settings hold, which a restore hands back to the new VM.
#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/rest/ApiVersions.h"

namespace AzureSDKCppBridge {

namespace {

using nlohmann::json;

bool EncryptionEnabled(const json& settings) {
    if (settings.is_array()) {
        for (const json& one : settings)
            if (EncryptionEnabled(one)) return true;
        return false;
    }
    return settings.is_object() && settings.value("enabled", false);
}

// Only the OS disk is encrypted: it is, and a data disk is not. A data disk's encryption shows in
// the instance view only (its entry in the model has no settings of its own).
bool OsDiskOnlyEncrypted(const json& properties) {
    const json storage = properties.value("storageProfile", json::object());
    if (!EncryptionEnabled(storage.value("osDisk", json::object()).value("encryptionSettings", json())))
        return false;
    const json viewed = properties.value("instanceView", json::object()).value("disks", json::array());
    for (const json& disk : storage.value("dataDisks", json::array())) {
        bool encrypted = false;
        for (const json& view : viewed)
            if (view.value("name", "") == disk.value("name", ""))
                encrypted = EncryptionEnabled(view.value("encryptionSettings", json()));
        if (!encrypted) return true;
    }
    return false;
}

// The description a backup keeps: the model without its instance view, its zones as one text
// ("1,2"), the form every saved configuration has had, which restores read.
std::string SavedDescription(json vm) {
    vm["properties"].erase("instanceView");
    if (vm.contains("zones") && vm["zones"].is_array()) {
        std::string zones;
        for (const json& zone : vm["zones"]) zones += (zones.empty() ? "" : ",") + zone.get<std::string>();
        vm["zones"] = zones;
    }
    return vm.dump(2);
}

}  // namespace

bool CAzureSDKCppBridge::GetVMConfigurationAndKeyBackups(const std::string& resourceGroup, const std::string& vmName,
                                                         std::string& configText, std::string& dekBackup,
                                                         std::string& kekBackup) try {
    if (std::optional<Refusal> refusal = impl_->begin("GetVMConfigurationAndKeyBackups",
                                                      {{"resourceGroup", resourceGroup}, {"vmName", vmName}}))
        return Fail(refusal->code, refusal->text);
    rest::ArmClient& arm = *impl_->arm;
    const rest::ArmResult vm = arm.get("/subscriptions/" + arm.subscriptionId() + "/resourceGroups/" + resourceGroup +
                                           "/providers/Microsoft.Compute/virtualMachines/" + vmName,
                                       rest::kComputeVersion, "$expand=instanceView");
    if (!vm.ok) return Fail(vm.code, vm.text);
    const json properties = vm.body.value("properties", json::object());
    const json settings =
        properties.value("storageProfile", json::object()).value("osDisk", json::object()).value("encryptionSettings",
                                                                                                  json::object());
    const bool encrypted = EncryptionEnabled(settings);
    configText = SavedDescription(vm.body);
    dekBackup = encrypted ? settings.value("diskEncryptionKey", json::object()).value("secretUrl", "") : "";
    kekBackup = encrypted ? settings.value("keyEncryptionKey", json::object()).value("keyUrl", "") : "";
    // Success, with a note for the caller: only the OS disk of this VM is encrypted.
    impl_->lastErrors.set(OsDiskOnlyEncrypted(properties) ? SDK_ERR_OS_DISK_ONLY_ENCRYPTED : 0, "");
    return true;
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
