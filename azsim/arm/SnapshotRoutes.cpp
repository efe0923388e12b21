// Managed snapshots: lists per subscription and group, one snapshot, creation
// as a copy of a managed disk (incremental where the region offers it; a full
// snapshot otherwise), deletion, and read access to the frozen data granted and
// ended as long-running operations.
#include <boost/algorithm/string/predicate.hpp>

#include <chrono>

#include "azsim/arm/AccessGrants.h"
#include "azsim/arm/ArmCall.h"
#include "azsim/arm/ArmReply.h"
#include "azsim/arm/SnapshotShapes.h"
#include "azsim/model/ResourceIds.h"

namespace azsim {

namespace {

using boost::algorithm::iequals;

const char* const kSnapshotType = "Microsoft.Compute/snapshots";

std::int64_t NowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string ApiVersion(const ArmCall& call) { return call.req.get_param_value("api-version"); }

void sendInvalid(ArmCall& call, const std::string& message) {
    sendArmError(call.res, 400, "InvalidParameter", message);
}

void listSnapshots(ArmCall& call, const std::string& group) {
    const StateDocument doc = call.state.load();
    if (!group.empty() && !doc.findResourceGroup(group)) return sendGroupNotFound(call.res, group);
    nlohmann::json value = nlohmann::json::array();
    for (const ManagedSnapshot& snap : doc.snapshots)
        if (group.empty() || iequals(snap.resourceGroup, group))
            value.push_back(SnapshotJson(snap, doc.findManagedDisk(snap.sourceDiskId)));
    sendJson(call.res, 200, {{"value", value}});
}

void getSnapshot(ArmCall& call) {
    const StateDocument doc = call.state.load();
    const std::string& group = call.path[3];
    if (!doc.findResourceGroup(group)) return sendGroupNotFound(call.res, group);
    const ManagedSnapshot* snap = doc.findSnapshotByName(call.path[7], group);
    if (!snap) return sendResourceNotFound(call.res, kSnapshotType, group, call.path[7]);
    sendJson(call.res, 200, SnapshotJson(*snap, doc.findManagedDisk(snap->sourceDiskId)));
}

// What a PUT asks for, read from its body; false once it has answered why the body is refused.
struct SnapshotRequest {
    std::string location;
    std::string source;
    bool incremental = false;
    Tags tags;
};

bool ReadSnapshotRequest(ArmCall& call, SnapshotRequest& out) {
    const nlohmann::json body = nlohmann::json::parse(call.req.body, nullptr, false);
    if (!body.is_object())
        return sendArmError(call.res, 400, "InvalidRequestContent", "The request content is not a JSON object."),
               false;
    out.location = body.value("location", "");
    if (out.location.empty())
        return sendArmError(call.res, 400, "LocationRequired",
                            "The location property is required for this definition."),
               false;
    const nlohmann::json properties = body.value("properties", nlohmann::json::object());
    const nlohmann::json creation = properties.value("creationData", nlohmann::json::object());
    if (!iequals(creation.value("createOption", ""), "Copy") || creation.value("sourceResourceId", "").empty())
        return sendInvalid(call, "A snapshot is created only as a copy (creationData.createOption 'Copy') of the "
                                 "managed disk creationData.sourceResourceId names."),
               false;
    out.source = creation.value("sourceResourceId", "");
    const nlohmann::json incremental = properties.value("incremental", nlohmann::json(false));
    const nlohmann::json tags = body.value("tags", nlohmann::json::object());
    if (!incremental.is_boolean() || !tags.is_object())
        return sendInvalid(call, "properties.incremental must be true or false and tags an object."), false;
    out.incremental = incremental.get<bool>();
    for (const auto& [name, value] : tags.items()) {
        if (!value.is_string()) return sendInvalid(call, "The value of tag '" + name + "' is not a string."), false;
        out.tags[name] = value.get<std::string>();
    }
    return true;
}

// Takes the snapshot of the source disk as `snap` inside a change of the document; answers and
// returns false when the cloud refuses it.
bool TakeSnapshot(ArmCall& call, StateDocument& doc, const SnapshotRequest& request, ManagedSnapshot& snap) {
    const ManagedDisk* source = doc.findManagedDisk(request.source);
    if (!source) {
        const std::optional<ResourceId> id = ParseResourceId(request.source);
        sendResourceNotFound(call.res, "Microsoft.Compute/disks", id ? id->resourceGroup : std::string(),
                             id ? id->name : request.source);
        return false;
    }
    const Region* region = doc.findRegion(request.location);
    if (!region || !iequals(region->name, source->region))
        return sendInvalid(call, "The snapshot must be in the location of its source disk '" + source->region + "'."),
               false;
    std::string error;
    snap.storeSnapshot = call.state.blobs().createSnapshot(source->blob, &error);
    if (snap.storeSnapshot.empty())
        return sendArmError(call.res, 500, "InternalExecutionError", "The snapshot could not be taken: " + error),
               false;
    snap.region = source->region;
    snap.sourceDiskId = source->id;
    snap.incremental = request.incremental && region->incrementalSnapshots;
    snap.createdAt = NowSeconds();
    snap.sizeBytes = source->sizeBytes;
    snap.tags = request.tags;
    snap.blob = source->blob;
    return true;
}

void putSnapshot(ArmCall& call) {
    const std::string& group = call.path[3];
    const std::string& name = call.path[7];
    SnapshotRequest request;
    if (!ReadSnapshotRequest(call, request)) return;
    enum { Refused, Created, Updated } outcome = Refused;
    std::string region;
    call.state.mutate([&](StateDocument& doc) {
        if (!doc.findResourceGroup(group)) return sendGroupNotFound(call.res, group), false;
        if (ManagedSnapshot* existing = doc.findSnapshotByName(name, group)) {
            // A snapshot's frozen data never changes: a PUT of an existing one replaces its tags.
            existing->tags = request.tags;
            outcome = Updated;
            return true;
        }
        ManagedSnapshot snap;
        snap.name = name;
        snap.resourceGroup = doc.findResourceGroup(group)->name;
        snap.id = SnapshotId(call.subscription(), snap.resourceGroup, name);
        if (!TakeSnapshot(call, doc, request, snap)) return false;
        region = snap.region;
        doc.snapshots.push_back(snap);
        JoinSnapshotSet(doc, snap.id, snap.tags, snap.resourceGroup, snap.createdAt);
        outcome = Created;
        return true;
    });
    if (outcome == Updated) return getSnapshot(call);
    if (outcome == Created) call.accepted("Microsoft.Compute", region, ApiVersion(call));
}

void deleteSnapshot(ArmCall& call) {
    const std::string& group = call.path[3];
    bool groupFound = false;
    std::string region;
    call.state.mutate([&](StateDocument& doc) {
        groupFound = doc.findResourceGroup(group) != nullptr;
        ManagedSnapshot* snap = doc.findSnapshotByName(call.path[7], group);
        if (!snap) return false;
        region = snap->region;
        AccessAuthority authority(call.state.dir());
        RevokeAccess(authority, snap->blob, snap->storeSnapshot, snap->grant);
        call.state.blobs().deleteSnapshot(snap->blob, snap->storeSnapshot);
        const std::string id = snap->id;
        doc.snapshots.erase(doc.snapshots.begin() + (snap - doc.snapshots.data()));
        LeaveSnapshotSets(doc, id);
        return true;
    });
    if (!groupFound) return sendGroupNotFound(call.res, group);
    // Deleting what is not there has nothing to do, and says so.
    if (region.empty()) return void(call.res.status = 204);
    call.accepted("Microsoft.Compute", region, ApiVersion(call));
}

// beginGetAccess: read access to the frozen data for "durationInSeconds"; the operation's result is
// {"accessSAS": url}. endGetAccess ends every access granted.
void accessAction(ArmCall& call, bool grant) {
    const std::string& group = call.path[3];
    std::optional<AccessLevel> level = AccessLevel::Read;
    std::int64_t seconds = 0;
    if (grant) {
        const nlohmann::json body = nlohmann::json::parse(call.req.body, nullptr, false);
        const nlohmann::json duration = body.is_object() ? body.value("durationInSeconds", nlohmann::json()) : nullptr;
        level = ParseAccessLevel(body.is_object() ? body.value("access", "") : std::string());
        if (level != AccessLevel::Read)
            return sendInvalid(call, "The access of a snapshot can only be 'Read'.");
        if (!duration.is_number_integer() || duration.get<std::int64_t>() <= 0)
            return sendInvalid(call, "durationInSeconds must be a positive number of seconds.");
        seconds = duration.get<std::int64_t>();
    }
    bool groupFound = false, found = false;
    std::string region, url;
    call.state.mutate([&](StateDocument& doc) {
        groupFound = doc.findResourceGroup(group) != nullptr;
        ManagedSnapshot* snap = doc.findSnapshotByName(call.path[7], group);
        if (!snap) return false;
        found = true;
        region = snap->region;
        AccessAuthority authority(call.state.dir());
        if (grant)
            url = GrantAccess(authority, snap->blob, snap->storeSnapshot, *level, seconds, snap->grant);
        else
            RevokeAccess(authority, snap->blob, snap->storeSnapshot, snap->grant);
        return true;
    });
    if (!groupFound) return sendGroupNotFound(call.res, group);
    if (!found) return sendResourceNotFound(call.res, kSnapshotType, group, call.path[7]);
    call.accepted("Microsoft.Compute", region, ApiVersion(call),
                  grant ? nlohmann::json{{"accessSAS", url}} : nlohmann::json());
}

}  // namespace

bool ServeSnapshotRoutes(ArmCall& call) {
    if (call.is("GET") && call.shaped({"subscriptions", "*", "providers", "Microsoft.Compute", "snapshots"}))
        return listSnapshots(call, std::string()), true;
    if (call.is("GET") &&
        call.shaped({"subscriptions", "*", "resourcegroups", "*", "providers", "Microsoft.Compute", "snapshots"}))
        return listSnapshots(call, call.path[3]), true;
    const bool one =
        call.shaped({"subscriptions", "*", "resourcegroups", "*", "providers", "Microsoft.Compute", "snapshots", "*"});
    if (one && call.is("GET")) return getSnapshot(call), true;
    if (one && call.is("PUT")) return putSnapshot(call), true;
    if (one && call.is("DELETE")) return deleteSnapshot(call), true;
    const bool action = call.shaped(
        {"subscriptions", "*", "resourcegroups", "*", "providers", "Microsoft.Compute", "snapshots", "*", "*"});
    if (action && call.is("POST") && iequals(call.path[8], "beginGetAccess")) return accessAction(call, true), true;
    if (action && call.is("POST") && iequals(call.path[8], "endGetAccess")) return accessAction(call, false), true;
    return false;
}

}  // namespace azsim
