#include "cloudsdk/VmDataDisks.h"

namespace AzureSDKCppBridge {

namespace {

using nlohmann::json;

json OsDiskOf(const json& vm) {
    const json none = json::object();
    return vm.value("properties", none).value("storageProfile", none).value("osDisk", none);
}

}  // namespace

std::string VmResourceId(const std::string& subscription, const std::string& group, const std::string& name) {
    return "/subscriptions/" + subscription + "/resourceGroups/" + group +
           "/providers/Microsoft.Compute/virtualMachines/" + name;
}

bool HasManagedDisks(const json& vm) { return OsDiskOf(vm).contains("managedDisk"); }

json DataDiskOf(const json& vm, const VMInfoStructs::SDisk& entry) {
    json disk = {{"lun", entry.unitNumber}, {"createOption", "Attach"}};
    if (!entry.managedDiskId.empty())
        disk["managedDisk"] = {{"id", entry.managedDiskId}};
    else
        disk["vhd"] = {{"uri", BlobUrlOfEntry(entry, OsDiskOf(vm).value("vhd", json::object()).value("uri", ""))}};
    return disk;
}

std::string BlobUrlOfEntry(const VMInfoStructs::SDisk& entry, const std::string& likeUrl) {
    if (!entry.uri.empty()) return entry.uri;
    const std::string::size_type slash = entry.storageAccount.find('\\');
    const std::string account = entry.storageAccount.substr(0, slash);
    const std::string container = slash == std::string::npos ? "vhds" : entry.storageAccount.substr(slash + 1);
    const std::string::size_type host = likeUrl.find("://"), dot = likeUrl.find('.', host);
    const std::string::size_type end = likeUrl.find('/', host == std::string::npos ? 0 : host + 3);
    if (account.empty() || entry.name.empty() || dot == std::string::npos || end == std::string::npos) return "";
    return "https://" + account + likeUrl.substr(dot, end - dot) + "/" + container + "/" + entry.name;
}

}  // namespace AzureSDKCppBridge
