#include "cloudsdk/ManagedSnapshotSets.h"

#include <ctime>

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/predicate.hpp>

#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/CreatedByJob.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/SnapshotSets.h"
#include "cloudsdk/rest/ApiVersions.h"
#include "cloudsdk/rest/ResourceLookup.h"

namespace AzureSDKCppBridge {

using boost::algorithm::iequals;

namespace {

// Seconds since the epoch of a time Resource Manager writes ("2024-01-31T12:00:00.000Z"); 0 when unreadable.
long long EpochOfIsoTime(const std::string& text) {
    struct tm utc = {};
    if (!strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &utc)) return 0;
    return static_cast<long long>(timegm(&utc));
}

// The snapshot of one managed disk, named after the set's marker and GUID, in the disk's group and location.
VMInfoStructs::SDisk SnapshotDisk(rest::ArmClient& arm, const VMInfoStructs::SDisk& disk,
                                  const std::map<std::string, std::string>& tags, long long now,
                                  std::vector<std::string>& made) {
    rest::ArmResult source = arm.get(disk.managedDiskId, rest::kDiskVersion);
    if (!source.ok) throw OperationFailure(source.code, source.text);
    const std::string name =
        SnapshotName(source.body.value("name", ""), tags.at(kMarkerTag), now, tags.at(kSetGuidTag));
    const std::string id = "/subscriptions/" + arm.subscriptionId() + "/resourceGroups/" +
                           GroupOfId(source.body.value("id", disk.managedDiskId)) +
                           "/providers/Microsoft.Compute/snapshots/" + name;
    const nlohmann::json creation = {{"createOption", "Copy"}, {"sourceResourceId", source.body.value("id", "")}};
    const nlohmann::json body = {{"location", source.body.value("location", "")},
                                 {"tags", tags},
                                 {"properties", {{"incremental", true}, {"creationData", creation}}}};
    // The snapshot counts as made from the request on, so that a failure while it is taken removes it too.
    made.push_back(id);
    rest::ArmResult snap = arm.put(id, rest::kDiskVersion, body);
    if (!snap.ok) throw OperationFailure(snap.code, snap.text);
    VMInfoStructs::SDisk out = disk;
    out.managedDiskId = snap.body.value("id", id);
    out.incrementalSnapshot = snap.body.value("properties", nlohmann::json::object()).value("incremental", false);
    return out;
}

}  // namespace

std::string GroupOfId(const std::string& id) {
    const std::string key = "/resourcegroups/";
    const std::size_t start = boost::algorithm::to_lower_copy(id).find(key);
    if (start == std::string::npos) return std::string();
    const std::size_t from = start + key.size();
    return id.substr(from, id.find('/', from) - from);
}

std::string TagOf(const nlohmann::json& resource, const char* name) {
    const nlohmann::json tags = resource.value("tags", nlohmann::json::object());
    const auto found = tags.is_object() ? tags.find(name) : tags.end();
    return found != tags.end() && found->is_string() ? found->get<std::string>() : std::string();
}

bool CloudSet::ofVm(const std::string& vmName, const std::string& vmGuid) const {
    return !snapshots.empty() && (vmGuid.empty() ? iequals(TagOf(snapshots[0], kVmNameTag), vmName)
                                                 : iequals(TagOf(snapshots[0], kVmGuidTag), vmGuid));
}

bool CloudSet::inVmGroup(const std::string& group) const {
    return group.empty() || (!snapshots.empty() && iequals(TagOf(snapshots[0], kVmGroupTag), group));
}

bool CloudSet::takenOnRequest() const {
    for (const nlohmann::json& snap : snapshots)
        if (!TagOf(snap, kCreatedByJobTag).empty()) return true;
    return false;
}

bool CloudSet::namedBy(const std::string& reference) const {
    if (iequals(reference, guid)) return true;
    for (const nlohmann::json& snap : snapshots)
        if (iequals(snap.value("id", ""), reference)) return true;
    return false;
}

long long CloudSet::createdAt() const {
    long long earliest = 0;
    for (const nlohmann::json& snap : snapshots) {
        const long long at =
            EpochOfIsoTime(snap.value("properties", nlohmann::json::object()).value("timeCreated", ""));
        if (earliest == 0 || at < earliest) earliest = at;
    }
    return earliest;
}

void AddToSets(const nlohmann::json& snapshot, std::vector<CloudSet>& sets) {
    const std::string guid = TagOf(snapshot, kSetGuidTag);
    if (guid.empty()) return;
    for (CloudSet& known : sets)
        if (iequals(known.guid, guid)) return known.snapshots.push_back(snapshot);
    sets.push_back(CloudSet{guid, {snapshot}});
}

rest::ArmResult ReadManagedSets(rest::ArmClient& arm, std::vector<CloudSet>& sets) {
    rest::ArmResult all = rest::ListOfType(arm, "Microsoft.Compute/snapshots", rest::kDiskVersion);
    if (!all.ok) return all;
    std::vector<CloudSet> found;
    for (const nlohmann::json& snap : all.body) AddToSets(snap, found);
    sets = found;
    return all;
}

const CloudSet* FindSet(const std::vector<CloudSet>& sets, const std::string& guid) {
    for (const CloudSet& set : sets)
        if (iequals(set.guid, guid)) return &set;
    return nullptr;
}

rest::ArmResult DeleteManagedSet(rest::ArmClient& arm, const CloudSet& set) {
    for (const nlohmann::json& snap : set.snapshots) {
        rest::ArmResult gone = arm.remove(snap.value("id", ""), rest::kDiskVersion);
        if (!gone.ok && gone.code != SDK_ERR_NOT_FOUND) return gone;
    }
    rest::ArmResult done;
    done.ok = true;
    return done;
}

std::vector<VMInfoStructs::SDisk> TakeManagedSet(rest::ArmClient& arm, const std::vector<VMInfoStructs::SDisk>& disks,
                                                 const std::map<std::string, std::string>& tags, long long now) {
    std::vector<std::string> made;
    std::vector<VMInfoStructs::SDisk> out;
    try {
        for (const VMInfoStructs::SDisk& disk : disks) out.push_back(SnapshotDisk(arm, disk, tags, now, made));
    } catch (const OperationFailure& failure) {
        // Whatever stopped the set, the snapshots taken so far must not outlive it.
        CloudSet partial;
        for (const std::string& id : made) partial.snapshots.push_back({{"id", id}});
        const rest::ArmResult undone = DeleteManagedSet(arm, partial);
        if (!undone.ok)
            throw OperationFailure(failure.code, std::string(failure.what()) +
                                                     "; the snapshots taken before could not all be deleted: " +
                                                     undone.text);
        throw;
    }
    return out;
}

}  // namespace AzureSDKCppBridge
