// The VM list of the subscription in its status form ("statusOnly=true"): one request gives every
// VM's instance view, so that an inventory need not read them one by one. As the cloud's, this form
// names each VM and holds its run-time status only; its model is the plain list's.
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
    for (const VirtualMachine& vm : doc.vms) {
        const nlohmann::json full = VirtualMachineJson(doc, call.subscription(), vm, true);
        value.push_back({{"id", full["id"]},
                         {"name", full["name"]},
                         {"type", full["type"]},
                         {"properties", {{"instanceView", full["properties"]["instanceView"]}}}});
    }
    sendJson(call.res, 200, {{"value", value}});
    return true;
}

}  // namespace azsim
