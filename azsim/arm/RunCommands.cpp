#include "azsim/arm/RunCommands.h"

#include <ctime>

#include <boost/algorithm/string/predicate.hpp>

#include "azsim/arm/ArmReply.h"
#include "azsim/faults/FaultBook.h"
#include "azsim/guest/GuestLog.h"

namespace azsim {

namespace {

using boost::algorithm::iequals;

const char* const kGuestFaultOperation = "ExecuteScriptInGuestVM";

nlohmann::json ComponentStatus(const std::string& stream, const std::string& message) {
    return {{"code", "ComponentStatus/" + stream + "/succeeded"},
            {"level", "Info"},
            {"displayStatus", "Provisioning succeeded"},
            {"message", message}};
}

// The script's lines joined again as one text.
bool ScriptText(const nlohmann::json& lines, std::string& out) {
    if (lines.is_null()) return true;
    if (!lines.is_array()) return false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (!lines[i].is_string()) return false;
        out += (i ? "\n" : "") + lines[i].get<std::string>();
    }
    return true;
}

// The values of the named parameters the guest log records; false when the list is malformed.
bool ReadParameters(const nlohmann::json& list, GuestRun& run) {
    if (list.is_null()) return true;
    if (!list.is_array()) return false;
    for (const nlohmann::json& p : list) {
        if (!p.is_object() || !p.value("name", nlohmann::json()).is_string()) return false;
        const nlohmann::json value = p.value("value", nlohmann::json(""));
        if (!value.is_string()) return false;
        const std::string name = p["name"].get<std::string>();
        std::string* field = name == "guestContext" ? &run.guestContext
                             : name == "guestDetail" ? &run.guestDetail
                             : name == "arguments"   ? &run.parameters
                                                     : nullptr;
        if (field) *field = value.get<std::string>();
    }
    return true;
}

}  // namespace

void RunCommand(ArmCall& call) {
    const std::string& group = call.path[3];
    const std::string& name = call.path[7];
    const nlohmann::json body = nlohmann::json::parse(call.req.body, nullptr, false);
    GuestRun run;
    if (!body.is_object() || !ScriptText(body.value("script", nlohmann::json()), run.script) ||
        !ReadParameters(body.value("parameters", nlohmann::json()), run))
        return sendArmError(call.res, 400, "InvalidRequestContent",
                            "The request content is not a run command: 'script' is a list of lines and "
                            "'parameters' a list of name and value pairs.");
    const StateDocument doc = call.state.load();
    if (!doc.findResourceGroup(group)) return sendGroupNotFound(call.res, group);
    const VirtualMachine* vm = doc.findVm(name, group);
    if (!vm) return sendResourceNotFound(call.res, "Microsoft.Compute/virtualMachines", group, name);
    const nlohmann::json asked = body.value("commandId", nlohmann::json());
    const std::string commandId = asked.is_string() ? asked.get<std::string>() : asked.dump();
    const char* const fits = iequals(vm->osType, "Windows") ? "RunPowerShellScript" : "RunShellScript";
    if (commandId != fits)
        return sendArmError(call.res, 400, "InvalidParameter",
                            "Command '" + commandId + "' is not offered for VM '" + vm->name + "' of OS type '" +
                                vm->osType + "': its scripts run as '" + fits + "'.");
    if (vm->powerState != PowerState::Running)
        return sendArmError(call.res, 409, "OperationNotAllowed",
                            "The operation requires the VM to be running (or set to run): VM '" + vm->name +
                                "' is not running.");
    run.time = std::time(nullptr);
    run.vm = vm->name;
    run.resourceGroup = vm->resourceGroup;
    if (std::optional<SdkFault> failure = FaultBook(call.state.dir()).takeSdkFault(kGuestFaultOperation)) {
        run.succeeded = false;
        run.error = failure->text;
    }
    GuestLog(call.state.dir()).append(run);
    call.accepted("Microsoft.Compute", vm->region, call.req.get_param_value("api-version"),
                  {{"value", {ComponentStatus("StdOut", ""), ComponentStatus("StdErr", run.error)}}});
}

}  // namespace azsim
