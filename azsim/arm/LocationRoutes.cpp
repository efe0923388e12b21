// What the subscription offers per location: the VM sizes of one, the resource SKUs
// (each size's capabilities and zones, per location), and the marketplace images of one
// (publishers, their offers, an offer's SKUs and a SKU's versions).
#include <boost/algorithm/string/predicate.hpp>

#include <sstream>

#include "azsim/arm/ArmCall.h"
#include "azsim/arm/ArmReply.h"

namespace azsim {

namespace {

using boost::algorithm::iequals;
using nlohmann::json;

// The size as Azure lists it: what a size list holds and no more (its other capabilities are the
// resource SKU's).
json SizeJson(const VmSize& size) {
    return {{"name", size.name},
            {"numberOfCores", size.cpus},
            {"memoryInMB", size.memoryMB},
            {"maxDataDiskCount", size.maxDataDisks},
            {"osDiskSizeInMB", 1047552},
            {"resourceDiskSizeInMB", 0}};
}

// `value` as the SKU list writes numbers: "8", "0.75".
std::string Number(double value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

// The size as a resource SKU of `region`: its capabilities as name/value strings, its zones in the
// location's details.
json SkuJson(const VmSize& size, const Region& region) {
    json zones = json::array();
    for (std::size_t start = 0; start < size.zones.size();) {
        const std::size_t end = std::min(size.zones.find(',', start), size.zones.size());
        zones.push_back(size.zones.substr(start, end - start));
        start = end + 1;
    }
    const auto capability = [](const char* name, const std::string& value) {
        return json{{"name", name}, {"value", value}};
    };
    const std::string tier = size.name.substr(0, size.name.find('_'));
    return {{"resourceType", "virtualMachines"},
            {"name", size.name},
            {"tier", tier},
            {"size", size.name.substr(std::min(size.name.size(), tier.size() + 1))},
            {"locations", {region.name}},
            {"locationInfo", {{{"location", region.name}, {"zones", zones}}}},
            {"capabilities",
             {capability("vCPUs", std::to_string(size.cpus)),
              capability("MemoryGB", Number(size.memoryMB / 1024.0)),
              capability("MaxDataDiskCount", std::to_string(size.maxDataDisks)),
              capability("MaxNetworkInterfaces", std::to_string(size.maxNics)),
              capability("PremiumIO", size.premiumIO ? "True" : "False"),
              capability("HyperVGenerations", size.gen2Supported ? "V1,V2" : "V1")}},
            {"restrictions", json::array()}};
}

// The location a "$filter" of the SKU list names ("location eq 'westeurope'"); empty for none.
std::string FilteredLocation(const std::string& filter) {
    const std::size_t open = filter.find('\'');
    const std::size_t close = open == std::string::npos ? open : filter.find('\'', open + 1);
    if (close == std::string::npos || !boost::algorithm::istarts_with(filter, "location")) return std::string();
    return filter.substr(open + 1, close - open - 1);
}

void listSkus(ArmCall& call) {
    const StateDocument doc = call.state.load();
    const std::string location = FilteredLocation(call.req.get_param_value("$filter"));
    json value = json::array();
    for (const Region& region : doc.regions)
        if (location.empty() || iequals(region.name, location))
            for (const VmSize& size : region.vmSizes) value.push_back(SkuJson(size, region));
    sendJson(call.res, 200, {{"value", value}});
}

const Region* findLocation(ArmCall& call, const StateDocument& doc) {
    const Region* region = doc.findRegion(call.path[5]);
    if (!region)
        sendArmError(call.res, 404, "LocationNotFound",
                     "The location '" + call.path[5] + "' is not available for this subscription.");
    return region;
}

void listSizes(ArmCall& call) {
    const StateDocument doc = call.state.load();
    const Region* region = findLocation(call, doc);
    if (!region) return;
    json value = json::array();
    for (const VmSize& size : region->vmSizes) value.push_back(SizeJson(size));
    sendJson(call.res, 200, {{"value", value}});
}

// The marketplace catalogue of one location, one level at a time: each answer is a bare array of
// {name, location, id} as Azure gives it; the level is chosen by the number of path segments.
void catalogue(ArmCall& call) {
    const StateDocument doc = call.state.load();
    const Region* region = findLocation(call, doc);
    if (!region) return;
    const Segments& p = call.path;
    const std::size_t depth = p.size();  // 7 publishers, 11 offers, 13 SKUs, 15 versions
    std::string base;
    for (std::size_t i = 0; i < depth; ++i) base += "/" + p[i];
    json out = json::array();
    for (const MarketplaceImage& image : doc.images) {
        if (doc.findRegion(image.location) != region) continue;
        if (depth >= 11 && !iequals(image.publisher, p[7])) continue;
        if (depth >= 13 && !iequals(image.offer, p[11])) continue;
        if (depth >= 15 && !iequals(image.sku, p[13])) continue;
        const std::string& name =
            depth == 7 ? image.publisher : depth == 11 ? image.offer : depth == 13 ? image.sku : image.version;
        bool listed = false;
        for (const json& item : out) listed = listed || iequals(item.value("name", ""), name);
        if (!listed) out.push_back({{"name", name}, {"location", region->name}, {"id", base + "/" + name}});
    }
    if (out.empty() && depth > 7)
        return sendArmError(call.res, 404, "NotFound", "Artifact: VMImage was not found.");
    sendJson(call.res, 200, out);
}

}  // namespace

bool ServeLocationRoutes(ArmCall& call) {
    if (!call.is("GET")) return false;
    if (call.shaped({"subscriptions", "*", "providers", "Microsoft.Compute", "locations", "*", "vmSizes"}))
        return listSizes(call), true;
    if (call.shaped({"subscriptions", "*", "providers", "Microsoft.Compute", "skus"})) return listSkus(call), true;
    const char* const at = "Microsoft.Compute";
    if (call.shaped({"subscriptions", "*", "providers", at, "locations", "*", "publishers"}) ||
        call.shaped({"subscriptions", "*", "providers", at, "locations", "*", "publishers", "*", "artifacttypes",
                     "vmimage", "offers"}) ||
        call.shaped({"subscriptions", "*", "providers", at, "locations", "*", "publishers", "*", "artifacttypes",
                     "vmimage", "offers", "*", "skus"}) ||
        call.shaped({"subscriptions", "*", "providers", at, "locations", "*", "publishers", "*", "artifacttypes",
                     "vmimage", "offers", "*", "skus", "*", "versions"}))
        return catalogue(call), true;
    return false;
}

}  // namespace azsim
