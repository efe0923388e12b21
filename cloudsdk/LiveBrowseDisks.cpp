// Disks made from backup snapshots, which live browse attaches to the VM the
// agent runs in, and from the integrity snapshots of page blobs, which a clone
// deploys from; and the removal of a staging blob. A managed disk is made
// through Resource Manager, as a copy of a managed snapshot or an import of a
// blob snapshot; a page blob is a copy the Blob service makes, of a blob
// snapshot or of a managed snapshot read through a SAS granted for the copy.
#include <algorithm>
#include <optional>

#include <boost/algorithm/string/predicate.hpp>
#include <pugixml.hpp>

#include "cloudsdk/BlobAddress.h"
#include "cloudsdk/BlobSnapshotSets.h"
#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/CreatedByJob.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/SnapshotReadAccess.h"
#include "cloudsdk/SnapshotSets.h"
#include "cloudsdk/VmCreation.h"
#include "cloudsdk/rest/ApiVersions.h"
#include "cloudsdk/rest/ResourceLookup.h"

namespace AzureSDKCppBridge {

namespace {

using boost::algorithm::iequals;
using nlohmann::json;

json ResourceProperties(const json& resource) { return resource.value("properties", json::object()); }

bool TagIs(const json& resource, const char* name, const std::string& value) {
    const json tags = resource.value("tags", json::object());
    return tags.is_object() && tags.contains(name) && tags[name].is_string() &&
           iequals(tags[name].get<std::string>(), value);
}

// The frozen data a new disk is made from, and what a disk takes from its origin.
struct DiskOrigin {
    json snapshot;                 // the managed snapshot, when the origin is one
    std::string blobSnapshotUrl;   // the blob snapshot's URL, when the origin is one
    std::string storageAccountId;  // of the blob snapshot's account
    std::string region;
    std::string osType;      // of the snapped disk, or of the VM using the page blob, if any
    std::string generation;  // "V1" or "V2", with the OS type
};

json OrFail(const rest::ArmResult& result) {
    if (!result.ok) throw OperationFailure(result.code, result.text);
    return result.body;
}

// The managed snapshot `source` names (its id, or its name), or, when `source` is a managed disk's id,
// that disk's snapshot carrying the set GUID. An OS disk made from it takes the OS type and generation
// of the snapped disk.
DiskOrigin ManagedSnapshotOrigin(rest::ArmClient& arm, const std::string& source, const std::string& snapshotGuid) {
    json snap;
    if (boost::algorithm::icontains(source, "/providers/Microsoft.Compute/disks/")) {
        for (const json& s : OrFail(rest::ListOfType(arm, "Microsoft.Compute/snapshots", rest::kDiskVersion)))
            if (iequals(ResourceProperties(s).value("creationData", json::object()).value("sourceResourceId", ""), source) &&
                TagIs(s, kSetGuidTag, snapshotGuid))
                snap = s;
        if (snap.is_null())
            throw OperationFailure(SDK_ERR_NOT_FOUND,
                                   "No snapshot of disk [" + source + "] carries GUID [" + snapshotGuid + "]");
    } else if (boost::algorithm::istarts_with(source, "/subscriptions/")) {
        snap = OrFail(arm.get(source, rest::kDiskVersion));
    } else {
        snap = OrFail(rest::FindByName(arm, "Microsoft.Compute/snapshots", rest::kDiskVersion, source, "snapshot"));
    }
    DiskOrigin origin;
    origin.snapshot = snap;
    origin.region = snap.value("location", "");
    origin.osType = ResourceProperties(snap).value("osType", "");
    origin.generation = ResourceProperties(snap).value("hyperVGeneration", "");
    return origin;
}

// What the container lists of one page blob: whether a VM leases it, its metadata, and its snapshot
// whose metadata carries the set GUID.
struct ListedPageBlob {
    bool found = false;
    bool leased = false;
    rest::BlobMetadata metadata;
    std::string snapshot;
};

rest::BlobMetadata ListedMetadata(const pugi::xml_node& entry) {
    rest::BlobMetadata metadata;
    for (const pugi::xml_node& item : entry.child("Metadata").children()) metadata[item.name()] = item.child_value();
    return metadata;
}

ListedPageBlob ListPageBlob(rest::BlobClient& blob, const BlobAddress& address, const std::string& snapshotGuid) {
    ListedPageBlob listed;
    const std::string query = "?restype=container&comp=list&include=snapshots,metadata&prefix=";
    for (std::string marker;;) {
        const rest::BlobResult page = blob.send(
            NX_HTTP_GET, address.containerUrl + query + rest::Escaped(address.name) +
                             (marker.empty() ? std::string() : "&marker=" + rest::Escaped(marker)));
        if (!page.ok) throw OperationFailure(page.code, page.text);
        pugi::xml_document doc;
        if (!doc.load_buffer(page.reply.body.data(), page.reply.body.size()))
            throw OperationFailure(SDK_ERR_GENERAL, "The blobs of [" + address.containerUrl + "] could not be listed");
        const pugi::xml_node results = doc.child("EnumerationResults");
        for (const pugi::xml_node& entry : results.child("Blobs").children("Blob")) {
            if (entry.child_value("Name") != address.name) continue;
            const rest::BlobMetadata metadata = ListedMetadata(entry);
            const std::string snapshot = entry.child_value("Snapshot");
            const auto guid = std::find_if(metadata.begin(), metadata.end(), [](const auto& m) {
                return iequals(m.first, kSetGuidTag);
            });
            if (snapshot.empty()) {
                listed.found = true;
                listed.leased = std::string(entry.child("Properties").child_value("LeaseState")) == "leased";
                listed.metadata = metadata;
            } else if (listed.snapshot.empty() && guid != metadata.end() && iequals(guid->second, snapshotGuid)) {
                listed.snapshot = snapshot;
            }
        }
        marker = results.child_value("NextMarker");
        if (marker.empty()) return listed;
    }
}

// The VM that has the page blob at `url` as one of its disks, read with its instance view; null when none has.
json VmUsingBlob(rest::ArmClient& arm, const std::string& url) {
    for (const json& vm : OrFail(rest::ListOfType(arm, "Microsoft.Compute/virtualMachines", rest::kComputeVersion))) {
        const json storage = ResourceProperties(vm).value("storageProfile", json::object());
        json disks = storage.value("dataDisks", json::array());
        if (storage.contains("osDisk")) disks.push_back(storage["osDisk"]);
        for (const json& disk : disks)
            if (iequals(rest::WithoutQuery(disk.value("vhd", json::object()).value("uri", "")), url))
                return OrFail(arm.get(vm.value("id", ""), rest::kComputeVersion, "$expand=instanceView"));
    }
    return nullptr;
}

// The blob snapshot of the page blob at `source` whose metadata carries the set GUID. An OS disk made
// from it takes the OS type and generation of the VM using the blob, or else the OS type the blob was
// registered with.
DiskOrigin IntegritySnapshotOrigin(rest::ArmClient& arm, rest::BlobClient& blob, const std::string& source,
                                   const std::string& snapshotGuid) {
    VMInfoStructs::SDisk named;
    named.uri = source;
    std::string error;
    const std::optional<BlobAddress> address = BlobAddressOf(blob, named, error);
    if (!address || !rest::QueryValue(source, "snapshot").empty())
        throw OperationFailure(SDK_ERR_GENERAL, "InvalidUri: [" + source + "] is not a page blob URI");
    const ListedPageBlob listed = ListPageBlob(blob, *address, snapshotGuid);
    if (!listed.found || listed.snapshot.empty())
        throw OperationFailure(SDK_ERR_NOT_FOUND,
                               "No snapshot of blob [" + address->url + "] carries GUID [" + snapshotGuid + "]");
    DiskOrigin origin;
    origin.blobSnapshotUrl = address->url + "?snapshot=" + listed.snapshot;
    const json vm = listed.leased ? VmUsingBlob(arm, address->url) : json();
    if (vm.is_object()) {
        const json properties = ResourceProperties(vm);
        origin.osType = properties.value("storageProfile", json::object()).value("osDisk", json::object()).value(
            "osType", "");
        origin.generation = properties.value("instanceView", json::object()).value("hyperVGeneration", "");
    } else {
        const auto os = listed.metadata.find(kRegisteredOsTypeTag);
        if (os != listed.metadata.end()) origin.osType = os->second;
    }
    return origin;
}

// The storage account holding the blob at `url` (its first host label names it).
json AccountOfBlob(rest::ArmClient& arm, const std::string& url) {
    const std::size_t host = url.find("://") + 3;
    const std::string account = url.substr(host, url.find('.', host) - host);
    return OrFail(rest::FindByName(arm, "Microsoft.Storage/storageAccounts", rest::kStorageVersion, account,
                                   "storage account"));
}

// The disk a new managed disk made from `origin` is asked for as: a copy of a managed snapshot or an
// import of a blob snapshot, marked as this job's and with the set GUID. An OS disk takes the OS type
// and generation of the disk that was snapped.
json ManagedDiskRequest(const DiskOrigin& origin, const std::string& region, const std::string& diskType,
                        const std::string& zones, bool isOsDisk, const std::string& jobId,
                        const std::string& snapshotGuid) {
    const json tags = {{kCreatedByJobTag, jobId}, {kSetGuidTag, snapshotGuid}};
    const json creation = origin.blobSnapshotUrl.empty()
                              ? json{{"createOption", "Copy"}, {"sourceResourceId", origin.snapshot.value("id", "")}}
                              : json{{"createOption", "Import"},
                                     {"sourceUri", origin.blobSnapshotUrl},
                                     {"storageAccountId", origin.storageAccountId}};
    json properties = {{"creationData", creation}};
    if (isOsDisk && !origin.osType.empty()) {
        properties["osType"] = origin.osType;
        properties["hyperVGeneration"] = iequals(origin.generation, "V2") ? "V2" : "V1";
    }
    json disk = {{"location", region.empty() ? origin.region : region},
                 {"sku", {{"name", diskType.empty() ? "Premium_LRS" : diskType}}},
                 {"tags", tags},
                 {"properties", properties}};
    if (!zones.empty() && zones != "None") {
        disk["zones"] = json::array();
        for (std::size_t start = 0; start <= zones.size();) {
            const std::size_t end = std::min(zones.find(',', start), zones.size());
            disk["zones"].push_back(zones.substr(start, end - start));
            start = end + 1;
        }
    }
    return disk;
}

}  // namespace

bool CAzureSDKCppBridge::CreateDiskFromSnapshot(const std::string& source, const std::string& storageAccount,
                                                const std::string& container, const std::string& blobName,
                                                const std::string& snapshotGuid, std::string& blobUri,
                                                bool overwrite, bool sourceIsManagedSnapshot) try {
    nlohmann::json args = {{"source", source},           {"storageAccount", storageAccount},
                           {"container", container},     {"blobName", blobName},
                           {"snapshotGuid", snapshotGuid}, {"overwrite", overwrite},
                           {"sourceIsManagedSnapshot", sourceIsManagedSnapshot}};
    if (std::optional<Refusal> refusal = impl_->begin("CreateDiskFromSnapshot", args))
        return Fail(refusal->code, refusal->text);
    rest::ArmClient& arm = *impl_->arm;
    rest::BlobClient& blob = *impl_->blob;
    const rest::ArmResult account =
        rest::FindByName(arm, "Microsoft.Storage/storageAccounts", rest::kStorageVersion, storageAccount, "storage account");
    if (!account.ok)
        return Fail(account.code, account.code != SDK_ERR_NOT_FOUND ? account.text
                                                                    : "StorageAccountNotFound: The storage account '" +
                                                                          storageAccount + "' was not found.");
    const std::string target = blob.url(account.body.value("name", storageAccount), container, blobName);
    const rest::BlobResult existing = blob.send(NX_HTTP_HEAD, target);
    if (!existing.ok && existing.code != SDK_ERR_NOT_FOUND) return Fail(existing.code, existing.text);
    if (existing.ok && !overwrite)
        return Fail(SDK_ERR_GENERAL, "BlobAlreadyExists: The specified blob already exists.");
    // A blob written over keeps its snapshots and whose it was; only a new blob is this job's.
    rest::BlobMetadata metadata =
        existing.ok ? rest::MetadataOf(existing.reply) : rest::BlobMetadata{{kCreatedByJobTag, impl_->jobId}};
    std::optional<SnapshotReadAccess> access;
    std::string from = source;
    std::string osType;
    if (sourceIsManagedSnapshot) {
        const DiskOrigin origin = ManagedSnapshotOrigin(arm, source, snapshotGuid);
        access.emplace(arm, origin.snapshot);
        from = access->url();
        osType = origin.osType;
    } else if (rest::QueryValue(source, "snapshot").empty()) {
        const DiskOrigin origin = IntegritySnapshotOrigin(arm, blob, source, snapshotGuid);
        from = origin.blobSnapshotUrl;
        osType = origin.osType;
    }
    if (const std::optional<Refusal> refusal = CopyBlob(blob, from, target))
        throw OperationFailure(refusal->code, refusal->text);
    if (access) OrFail(access->end());
    metadata[kSetGuidTag] = snapshotGuid;
    // The copy of an OS disk keeps its OS type, as a blob registered as an OS disk does.
    if (!osType.empty()) metadata[kRegisteredOsTypeTag] = osType;
    const rest::BlobResult marked = rest::SetMetadata(blob, target, metadata);
    if (!marked.ok) return Fail(marked.code, marked.text);
    blobUri = target;
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::CreateManagedDiskFromSnapshot(
    const std::string& source, const std::string& sourceLocation, const std::string& snapshotGuid,
    const std::string& diskName, const std::string& resourceGroup, const std::string& region,
    const std::string& vmSize, const std::string& diskType, const std::string& configText, bool fromBackupCopy,
    bool isOsDisk, bool managedSource, const std::string& availabilityZones, std::string& diskId) try {
    nlohmann::json args = {{"source", source},
                           {"sourceLocation", sourceLocation},
                           {"snapshotGuid", snapshotGuid},
                           {"diskName", diskName},
                           {"resourceGroup", resourceGroup},
                           {"region", region},
                           {"vmSize", vmSize},
                           {"diskType", diskType},
                           {"configText", configText},
                           {"fromBackupCopy", fromBackupCopy},
                           {"isOsDisk", isOsDisk},
                           {"managedSource", managedSource},
                           {"availabilityZones", availabilityZones}};
    if (std::optional<Refusal> refusal = impl_->begin("CreateManagedDiskFromSnapshot", args))
        return Fail(refusal->code, refusal->text);
    rest::ArmClient& arm = *impl_->arm;
    rest::ArmResult result =
        arm.get("/subscriptions/" + arm.subscriptionId() + "/resourcegroups/" + resourceGroup, rest::kResourcesVersion);
    if (!result.ok) return Fail(result.code, result.text);
    const std::string path = "/subscriptions/" + arm.subscriptionId() + "/resourceGroups/" +
                             result.body.value("name", resourceGroup) + "/providers/Microsoft.Compute/disks/" +
                             diskName;
    result = arm.get(path, rest::kDiskVersion);
    if (result.ok) return Fail(SDK_ERR_GENERAL, "Conflict: A disk named '" + diskName + "' already exists.");
    if (result.code != SDK_ERR_NOT_FOUND) return Fail(result.code, result.text);
    DiskOrigin origin;
    if (managedSource) {
        origin = ManagedSnapshotOrigin(arm, source, snapshotGuid);
    } else {
        origin = IntegritySnapshotOrigin(arm, *impl_->blob, source, snapshotGuid);
        const json account = AccountOfBlob(arm, origin.blobSnapshotUrl);
        origin.storageAccountId = account.value("id", "");
        origin.region = account.value("location", "");
    }
    result = arm.put(path, rest::kDiskVersion,
                     ManagedDiskRequest(origin, region, diskType, availabilityZones, isOsDisk, impl_->jobId,
                                        snapshotGuid));
    if (!result.ok) return Fail(result.code, result.text);
    diskId = result.body.value("id", "");
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::CleanupStagingBlobs(const std::string& stagingBlobUrl) try {
    if (std::optional<Refusal> refusal = impl_->begin("CleanupStagingBlobs", {{"stagingBlobUrl", stagingBlobUrl}}))
        return Fail(refusal->code, refusal->text);
    if (!rest::QueryValue(stagingBlobUrl, "snapshot").empty())
        return Fail(SDK_ERR_GENERAL, "InvalidUri: [" + stagingBlobUrl + "] is not a staging blob URI");
    // The wrapper's own credential removes the blob, whatever access its URL's SAS grants.
    const rest::BlobResult removed = impl_->blob->send(NX_HTTP_DELETE, rest::WithoutQuery(stagingBlobUrl),
                                                       {"x-ms-delete-snapshots: include"});
    return removed.ok || Fail(removed.code, removed.text);
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
