// Network interfaces and public IP addresses created or updated by a PUT of their whole body, as a
// client builds a VM's network before the VM: an interface joins a subnet that exists, with an
// address and a security group that exist when it names them. A new resource answers 201, an
// update 200, both with an "Azure-AsyncOperation" that has ended.
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
const char* const kStatusVersion = "2023-09-01";

struct Refused {
    int status;
    std::string code;
    std::string message;
};

Refused MissingReference(const std::string& id, const std::string& by) {
    return {400, "InvalidResourceReference", "Resource " + id + " referenced by resource " + by + " was not found."};
}

// The body's location and tags, checked; refused when the location is not one of the subscription's.
const Region& ReadCommon(const StateDocument& doc, const json& body, const char* type, Tags& tags) {
    if (!body.is_object()) throw Refused{400, "InvalidRequestFormat", "The request body is not a JSON object."};
    const Region* region = doc.findRegion(body.value("location", ""));
    if (!region)
        throw Refused{400, "LocationNotAvailableForResourceType",
                      "The provided location '" + body.value("location", "") +
                          "' is not available for resource type 'Microsoft.Network/" + type + "'."};
    const json given = body.value("tags", json::object());
    for (const auto& [name, value] : given.items()) {
        if (!value.is_string()) throw Refused{400, "InvalidRequestFormat", "The value of tag '" + name + "' is not text."};
        tags[name] = value.get<std::string>();
    }
    return *region;
}

std::string IdAt(const json& object, const char* member) {
    const json value = object.value(member, json::object());
    return value.is_object() ? value.value("id", "") : "";
}

// What a PUT body asks of interface `nic`: its subnet (which names its network), address and security group.
void ReadInterface(const StateDocument& doc, const json& body, NetworkInterface& nic) {
    Tags tags;
    nic.region = ReadCommon(doc, body, "networkInterfaces", tags).name;
    if (body.contains("tags")) nic.tags = tags;
    const json properties = body.value("properties", json::object());
    const json configs = properties.value("ipConfigurations", json::array());
    if (!configs.is_array() || configs.empty() || !configs[0].is_object())
        throw Refused{400, "InvalidRequestFormat", "The network interface needs an IP configuration."};
    const json config = configs[0].value("properties", json::object());
    const std::string subnetId = IdAt(config, "subnet");
    const std::optional<ResourceId> subnet = ParseResourceId(subnetId);
    const VirtualNetwork* network =
        subnet && iequals(subnet->childType, "subnets") ? doc.findVirtualNetwork(subnet->name, subnet->resourceGroup)
                                                        : nullptr;
    const bool known = network && std::any_of(network->subnets.begin(), network->subnets.end(),
                                              [&](const Subnet& s) { return iequals(s.name, subnet->childName); });
    if (!known) throw MissingReference(subnetId, nic.id);
    nic.virtualNetwork = network->name;
    for (const Subnet& s : network->subnets)
        if (iequals(s.name, subnet->childName)) nic.subnet = s.id;
    nic.publicIp.clear();
    if (const std::string ipId = IdAt(config, "publicIPAddress"); !ipId.empty()) {
        const std::optional<ResourceId> ip = ParseResourceId(ipId);
        const PublicIpAddress* address = ip ? doc.findPublicIp(ip->name, ip->resourceGroup) : nullptr;
        if (!address || !iequals(ip->resourceGroup, nic.resourceGroup)) throw MissingReference(ipId, nic.id);
        nic.publicIp = address->name;
    }
    nic.securityGroup.clear();
    if (const std::string nsgId = IdAt(properties, "networkSecurityGroup"); !nsgId.empty()) {
        const std::optional<ResourceId> nsg = ParseResourceId(nsgId);
        const SecurityGroup* group = nsg ? doc.findSecurityGroup(nsg->name, nsg->resourceGroup) : nullptr;
        if (!group) throw MissingReference(nsgId, nic.id);
        nic.securityGroup = group->name;
    }
}

// A new address: 20.x.y.z.
std::string NewAddress() {
    const std::string hex = RandomHex(6);
    std::string address = "20";
    for (int i = 0; i < 3; ++i) address += "." + std::to_string(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    return address;
}

// Creates or updates the resource of `type` the path names; `write` changes it in the document and
// returns its JSON and region.
template <typename Write>
void put(ArmCall& call, Write write) {
    const std::string& group = call.path[3];
    const json body = json::parse(call.req.body, nullptr, false);
    bool created = false;
    std::string region;
    try {
        call.state.mutate([&](StateDocument& doc) {
            if (!doc.findResourceGroup(group))
                throw Refused{404, "ResourceGroupNotFound", "Resource group '" + group + "' could not be found."};
            created = write(doc, body, region);
            return true;
        });
    } catch (const Refused& refused) {
        return sendArmError(call.res, refused.status, refused.code, refused.message);
    } catch (const json::exception& e) {
        return sendArmError(call.res, 400, "InvalidRequestFormat", std::string("The request body is invalid: ") + e.what());
    }
    const StateDocument doc = call.state.load();
    const std::vector<InterfaceView> interfaces = Interfaces(doc);
    json out;
    if (iequals(call.path[6], "networkInterfaces")) {
        for (const InterfaceView& view : interfaces)
            if (!view.card && iequals(view.nic.name, call.path[7]) && iequals(view.nic.resourceGroup, group))
                out = NetworkInterfaceJson(call.subscription(), view);
    } else {
        out = PublicIpJson(call.subscription(), *doc.findPublicIp(call.path[7], group), interfaces);
    }
    call.accepted(kProvider, region, kStatusVersion, out);
    call.res.headers.erase("Location");
    sendJson(call.res, created ? 201 : 200, out);
}

void putInterface(ArmCall& call) {
    put(call, [&](StateDocument& doc, const json& body, std::string& region) {
        const std::string& group = call.path[3];
        const std::string& name = call.path[7];
        NetworkInterface* kept = doc.findNetworkInterface(name, group);
        NetworkInterface nic = kept ? *kept : NetworkInterface();
        if (!kept) {
            nic.name = name;
            nic.id = NetworkInterfaceId(call.subscription(), group, name);
            nic.resourceGroup = group;
        }
        ReadInterface(doc, body, nic);
        region = nic.region;
        if (kept) return *kept = nic, false;
        doc.networkInterfaces.push_back(nic);
        return true;
    });
}

void putPublicIp(ArmCall& call) {
    put(call, [&](StateDocument& doc, const json& body, std::string& region) {
        const std::string& group = call.path[3];
        const std::string& name = call.path[7];
        Tags tags;
        region = ReadCommon(doc, body, "publicIPAddresses", tags).name;
        if (PublicIpAddress* kept = doc.findPublicIp(name, group)) {
            if (body.contains("tags")) kept->tags = tags;
            region = kept->region;
            return false;
        }
        PublicIpAddress ip;
        ip.name = name;
        ip.id = PublicIpId(call.subscription(), group, name);
        ip.resourceGroup = group;
        ip.region = region;
        ip.address = NewAddress();
        ip.tags = tags;
        doc.publicIps.push_back(ip);
        return true;
    });
}

}  // namespace

bool ServeNetworkWrites(ArmCall& call) {
    if (!call.is("PUT") ||
        !call.shaped({"subscriptions", "*", "resourcegroups", "*", "providers", kProvider, "*", "*"}))
        return false;
    if (iequals(call.path[6], "networkInterfaces")) return putInterface(call), true;
    if (iequals(call.path[6], "publicIPAddresses")) return putPublicIp(call), true;
    return false;
}

}  // namespace azsim
