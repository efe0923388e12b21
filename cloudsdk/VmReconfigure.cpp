// Reconfiguring an existing VM, its size and its data disks by LUN, through Resource Manager: the
// VM is read, its size and data-disk list changed in what was read, and the whole body put back.
// The cloud checks the change (size offered and fitting, disks existing and free, LUNs distinct).
#include <boost/algorithm/string/predicate.hpp>

#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/rest/ApiVersions.h"

namespace AzureSDKCppBridge {

namespace {

// The URL of the page blob a disk entry names: its own URL, else "account" or "account\container"
// (container "vhds" when absent) with the entry's name as the blob, on the blob host suffix of
// `likeUrl`, a blob URL of the same cloud. Empty when the entry names no blob.
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

// The storage profile's data-disk list for the record's non-OS entries, in the form of the VM's
// kind: managed disks by id, page blobs by URL.
nlohmann::json DataDisks(const nlohmann::json& vm, const VMInfoStructs::SVMInfo& record) {
    const nlohmann::json none = nlohmann::json::object();
    const nlohmann::json osDisk = vm.value("properties", none).value("storageProfile", none).value("osDisk", none);
    const bool managed = osDisk.contains("managedDisk");
    const std::string likeUrl = osDisk.value("vhd", none).value("uri", "");
    nlohmann::json disks = nlohmann::json::array();
    for (const VMInfoStructs::SDisk& entry : record.disks) {
        if (entry.isOsDisk) continue;
        nlohmann::json disk = {{"lun", entry.unitNumber}, {"createOption", "Attach"}};
        if (managed)
            disk["managedDisk"] = {{"id", entry.managedDiskId}};
        else
            disk["vhd"] = {{"uri", BlobUrlOfEntry(entry, likeUrl)}};
        disks.push_back(disk);
    }
    return disks;
}

}  // namespace

bool CAzureSDKCppBridge::ReconfigureVM(const VMInfoStructs::SVMInfo& vmInfo) try {
    nlohmann::json args = {{"vmName", vmInfo.name}, {"vmGuid", vmInfo.guid}, {"resourceGroup", vmInfo.resourceGroup},
                           {"vmSize", vmInfo.vmSize}, {"disks", vmInfo.disks.size()}};
    if (std::optional<Refusal> refusal = impl_->begin("ReconfigureVM", args)) return Fail(refusal->code, refusal->text);
    const std::string id = "/subscriptions/" + impl_->arm->subscriptionId() + "/resourceGroups/" +
                           vmInfo.resourceGroup + "/providers/Microsoft.Compute/virtualMachines/" + vmInfo.name;
    rest::ArmResult result = impl_->arm->get(id, rest::kComputeVersion);
    if (!result.ok) return Fail(result.code, result.text);
    nlohmann::json vm = result.body;
    if (!vmInfo.guid.empty() && !boost::algorithm::iequals(vm["properties"].value("vmId", ""), vmInfo.guid))
        return Fail(SDK_ERR_NOT_FOUND, "ResourceNotFound: No VM named '" + vmInfo.name + "' with GUID '" +
                                           vmInfo.guid + "' exists in resource group '" + vmInfo.resourceGroup + "'.");
    if (!vmInfo.vmSize.empty()) vm["properties"]["hardwareProfile"]["vmSize"] = vmInfo.vmSize;
    // An empty disk list leaves the disks as they are.
    if (!vmInfo.disks.empty()) vm["properties"]["storageProfile"]["dataDisks"] = DataDisks(vm, vmInfo);
    result = impl_->arm->put(id, rest::kComputeVersion, vm);
    return result.ok || Fail(result.code, result.text);
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
