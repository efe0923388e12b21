// Resource Manager's JSON shapes of the simulated resources: subscriptions,
// their tenants, resource groups and virtual machines (with their instance
// view when asked for).
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "azsim/model/StateDocument.h"

namespace azsim {

nlohmann::json SubscriptionJson(const Subscription& subscription);
nlohmann::json TenantJson(const std::string& tenantId);
nlohmann::json ResourceGroupJson(const std::string& subscription, const ResourceGroup& group);
nlohmann::json VirtualMachineJson(const StateDocument& doc, const std::string& subscription,
                                  const VirtualMachine& vm, bool withInstanceView);
// "PowerState/running", "PowerState/stopped", "PowerState/deallocated" (an unknown state has none).
std::string PowerStateCode(PowerState state);

}  // namespace azsim
