// Disks made from backup snapshots and their attachment to a VM: what live
// browse uses to expose a snapshot as disks of the VM the agent runs in.
#include <algorithm>

#include <boost/algorithm/string/predicate.hpp>

#include "azsim/model/ResourceIds.h"
#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/SnapshotSets.h"
#include "host/sys/Time.h"

namespace AzureSDKCppBridge {

using azsim::StateDocument;

namespace {

azsim::VirtualMachine& FindVm(StateDocument& doc, const VMInfoStructs::SVMInfo& vm) {
    azsim::VirtualMachine* found = vm.guid.empty() ? nullptr : doc.findVmByGuid(vm.guid);
    if (!found) found = doc.findVm(vm.name, vm.resourceGroup);
    if (!found)
        throw OperationFailure(SDK_ERR_NOT_FOUND, "ResourceNotFound: The Resource 'Microsoft.Compute/virtualMachines/" +
                                                 vm.name + "' was not found.");
    return *found;
}

// The attachment id of a disk: a managed disk's resource id, or a page blob's URI.
std::string AttachmentId(const VMInfoStructs::SDisk& disk) {
    if (!disk.managedDiskId.empty()) return disk.managedDiskId;
    return disk.uri;
}

void AttachOne(StateDocument& doc, azsim::VirtualMachine& vm, const VMInfoStructs::SDisk& disk) {
    const std::string id = AttachmentId(disk);
    for (const azsim::DiskAttachment& a : vm.disks) {
        if (a.lun == disk.unitNumber)
            throw OperationFailure(SDK_ERR_GENERAL, "Conflict: A disk at LUN " + std::to_string(disk.unitNumber) +
                                                   " already exists on VM '" + vm.name + "'.");
        if (boost::algorithm::iequals(a.id, id))
            throw OperationFailure(SDK_ERR_GENERAL, "Conflict: Disk '" + id + "' is already attached to VM '" +
                                                   vm.name + "'.");
    }
    if (vm.managed) {
        azsim::ManagedDisk* md = doc.findManagedDisk(id);
        if (!md) {
            if (azsim::ParseBlobUri(id))
                throw OperationFailure(SDK_ERR_GENERAL, "OperationNotAllowed: Addition of a VHD blob based disk to VM "
                                                   "with managed disks is not supported.");
            throw OperationFailure(SDK_ERR_NOT_FOUND, "ResourceNotFound: The Resource '" + id + "' was not found.");
        }
        if (md->state == "Attached")
            throw OperationFailure(SDK_ERR_GENERAL, "Conflict: Disk '" + md->name + "' is attached to another VM.");
        md->state = "Attached";
    } else {
        std::optional<azsim::BlobUri> uri = azsim::ParseBlobUri(id);
        if (!uri)
            throw OperationFailure(SDK_ERR_GENERAL, "OperationNotAllowed: Addition of a managed disk to a VM with "
                                               "blob based disks is not supported.");
    }
    vm.disks.push_back(azsim::DiskAttachment{id, disk.unitNumber});
}

const azsim::ManagedSnapshot& SourceSnapshot(const StateDocument& doc, const std::string& source) {
    const azsim::ManagedSnapshot* snap = doc.findSnapshot(source);
    if (!snap) {
        std::optional<azsim::ResourceId> id = azsim::ParseResourceId(source);
        if (id) snap = doc.findSnapshotByName(id->name, id->resourceGroup);
    }
    if (!snap) throw OperationFailure(SDK_ERR_NOT_FOUND, "ResourceNotFound: The Resource '" + source + "' was not found.");
    return *snap;
}

}  // namespace

bool CAzureSDKCppBridge::AddDisksToVM(const VMInfoStructs::SVMInfo& vm,
                                      const std::vector<VMInfoStructs::SDisk>& disks) try {
    nlohmann::json ids = nlohmann::json::array();
    for (const VMInfoStructs::SDisk& disk : disks) ids.push_back({{"id", AttachmentId(disk)}, {"lun", disk.unitNumber}});
    nlohmann::json args = {{"vmName", vm.name}, {"vmGuid", vm.guid}, {"disks", ids}};
    if (std::optional<Refusal> refusal = impl_->begin("AddDisksToVM", args)) return Fail(refusal->code, refusal->text);
    impl_->subscription->mutate([&](StateDocument& doc) {
        azsim::VirtualMachine& target = FindVm(doc, vm);
        for (const VMInfoStructs::SDisk& disk : disks) AttachOne(doc, target, disk);
        return true;
    });
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::DeleteDisksFromVM(const VMInfoStructs::SVMInfo& vm,
                                           const std::vector<VMInfoStructs::SDisk>& disks) try {
    nlohmann::json ids = nlohmann::json::array();
    for (const VMInfoStructs::SDisk& disk : disks) ids.push_back(AttachmentId(disk));
    nlohmann::json args = {{"vmName", vm.name}, {"vmGuid", vm.guid}, {"disks", ids}};
    if (std::optional<Refusal> refusal = impl_->begin("DeleteDisksFromVM", args))
        return Fail(refusal->code, refusal->text);
    impl_->subscription->mutate([&](StateDocument& doc) {
        azsim::VirtualMachine& target = FindVm(doc, vm);
        for (const VMInfoStructs::SDisk& disk : disks) {
            const std::string id = AttachmentId(disk);
            auto attached = [&](const azsim::DiskAttachment& a) {
                return a.lun >= 0 && boost::algorithm::iequals(a.id, id);
            };
            if (std::none_of(target.disks.begin(), target.disks.end(), attached)) continue;
            target.disks.erase(std::remove_if(target.disks.begin(), target.disks.end(), attached),
                               target.disks.end());
            if (azsim::ManagedDisk* md = doc.findManagedDisk(id)) md->state = "Unattached";
        }
        return true;
    });
    return true;
} catch (...) {
    return FailOnException();
}

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
        azsim::BlobKey from;
        std::string fromSnapshot;
        if (sourceIsManagedSnapshot) {
            const azsim::ManagedSnapshot& snap = SourceSnapshot(doc, source);
            from = snap.blob;
            fromSnapshot = snap.storeSnapshot;
        } else {
            std::optional<azsim::BlobUri> uri = azsim::ParseBlobUri(source);
            if (!uri || uri->snapshot.empty())
                throw OperationFailure(SDK_ERR_GENERAL, "InvalidUri: [" + source + "] is not a blob snapshot URI");
            from = uri->key();
            fromSnapshot = uri->snapshot;
        }
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
        disk.tags = {{kSetGuidTag, snapshotGuid}};
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
        const azsim::ManagedSnapshot& snap = SourceSnapshot(doc, source);
        azsim::ManagedDisk disk;
        disk.name = diskName;
        disk.resourceGroup = resourceGroup;
        disk.id = azsim::ManagedDiskId(doc.subscription().id, resourceGroup, diskName);
        disk.region = region.empty() ? snap.region : region;
        disk.sizeBytes = snap.sizeBytes;
        if (!diskType.empty()) disk.sku = diskType;
        disk.zones = availabilityZones == "None" ? std::string() : availabilityZones;
        disk.sourceId = snap.id;
        disk.tags = {{kSetGuidTag, snapshotGuid}};
        disk.blob = azsim::NewManagedDiskBlob();
        disk.createdAt = NxClock::nowSeconds();
        std::string error;
        if (!store.copyBlob(snap.blob, snap.storeSnapshot, disk.blob, &error))
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
