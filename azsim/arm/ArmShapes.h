// Resource Manager's JSON shapes of the simulated resources: subscriptions,
// their tenants and regions, the resource providers registered there, resource groups and
// virtual machines (with their instance view when asked for).
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "azsim/model/StateDocument.h"

namespace azsim {

nlohmann::json SubscriptionJson(const Subscription& subscription);
nlohmann::json TenantJson(const std::string& tenantId);
nlohmann::json LocationJson(const std::string& subscription, const Region& region);
// The registration of `provider` ("Microsoft.Compute", any case) with the types the simulator models, the
// regions of `doc` and the api-versions it answers; null for a namespace it does not know.
nlohmann::json ProviderJson(const StateDocument& doc, const std::string& subscription, const std::string& provider);
// Every provider's registration.
nlohmann::json ProviderListJson(const StateDocument& doc, const std::string& subscription);
nlohmann::json ResourceGroupJson(const std::string& subscription, const ResourceGroup& group);
nlohmann::json VirtualMachineJson(const StateDocument& doc, const std::string& subscription,
                                  const VirtualMachine& vm, bool withInstanceView);
// "PowerState/running", "PowerState/stopped", "PowerState/deallocated" (an unknown state has none).
std::string PowerStateCode(PowerState state);

}  // namespace azsim
