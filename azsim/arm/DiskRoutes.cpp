// Managed disks: lists per subscription and group, one disk, create-or-update
// (empty, copied from a snapshot or a disk, imported from a page blob, or
// prepared for an upload), deletion, and the grant and end of access to a
// disk's data (an upload's write access among them). A new disk, a deletion
// and the access calls are long-running operations, answered 202 as the
// cloud does; a disk attached to a VM is not deleted, nor read while the VM runs.
#include <algorithm>
#include <ctime>
#include <optional>

#include <boost/algorithm/string/predicate.hpp>

#include "azsim/arm/AccessGrants.h"
#include "azsim/arm/ArmCall.h"
#include "azsim/arm/ArmReply.h"
#include "azsim/arm/DiskShapes.h"
#include "azsim/auth/AccessAuthority.h"
#include "azsim/model/ResourceIds.h"

namespace azsim {

namespace {

using boost::algorithm::iequals;

const char* const kDiskType = "Microsoft.Compute/disks";
constexpr std::uint64_t kGiB = 1ull << 30;
constexpr std::uint64_t kSectorBytes = 512;
// The largest upload a disk takes: 32 TiB.
constexpr std::uint64_t kMaxUploadBytes = 32ull << 40;

// A request the disk provider refuses, raised from inside a change of the state (which is then not saved).
struct DiskRefusal {
    int status;
    std::string code;
    std::string message;
};

DiskRefusal InvalidParameter(const std::string& message) { return {400, "InvalidParameter", message}; }

// The data a new disk starts from: a blob (at a snapshot, or its current data) and what the disk
// takes over from its origin.
struct DiskSource {
    BlobKey blob;
    std::string snapshot;
    std::uint64_t sizeBytes = 0;
    std::string osType;
    std::string firmware;
};

// The snapshot or disk `id` names; a copy takes the source's OS type and generation.
DiskSource CopySource(const StateDocument& doc, const std::string& id) {
    const std::optional<ResourceId> parsed = ParseResourceId(id);
    if (!parsed) throw InvalidParameter("sourceResourceId '" + id + "' is not a resource id.");
    const ManagedDisk* origin = nullptr;
    DiskSource source;
    if (iequals(parsed->type, "snapshots")) {
        const ManagedSnapshot* snap = doc.findSnapshotByName(parsed->name, parsed->resourceGroup);
        if (!snap)
            throw DiskRefusal{404, "ResourceNotFound", "The Resource 'Microsoft.Compute/snapshots/" + parsed->name +
                                                           "' under resource group '" + parsed->resourceGroup +
                                                           "' was not found."};
        source = {snap->blob, snap->storeSnapshot, snap->sizeBytes, "", ""};
        origin = doc.findManagedDisk(snap->sourceDiskId);
    } else if (iequals(parsed->type, "disks")) {
        origin = doc.findManagedDiskByName(parsed->name, parsed->resourceGroup);
        if (!origin)
            throw DiskRefusal{404, "ResourceNotFound", "The Resource 'Microsoft.Compute/disks/" + parsed->name +
                                                           "' under resource group '" + parsed->resourceGroup +
                                                           "' was not found."};
        source = {origin->blob, "", origin->sizeBytes, "", ""};
    } else {
        throw InvalidParameter("sourceResourceId '" + id + "' names neither a snapshot nor a disk.");
    }
    if (origin) {
        source.osType = origin->osType;
        source.firmware = origin->firmware;
    }
    return source;
}

// The page blob (or blob snapshot) `uri` names, in an account `accountId` names.
DiskSource ImportSource(const StateDocument& doc, const PageBlobStore& store, const std::string& uri,
                        const std::string& accountId) {
    const std::optional<BlobUri> blob = ParseBlobUri(uri);
    if (!blob) throw InvalidParameter("sourceUri '" + uri + "' is not a blob URI.");
    const std::optional<ResourceId> account = ParseResourceId(accountId);
    if (!account || !iequals(account->type, "storageAccounts"))
        throw InvalidParameter("storageAccountId is required to import a blob and names the blob's storage "
                               "account.");
    if (!doc.findStorageAccount(account->name) || !iequals(account->name, blob->account))
        throw InvalidParameter("The storage account '" + account->name + "' of blob '" + uri +
                               "' does not exist in this subscription.");
    BlobProperties props;
    if (!store.properties(blob->key(), blob->snapshot, props) || props.type != BlobType::Page)
        throw InvalidParameter("The source blob '" + uri + "' does not exist or is not a page blob.");
    return {blob->key(), blob->snapshot, props.size, "", ""};
}

std::uint64_t JsonSize(const nlohmann::json& object, const char* key) {
    const nlohmann::json value = object.value(key, nlohmann::json());
    return value.is_number_unsigned() ? value.get<std::uint64_t>() : 0;
}

Tags TagsOf(const nlohmann::json& body) {
    Tags tags;
    const nlohmann::json given = body.value("tags", nlohmann::json::object());
    for (const auto& [name, value] : given.items())
        if (value.is_string()) tags[name] = value.get<std::string>();
    return tags;
}

// Makes the data of a new disk as its creation data asks.
void MakeDiskData(const StateDocument& doc, PageBlobStore& store, const nlohmann::json& properties,
                  ManagedDisk& disk) {
    const nlohmann::json creation = properties.value("creationData", nlohmann::json::object());
    const std::string option = creation.value("createOption", "");
    std::string error;
    if (iequals(option, "Empty")) {
        const std::uint64_t gib = JsonSize(properties, "diskSizeGB");
        if (gib == 0) throw InvalidParameter("diskSizeGB is required for an empty disk and is at least 1.");
        disk.sizeBytes = gib * kGiB;
        if (!store.createPageBlob(disk.blob, disk.sizeBytes, false, &error)) throw InvalidParameter(error);
        return;
    }
    if (iequals(option, "Upload")) {
        const std::uint64_t bytes = JsonSize(creation, "uploadSizeBytes");
        if (bytes == 0 || bytes % kSectorBytes != 0 || bytes > kMaxUploadBytes)
            throw InvalidParameter("uploadSizeBytes [" + std::to_string(bytes) +
                                   "] is not a positive multiple of 512 bytes of at most 32 TiB.");
        disk.sizeBytes = disk.uploadSizeBytes = bytes;
        disk.state = "ReadyToUpload";
        if (!store.createPageBlob(disk.blob, bytes, false, &error)) throw InvalidParameter(error);
        return;
    }
    DiskSource source;
    if (iequals(option, "Copy")) {
        disk.sourceId = creation.value("sourceResourceId", "");
        source = CopySource(doc, disk.sourceId);
    } else if (iequals(option, "Import")) {
        disk.sourceId = creation.value("sourceUri", "");
        source = ImportSource(doc, store, disk.sourceId, creation.value("storageAccountId", ""));
    } else {
        throw InvalidParameter("createOption '" + option + "' is not one of Empty, Copy, Import, Upload.");
    }
    if (disk.osType.empty()) {
        disk.osType = source.osType;
        disk.firmware = source.firmware;
    }
    disk.sizeBytes = source.sizeBytes;
    if (!store.copyBlob(source.blob, source.snapshot, disk.blob, &error))
        throw InvalidParameter("The source of disk '" + disk.name + "' could not be copied: " + error);
}

ManagedDisk NewDisk(StateDocument& doc, PageBlobStore& store, const std::string& subscription,
                    const ResourceGroup& group, const std::string& name, const nlohmann::json& body) {
    const std::string location = body.value("location", "");
    if (location.empty())
        throw DiskRefusal{400, "LocationRequired", "The location property is required for this definition."};
    const Region* region = doc.findRegion(location);
    if (!region)
        throw DiskRefusal{400, "LocationNotAvailableForResourceType",
                          "The provided location '" + location +
                              "' is not available for resource type 'Microsoft.Compute/disks'."};
    const nlohmann::json properties = body.value("properties", nlohmann::json::object());
    ManagedDisk disk;
    disk.id = ManagedDiskId(subscription, group.name, name);
    disk.name = name;
    disk.resourceGroup = group.name;
    disk.region = region->name;
    disk.sku = body.value("sku", nlohmann::json::object()).value("name", "Standard_LRS");
    disk.tags = TagsOf(body);
    const nlohmann::json zones = body.value("zones", nlohmann::json::array());
    for (const nlohmann::json& zone : zones)
        disk.zones += (disk.zones.empty() ? "" : ",") + zone.get<std::string>();
    disk.osType = properties.value("osType", "");
    disk.firmware = iequals(properties.value("hyperVGeneration", ""), "V2") ? "efi" : "";
    disk.createdAt = std::time(nullptr);
    disk.blob = NewManagedDiskBlob();
    MakeDiskData(doc, store, properties, disk);
    return disk;
}

// An update names the OS a disk holds, and its generation, anew.
void UpdateOs(const nlohmann::json& properties, ManagedDisk& disk) {
    disk.osType = properties.value("osType", disk.osType);
    if (properties.contains("hyperVGeneration"))
        disk.firmware = iequals(properties.value("hyperVGeneration", ""), "V2") ? "efi" : "";
}

void listDisks(ArmCall& call, const std::string& group) {
    const StateDocument doc = call.state.load();
    if (!group.empty() && !doc.findResourceGroup(group)) return sendGroupNotFound(call.res, group);
    nlohmann::json value = nlohmann::json::array();
    for (const ManagedDisk& disk : doc.managedDisks)
        if (group.empty() || iequals(disk.resourceGroup, group))
            value.push_back(ManagedDiskJson(doc, call.subscription(), disk));
    sendJson(call.res, 200, {{"value", value}});
}

void getDisk(ArmCall& call) {
    const StateDocument doc = call.state.load();
    const std::string& group = call.path[3];
    if (!doc.findResourceGroup(group)) return sendGroupNotFound(call.res, group);
    const ManagedDisk* disk = doc.findManagedDiskByName(call.path[7], group);
    if (!disk) return sendResourceNotFound(call.res, kDiskType, group, call.path[7]);
    sendJson(call.res, 200, ManagedDiskJson(doc, call.subscription(), *disk));
}

// Creates the disk (202, followed as an operation) or replaces the tags, SKU and OS of the one there (200).
void putDisk(ArmCall& call) {
    const std::string& group = call.path[3];
    const std::string& name = call.path[7];
    const nlohmann::json body = nlohmann::json::parse(call.req.body, nullptr, false);
    if (!body.is_object())
        return sendArmError(call.res, 400, "InvalidRequestContent",
                            "The request content was invalid and could not be deserialized.");
    PageBlobStore store = call.state.blobs();
    std::string id;
    bool created = false;
    std::optional<BlobKey> madeData;  // a new disk's data, deleted again when its record is not saved
    try {
        call.state.mutate([&](StateDocument& doc) {
            const ResourceGroup* found = doc.findResourceGroup(group);
            if (!found)
                throw DiskRefusal{404, "ResourceGroupNotFound", "Resource group '" + group + "' could not be found."};
            if (ManagedDisk* disk = doc.findManagedDiskByName(name, group)) {
                if (body.contains("tags")) disk->tags = TagsOf(body);
                disk->sku = body.value("sku", nlohmann::json::object()).value("name", disk->sku);
                UpdateOs(body.value("properties", nlohmann::json::object()), *disk);
                id = disk->id;
                return true;
            }
            doc.managedDisks.push_back(NewDisk(doc, store, call.subscription(), *found, name, body));
            id = doc.managedDisks.back().id;
            madeData = doc.managedDisks.back().blob;
            created = true;
            return true;
        });
    } catch (const DiskRefusal& refusal) {
        return sendArmError(call.res, refusal.status, refusal.code, refusal.message);
    } catch (const nlohmann::json::exception& e) {
        return sendArmError(call.res, 400, "InvalidRequestContent",
                            std::string("The request content was invalid and could not be deserialized: ") +
                                e.what());
    } catch (...) {
        if (madeData) store.deleteBlob(*madeData);
        throw;
    }
    const StateDocument doc = call.state.load();
    const ManagedDisk* disk = doc.findManagedDisk(id);
    if (!disk) return sendResourceNotFound(call.res, kDiskType, group, name);  // deleted meanwhile
    const nlohmann::json out = ManagedDiskJson(doc, call.subscription(), *disk);
    if (!created) return sendJson(call.res, 200, out);
    call.accepted("Microsoft.Compute", disk->region, call.req.get_param_value("api-version"), out);
    call.res.set_content(out.dump(), "application/json; charset=utf-8");
}

// Grants access to the disk's data for `durationInSeconds`: "Write" to a disk made for an upload, which
// starts it, "Read" to a disk no running VM uses. The SAS URL is the result of the operation's "Location".
void grantAccess(ArmCall& call, AccessAuthority& authority) {
    const std::string& group = call.path[3];
    const std::string& name = call.path[7];
    const nlohmann::json body = nlohmann::json::parse(call.req.body, nullptr, false);
    const std::string access = body.is_object() ? body.value("access", "") : "";
    const nlohmann::json duration = body.is_object() ? body.value("durationInSeconds", nlohmann::json()) : nullptr;
    const std::optional<AccessLevel> level = ParseAccessLevel(access);
    if (!level) return sendArmError(call.res, 400, "InvalidParameter", "access must be 'Read' or 'Write'.");
    if (!duration.is_number_unsigned() || duration.get<std::uint64_t>() == 0)
        return sendArmError(call.res, 400, "InvalidParameter", "durationInSeconds is required and positive.");
    const bool write = *level == AccessLevel::Write;
    std::string region, url;
    try {
        call.state.mutate([&](StateDocument& doc) {
            if (!doc.findResourceGroup(group))
                throw DiskRefusal{404, "ResourceGroupNotFound", "Resource group '" + group + "' could not be found."};
            ManagedDisk* disk = doc.findManagedDiskByName(name, group);
            if (!disk) throw DiskRefusal{404, "ResourceNotFound", "The Resource '" + std::string(kDiskType) + "/" +
                                                                      name + "' under resource group '" + group +
                                                                      "' was not found."};
            const VirtualMachine* vm = VmWithDisk(doc, *disk);
            if (vm && vm->powerState != PowerState::Deallocated)
                throw DiskRefusal{409, "OperationNotAllowed",
                                  "Disk " + name + " is attached to VM " + vm->name + ", which is not deallocated."};
            if (write != (disk->state == "ReadyToUpload"))
                throw DiskRefusal{409, "OperationNotAllowed",
                                  "Disk " + name + " in state " + disk->state + " does not take " + access +
                                      " access: write access is for a disk ready to upload only."};
            url = GrantAccess(authority, disk->blob, std::string(), *level, duration.get<std::int64_t>(), disk->grant);
            disk->state = write ? "ActiveUpload" : "ActiveSAS";
            region = disk->region;
            return true;
        });
    } catch (const DiskRefusal& refusal) {
        return sendArmError(call.res, refusal.status, refusal.code, refusal.message);
    }
    call.accepted("Microsoft.Compute", region, call.req.get_param_value("api-version"), {{"accessSAS", url}});
}

// Ends the access granted to the disk: its SAS URLs stop working, and an upload is over.
// A disk without access granted keeps its state.
void revokeAccess(ArmCall& call, AccessAuthority& authority) {
    const std::string& group = call.path[3];
    const std::string& name = call.path[7];
    std::string region;
    call.state.mutate([&](StateDocument& doc) {
        ManagedDisk* disk = doc.findResourceGroup(group) ? doc.findManagedDiskByName(name, group) : nullptr;
        if (!disk) return false;
        region = disk->region;
        if (disk->state != "ActiveUpload" && disk->state != "ActiveSAS") return false;
        RevokeAccess(authority, disk->blob, std::string(), disk->grant);
        disk->state = VmWithDisk(doc, *disk) ? "Attached" : "Unattached";
        return true;
    });
    if (region.empty() && !call.state.load().findResourceGroup(group)) return sendGroupNotFound(call.res, group);
    if (region.empty()) return sendResourceNotFound(call.res, kDiskType, group, name);
    call.accepted("Microsoft.Compute", region, call.req.get_param_value("api-version"));
}

// Deletes the disk (202, followed as an operation); a disk not there is 204. Its data goes unless a
// snapshot still reads it.
void deleteDisk(ArmCall& call) {
    const std::string& group = call.path[3];
    const std::string& name = call.path[7];
    std::string region;
    std::optional<BlobKey> data;
    try {
        call.state.mutate([&](StateDocument& doc) {
            if (!doc.findResourceGroup(group))
                throw DiskRefusal{404, "ResourceGroupNotFound", "Resource group '" + group + "' could not be found."};
            const ManagedDisk* disk = doc.findManagedDiskByName(name, group);
            if (!disk) return false;
            if (const VirtualMachine* vm = VmWithDisk(doc, *disk))
                throw DiskRefusal{409, "OperationNotAllowed",
                                  "Disk " + disk->name + " is attached to VM " +
                                      VirtualMachineId(call.subscription(), vm->resourceGroup, vm->name) + "."};
            region = disk->region;
            const BlobKey blob = disk->blob;
            if (std::none_of(doc.snapshots.begin(), doc.snapshots.end(),
                             [&](const ManagedSnapshot& s) { return s.blob == blob; }))
                data = blob;
            const std::string id = disk->id;
            doc.managedDisks.erase(std::remove_if(doc.managedDisks.begin(), doc.managedDisks.end(),
                                                  [&](const ManagedDisk& d) { return iequals(d.id, id); }),
                                   doc.managedDisks.end());
            return true;
        });
    } catch (const DiskRefusal& refusal) {
        return sendArmError(call.res, refusal.status, refusal.code, refusal.message);
    }
    if (region.empty()) {
        call.res.status = 204;
        return;
    }
    if (data) call.state.blobs().deleteBlob(*data);
    call.accepted("Microsoft.Compute", region, call.req.get_param_value("api-version"));
}

}  // namespace

bool ServeDiskRoutes(ArmCall& call) {
    if (call.is("GET") && call.shaped({"subscriptions", "*", "providers", "Microsoft.Compute", "disks"}))
        return listDisks(call, std::string()), true;
    if (call.is("GET") &&
        call.shaped({"subscriptions", "*", "resourcegroups", "*", "providers", "Microsoft.Compute", "disks"}))
        return listDisks(call, call.path[3]), true;
    if (call.is("POST") && call.shaped({"subscriptions", "*", "resourcegroups", "*", "providers",
                                        "Microsoft.Compute", "disks", "*", "*"})) {
        AccessAuthority authority(call.state.dir());
        if (iequals(call.path[8], "beginGetAccess")) return grantAccess(call, authority), true;
        if (iequals(call.path[8], "endGetAccess")) return revokeAccess(call, authority), true;
        return false;
    }
    if (!call.shaped({"subscriptions", "*", "resourcegroups", "*", "providers", "Microsoft.Compute", "disks", "*"}))
        return false;
    if (call.is("GET")) return getDisk(call), true;
    if (call.is("PUT")) return putDisk(call), true;
    if (call.is("DELETE")) return deleteDisk(call), true;
    return false;
}

}  // namespace azsim
