// The subscription's own VM images (the templates VMs are made from), listed per subscription.
#include "azsim/arm/ArmCall.h"
#include "azsim/arm/ArmReply.h"

namespace azsim {

bool ServeImageRoutes(ArmCall& call) {
    if (!call.is("GET") || !call.shaped({"subscriptions", "*", "providers", "Microsoft.Compute", "images"}))
        return false;
    nlohmann::json value = nlohmann::json::array();
    for (const VirtualMachine& vm : call.state.load().templates) {
        nlohmann::json tags = nlohmann::json::object();
        for (const auto& [name, text] : vm.tags) tags[name] = text;
        value.push_back(
            {{"id", "/subscriptions/" + call.subscription() + "/resourceGroups/" + vm.resourceGroup +
                        "/providers/Microsoft.Compute/images/" + vm.name},
             {"name", vm.name},
             {"type", "Microsoft.Compute/images"},
             {"location", vm.region},
             {"tags", tags},
             {"properties",
              {{"storageProfile", {{"osDisk", {{"osType", vm.osType}, {"osState", "Generalized"}}}}},
               {"hyperVGeneration", vm.firmware.empty() ? "V1" : "V2"},
               {"provisioningState", "Succeeded"}}}});
    }
    sendJson(call.res, 200, {{"value", value}});
    return true;
}

}  // namespace azsim
