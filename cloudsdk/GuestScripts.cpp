// Scripts run inside a VM's guest through Resource Manager's run command: a Linux VM's as a shell
// script, a Windows VM's as a PowerShell script. The guest's report is the command's output: a
// script whose error stream holds a message failed, and that message is the call's text.
#include <boost/algorithm/string/predicate.hpp>

#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/rest/ApiVersions.h"
#include "cloudsdk/rest/ResourceLookup.h"

namespace AzureSDKCppBridge {

namespace {

using nlohmann::json;

json ScriptLines(const std::string& text) {
    json lines = json::array();
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return lines;
        start = end + 1;
    }
}

json RunCommandInput(const json& vm, const std::string& script, const std::string& guestContext,
                     const std::string& guestDetail, const std::string& arguments) {
    const json none = json::object();
    const std::string os = vm.value("properties", none).value("storageProfile", none).value("osDisk", none).value(
        "osType", "");
    return {{"commandId", boost::algorithm::iequals(os, "Windows") ? "RunPowerShellScript" : "RunShellScript"},
            {"script", ScriptLines(script)},
            {"parameters",
             {{{"name", "guestContext"}, {"value", guestContext}},
              {{"name", "guestDetail"}, {"value", guestDetail}},
              {{"name", "arguments"}, {"value", arguments}}}}};
}

// The message of the output's error stream; empty when the script reported none.
std::string ErrorStream(const json& output) {
    for (const json& status : output.value("value", json::array()))
        if (status.is_object() && boost::algorithm::istarts_with(status.value("code", ""), "ComponentStatus/StdErr/"))
            return status.value("message", "");
    return std::string();
}

}  // namespace

bool CAzureSDKCppBridge::ExecuteScriptInGuestVM(const std::string& guestContext, const std::string& vmName,
                                                const std::string& guestDetail, const std::string& scriptText,
                                                const std::string& parameters) try {
    nlohmann::json args = {{"guestContext", guestContext}, {"vmName", vmName}, {"guestDetail", guestDetail},
                           {"scriptBytes", scriptText.size()}, {"parameters", parameters}};
    // Not begin(): a fault rule on this operation is the guest's answer to a run, which the cloud
    // gives once the VM has been found running and the run has started.
    if (impl_->journal) impl_->journal->record("ExecuteScriptInGuestVM", args);
    if (!impl_->connected) return Fail(SDK_ERR_NOT_CONNECTED, "Not connected to an Azure subscription");
    rest::ArmResult result =
        rest::FindByName(*impl_->arm, "Microsoft.Compute/virtualMachines", rest::kComputeVersion, vmName, "VM");
    if (result.ok)
        result = impl_->arm->action(result.body.value("id", "") + "/runCommand", rest::kComputeVersion, true,
                                    RunCommandInput(result.body, scriptText, guestContext, guestDetail, parameters));
    if (!result.ok) return Fail(result.code, result.text);
    const std::string error = ErrorStream(result.body);
    return error.empty() || Fail(SDK_ERR_GENERAL, error);
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
