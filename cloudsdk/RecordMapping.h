// Conversion of Resource Manager's JSON of the subscription's resources into the
// host records the SDK wrapper returns. What a VM's JSON does not hold (its
// interfaces' networks, its security groups, its size's processors and memory,
// the SKU of an unmanaged disk's account) comes from the operation's lists.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cloudsdk/InventoryLists.h"
#include "plugin/frame/records/Records.h"

namespace AzureSDKCppBridge {

VMInfoStructs::SVMInfo VmRecord(const nlohmann::json& vm, InventoryLists& lists);
// A template: a VM image of the subscription.
VMInfoStructs::SVMInfo TemplateRecord(const nlohmann::json& image);
VMInfoStructs::SDatastoreInfo StorageAccountRecord(const nlohmann::json& account);
// A size of a size list, with what the resource SKUs `skus` of its location say of it.
VMInfoStructs::SVMSizeInfo VmSizeRecord(const nlohmann::json& size, const nlohmann::json& skus);
VMInfoStructs::SNetworkInfo NetworkRecord(const nlohmann::json& network);
VMInfoStructs::SSecurityGroupInfo SecurityGroupRecord(const nlohmann::json& group);
// A resource group with its VMs, storage accounts, networks and security groups.
VMInfoStructs::SHostInfo HostRecord(const nlohmann::json& group, InventoryLists& lists);
// The storage accounts, networks and security groups of `location` (as the cloud names it); named `name`.
VMInfoStructs::SDataCenterInfo DataCenterRecord(const std::string& location, InventoryLists& lists,
                                                const std::string& name);
// The resource group a resource's id names.
std::string GroupOf(const nlohmann::json& resource);

}  // namespace AzureSDKCppBridge
