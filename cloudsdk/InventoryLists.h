// The Resource Manager lists an inventory operation maps its records from. Each
// list is read at most once per operation (an inventory runs on every browse), and
// a list that cannot be read throws OperationFailure with the wrapper's code and
// Azure's text, so that "could not ask" is never taken for "none".
#pragma once

#include <map>
#include <string>

#include <nlohmann/json.hpp>

#include "cloudsdk/rest/ArmClient.h"

namespace AzureSDKCppBridge {

class InventoryLists {
public:
    explicit InventoryLists(rest::ArmClient& arm) : arm_(arm) {}

    // Every VM of the subscription, each with its instance view: the VM list gives the models and
    // its status form the instance views, which are joined by resource id.
    const nlohmann::json& vms();
    const nlohmann::json& interfaces();
    const nlohmann::json& securityGroups();
    const nlohmann::json& networks();
    const nlohmann::json& storageAccounts();
    const nlohmann::json& locations();
    // The VM sizes offered in location `name` (as the cloud names it, "westeurope").
    const nlohmann::json& vmSizes(const std::string& name);
    // The resource SKUs of location `name`: each size's network interfaces, premium storage,
    // VM generations and zones, which the size list does not give.
    const nlohmann::json& vmSkus(const std::string& name);
    // The name of the location `name` stands for: its name or display name, any case, spaces
    // ignored ("West Europe" -> "westeurope"); empty when the subscription has none such.
    std::string location(const std::string& name);
    // The resource group `name` (GET); not found when the subscription has none such.
    nlohmann::json group(const std::string& name);
    // What `path` (under the subscription's Resource Manager) answers, `query` added after the
    // api-version; a 404 is an empty array.
    nlohmann::json getOrNone(const std::string& path, const char* apiVersion, const std::string& query = std::string());

private:
    const nlohmann::json& list(const std::string& type, const char* apiVersion, const std::string& query = std::string());

    rest::ArmClient& arm_;
    std::map<std::string, nlohmann::json> lists_;
    nlohmann::json vms_;
};

// The parts of a resource id: the segment after `key` ("resourceGroups", "virtualNetworks"), any case; empty when none.
std::string IdPart(const std::string& id, const std::string& key);
// The last segment of a resource id: the resource's name.
std::string IdName(const std::string& id);

}  // namespace AzureSDKCppBridge
