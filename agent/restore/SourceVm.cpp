#include "agent/restore/SourceVm.h"

#include <nlohmann/json.hpp>

#include "agent/store/StoreError.h"

namespace vsagent {

namespace {

using nlohmann::json;

[[noreturn]] void Bad(const std::string& field, const std::string& why) {
    throw StoreError("the VM description kept with the backup is not usable: " + field + " " + why);
}

const json& Member(const json& object, const char* name, const std::string& where) {
    if (!object.is_object() || !object.contains(name)) Bad(where + "." + name, "is missing");
    return object[name];
}

std::string Text(const json& object, const char* name, const std::string& where, bool required) {
    if (!object.is_object() || !object.contains(name)) {
        if (required) Bad(where + "." + name, "is missing");
        return std::string();
    }
    const json& value = object[name];
    if (!value.is_string()) Bad(where + "." + name, "is not text");
    return value.get<std::string>();
}

// "https://<account>.blob.core.windows.net/..." -> "<account>"; empty when the URL has another form.
std::string AccountOfBlobUrl(const std::string& url) {
    const std::string scheme = "https://";
    if (url.rfind(scheme, 0) != 0) return std::string();
    const std::string::size_type dot = url.find('.', scheme.size());
    const std::string::size_type slash = url.find('/', scheme.size());
    if (dot == std::string::npos || (slash != std::string::npos && slash < dot)) return std::string();
    return url.substr(scheme.size(), dot - scheme.size());
}

bool Encrypted(const json& disk, const std::string& where) {
    if (!disk.contains("encryptionSettings")) return false;
    const json& settings = disk["encryptionSettings"];
    if (!settings.is_object()) Bad(where + ".encryptionSettings", "is not an object");
    if (!settings.contains("enabled")) return false;
    if (!settings["enabled"].is_boolean()) Bad(where + ".encryptionSettings.enabled", "is neither true nor false");
    return settings["enabled"].get<bool>();
}

// "/subscriptions/<id>/..." -> "<id>".
std::string SubscriptionOf(const std::string& resourceId) {
    const std::string prefix = "/subscriptions/";
    if (resourceId.rfind(prefix, 0) != 0) return std::string();
    return resourceId.substr(prefix.size(), resourceId.find('/', prefix.size()) - prefix.size());
}

}  // namespace

bool SourceVm::diskEncrypted(int lun, bool osDisk) const {
    auto found = encrypted.find(osDisk ? -1 : lun);
    return found != encrypted.end() && found->second;
}

SourceVm SourceVm::Parse(const std::string& text) {
    const json document = json::parse(text, nullptr, false);
    if (document.is_discarded() || !document.is_object()) Bad("the document", "is not a JSON object");
    SourceVm vm;
    vm.name = Text(document, "name", "", true);
    vm.region = Text(document, "location", "", false);
    vm.subscriptionId = SubscriptionOf(Text(document, "id", "", false));
    if (document.contains("zones")) {
        const json& zones = document["zones"];
        if (zones.is_string()) {
            vm.zones = zones.get<std::string>();
        } else if (zones.is_array()) {
            for (const json& zone : zones) {
                if (!zone.is_string()) Bad(".zones", "holds a value that is not text");
                vm.zones += (vm.zones.empty() ? "" : ",") + zone.get<std::string>();
            }
        } else {
            Bad(".zones", "is neither text nor a list");
        }
    }
    const json& properties = Member(document, "properties", "");
    vm.size = Text(Member(properties, "hardwareProfile", ".properties"), "vmSize", ".properties.hardwareProfile", true);
    if (properties.contains("securityProfile")) {
        const json& security = properties["securityProfile"];
        vm.generation2 = security.is_object() && security.contains("uefiSettings");
    }
    const json& storage = Member(properties, "storageProfile", ".properties");
    const json& os = Member(storage, "osDisk", ".properties.storageProfile");
    if (!os.is_object()) Bad(".properties.storageProfile.osDisk", "is not an object");
    vm.managed = os.contains("managedDisk");
    if (!vm.managed) {
        const json& vhd = Member(os, "vhd", ".properties.storageProfile.osDisk");
        vm.storageAccount = AccountOfBlobUrl(Text(vhd, "uri", ".properties.storageProfile.osDisk.vhd", true));
        if (vm.storageAccount.empty()) Bad(".properties.storageProfile.osDisk.vhd.uri", "is not a blob URL");
    }
    vm.encrypted[-1] = Encrypted(os, ".properties.storageProfile.osDisk");
    if (storage.contains("dataDisks")) {
        const json& data = storage["dataDisks"];
        if (!data.is_array()) Bad(".properties.storageProfile.dataDisks", "is not a list");
        for (const json& disk : data) {
            if (!disk.is_object() || !disk.contains("lun") || !disk["lun"].is_number_integer())
                Bad(".properties.storageProfile.dataDisks[]", "has a disk without a whole-number lun");
            const long long lun = disk["lun"].get<long long>();
            if (lun < 0 || lun > 63) Bad(".properties.storageProfile.dataDisks[].lun", "is out of range");
            vm.encrypted[static_cast<int>(lun)] = Encrypted(disk, ".properties.storageProfile.dataDisks[]");
        }
    }
    return vm;
}

}  // namespace vsagent
