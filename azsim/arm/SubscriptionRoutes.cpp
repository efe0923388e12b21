// The subscription itself, its regions, the resource providers registered there and its resource groups.
#include "azsim/arm/ArmCall.h"
#include "azsim/arm/ArmReply.h"
#include "azsim/arm/ArmShapes.h"

namespace azsim {

namespace {

void getGroup(ArmCall& call, const std::string& group) {
    const StateDocument doc = call.state.load();
    const ResourceGroup* found = doc.findResourceGroup(group);
    if (!found) return sendGroupNotFound(call.res, group);
    sendJson(call.res, 200, ResourceGroupJson(call.subscription(), *found));
}

}  // namespace

bool ServeSubscriptionRoutes(ArmCall& call) {
    if (!call.is("GET")) return false;
    if (call.path.size() == 2) {
        const StateDocument doc = call.state.load();
        sendJson(call.res, 200, SubscriptionJson(*doc.findSubscription(call.subscription())));
        return true;
    }
    if (call.shaped({"subscriptions", "*", "locations"})) {
        nlohmann::json value = nlohmann::json::array();
        for (const Region& region : call.state.load().regions)
            value.push_back(LocationJson(call.subscription(), region));
        sendJson(call.res, 200, {{"value", value}});
        return true;
    }
    if (call.shaped({"subscriptions", "*", "providers"})) {
        sendJson(call.res, 200, ProviderListJson(call.state.load(), call.subscription()));
        return true;
    }
    if (call.shaped({"subscriptions", "*", "providers", "*"})) {
        const nlohmann::json provider = ProviderJson(call.state.load(), call.subscription(), call.path[3]);
        if (provider.is_null())
            sendArmError(call.res, 404, "InvalidResourceNamespace",
                         "The resource namespace '" + call.path[3] + "' is invalid.");
        else
            sendJson(call.res, 200, provider);
        return true;
    }
    if (call.shaped({"subscriptions", "*", "resourcegroups"})) {
        nlohmann::json value = nlohmann::json::array();
        for (const ResourceGroup& group : call.state.load().resourceGroups)
            value.push_back(ResourceGroupJson(call.subscription(), group));
        sendJson(call.res, 200, {{"value", value}});
        return true;
    }
    if (call.shaped({"subscriptions", "*", "resourcegroups", "*"})) {
        getGroup(call, call.path[3]);
        return true;
    }
    return false;
}

}  // namespace azsim
