#include "cloudsdk/InventoryLists.h"

#include <algorithm>

#include <boost/algorithm/string/predicate.hpp>

#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/rest/ApiVersions.h"

namespace AzureSDKCppBridge {

namespace {

std::string WithoutBlanks(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
    return text;
}

nlohmann::json Checked(const rest::ArmResult& result) {
    if (!result.ok) throw OperationFailure(result.code, result.text);
    return result.body;
}

}  // namespace

const nlohmann::json& InventoryLists::list(const std::string& type, const char* apiVersion, const std::string& query) {
    const std::string path = "/subscriptions/" + arm_.subscriptionId() + type;
    const std::string key = path + "?" + query;
    auto found = lists_.find(key);
    if (found == lists_.end()) found = lists_.emplace(key, Checked(arm_.list(path, apiVersion, query))).first;
    return found->second;
}

const nlohmann::json& InventoryLists::vms() {
    if (!vms_.is_null()) return vms_;
    nlohmann::json joined = list("/providers/Microsoft.Compute/virtualMachines", rest::kComputeVersion);
    const nlohmann::json& statuses =
        list("/providers/Microsoft.Compute/virtualMachines", rest::kComputeVersion, "statusOnly=true");
    for (nlohmann::json& vm : joined)
        for (const nlohmann::json& status : statuses)
            if (boost::algorithm::iequals(vm.value("id", ""), status.value("id", "")))
                vm["properties"]["instanceView"] =
                    status.value("properties", nlohmann::json::object()).value("instanceView", nlohmann::json::object());
    return vms_ = std::move(joined);
}

const nlohmann::json& InventoryLists::interfaces() {
    return list("/providers/Microsoft.Network/networkInterfaces", rest::kNetworkVersion);
}

const nlohmann::json& InventoryLists::securityGroups() {
    return list("/providers/Microsoft.Network/networkSecurityGroups", rest::kNetworkVersion);
}

const nlohmann::json& InventoryLists::networks() {
    return list("/providers/Microsoft.Network/virtualNetworks", rest::kNetworkVersion);
}

const nlohmann::json& InventoryLists::storageAccounts() {
    return list("/providers/Microsoft.Storage/storageAccounts", rest::kStorageVersion);
}

const nlohmann::json& InventoryLists::locations() { return list("/locations", rest::kSubscriptionsVersion); }

const nlohmann::json& InventoryLists::vmSizes(const std::string& name) {
    return list("/providers/Microsoft.Compute/locations/" + name + "/vmSizes", rest::kComputeVersion);
}

const nlohmann::json& InventoryLists::vmSkus(const std::string& name) {
    return list("/providers/Microsoft.Compute/skus", rest::kResourceSkusVersion,
                "$filter=location%20eq%20%27" + name + "%27");
}

std::string InventoryLists::location(const std::string& name) {
    const std::string wanted = WithoutBlanks(name);
    for (const nlohmann::json& location : locations())
        if (boost::algorithm::iequals(location.value("name", ""), wanted) ||
            boost::algorithm::iequals(WithoutBlanks(location.value("displayName", "")), wanted))
            return location.value("name", "");
    return std::string();
}

nlohmann::json InventoryLists::group(const std::string& name) {
    return Checked(arm_.get("/subscriptions/" + arm_.subscriptionId() + "/resourcegroups/" + name,
                            rest::kResourcesVersion));
}

nlohmann::json InventoryLists::getOrNone(const std::string& path, const char* apiVersion, const std::string& query) {
    const rest::ArmResult result = arm_.get("/subscriptions/" + arm_.subscriptionId() + path, apiVersion, query);
    if (!result.ok && result.code == SDK_ERR_NOT_FOUND) return nlohmann::json::array();
    return Checked(result);
}

std::string IdPart(const std::string& id, const std::string& key) {
    std::size_t start = 0;
    while (start < id.size()) {
        const std::size_t end = std::min(id.find('/', start + 1), id.size());
        if (boost::algorithm::iequals(id.substr(start, end - start), "/" + key)) {
            const std::size_t next = std::min(id.find('/', end + 1), id.size());
            return end < id.size() ? id.substr(end + 1, next - end - 1) : std::string();
        }
        start = end;
    }
    return std::string();
}

std::string IdName(const std::string& id) { return id.substr(id.rfind('/') + 1); }

}  // namespace AzureSDKCppBridge
