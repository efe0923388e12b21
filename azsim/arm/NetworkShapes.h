// Resource Manager's JSON shapes of the simulated network resources: virtual
// networks with their subnets, network interfaces, public IP addresses and
// network security groups. A VM's card that no interface resource stands for
// is served as an interface of the VM's group, so that every interface a VM
// names can be read.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "azsim/model/StateDocument.h"

namespace azsim {

// An interface as the cloud shows it: a resource, or a VM's card without one.
struct InterfaceView {
    NetworkInterface nic;
    bool card = false;                        // a VM's card with no resource of its own
    std::vector<std::string> securityGroups;  // ids of the groups its VM names
};

// Every interface of the subscription: the resources, then the cards no resource stands for.
std::vector<InterfaceView> Interfaces(const StateDocument& doc);

nlohmann::json SubnetJson(const VirtualNetwork& network, const Subnet& subnet);
nlohmann::json VirtualNetworkJson(const VirtualNetwork& network);
nlohmann::json NetworkInterfaceJson(const std::string& subscription, const InterfaceView& view);
nlohmann::json PublicIpJson(const std::string& subscription, const PublicIpAddress& address,
                            const std::vector<InterfaceView>& interfaces);
nlohmann::json SecurityGroupJson(const SecurityGroup& group, const std::vector<InterfaceView>& interfaces);

}  // namespace azsim
