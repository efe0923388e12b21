#include "azsim/arm/NetworkShapes.h"

#include <boost/algorithm/string/predicate.hpp>

#include "azsim/model/ResourceIds.h"

namespace azsim {

namespace {

using boost::algorithm::iequals;
using nlohmann::json;

const char* const kIpConfiguration = "ipconfig1";

json TagsJson(const Tags& tags) {
    json out = json::object();
    for (const auto& [name, value] : tags) out[name] = value;
    return out;
}

json Resource(const std::string& id, const std::string& name, const std::string& type, const std::string& region,
              const Tags& tags) {
    return {{"id", id}, {"name", name}, {"type", type}, {"location", region}, {"tags", TagsJson(tags)}};
}

std::string InterfaceId(const std::string& subscription, const NetworkInterface& nic) {
    return nic.id.empty() ? NetworkInterfaceId(subscription, nic.resourceGroup, nic.name) : nic.id;
}

bool HasInterfaceResource(const StateDocument& doc, const std::string& name, const std::string& group) {
    for (const NetworkInterface& nic : doc.networkInterfaces)
        if (iequals(nic.name, name) && iequals(nic.resourceGroup, group)) return true;
    return false;
}

// The ids of the security groups `vm` names.
std::vector<std::string> SecurityGroupsOf(const StateDocument& doc, const VirtualMachine* vm) {
    std::vector<std::string> ids;
    if (vm)
        for (const std::string& name : vm->securityGroups)
            if (const SecurityGroup* group = doc.findSecurityGroup(name)) ids.push_back(group->id);
    return ids;
}

const VirtualMachine* VmById(const StateDocument& doc, const std::string& subscription, const std::string& id) {
    for (const VirtualMachine& vm : doc.vms)
        if (iequals(VirtualMachineId(subscription, vm.resourceGroup, vm.name), id)) return &vm;
    return nullptr;
}

}  // namespace

std::vector<InterfaceView> Interfaces(const StateDocument& doc) {
    const std::string subscription = doc.subscription().id;
    std::vector<InterfaceView> out;
    for (const NetworkInterface& nic : doc.networkInterfaces) {
        InterfaceView view{nic, false, SecurityGroupsOf(doc, VmById(doc, subscription, nic.virtualMachine))};
        view.nic.id = InterfaceId(subscription, nic);
        out.push_back(view);
    }
    for (const VirtualMachine& vm : doc.vms)
        for (const NetworkCard& card : vm.nics) {
            if (HasInterfaceResource(doc, card.name, vm.resourceGroup)) continue;
            InterfaceView view;
            view.card = true;
            view.nic.name = card.name;
            view.nic.resourceGroup = vm.resourceGroup;
            view.nic.id = NetworkInterfaceId(subscription, vm.resourceGroup, card.name);
            view.nic.region = vm.region;
            view.nic.virtualNetwork = card.virtualNetwork;
            view.nic.subnet = card.subnetId;
            view.nic.virtualMachine = VirtualMachineId(subscription, vm.resourceGroup, vm.name);
            view.securityGroups = SecurityGroupsOf(doc, &vm);
            out.push_back(view);
        }
    return out;
}

json SubnetJson(const VirtualNetwork& network, const Subnet& subnet) {
    json properties = {{"provisioningState", "Succeeded"}};
    if (!subnet.addressPrefix.empty()) properties["addressPrefix"] = subnet.addressPrefix;
    return {{"id", subnet.id.empty() ? network.id + "/subnets/" + subnet.name : subnet.id},
            {"name", subnet.name},
            {"type", "Microsoft.Network/virtualNetworks/subnets"},
            {"properties", properties}};
}

json VirtualNetworkJson(const VirtualNetwork& network) {
    json subnets = json::array();
    for (const Subnet& subnet : network.subnets) subnets.push_back(SubnetJson(network, subnet));
    json out = Resource(network.id, network.name, "Microsoft.Network/virtualNetworks", network.region, network.tags);
    json prefixes = json::array();
    if (!network.addressPrefix.empty()) prefixes.push_back(network.addressPrefix);
    out["properties"] = {{"addressSpace", {{"addressPrefixes", prefixes}}},
                         {"subnets", subnets},
                         {"provisioningState", "Succeeded"}};
    return out;
}

json NetworkInterfaceJson(const std::string& subscription, const InterfaceView& view) {
    const NetworkInterface& nic = view.nic;
    json ipProperties = {{"privateIPAllocationMethod", "Dynamic"}, {"primary", true},
                         {"provisioningState", "Succeeded"}};
    if (!nic.subnet.empty()) ipProperties["subnet"] = {{"id", nic.subnet}};
    if (!nic.publicIp.empty())
        ipProperties["publicIPAddress"] = {{"id", PublicIpId(subscription, nic.resourceGroup, nic.publicIp)}};
    json properties = {
        {"ipConfigurations",
         {{{"id", nic.id + "/ipConfigurations/" + kIpConfiguration}, {"name", kIpConfiguration},
           {"properties", ipProperties}}}},
        {"provisioningState", "Succeeded"}};
    if (!nic.virtualMachine.empty()) properties["virtualMachine"] = {{"id", nic.virtualMachine}};
    if (!view.securityGroups.empty()) properties["networkSecurityGroup"] = {{"id", view.securityGroups.front()}};
    json out = Resource(nic.id, nic.name, "Microsoft.Network/networkInterfaces", nic.region, nic.tags);
    out["properties"] = properties;
    return out;
}

json PublicIpJson(const std::string& subscription, const PublicIpAddress& address,
                  const std::vector<InterfaceView>& interfaces) {
    const std::string id = address.id.empty() ? PublicIpId(subscription, address.resourceGroup, address.name)
                                              : address.id;
    json properties = {{"publicIPAllocationMethod", "Static"}, {"publicIPAddressVersion", "IPv4"},
                       {"provisioningState", "Succeeded"}};
    if (!address.address.empty()) properties["ipAddress"] = address.address;
    for (const InterfaceView& view : interfaces)
        if (iequals(view.nic.publicIp, address.name) && iequals(view.nic.resourceGroup, address.resourceGroup))
            properties["ipConfiguration"] = {{"id", view.nic.id + "/ipConfigurations/" + kIpConfiguration}};
    json out = Resource(id, address.name, "Microsoft.Network/publicIPAddresses", address.region, address.tags);
    out["sku"] = {{"name", "Standard"}};
    out["properties"] = properties;
    return out;
}

json SecurityGroupJson(const SecurityGroup& group, const std::vector<InterfaceView>& interfaces) {
    json users = json::array();
    for (const InterfaceView& view : interfaces)
        for (const std::string& id : view.securityGroups)
            if (iequals(id, group.id)) users.push_back({{"id", view.nic.id}});
    json out = Resource(group.id, group.name, "Microsoft.Network/networkSecurityGroups", group.region, Tags());
    out["properties"] = {{"securityRules", json::array()}, {"networkInterfaces", users},
                         {"provisioningState", "Succeeded"}};
    return out;
}

}  // namespace azsim
