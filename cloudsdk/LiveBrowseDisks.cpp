// Disks made from backup snapshots, which live browse attaches to the VM the
// agent runs in, and from the integrity snapshots of page blobs, which a clone
// deploys from; and the removal of a staging blob.
#include <algorithm>

#include <boost/algorithm/string/predicate.hpp>

#include "azsim/model/ResourceIds.h"
#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/CreatedByJob.h"
#include "cloudsdk/DiskUse.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/SnapshotSets.h"
#include "cloudsdk/VmCreation.h"
#include "host/sys/Time.h"

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
    DiskOrigin origin{snap->id, snap->region, snap->sizeBytes, snap->blob, snap->storeSnapshot, "", ""};
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
        DiskOrigin origin{azsim::PageBlobUri(snap.blob, snap.storeSnapshot), account ? account->region : "",
                          props.size, snap.blob, snap.storeSnapshot, "", ""};
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
    azsim::PageBlobStore store = impl_->subscription->blobs();
    impl_->subscription->mutate([&](StateDocument& doc) {
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
    azsim::PageBlobStore store = impl_->subscription->blobs();
    std::string createdId;
    impl_->subscription->mutate([&](StateDocument& doc) {
        if (!doc.findResourceGroup(resourceGroup))
            throw OperationFailure(SDK_ERR_NOT_FOUND, "ResourceGroupNotFound: Resource group '" + resourceGroup +
                                                     "' could not be found.");
        if (doc.findManagedDiskByName(diskName, resourceGroup))
            throw OperationFailure(SDK_ERR_GENERAL, "Conflict: A disk named '" + diskName + "' already exists.");
        const DiskOrigin origin = managedSource ? ManagedSnapshotOrigin(doc, source, snapshotGuid)
                                                : IntegritySnapshotOrigin(doc, store, source, snapshotGuid);
        azsim::ManagedDisk disk;
        disk.name = diskName;
        disk.resourceGroup = resourceGroup;
        disk.id = azsim::ManagedDiskId(doc.subscription().id, resourceGroup, diskName);
        disk.region = region.empty() ? origin.region : region;
        disk.sizeBytes = origin.sizeBytes;
        if (!diskType.empty()) disk.sku = diskType;
        if (isOsDisk) {
            disk.osType = origin.osType;
            disk.firmware = origin.firmware;
        }
        disk.zones = availabilityZones == "None" ? std::string() : availabilityZones;
        disk.sourceId = origin.id;
        disk.tags = CreatedByJobTags(impl_->jobId);
        disk.tags[kSetGuidTag] = snapshotGuid;
        disk.blob = azsim::NewManagedDiskBlob();
        disk.createdAt = NxClock::nowSeconds();
        std::string error;
        if (!store.copyBlob(origin.blob, origin.storeSnapshot, disk.blob, &error))
            throw OperationFailure(SDK_ERR_GENERAL, "Disk creation from snapshot failed: " + error);
        createdId = disk.id;
        doc.managedDisks.push_back(disk);
        return true;
    });
    diskId = createdId;
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
    if (!impl_->subscription->blobs().deleteBlob(uri->key()))
        return Fail(SDK_ERR_NOT_FOUND, "BlobNotFound: The specified blob does not exist.");
    return true;
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
