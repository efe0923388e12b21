// What the subscription offers per location: the VM sizes of one,
// and the marketplace images of one (publishers, their offers, an offer's SKUs
// and a SKU's versions).
#include <boost/algorithm/string/predicate.hpp>

#include "azsim/arm/ArmCall.h"
#include "azsim/arm/ArmReply.h"

namespace azsim {

namespace {

using boost::algorithm::iequals;
using nlohmann::json;

// The size as Azure lists it, with what the simulated region also knows of it: its network
// interfaces, premium storage, VM generations and zones.
json SizeJson(const VmSize& size) {
    json zones = json::array();
    for (std::size_t start = 0; start < size.zones.size();) {
        const std::size_t end = std::min(size.zones.find(',', start), size.zones.size());
        zones.push_back(size.zones.substr(start, end - start));
        start = end + 1;
    }
    return {{"name", size.name},
            {"numberOfCores", size.cpus},
            {"memoryInMB", size.memoryMB},
            {"maxDataDiskCount", size.maxDataDisks},
            {"osDiskSizeInMB", 1047552},
            {"resourceDiskSizeInMB", 0},
            {"maxNetworkInterfaces", size.maxNics},
            {"premiumIO", size.premiumIO},
            {"hyperVGenerations", size.gen2Supported ? "V1,V2" : "V1"},
            {"zones", zones}};
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
