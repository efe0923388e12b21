// Deleting, starting and stopping VMs through Resource Manager. A VM is named by its
// name and GUID together, so a VM that took over a name is never deleted in another's place.
#include <boost/algorithm/string/predicate.hpp>

#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/VmRemoval.h"
#include "cloudsdk/rest/ApiVersions.h"
#include "cloudsdk/rest/ResourceLookup.h"

namespace AzureSDKCppBridge {

namespace {

std::string NoSuchVm(const std::string& name, const std::string& guid) {
    return "ResourceNotFound: No VM named '" + name + "'" + (guid.empty() ? "" : " with GUID '" + guid + "'") +
           " exists.";
}

// The VM of that name, and of that GUID when one is given, from the subscription's VM list: its
// JSON is the body, its resource id `id`.
rest::ArmResult FindVmOverRest(rest::ArmClient& arm, const std::string& name, const std::string& guid,
                               std::string& id) {
    rest::ArmResult vms = rest::ListOfType(arm, "Microsoft.Compute/virtualMachines", rest::kComputeVersion);
    if (!vms.ok) return vms;
    for (const nlohmann::json& vm : vms.body) {
        const std::string vmId = vm["properties"].value("vmId", "");
        if (!boost::algorithm::iequals(vm.value("name", ""), name)) continue;
        if (!guid.empty() && !boost::algorithm::iequals(vmId, guid)) continue;
        id = vm.value("id", "");
        vms.body = vm;
        return vms;
    }
    rest::ArmResult missing;
    missing.code = SDK_ERR_NOT_FOUND;
    missing.text = NoSuchVm(name, guid);
    return missing;
}

// The "PowerState/..." status of a VM's instance view; empty when it names none.
std::string PowerStateOf(const nlohmann::json& vm) {
    const nlohmann::json view = vm["properties"].value("instanceView", nlohmann::json::object());
    for (const nlohmann::json& status : view.value("statuses", nlohmann::json::array())) {
        const std::string code = status.value("code", "");
        if (code.compare(0, 11, "PowerState/") == 0) return code;
    }
    return std::string();
}

}  // namespace

bool CAzureSDKCppBridge::DeleteVM(const std::string& vmName, const std::string& vmGuid, bool isManaged,
                                  bool deleteComponents) try {
    nlohmann::json args = {{"vmName", vmName}, {"vmGuid", vmGuid}, {"deleteDisks", isManaged},
                           {"deleteNetwork", deleteComponents}};
    if (std::optional<Refusal> refusal = impl_->begin("DeleteVM", args)) return Fail(refusal->code, refusal->text);
    if (vmGuid.empty())
        return Fail(SDK_ERR_GENERAL, "VM '" + vmName + "' is not deleted: a VM is deleted only by name and GUID, "
                                                        "and no GUID was given.");
    std::string id;
    rest::ArmResult result = FindVmOverRest(*impl_->arm, vmName, vmGuid, id);
    if (!result.ok) return Fail(result.code, result.text);
    VmRemoval what;
    what.disks = isManaged;
    what.network = deleteComponents;
    std::vector<std::string> vhds;
    result = RemoveVmOverRest(*impl_->arm, result.body, what, vhds);
    if (!result.ok) return Fail(result.code, result.text);
    // An unmanaged VM's disks are page blobs, which go on the storage side.
    result = RemovePageBlobs(*impl_->blob, vhds, std::nullopt);
    return result.ok || Fail(result.code, result.text);
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::ShutdownVM(const std::string& vmName, const std::string& vmGuid,
                                    bool waitForCompletion) try {
    nlohmann::json args = {{"vmName", vmName}, {"vmGuid", vmGuid}, {"waitForCompletion", waitForCompletion}};
    if (std::optional<Refusal> refusal = impl_->begin("ShutdownVM", args)) return Fail(refusal->code, refusal->text);
    std::string id;
    rest::ArmResult result = FindVmOverRest(*impl_->arm, vmName, vmGuid, id);
    if (result.ok) result = impl_->arm->get(id, rest::kComputeVersion, "$expand=instanceView");
    if (!result.ok) return Fail(result.code, result.text);
    // A VM stopped already keeps its state: only a running (or starting) one is deallocated.
    const std::string power = PowerStateOf(result.body);
    if (power == "PowerState/stopped" || power == "PowerState/deallocated") return true;
    result = impl_->arm->action(id + "/deallocate", rest::kComputeVersion, waitForCompletion, nullptr, false);
    return result.ok || Fail(result.code, result.text);
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::StartVM(const std::string& vmName, const std::string& vmGuid) try {
    nlohmann::json args = {{"vmName", vmName}, {"vmGuid", vmGuid}};
    if (std::optional<Refusal> refusal = impl_->begin("StartVM", args)) return Fail(refusal->code, refusal->text);
    std::string id;
    rest::ArmResult result = FindVmOverRest(*impl_->arm, vmName, vmGuid, id);
    if (result.ok) result = impl_->arm->action(id + "/start", rest::kComputeVersion, true, nullptr, false);
    return result.ok || Fail(result.code, result.text);
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
