// Network resources: virtual networks (with their subnets), network interfaces, public IP
// addresses and network security groups, listed per subscription and group and read one by one;
// virtual networks created and deleted, interfaces and public IP addresses deleted. A deletion
// the cloud refuses while the resource is in use answers 400 and changes nothing.
#include <algorithm>
#include <cstdint>
#include <cstdio>

#include <boost/algorithm/string/predicate.hpp>

#include "azsim/arm/ArmCall.h"
#include "azsim/arm/ArmReply.h"
#include "azsim/arm/NetworkShapes.h"
#include "azsim/model/ResourceIds.h"

namespace azsim {

namespace {

using boost::algorithm::iequals;
using nlohmann::json;

const char* const kProvider = "Microsoft.Network";
const char* const kNetworks = "virtualNetworks";
const char* const kInterfaces = "networkInterfaces";
const char* const kPublicIps = "publicIPAddresses";
const char* const kSecurityGroups = "networkSecurityGroups";
const char* const kNetworkVersion = "2023-09-01";

// One resource of a listed type, with its group and JSON.
struct Listed {
    std::string group;
    std::string name;
    json body;
};

bool Served(const std::string& type) {
    return iequals(type, kNetworks) || iequals(type, kInterfaces) || iequals(type, kPublicIps) ||
           iequals(type, kSecurityGroups);
}

// Every resource of `type` (one of the four above, any case); false for a type not served.
bool ListType(const StateDocument& doc, const std::string& type, std::vector<Listed>& out) {
    const std::string subscription = doc.subscription().id;
    const std::vector<InterfaceView> interfaces = Interfaces(doc);
    if (iequals(type, kNetworks)) {
        for (const VirtualNetwork& net : doc.virtualNetworks)
            out.push_back({net.resourceGroup, net.name, VirtualNetworkJson(net)});
    } else if (iequals(type, kInterfaces)) {
        for (const InterfaceView& view : interfaces)
            out.push_back({view.nic.resourceGroup, view.nic.name, NetworkInterfaceJson(subscription, view)});
    } else if (iequals(type, kPublicIps)) {
        for (const PublicIpAddress& address : doc.publicIps)
            out.push_back({address.resourceGroup, address.name, PublicIpJson(subscription, address, interfaces)});
    } else if (iequals(type, kSecurityGroups)) {
        for (const SecurityGroup& group : doc.securityGroups)
            out.push_back({group.resourceGroup, group.name, SecurityGroupJson(group, interfaces)});
    } else {
        return false;
    }
    return true;
}

std::string TypeName(const std::string& type) { return std::string(kProvider) + "/" + type; }

bool list(ArmCall& call, const std::string& type, const std::string& group) {
    const StateDocument doc = call.state.load();
    std::vector<Listed> all;
    if (!ListType(doc, type, all)) return false;
    if (!group.empty() && !doc.findResourceGroup(group)) return sendGroupNotFound(call.res, group), true;
    json value = json::array();
    for (const Listed& item : all)
        if (group.empty() || iequals(item.group, group)) value.push_back(item.body);
    sendJson(call.res, 200, {{"value", value}});
    return true;
}

// The resource `name` of `type` in `group`; null after answering 404 when there is none.
json findOne(ArmCall& call, const StateDocument& doc, const std::string& type, const std::string& group,
             const std::string& name) {
    std::vector<Listed> all;
    ListType(doc, type, all);
    if (!doc.findResourceGroup(group)) return sendGroupNotFound(call.res, group), nullptr;
    for (const Listed& item : all)
        if (iequals(item.group, group) && iequals(item.name, name)) return item.body;
    sendResourceNotFound(call.res, TypeName(type), group, name);
    return nullptr;
}

bool getOne(ArmCall& call, const std::string& type) {
    if (!Served(type)) return false;
    const json body = findOne(call, call.state.load(), type, call.path[3], call.path[7]);
    if (!body.is_null()) sendJson(call.res, 200, body);
    return true;
}

void subnets(ArmCall& call) {
    const json network = findOne(call, call.state.load(), kNetworks, call.path[3], call.path[7]);
    if (network.is_null()) return;
    const json all = network["properties"]["subnets"];
    if (call.path.size() == 9) return sendJson(call.res, 200, {{"value", all}});
    for (const json& subnet : all)
        if (iequals(subnet.value("name", ""), call.path[9])) return sendJson(call.res, 200, subnet);
    sendResourceNotFound(call.res, TypeName(kNetworks) + "/subnets", call.path[3], call.path[7] + "/" + call.path[9]);
}

// A refusal of the request, with Azure's status and code.
struct Refused {
    int status;
    std::string code;
    std::string message;
};

// An address range "a.b.c.d/n".
struct Range {
    std::uint32_t base = 0;
    unsigned bits = 0;
};

std::optional<Range> ReadRange(const std::string& text) {
    unsigned a = 0, b = 0, c = 0, d = 0, bits = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%u.%u.%u.%u/%u%c", &a, &b, &c, &d, &bits, &tail) != 5 || a > 255 || b > 255 ||
        c > 255 || d > 255 || bits > 32)
        return std::nullopt;
    return Range{(a << 24) | (b << 16) | (c << 8) | d, bits};
}

// True when the first `bits` bits of both addresses are the same.
bool SamePrefix(std::uint32_t x, std::uint32_t y, unsigned bits) {
    return bits == 0 || ((x ^ y) >> (32 - bits)) == 0;
}

// Why the cloud refuses the subnets' ranges: one outside every range of the network's address
// space, or two that overlap. Subnets given without a range are not checked.
std::optional<Refused> SubnetRangeRefusal(const VirtualNetwork& net, const json& space) {
    std::vector<std::pair<std::string, Range>> taken;
    for (const Subnet& subnet : net.subnets) {
        if (subnet.addressPrefix.empty()) continue;
        const std::optional<Range> range = ReadRange(subnet.addressPrefix);
        bool inside = false;
        for (const json& prefix : space) {
            const std::optional<Range> outer = ReadRange(prefix.is_string() ? prefix.get<std::string>() : "");
            inside = inside || (range && outer && range->bits >= outer->bits &&
                                SamePrefix(range->base, outer->base, outer->bits));
        }
        if (!inside)
            return Refused{400, "NetcfgSubnetRangeOutsideVnet",
                           "Subnet '" + subnet.name + "' is not valid because its IP address range is outside the IP "
                           "address range of virtual network '" + net.name + "'."};
        for (const auto& [other, earlier] : taken)
            if (SamePrefix(range->base, earlier.base, std::min(range->bits, earlier.bits)))
                return Refused{400, "NetcfgSubnetRangesOverlap",
                               "Subnet '" + subnet.name + "' is not valid because its IP address range overlaps with "
                               "that of subnet '" + other + "' in virtual network '" + net.name + "'."};
        taken.emplace_back(subnet.name, *range);
    }
    return std::nullopt;
}

// The network a PUT body describes, or the reason it is refused.
std::optional<Refused> ReadNetwork(const StateDocument& doc, const json& body, const ResourceGroup& group,
                                   VirtualNetwork& net) {
    if (!body.is_object()) return Refused{400, "InvalidRequestFormat", "The request body is not a JSON object."};
    const Region* region = doc.findRegion(body.value("location", ""));
    if (!region)
        return Refused{400, "LocationNotAvailableForResourceType",
                       "The provided location '" + body.value("location", "") +
                           "' is not available for resource type 'Microsoft.Network/virtualNetworks'."};
    net.region = region->name;
    const json properties = body.value("properties", json::object());
    const json prefixes = properties.value("addressSpace", json::object()).value("addressPrefixes", json::array());
    net.addressPrefix = prefixes.empty() ? std::string() : prefixes[0].get<std::string>();
    for (const json& entry : properties.value("subnets", json::array())) {
        const std::string name = entry.value("name", "");
        if (name.empty()) return Refused{400, "InvalidResourceName", "A subnet of network '" + net.name + "' has no name."};
        const bool repeated = std::any_of(net.subnets.begin(), net.subnets.end(),
                                          [&](const Subnet& s) { return iequals(s.name, name); });
        if (repeated)
            return Refused{400, "DuplicateResourceName",
                           "Subnet '" + name + "' is listed twice for network '" + net.name + "'."};
        net.subnets.push_back({name, SubnetId(doc.subscription().id, group.name, net.name, name),
                               entry.value("properties", json::object()).value("addressPrefix", "")});
    }
    if (std::optional<Refused> refused = SubnetRangeRefusal(net, prefixes)) return refused;
    const json tags = body.value("tags", json::object());
    for (const auto& [tag, value] : tags.items())
        if (value.is_string()) net.tags[tag] = value.get<std::string>();
    return std::nullopt;
}

void putNetwork(ArmCall& call) {
    const std::string& groupName = call.path[3];
    const json body = json::parse(call.req.body, nullptr, false);
    std::optional<Refused> refused;
    bool created = false;
    VirtualNetwork stored;
    call.state.mutate([&](StateDocument& doc) {
        const ResourceGroup* group = doc.findResourceGroup(groupName);
        if (!group) return false;
        VirtualNetwork net;
        net.name = call.path[7];
        net.resourceGroup = group->name;
        net.id = VirtualNetworkId(call.subscription(), group->name, net.name);
        refused = ReadNetwork(doc, body, *group, net);
        if (refused) return false;
        VirtualNetwork* existing = doc.findVirtualNetwork(net.name, group->name);
        created = existing == nullptr;
        if (existing) {
            net.name = existing->name;
            net.id = existing->id;
            *existing = net;
        } else {
            doc.virtualNetworks.push_back(net);
        }
        stored = net;
        return true;
    });
    if (refused) return sendArmError(call.res, refused->status, refused->code, refused->message);
    if (stored.id.empty()) return sendGroupNotFound(call.res, groupName);
    const json result = VirtualNetworkJson(stored);
    call.accepted(kProvider, stored.region, kNetworkVersion, result);
    sendJson(call.res, created ? 201 : 200, result);
}

// What keeps a network from being deleted: the first interface with an address in one of its
// subnets, as "network interface [name]" (with " of VM [vm]" for a VM's card); empty when none.
std::string NetworkUser(const StateDocument& doc, const VirtualNetwork& net) {
    for (const InterfaceView& view : Interfaces(doc)) {
        const bool inside = view.nic.subnet.empty() ? iequals(view.nic.virtualNetwork, net.name)
                                                    : boost::algorithm::istarts_with(view.nic.subnet, net.id + "/subnets/");
        if (!inside) continue;
        std::string user = "network interface [" + view.nic.name + "]";
        for (const VirtualMachine& vm : doc.vms)
            if (iequals(VirtualMachineId(doc.subscription().id, vm.resourceGroup, vm.name), view.nic.virtualMachine))
                user += " of VM [" + vm.name + "]";
        return user;
    }
    return std::string();
}

// Why the resource may not go now (empty when it may), for each type that can be deleted.
std::optional<Refused> DeletionRefusal(const StateDocument& doc, const std::string& type, const Listed& item) {
    if (iequals(type, kNetworks)) {
        const std::string user = NetworkUser(doc, *doc.findVirtualNetwork(item.name, item.group));
        if (!user.empty())
            return Refused{400, "InUseSubnetCannotBeDeleted",
                           "Virtual network [" + item.name + "] is in use by " + user + " and cannot be deleted."};
    } else if (iequals(type, kInterfaces)) {
        const json vm = item.body["properties"].value("virtualMachine", json::object());
        if (!vm.empty())
            return Refused{400, "NicInUse", "Network Interface " + item.body.value("id", "") +
                                                " is used by existing resource " + vm.value("id", "") +
                                                ". In order to delete the network interface, it must be dissociated "
                                                "from the resource."};
    } else {
        const json configuration = item.body["properties"].value("ipConfiguration", json::object());
        const PublicIpAddress* address = doc.findPublicIp(item.name, item.group);
        if (!configuration.empty() || (address && !address->virtualMachine.empty()))
            return Refused{400, "PublicIPAddressCannotBeDeleted",
                           "Public IP address " + item.body.value("id", "") + " can not be deleted since it is still "
                           "allocated to resource " + configuration.value("id", address ? address->virtualMachine : "") +
                               "."};
    }
    return std::nullopt;
}

template <typename T>
void EraseNamed(std::vector<T>& all, const Listed& item) {
    all.erase(std::remove_if(all.begin(), all.end(),
                             [&](const T& r) { return iequals(r.name, item.name) && iequals(r.resourceGroup, item.group); }),
              all.end());
}

bool deleteOne(ArmCall& call, const std::string& type) {
    if (!iequals(type, kNetworks) && !iequals(type, kInterfaces) && !iequals(type, kPublicIps)) return false;
    const std::string& group = call.path[3];
    std::optional<Refused> refused;
    bool groupFound = false;
    std::string region;
    call.state.mutate([&](StateDocument& doc) {
        groupFound = doc.findResourceGroup(group) != nullptr;
        std::vector<Listed> all;
        ListType(doc, type, all);
        for (const Listed& item : all) {
            if (!iequals(item.group, group) || !iequals(item.name, call.path[7])) continue;
            refused = DeletionRefusal(doc, type, item);
            if (refused) return false;
            region = item.body.value("location", "");
            if (iequals(type, kNetworks)) EraseNamed(doc.virtualNetworks, item);
            if (iequals(type, kInterfaces)) EraseNamed(doc.networkInterfaces, item);
            if (iequals(type, kPublicIps)) EraseNamed(doc.publicIps, item);
            return true;
        }
        return false;
    });
    if (!groupFound) return sendGroupNotFound(call.res, group), true;
    if (refused) return sendArmError(call.res, refused->status, refused->code, refused->message), true;
    // Deleting what is not there succeeds with nothing to do.
    if (region.empty()) return call.res.status = 204, true;
    call.accepted(kProvider, region, kNetworkVersion);
    return true;
}

}  // namespace

bool ServeNetworkRoutes(ArmCall& call) {
    const Segments& p = call.path;
    const bool inGroup = p.size() >= 7 && iequals(p[2], "resourcegroups") && iequals(p[5], kProvider);
    if (call.is("GET") && p.size() == 5 && iequals(p[2], "providers") && iequals(p[3], kProvider))
        return list(call, p[4], std::string());
    if (!inGroup) return false;
    if (call.is("GET") && p.size() == 7) return list(call, p[6], p[3]);
    if (call.is("GET") && p.size() == 8) return getOne(call, p[6]);
    if (call.is("DELETE") && p.size() == 8) return deleteOne(call, p[6]);
    if (call.is("PUT") && p.size() == 8 && iequals(p[6], kNetworks)) return putNetwork(call), true;
    if (call.is("GET") && (p.size() == 9 || p.size() == 10) && iequals(p[6], kNetworks) && iequals(p[8], "subnets"))
        return subnets(call), true;
    return false;
}

}  // namespace azsim
