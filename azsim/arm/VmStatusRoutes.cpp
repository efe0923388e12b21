// The VM list of the subscription with each VM's run-time status ("statusOnly=true"): one
// request gives every VM with its instance view, so that an inventory need not read them one by one.
#include <boost/algorithm/string/predicate.hpp>

#include "azsim/arm/ArmCall.h"
#include "azsim/arm/ArmReply.h"
#include "azsim/arm/ArmShapes.h"

namespace azsim {

bool ServeVmStatusRoutes(ArmCall& call) {
    if (!call.is("GET") || !boost::algorithm::iequals(call.req.get_param_value("statusOnly"), "true") ||
        !call.shaped({"subscriptions", "*", "providers", "Microsoft.Compute", "virtualMachines"}))
        return false;
    const StateDocument doc = call.state.load();
    nlohmann::json value = nlohmann::json::array();
    for (const VirtualMachine& vm : doc.vms) value.push_back(VirtualMachineJson(doc, call.subscription(), vm, true));
    sendJson(call.res, 200, {{"value", value}});
    return true;
}

}  // namespace azsim
