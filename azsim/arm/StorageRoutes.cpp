// Storage accounts: listed per subscription and group, and read one by one.
#include <boost/algorithm/string/predicate.hpp>

#include "azsim/arm/ArmCall.h"
#include "azsim/arm/ArmReply.h"
#include "azsim/arm/StorageShapes.h"

namespace azsim {

namespace {

using boost::algorithm::iequals;

void listAccounts(ArmCall& call, const std::string& group) {
    const StateDocument doc = call.state.load();
    if (!group.empty() && !doc.findResourceGroup(group)) return sendGroupNotFound(call.res, group);
    const std::string suffix = BlobSuffixFor(call.req.get_header_value("Host"));
    nlohmann::json value = nlohmann::json::array();
    for (const StorageAccount& account : doc.storageAccounts)
        if (group.empty() || iequals(account.resourceGroup, group))
            value.push_back(StorageAccountJson(call.subscription(), account, suffix));
    sendJson(call.res, 200, {{"value", value}});
}

void getAccount(ArmCall& call) {
    const StateDocument doc = call.state.load();
    const std::string& group = call.path[3];
    if (!doc.findResourceGroup(group)) return sendGroupNotFound(call.res, group);
    const StorageAccount* account = doc.findStorageAccount(call.path[7]);
    if (!account || !iequals(account->resourceGroup, group))
        return sendResourceNotFound(call.res, "Microsoft.Storage/storageAccounts", group, call.path[7]);
    sendJson(call.res, 200,
             StorageAccountJson(call.subscription(), *account, BlobSuffixFor(call.req.get_header_value("Host"))));
}

}  // namespace

bool ServeStorageRoutes(ArmCall& call) {
    if (!call.is("GET")) return false;
    if (call.shaped({"subscriptions", "*", "providers", "Microsoft.Storage", "storageAccounts"}))
        return listAccounts(call, std::string()), true;
    if (call.shaped({"subscriptions", "*", "resourcegroups", "*", "providers", "Microsoft.Storage", "storageAccounts"}))
        return listAccounts(call, call.path[3]), true;
    if (call.shaped({"subscriptions", "*", "resourcegroups", "*", "providers", "Microsoft.Storage", "storageAccounts",
                     "*"}))
        return getAccount(call), true;
    return false;
}

}  // namespace azsim
