// Reconfiguring an existing VM, its size and its data disks by LUN, through Resource Manager: the
// VM is read, its size and data-disk list changed in what was read, and the whole body put back.
// The cloud checks the change (size offered and fitting, disks existing and free, LUNs distinct).
#include <boost/algorithm/string/predicate.hpp>

#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/VmDataDisks.h"
#include "cloudsdk/rest/ApiVersions.h"

namespace AzureSDKCppBridge {

namespace {

// The storage profile's data-disk list for the record's non-OS entries.
nlohmann::json ListedDataDisks(const nlohmann::json& vm, const VMInfoStructs::SVMInfo& record) {
    nlohmann::json disks = nlohmann::json::array();
    for (const VMInfoStructs::SDisk& entry : record.disks)
        if (!entry.isOsDisk) disks.push_back(DataDiskOf(vm, entry));
    return disks;
}

}  // namespace

bool CAzureSDKCppBridge::ReconfigureVM(const VMInfoStructs::SVMInfo& vmInfo) try {
    nlohmann::json args = {{"vmName", vmInfo.name}, {"vmGuid", vmInfo.guid}, {"resourceGroup", vmInfo.resourceGroup},
                           {"vmSize", vmInfo.vmSize}, {"disks", vmInfo.disks.size()}};
    if (std::optional<Refusal> refusal = impl_->begin("ReconfigureVM", args)) return Fail(refusal->code, refusal->text);
    const std::string id = VmResourceId(impl_->arm->subscriptionId(), vmInfo.resourceGroup, vmInfo.name);
    rest::ArmResult result = impl_->arm->get(id, rest::kComputeVersion);
    if (!result.ok) return Fail(result.code, result.text);
    nlohmann::json vm = result.body;
    if (!vmInfo.guid.empty() && !boost::algorithm::iequals(vm["properties"].value("vmId", ""), vmInfo.guid))
        return Fail(SDK_ERR_NOT_FOUND, "ResourceNotFound: No VM named '" + vmInfo.name + "' with GUID '" +
                                           vmInfo.guid + "' exists in resource group '" + vmInfo.resourceGroup + "'.");
    if (!vmInfo.vmSize.empty()) vm["properties"]["hardwareProfile"]["vmSize"] = vmInfo.vmSize;
    // An empty disk list leaves the disks as they are.
    if (!vmInfo.disks.empty()) vm["properties"]["storageProfile"]["dataDisks"] = ListedDataDisks(vm, vmInfo);
    result = impl_->arm->put(id, rest::kComputeVersion, vm);
    return result.ok || Fail(result.code, result.text);
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
