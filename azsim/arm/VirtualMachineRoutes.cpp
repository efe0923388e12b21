// Virtual machines: lists per subscription and group, one VM with its
// instance view, the creation of a VM and the update of an existing one, its deletion, run commands and
// the power actions, the changes as long-running operations.
#include <boost/algorithm/string/predicate.hpp>

#include "azsim/arm/ArmCall.h"
#include "azsim/arm/ArmReply.h"
#include "azsim/arm/ArmShapes.h"
#include "azsim/arm/RunCommands.h"
#include "azsim/arm/VmCreate.h"
#include "azsim/arm/VmUpdates.h"

namespace azsim {

namespace {

using boost::algorithm::iequals;

const char* const kVmType = "Microsoft.Compute/virtualMachines";
const char* const kStatusVersion = "2023-09-01";

void listVms(ArmCall& call, const std::string& group) {
    const StateDocument doc = call.state.load();
    if (!group.empty() && !doc.findResourceGroup(group)) return sendGroupNotFound(call.res, group);
    nlohmann::json value = nlohmann::json::array();
    for (const VirtualMachine& vm : doc.vms)
        if (group.empty() || iequals(vm.resourceGroup, group))
            value.push_back(VirtualMachineJson(doc, call.subscription(), vm, false));
    sendJson(call.res, 200, {{"value", value}});
}

void getVm(ArmCall& call) {
    const StateDocument doc = call.state.load();
    const std::string& group = call.path[3];
    if (!doc.findResourceGroup(group)) return sendGroupNotFound(call.res, group);
    const VirtualMachine* vm = doc.findVm(call.path[7], group);
    if (!vm) return sendResourceNotFound(call.res, kVmType, group, call.path[7]);
    sendJson(call.res, 200,
             VirtualMachineJson(doc, call.subscription(), *vm,
                                iequals(call.req.get_param_value("$expand"), "instanceView")));
}

void powerAction(ArmCall& call) {
    const std::string& group = call.path[3];
    const std::string& name = call.path[7];
    const std::string& action = call.path[8];
    PowerState target = PowerState::Unknown;
    if (iequals(action, "start")) target = PowerState::Running;
    if (iequals(action, "powerOff")) target = PowerState::Stopped;
    if (iequals(action, "deallocate")) target = PowerState::Deallocated;
    if (target == PowerState::Unknown)
        return sendArmError(call.res, 404, "InvalidResourceType",
                            "The resource type 'virtualMachines/" + action + "' could not be found.");
    std::string region;
    bool found = false;
    call.state.mutate([&](StateDocument& doc) {
        VirtualMachine* vm = doc.findResourceGroup(group) ? doc.findVm(name, group) : nullptr;
        if (!vm) return false;
        found = true;
        region = vm->region;
        // Powering off a deallocated VM leaves it deallocated, as the cloud does.
        if (vm->powerState == target || (target == PowerState::Stopped && vm->powerState == PowerState::Deallocated))
            return false;
        vm->powerState = target;
        return true;
    });
    if (!found && !call.state.load().findResourceGroup(group)) return sendGroupNotFound(call.res, group);
    if (!found) return sendResourceNotFound(call.res, kVmType, group, name);
    call.accepted("Microsoft.Compute", region, kStatusVersion);
}

// A create-or-update: of a VM that exists, answered 200 with the VM as it now is; of a new one, 201.
// Either way with an "Azure-AsyncOperation" that has ended.
void putVm(ArmCall& call) {
    const std::string& group = call.path[3];
    const std::string& name = call.path[7];
    const nlohmann::json body = nlohmann::json::parse(call.req.body, nullptr, false);
    bool groupFound = false, created = false;
    VmRefusal refusal;
    call.state.mutate([&](StateDocument& doc) {
        const ResourceGroup* found = doc.findResourceGroup(group);
        if (!found) return false;
        groupFound = true;
        VirtualMachine* vm = doc.findVm(name, group);
        created = !vm;
        refusal = vm ? UpdateVm(doc, call.state.blobs(), *vm, body) : CreateVm(doc, call.state.blobs(), *found, name, body);
        return refusal.status == 0;
    });
    if (!groupFound) return sendGroupNotFound(call.res, group);
    if (refusal.status) return sendArmError(call.res, refusal.status, refusal.code, refusal.message);
    const StateDocument doc = call.state.load();
    const VirtualMachine* vm = doc.findVm(name, group);
    const nlohmann::json out = VirtualMachineJson(doc, call.subscription(), *vm, false);
    call.accepted("Microsoft.Compute", vm->region, kStatusVersion, out);
    call.res.headers.erase("Location");
    sendJson(call.res, created ? 201 : 200, out);
}

// Deletes a VM and keeps its disks and network interfaces; a VM that is not there is answered 204.
void deleteVm(ArmCall& call) {
    const std::string& group = call.path[3];
    std::string region;
    call.state.mutate([&](StateDocument& doc) {
        const VirtualMachine* vm = doc.findVm(call.path[7], group);
        if (!vm) return false;
        region = vm->region;
        RemoveVmKeepingComponents(doc, call.path[7], group);
        return true;
    });
    if (!region.empty()) return call.accepted("Microsoft.Compute", region, kStatusVersion);
    if (!call.state.load().findResourceGroup(group)) return sendGroupNotFound(call.res, group);
    call.res.status = 204;
}

}  // namespace

bool ServeVirtualMachineRoutes(ArmCall& call) {
    if (call.is("GET") && call.shaped({"subscriptions", "*", "providers", "Microsoft.Compute", "virtualMachines"}))
        return listVms(call, std::string()), true;
    if (call.is("GET") && call.shaped({"subscriptions", "*", "resourcegroups", "*", "providers", "Microsoft.Compute",
                                       "virtualMachines"}))
        return listVms(call, call.path[3]), true;
    if (call.is("GET") && call.shaped({"subscriptions", "*", "resourcegroups", "*", "providers", "Microsoft.Compute",
                                       "virtualMachines", "*"}))
        return getVm(call), true;
    if (call.is("PUT") && call.shaped({"subscriptions", "*", "resourcegroups", "*", "providers", "Microsoft.Compute",
                                       "virtualMachines", "*"}))
        return putVm(call), true;
    if (call.is("DELETE") && call.shaped({"subscriptions", "*", "resourcegroups", "*", "providers",
                                          "Microsoft.Compute", "virtualMachines", "*"}))
        return deleteVm(call), true;
    if (call.is("POST") && call.shaped({"subscriptions", "*", "resourcegroups", "*", "providers",
                                        "Microsoft.Compute", "virtualMachines", "*", "runCommand"}))
        return RunCommand(call), true;
    if (call.is("POST") && call.shaped({"subscriptions", "*", "resourcegroups", "*", "providers",
                                        "Microsoft.Compute", "virtualMachines", "*", "*"}))
        return powerAction(call), true;
    return false;
}

}  // namespace azsim
