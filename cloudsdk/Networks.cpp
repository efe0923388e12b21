// Virtual networks the host asks for, over Resource Manager: creation in a resource group (a
// network of that name must not exist there yet), and deletion, which the cloud refuses while an
// interface uses the network.
#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/CreatedByJob.h"
#include "cloudsdk/NetworkRules.h"
#include "cloudsdk/RecordMapping.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/rest/ApiVersions.h"

namespace AzureSDKCppBridge {

namespace {

constexpr const char* kDefaultAddressPrefix = "10.0.0.0/16";
constexpr const char* kDefaultSubnet = "default";

std::string NetworkPath(const std::string& subscription, const std::string& group, const std::string& name) {
    return "/subscriptions/" + subscription + "/resourceGroups/" + group +
           "/providers/Microsoft.Network/virtualNetworks/" + name;
}

// The body that creates `network` in `location`, its subnets cut from its address range in turn.
nlohmann::json NetworkBody(const VMInfoStructs::SNetworkInfo& network, const std::string& location,
                           const std::string& jobId) {
    const std::string prefix = network.addressPrefix.empty() ? kDefaultAddressPrefix : network.addressPrefix;
    std::vector<std::string> names = network.subnets;
    if (names.empty()) names.push_back(kDefaultSubnet);
    const std::vector<std::string> ranges = SubnetPrefixes(prefix, names.size());
    nlohmann::json subnets = nlohmann::json::array();
    for (std::size_t i = 0; i < names.size(); ++i)
        subnets.push_back({{"name", names[i]}, {"properties", {{"addressPrefix", ranges[i]}}}});
    nlohmann::json tags = nlohmann::json::object();
    for (const auto& [name, value] : CreatedByJobTags(jobId)) tags[name] = value;
    return {{"location", location},
            {"tags", tags},
            {"properties", {{"addressSpace", {{"addressPrefixes", {prefix}}}}, {"subnets", subnets}}}};
}

}  // namespace

bool CAzureSDKCppBridge::CreateVirtualNetwork(VMInfoStructs::SNetworkInfo& network,
                                              const std::string& resourceGroup) try {
    nlohmann::json args = {{"network", network.name}, {"resourceGroup", resourceGroup},
                           {"location", network.location}, {"addressPrefix", network.addressPrefix},
                           {"subnets", network.subnets}};
    if (std::optional<Refusal> refusal = impl_->begin("CreateVirtualNetwork", args))
        return Fail(refusal->code, refusal->text);
    if (network.name.empty()) return Fail(SDK_ERR_GENERAL, "InvalidResourceName: the network has no name");
    const std::string problem = NetworkRequestProblem(network);
    if (!problem.empty()) return Fail(SDK_ERR_GENERAL, "InvalidResourceName: " + problem);
    rest::ArmClient& arm = *impl_->arm;
    rest::ArmResult result =
        arm.get("/subscriptions/" + arm.subscriptionId() + "/resourcegroups/" + resourceGroup, rest::kResourcesVersion);
    if (!result.ok) return Fail(result.code, result.text);
    const std::string location = network.location.empty() ? result.body.value("location", "") : network.location;
    // A PUT would replace a network of that name: the host asks for a new one only.
    const std::string path = NetworkPath(arm.subscriptionId(), GroupOf(result.body), network.name);
    result = arm.get(path, rest::kNetworkVersion);
    if (result.ok)
        return Fail(SDK_ERR_GENERAL, "Virtual network [" + network.name + "] already exists in resource group [" +
                                         GroupOf(result.body) + "]");
    if (result.code != SDK_ERR_NOT_FOUND) return Fail(result.code, result.text);
    result = arm.put(path, rest::kNetworkVersion, NetworkBody(network, location, impl_->jobId));
    if (!result.ok) return Fail(result.code, result.text);
    network = NetworkRecord(result.body);
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::DeleteVirtualNetwork(const VMInfoStructs::SNetworkInfo& network,
                                              const std::string& resourceGroup) try {
    nlohmann::json args = {{"network", network.name}, {"resourceGroup", resourceGroup}};
    if (std::optional<Refusal> refusal = impl_->begin("DeleteVirtualNetwork", args))
        return Fail(refusal->code, refusal->text);
    if (resourceGroup.empty())
        return Fail(SDK_ERR_NOT_FOUND, "ResourceNotFound: Virtual network [" + network.name +
                                           "] is named without its resource group");
    rest::ArmClient& arm = *impl_->arm;
    const std::string path = NetworkPath(arm.subscriptionId(), resourceGroup, network.name);
    // Deleting a network that is not there succeeds on the cloud: it is looked for first.
    rest::ArmResult result = arm.get(path, rest::kNetworkVersion);
    if (result.ok) result = arm.remove(path, rest::kNetworkVersion);
    return result.ok || Fail(result.code, result.text);
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
