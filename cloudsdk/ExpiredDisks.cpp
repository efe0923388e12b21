// Removal of expired managed disks that this product left in a region: only disks that carry
// "createdByJob" (of any job), were created before the expiry and are attached to no VM.
// A customer's disk never carries the tag, so it is never a candidate.
#include <ctime>

#include <boost/algorithm/string/predicate.hpp>

#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/CreatedByJob.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/rest/ApiVersions.h"
#include "cloudsdk/rest/ResourceLookup.h"

namespace AzureSDKCppBridge {

using boost::algorithm::iequals;
using nlohmann::json;

namespace {

// Seconds since the epoch of a time Resource Manager writes ("2024-01-31T12:00:00.000Z"); 0 when unreadable.
long long EpochOfTimeCreated(const std::string& text) {
    struct tm utc = {};
    if (!strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &utc)) return 0;
    return static_cast<long long>(timegm(&utc));
}

// The name of the subscription's location `region` names by its name or display name; empty when none does.
rest::ArmResult LocationOfRegion(rest::ArmClient& arm, const std::string& region, std::string& name) {
    rest::ArmResult locations =
        arm.list("/subscriptions/" + arm.subscriptionId() + "/locations", rest::kSubscriptionsVersion);
    for (const json& location : locations.ok ? locations.body : json::array())
        if (iequals(location.value("name", ""), region) || iequals(location.value("displayName", ""), region))
            name = location.value("name", "");
    return locations;
}

// A disk with a time it was made that is older than the expiry; one whose time cannot be read is kept.
bool ExpiredDisk(const json& disk, const std::string& location, std::time_t expiryTime) {
    const json tags = disk.value("tags", json::object());
    const long long created = EpochOfTimeCreated(disk.value("properties", json::object()).value("timeCreated", ""));
    return iequals(disk.value("location", ""), location) && tags.contains(kCreatedByJobTag) && created > 0 &&
           created < static_cast<long long>(expiryTime) && !disk.contains("managedBy");
}

}  // namespace

bool CAzureSDKCppBridge::DeleteExpiredDisks(const std::string& region, std::time_t expiryTime) try {
    nlohmann::json args = {{"region", region}, {"expiryTime", static_cast<long long>(expiryTime)}};
    if (std::optional<Refusal> refusal = impl_->begin("DeleteExpiredDisks", args))
        return Fail(refusal->code, refusal->text);
    rest::ArmClient& arm = *impl_->arm;
    std::string location;
    rest::ArmResult result = LocationOfRegion(arm, region, location);
    if (!result.ok) return Fail(result.code, result.text);
    if (location.empty()) return Fail(SDK_ERR_NOT_FOUND, "Region [" + region + "] does not exist");
    result = rest::ListOfType(arm, "Microsoft.Compute/disks", rest::kDiskVersion);
    if (!result.ok) return Fail(result.code, result.text);
    for (const json& disk : result.body) {
        if (!ExpiredDisk(disk, location, expiryTime)) continue;
        const rest::ArmResult removed = arm.remove(disk.value("id", ""), rest::kDiskVersion);
        if (!removed.ok && removed.code != SDK_ERR_NOT_FOUND) return Fail(removed.code, removed.text);
    }
    return true;
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
