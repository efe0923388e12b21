// Deleting, starting and stopping VMs. A VM is named by its name and GUID together, so a
// VM that took over a name is never deleted in another's place.
#include <boost/algorithm/string/predicate.hpp>

#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/VmRemoval.h"

namespace AzureSDKCppBridge {

using azsim::StateDocument;

namespace {

std::string NoSuchVm(const std::string& name, const std::string& guid) {
    return "ResourceNotFound: No VM named '" + name + "'" + (guid.empty() ? "" : " with GUID '" + guid + "'") +
           " exists.";
}

// The VM of that name, and of that GUID when one is given.
azsim::VirtualMachine* NamedVm(StateDocument& doc, const std::string& name, const std::string& guid) {
    azsim::VirtualMachine* vm = guid.empty() ? doc.findVm(name) : doc.findVmByGuid(guid);
    return vm && boost::algorithm::iequals(vm->name, name) ? vm : nullptr;
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
    std::vector<azsim::BlobKey> data;
    impl_->subscription->mutate([&](StateDocument& doc) {
        if (!NamedVm(doc, vmName, vmGuid)) throw OperationFailure(SDK_ERR_NOT_FOUND, NoSuchVm(vmName, vmGuid));
        VmRemoval what;
        what.disks = isManaged;
        what.network = deleteComponents;
        data = RemoveVm(doc, vmGuid, what);
        return true;
    });
    DeleteBlobData(impl_->subscription->blobs(), data);
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::ShutdownVM(const std::string& vmName, const std::string& vmGuid,
                                    bool waitForCompletion) try {
    nlohmann::json args = {{"vmName", vmName}, {"vmGuid", vmGuid}, {"waitForCompletion", waitForCompletion}};
    if (std::optional<Refusal> refusal = impl_->begin("ShutdownVM", args)) return Fail(refusal->code, refusal->text);
    // The simulated stop completes at once, so waiting for it or not ends the same way.
    impl_->subscription->mutate([&](StateDocument& doc) {
        azsim::VirtualMachine* vm = NamedVm(doc, vmName, vmGuid);
        if (!vm) throw OperationFailure(SDK_ERR_NOT_FOUND, NoSuchVm(vmName, vmGuid));
        if (vm->powerState == azsim::PowerState::Stopped || vm->powerState == azsim::PowerState::Deallocated)
            return false;
        vm->powerState = azsim::PowerState::Deallocated;
        return true;
    });
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::StartVM(const std::string& vmName, const std::string& vmGuid) try {
    nlohmann::json args = {{"vmName", vmName}, {"vmGuid", vmGuid}};
    if (std::optional<Refusal> refusal = impl_->begin("StartVM", args)) return Fail(refusal->code, refusal->text);
    impl_->subscription->mutate([&](StateDocument& doc) {
        azsim::VirtualMachine* vm = NamedVm(doc, vmName, vmGuid);
        if (!vm) throw OperationFailure(SDK_ERR_NOT_FOUND, NoSuchVm(vmName, vmGuid));
        if (vm->powerState == azsim::PowerState::Running) return false;
        vm->powerState = azsim::PowerState::Running;
        return true;
    });
    return true;
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
