// Scripts run inside a VM's guest. Nothing runs on this machine: the run is handed to the
// simulated guest, which records it in the guest log of the subscription's state folder. A fault
// rule on "ExecuteScriptInGuestVM" is the guest reporting that the script failed: the run is
// logged as failed and the call fails with the rule's code and text.
#include "azsim/guest/GuestLog.h"
#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "host/sys/Time.h"

namespace AzureSDKCppBridge {

bool CAzureSDKCppBridge::ExecuteScriptInGuestVM(const std::string& guestContext, const std::string& vmName,
                                                const std::string& guestDetail, const std::string& scriptText,
                                                const std::string& parameters) try {
    static const char* const kOperation = "ExecuteScriptInGuestVM";
    nlohmann::json args = {{"guestContext", guestContext}, {"vmName", vmName}, {"guestDetail", guestDetail},
                           {"scriptBytes", scriptText.size()}, {"parameters", parameters}};
    // Not begin(): a fault rule here is the guest's answer to a run, so it is taken only once
    // the VM has been found running and the run has started.
    if (impl_->journal) impl_->journal->record(kOperation, args);
    if (!impl_->connected) return Fail(SDK_ERR_NOT_CONNECTED, "Not connected to an Azure subscription");
    azsim::StateDocument doc = impl_->subscription->load();
    const azsim::VirtualMachine* vm = doc.findVm(vmName);
    if (!vm) return Fail(SDK_ERR_NOT_FOUND, "ResourceNotFound: No VM named '" + vmName + "' exists.");
    if (vm->powerState != azsim::PowerState::Running)
        return Fail(SDK_ERR_GENERAL, "VM [" + vmName + "] is not running: a script can only run in a running VM");
    azsim::GuestRun run;
    run.time = NxClock::nowSeconds();
    run.vm = vm->name;
    run.resourceGroup = vm->resourceGroup;
    run.script = scriptText;
    run.parameters = parameters;
    run.guestContext = guestContext;
    run.guestDetail = guestDetail;
    std::optional<azsim::SdkFault> failure = impl_->faults->takeSdkFault(kOperation);
    if (failure) {
        run.succeeded = false;
        run.error = failure->text;
    }
    azsim::GuestLog(impl_->subscription->dir()).append(run);
    if (failure) return Fail(failure->code, failure->text);
    return true;
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
