// Virtual networks the host asks for: creation in a resource group, and deletion, which the
// cloud refuses while a network interface (a VM's card or an interface resource) uses the network.
#include <algorithm>

#include <boost/algorithm/string/predicate.hpp>

#include "azsim/model/ResourceIds.h"
#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/CreatedByJob.h"
#include "cloudsdk/NetworkRules.h"
#include "cloudsdk/RecordMapping.h"
#include "cloudsdk/SdkErrorCodes.h"

namespace AzureSDKCppBridge {

using azsim::StateDocument;
using boost::algorithm::iequals;

namespace {

constexpr const char* kDefaultAddressPrefix = "10.0.0.0/16";
constexpr const char* kDefaultSubnet = "default";

// Whether a card naming `network` and `subnetId` is in `net`: by its subnet's id when it has
// one, else by the network's name alone (such a card may name a network of any group).
bool CardInNetwork(const std::string& network, const std::string& subnetId, const azsim::VirtualNetwork& net) {
    if (!subnetId.empty()) return boost::algorithm::istarts_with(subnetId, net.id + "/subnets/");
    return iequals(network, net.name);
}

// The first interface using the network, as "network interface [name]", or empty when none does.
std::string NetworkUser(const StateDocument& doc, const azsim::VirtualNetwork& net) {
    for (const azsim::VirtualMachine& vm : doc.vms)
        for (const azsim::NetworkCard& card : vm.nics)
            if (CardInNetwork(card.virtualNetwork, card.subnetId, net))
                return "network interface [" + card.name + "] of VM [" + vm.name + "]";
    for (const azsim::NetworkInterface& nic : doc.networkInterfaces)
        if (CardInNetwork(nic.virtualNetwork, nic.subnet, net)) return "network interface [" + nic.name + "]";
    return std::string();
}

azsim::VirtualNetwork NewNetwork(const StateDocument& doc, const VMInfoStructs::SNetworkInfo& request,
                                 const azsim::ResourceGroup& group, const std::string& jobId) {
    azsim::VirtualNetwork net;
    net.name = request.name;
    net.resourceGroup = group.name;
    net.id = azsim::VirtualNetworkId(doc.subscription().id, group.name, request.name);
    const azsim::Region* region = doc.findRegion(request.location.empty() ? group.region : request.location);
    if (!region)
        throw OperationFailure(SDK_ERR_NOT_FOUND, "LocationNotAvailableForResourceType: region [" +
                                                      (request.location.empty() ? group.region : request.location) +
                                                      "] does not exist");
    net.region = region->name;
    net.addressPrefix = request.addressPrefix.empty() ? kDefaultAddressPrefix : request.addressPrefix;
    std::vector<std::string> subnets = request.subnets;
    if (subnets.empty()) subnets.push_back(kDefaultSubnet);
    for (const std::string& name : subnets) {
        if (name.empty())
            throw OperationFailure(SDK_ERR_GENERAL, "InvalidResourceName: a subnet of network [" + net.name +
                                                        "] has no name");
        bool repeated = std::any_of(net.subnets.begin(), net.subnets.end(),
                                    [&](const azsim::Subnet& s) { return iequals(s.name, name); });
        if (repeated)
            throw OperationFailure(SDK_ERR_GENERAL, "DuplicateResourceName: subnet [" + name +
                                                        "] is listed twice for network [" + net.name + "]");
        net.subnets.push_back({name, azsim::SubnetId(doc.subscription().id, group.name, net.name, name), ""});
    }
    net.tags = CreatedByJobTags(jobId);
    return net;
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
    VMInfoStructs::SNetworkInfo created;
    impl_->subscription->mutate([&](StateDocument& doc) {
        const azsim::ResourceGroup* group = doc.findResourceGroup(resourceGroup);
        if (!group)
            throw OperationFailure(SDK_ERR_NOT_FOUND,
                                   "ResourceGroupNotFound: Resource group '" + resourceGroup + "' could not be found.");
        if (doc.findVirtualNetwork(network.name, group->name))
            throw OperationFailure(SDK_ERR_GENERAL, "Virtual network [" + network.name +
                                                        "] already exists in resource group [" + group->name + "]");
        azsim::VirtualNetwork net = NewNetwork(doc, network, *group, impl_->jobId);
        created = NetworkRecord(net);
        doc.virtualNetworks.push_back(net);
        return true;
    });
    network = created;
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::DeleteVirtualNetwork(const VMInfoStructs::SNetworkInfo& network,
                                              const std::string& resourceGroup) try {
    nlohmann::json args = {{"network", network.name}, {"resourceGroup", resourceGroup}};
    if (std::optional<Refusal> refusal = impl_->begin("DeleteVirtualNetwork", args))
        return Fail(refusal->code, refusal->text);
    impl_->subscription->mutate([&](StateDocument& doc) {
        const azsim::VirtualNetwork* net =
            resourceGroup.empty() ? nullptr : doc.findVirtualNetwork(network.name, resourceGroup);
        if (!net)
            throw OperationFailure(SDK_ERR_NOT_FOUND, "ResourceNotFound: Virtual network [" + network.name +
                                                          "] does not exist in resource group [" + resourceGroup +
                                                          "]");
        const std::string user = NetworkUser(doc, *net);
        if (!user.empty())
            throw OperationFailure(SDK_ERR_GENERAL, "InUseSubnetCannotBeDeleted: Virtual network [" + net->name +
                                                        "] is in use by " + user);
        const std::string id = net->id;
        doc.virtualNetworks.erase(
            std::remove_if(doc.virtualNetworks.begin(), doc.virtualNetworks.end(),
                           [&](const azsim::VirtualNetwork& n) { return iequals(n.id, id); }),
            doc.virtualNetworks.end());
        return true;
    });
    return true;
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
