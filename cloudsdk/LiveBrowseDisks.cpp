// Disks made from backup snapshots, which live browse attaches to the VM the
// agent runs in, and from the integrity snapshots of page blobs, which a clone
// deploys from; and the removal of a staging blob. A managed disk is made
// through Resource Manager, as a copy of a managed snapshot or an import of a
// blob snapshot; which snapshot that is, the subscription's records of
// snapshots tell. Page blobs are made and removed in the blob store.
#include <algorithm>

#include <boost/algorithm/string/predicate.hpp>

#include "azsim/model/ResourceIds.h"
#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/CreatedByJob.h"
#include "cloudsdk/DiskUse.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/SnapshotSets.h"
#include "cloudsdk/VmCreation.h"
#include "cloudsdk/rest/ApiVersions.h"

namespace AzureSDKCppBridge {

using azsim::StateDocument;

namespace {

const azsim::ManagedSnapshot& SourceSnapshot(const StateDocument& doc, const std::string& source) {
    const azsim::ManagedSnapshot* snap = doc.findSnapshot(source);
    if (!snap) {
        std::optional<azsim::ResourceId> id = azsim::ParseResourceId(source);
        if (id) snap = doc.findSnapshotByName(id->name, id->resourceGroup);
    }
    if (!snap) throw OperationFailure(SDK_ERR_NOT_FOUND, "ResourceNotFound: The Resource '" + source + "' was not found.");
    return *snap;
}

// The frozen data a new managed disk is made from, and what the disk takes from its origin.
struct DiskOrigin {
    std::string id;  // the managed snapshot's id, or the blob snapshot's URL
    std::string storageAccountId;  // of the blob snapshot's account; empty for a managed snapshot
    std::string region;
    std::uint64_t sizeBytes = 0;
    azsim::BlobKey blob;
    std::string storeSnapshot;
    std::string osType;  // of the VM using the page blob, if any
    std::string firmware;
};

// The managed snapshot `source` names, or, when `source` names a managed disk, that disk's snapshot
// carrying the set GUID. An OS disk made from it takes the OS type and firmware of the snapped disk.
DiskOrigin ManagedSnapshotOrigin(const StateDocument& doc, const std::string& source, const std::string& snapshotGuid) {
    const azsim::ManagedSnapshot* snap = nullptr;
    std::optional<azsim::ResourceId> id = azsim::ParseResourceId(source);
    if (id && boost::algorithm::iequals(id->type, "disks")) {
        for (const azsim::ManagedSnapshot& s : doc.snapshots)
            if (boost::algorithm::iequals(s.sourceDiskId, source) && CarriesSetGuid(s.tags, snapshotGuid)) snap = &s;
        if (!snap)
            throw OperationFailure(SDK_ERR_NOT_FOUND,
                                   "No snapshot of disk [" + source + "] carries GUID [" + snapshotGuid + "]");
    } else {
        snap = &SourceSnapshot(doc, source);
    }
    DiskOrigin origin{snap->id, "", snap->region, snap->sizeBytes, snap->blob, snap->storeSnapshot, "", ""};
    if (const azsim::ManagedDisk* disk = doc.findManagedDisk(snap->sourceDiskId)) {
        origin.osType = disk->osType;
        origin.firmware = disk->firmware;
    }
    return origin;
}

// The blob snapshot of the page blob at `source` whose metadata carries the set GUID.
DiskOrigin IntegritySnapshotOrigin(const StateDocument& doc, const azsim::PageBlobStore& store,
                                   const std::string& source, const std::string& snapshotGuid) {
    std::optional<azsim::BlobUri> uri = azsim::ParseBlobUri(source);
    if (!uri || !uri->snapshot.empty())
        throw OperationFailure(SDK_ERR_GENERAL, "InvalidUri: [" + source + "] is not a page blob URI");
    for (const azsim::BlobSnapshot& snap : doc.blobSnapshots) {
        auto tag = snap.metadata.find(kSetGuidTag);
        if (!SameBlob(snap.blob, uri->key()) || tag == snap.metadata.end() ||
            !boost::algorithm::iequals(tag->second, snapshotGuid))
            continue;
        azsim::BlobProperties props;
        if (!store.properties(snap.blob, snap.storeSnapshot, props)) break;
        const azsim::StorageAccount* account = doc.findStorageAccount(snap.blob.account);
        DiskOrigin origin{azsim::PageBlobUri(snap.blob, snap.storeSnapshot), "", account ? account->region : "",
                          props.size, snap.blob, snap.storeSnapshot, "", ""};
        if (account)
            origin.storageAccountId = azsim::BuildResourceId({doc.subscription().id, account->resourceGroup,
                                                              "Microsoft.Storage", "storageAccounts", account->name,
                                                              "", ""});
        if (const azsim::VirtualMachine* vm = VmLeasingBlob(doc, snap.blob)) {
            origin.osType = vm->osType;
            origin.firmware = vm->firmware;
        } else if (const azsim::UnmanagedDisk* record = doc.findUnmanagedDisk(snap.blob)) {
            // A blob no VM uses brings the OS type it was registered with, if any.
            auto os = record->tags.find(kRegisteredOsTypeTag);
            if (os != record->tags.end()) origin.osType = os->second;
        }
        return origin;
    }
    throw OperationFailure(SDK_ERR_NOT_FOUND, "No snapshot of blob [" + source + "] carries GUID [" + snapshotGuid + "]");
}

// The disk a new managed disk made from `origin` is asked for as: a copy of a managed snapshot or an
// import of a blob snapshot, marked as this job's and with the set GUID. An OS disk takes the OS type
// and generation of the disk that was snapped.
nlohmann::json ManagedDiskRequest(const DiskOrigin& origin, const std::string& region, const std::string& diskType,
                                  const std::string& zones, bool isOsDisk, azsim::Tags tags,
                                  const std::string& snapshotGuid) {
    tags[kSetGuidTag] = snapshotGuid;
    nlohmann::json creation = {{"createOption", "Copy"}, {"sourceResourceId", origin.id}};
    if (!origin.storageAccountId.empty())
        creation = {{"createOption", "Import"},
                    {"sourceUri", origin.id},
                    {"storageAccountId", origin.storageAccountId}};
    nlohmann::json properties = {{"creationData", creation}};
    if (isOsDisk && !origin.osType.empty()) {
        properties["osType"] = origin.osType;
        properties["hyperVGeneration"] = boost::algorithm::iequals(origin.firmware, "efi") ? "V2" : "V1";
    }
    nlohmann::json disk = {{"location", region.empty() ? origin.region : region},
                           {"sku", {{"name", diskType.empty() ? "Premium_LRS" : diskType}}},
                           {"tags", tags},
                           {"properties", properties}};
    if (!zones.empty() && zones != "None") {
        disk["zones"] = nlohmann::json::array();
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
    azsim::BlobKey target{storageAccount, container, blobName};
    azsim::PageBlobStore store = impl_->localState().blobs();
    impl_->localState().mutate([&](StateDocument& doc) {
        const azsim::StorageAccount* account = doc.findStorageAccount(storageAccount);
        if (!account)
            throw OperationFailure(SDK_ERR_NOT_FOUND, "StorageAccountNotFound: The storage account '" +
                                                     storageAccount + "' was not found.");
        if (!overwrite && store.exists(target))
            throw OperationFailure(SDK_ERR_GENERAL, "BlobAlreadyExists: The specified blob already exists.");
        // A VM's disk is never written under it: its lease keeps the blob as it is.
        if (VmLeasingBlob(doc, target))
            throw OperationFailure(SDK_ERR_GENERAL, "LeaseIdMissing: There is currently a lease on the blob [" +
                                                        blobName + "] and no lease ID was specified in the request.");
        azsim::BlobKey from;
        std::string fromSnapshot;
        std::string osType;
        if (sourceIsManagedSnapshot) {
            const DiskOrigin origin = ManagedSnapshotOrigin(doc, source, snapshotGuid);
            from = origin.blob;
            fromSnapshot = origin.storeSnapshot;
            osType = origin.osType;
        } else {
            std::optional<azsim::BlobUri> uri = azsim::ParseBlobUri(source);
            if (!uri) throw OperationFailure(SDK_ERR_GENERAL, "InvalidUri: [" + source + "] is not a blob URI");
            from = uri->key();
            fromSnapshot = uri->snapshot;
            if (fromSnapshot.empty()) {
                const DiskOrigin origin = IntegritySnapshotOrigin(doc, store, source, snapshotGuid);
                fromSnapshot = origin.storeSnapshot;
                osType = origin.osType;
            }
        }
        // A blob written over keeps its snapshots and whose it was; only a new blob is this job's.
        const azsim::UnmanagedDisk* previous = doc.findUnmanagedDisk(target);
        azsim::Tags tags = !store.exists(target) ? CreatedByJobTags(impl_->jobId)
                           : previous            ? previous->tags
                                                 : azsim::Tags();
        std::string error;
        if (!store.copyBlob(from, fromSnapshot, target, &error))
            throw OperationFailure(SDK_ERR_GENERAL, "CannotVerifyCopySource: " + error);
        azsim::BlobProperties props;
        store.properties(target, std::string(), props);
        doc.unmanagedDisks.erase(std::remove_if(doc.unmanagedDisks.begin(), doc.unmanagedDisks.end(),
                                                [&](const azsim::UnmanagedDisk& d) { return d.blob == target; }),
                                 doc.unmanagedDisks.end());
        azsim::UnmanagedDisk disk;
        disk.name = blobName;
        disk.resourceGroup = account->resourceGroup;
        disk.region = account->region;
        disk.sizeBytes = props.size;
        disk.tags = tags;
        disk.tags[kSetGuidTag] = snapshotGuid;
        // The copy of an OS disk keeps its OS type, as a blob registered as an OS disk does.
        if (!osType.empty()) disk.tags[kRegisteredOsTypeTag] = osType;
        disk.blob = target;
        doc.unmanagedDisks.push_back(disk);
        return true;
    });
    blobUri = azsim::PageBlobUri(target);
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
    const StateDocument doc = impl_->localState().load();
    const DiskOrigin origin = managedSource ? ManagedSnapshotOrigin(doc, source, snapshotGuid)
                                            : IntegritySnapshotOrigin(doc, impl_->localState().blobs(), source,
                                                                      snapshotGuid);
    result = arm.put(path, rest::kDiskVersion,
                     ManagedDiskRequest(origin, region, diskType, availabilityZones, isOsDisk,
                                        CreatedByJobTags(impl_->jobId), snapshotGuid));
    if (!result.ok) return Fail(result.code, result.text);
    diskId = result.body.value("id", "");
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::CleanupStagingBlobs(const std::string& stagingBlobUrl) try {
    if (std::optional<Refusal> refusal = impl_->begin("CleanupStagingBlobs", {{"stagingBlobUrl", stagingBlobUrl}}))
        return Fail(refusal->code, refusal->text);
    std::optional<azsim::BlobUri> uri = azsim::ParseBlobUri(stagingBlobUrl);
    if (!uri || !uri->snapshot.empty())
        return Fail(SDK_ERR_GENERAL, "InvalidUri: [" + stagingBlobUrl + "] is not a staging blob URI");
    if (!impl_->localState().blobs().deleteBlob(uri->key()))
        return Fail(SDK_ERR_NOT_FOUND, "BlobNotFound: The specified blob does not exist.");
    return true;
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
