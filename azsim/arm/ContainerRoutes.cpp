// The blob containers of a storage account as Resource Manager lists them
// (the storage provider's view of the Blob service, with no blobs): each a
// resource of type "Microsoft.Storage/storageAccounts/blobServices/containers".
#include <boost/algorithm/string/predicate.hpp>

#include "azsim/arm/ArmCall.h"
#include "azsim/arm/ArmReply.h"

namespace azsim {

namespace {

const char* const kContainerType = "Microsoft.Storage/storageAccounts/blobServices/containers";

nlohmann::json ContainerJson(const std::string& accountId, const std::string& name) {
    return {{"id", accountId + "/blobServices/default/containers/" + name},
            {"name", name},
            {"type", kContainerType},
            {"properties",
             {{"publicAccess", "None"},
              {"leaseStatus", "Unlocked"},
              {"leaseState", "Available"},
              {"hasImmutabilityPolicy", false},
              {"hasLegalHold", false},
              {"deleted", false}}}};
}

void listContainers(ArmCall& call) {
    const StateDocument doc = call.state.load();
    const std::string& group = call.path[3];
    if (!doc.findResourceGroup(group)) return sendGroupNotFound(call.res, group);
    const StorageAccount* account = doc.findStorageAccount(call.path[7]);
    if (!account || !boost::algorithm::iequals(account->resourceGroup, group))
        return sendResourceNotFound(call.res, "Microsoft.Storage/storageAccounts", group, call.path[7]);
    const std::string accountId = "/subscriptions/" + call.subscription() + "/resourceGroups/" +
                                  account->resourceGroup + "/providers/Microsoft.Storage/storageAccounts/" +
                                  account->name;
    nlohmann::json value = nlohmann::json::array();
    for (const std::string& container : account->containers) value.push_back(ContainerJson(accountId, container));
    sendJson(call.res, 200, {{"value", value}});
}

}  // namespace

bool ServeContainerRoutes(ArmCall& call) {
    if (!call.is("GET") || !call.shaped({"subscriptions", "*", "resourcegroups", "*", "providers", "Microsoft.Storage",
                                         "storageAccounts", "*", "blobServices", "default", "containers"}))
        return false;
    listContainers(call);
    return true;
}

}  // namespace azsim
