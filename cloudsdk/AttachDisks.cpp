// Attaching disks to a VM that exists and detaching them again. A disk-attach
// restore adds the disks it wrote to the target VM (and takes them off when
// that fails); live browse adds disks made from a snapshot to the agent's own
// VM and releases them at unmount.
//
// An attach checks everything the cloud checks before it changes anything, then
// imports, attaches and forgets the staged blobs in one change of the state
// document, so a refusal or a failure leaves the subscription as it was. The
// staged blobs' data goes once that change is saved.
#include <algorithm>
#include <set>

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/predicate.hpp>

#include "azsim/model/ResourceIds.h"
#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/CreatedByJob.h"
#include "cloudsdk/DeploymentRequest.h"
#include "cloudsdk/DiskImport.h"
#include "cloudsdk/DiskUse.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/VmRemoval.h"
#include "host/sys/Time.h"

namespace AzureSDKCppBridge {

using azsim::StateDocument;
using boost::algorithm::iequals;
using VMInfoStructs::SDisk;

namespace {

// The entries as the caller means them. Live browse names a page blob it made from a snapshot
// by putting the blob's URL where a managed disk's id would go; such an entry names that blob.
std::vector<SDisk> Requested(const std::vector<SDisk>& disks) {
    std::vector<SDisk> out = disks;
    for (SDisk& entry : out)
        if (!entry.managedDiskId.empty() && azsim::ParseBlobUri(entry.managedDiskId)) {
            entry.uri = entry.managedDiskId;
            entry.managedDiskId.clear();
        }
    return out;
}

std::string EntryText(const SDisk& entry) {
    if (!entry.managedDiskId.empty()) return entry.managedDiskId;
    if (!entry.uri.empty()) return entry.uri;
    return entry.storageAccount + "/" + entry.name;
}

nlohmann::json JournalArgs(const VMInfoStructs::SVMInfo& vm, const std::vector<SDisk>& disks) {
    nlohmann::json listed = nlohmann::json::array();
    for (const SDisk& disk : disks) listed.push_back({{"id", EntryText(disk)}, {"lun", disk.unitNumber}});
    return {{"vmName", vm.name}, {"resourceGroup", vm.resourceGroup}, {"vmGuid", vm.guid}, {"disks", listed}};
}

// The VM the record names by name and group, when its GUID is the record's: a record of another
// VM of that name never has its disks changed.
azsim::VirtualMachine& TargetVm(StateDocument& doc, const VMInfoStructs::SVMInfo& vm) {
    azsim::VirtualMachine* found = doc.findVm(vm.name, vm.resourceGroup);
    if (!found)
        throw OperationFailure(SDK_ERR_NOT_FOUND, "ResourceNotFound: The Resource 'Microsoft.Compute/virtualMachines/" +
                                                      vm.name + "' under resource group '" + vm.resourceGroup +
                                                      "' was not found.");
    if (vm.guid.empty() || !iequals(found->guid, vm.guid))
        throw OperationFailure(SDK_ERR_GENERAL, "InvalidParameter: VM '" + vm.name + "' has GUID '" + found->guid +
                                                    "', not '" + vm.guid + "'.");
    return *found;
}

bool IsDataDisk(const azsim::DiskAttachment& a) { return a.lun >= 0; }

// What a resolved entry names, as equal names compare: account and container names are
// case-insensitive, blob names are not.
std::string DiskKey(const DeploymentDisk& d) {
    if (d.managed) return boost::algorithm::to_lower_copy(d.entry->managedDiskId);
    return boost::algorithm::to_lower_copy(d.blob.account + "/" + d.blob.container) + "/" + d.blob.name;
}

// The checks of an attach that are not the deployment's, in order: the VM's size is known, no
// disk is listed twice, the disks' own checks, LUNs free and distinct, and the size's data-disk
// limit, which the OS disk does not count against.
std::string AttachRefusal(const DeploymentRequest& r, const azsim::VirtualMachine& vm) {
    if (!r.group) return "ResourceGroupNotFound: Resource group '" + vm.resourceGroup + "' could not be found.";
    if (!r.size)
        return "InvalidParameter: The size '" + vm.size + "' of VM '" + vm.name + "' is not offered in location '" +
               vm.region + "'; its data-disk limit is unknown.";
    std::set<std::string> listed;
    for (const DeploymentDisk& d : r.disks)
        if (d.naming.empty() && !listed.insert(DiskKey(d)).second)
            return "InvalidParameter: Disk '" + d.entry->name + "' is listed more than once.";
    const std::string diskRefusal = FirstDiskRefusal(r);
    if (!diskRefusal.empty()) return diskRefusal;

    std::set<int> used, asked;
    for (const azsim::DiskAttachment& a : vm.disks)
        if (IsDataDisk(a)) used.insert(a.lun);
    for (const DeploymentDisk& d : r.disks) {
        const int lun = d.entry->unitNumber;
        if (lun < 0) return "InvalidParameter: Disk '" + d.entry->name + "' asks for LUN " + std::to_string(lun) + ".";
        if (used.count(lun))
            return "Conflict: A disk at LUN " + std::to_string(lun) + " already exists on VM '" + vm.name + "'.";
        if (!asked.insert(lun).second)
            return "InvalidParameter: LUN " + std::to_string(lun) + " is used by more than one disk.";
    }
    const auto present = static_cast<std::size_t>(std::count_if(vm.disks.begin(), vm.disks.end(), IsDataDisk));
    if (present + r.disks.size() > static_cast<std::size_t>(std::max(r.size->maxDataDisks, 0)))
        return "OperationNotAllowed: The size '" + r.size->name + "' takes at most " +
               std::to_string(r.size->maxDataDisks) + " data disks; VM '" + vm.name + "' has " +
               std::to_string(present) + " and " + std::to_string(r.disks.size()) + " were added.";
    return "";
}

// What an attach made: the data of the new managed disks (deleted again when the change is not
// saved) and the staged blobs they were imported from (deleted once it is).
struct Attached {
    std::vector<azsim::BlobKey> newBlobs;
    std::vector<azsim::BlobKey> stagedBlobs;
};

void Attach(StateDocument& doc, azsim::PageBlobStore& store, const std::vector<SDisk>& entries,
            const VMInfoStructs::SVMInfo& record, const std::string& job, Attached& out) {
    azsim::VirtualMachine& vm = TargetVm(doc, record);
    DeploymentRequest r;
    r.doc = &doc;
    r.vm = &record;
    r.managedTarget = vm.managed;
    r.convertStagedBlobs = true;
    r.group = doc.findResourceGroup(vm.resourceGroup);
    r.region = doc.findRegion(vm.region);
    if (r.region)
        for (const azsim::VmSize& size : r.region->vmSizes)
            if (iequals(size.name, vm.size)) r.size = &size;
    for (const SDisk& entry : entries) r.disks.push_back(ResolveDisk(doc, store, entry, vm.managed));
    const std::string refusal = AttachRefusal(r, vm);
    if (!refusal.empty()) throw OperationFailure(SDK_ERR_GENERAL, refusal);

    // Checked: from here on the document changes, and the resolved disks' pointers are not read again.
    const long long now = NxClock::nowSeconds();
    std::vector<azsim::DiskAttachment> attachments;
    std::vector<azsim::ManagedDisk> imported;
    std::vector<std::string> attachedIds;
    for (const DeploymentDisk& d : r.disks) {
        azsim::DiskAttachment attachment;
        attachment.lun = d.entry->unitNumber;
        if (d.managed) {
            attachment.id = d.disk->id;
            attachedIds.push_back(d.disk->id);
        } else if (d.import) {
            const azsim::ManagedDisk md =
                ImportPageBlob(store, doc.subscription().id, d, vm, false, CreatedByJobTags(job), now);
            out.newBlobs.push_back(md.blob);
            out.stagedBlobs.push_back(d.blob);
            attachment.id = md.id;
            imported.push_back(md);
        } else {
            attachment.id = azsim::PageBlobUri(d.blob);
        }
        attachments.push_back(attachment);
    }
    for (const std::string& id : attachedIds) doc.findManagedDisk(id)->state = "Attached";
    for (const azsim::ManagedDisk& md : imported) doc.managedDisks.push_back(md);
    for (const azsim::BlobKey& blob : out.stagedBlobs) ForgetPageBlob(doc, blob);
    vm.disks.insert(vm.disks.end(), attachments.begin(), attachments.end());
}

// Whether a data-disk attachment of the VM is what a listed entry names: a managed disk by its
// id; a page blob by its URL, or the managed disk this job imported from it.
bool Names(const StateDocument& doc, const SDisk& entry, const std::optional<azsim::BlobKey>& blob,
           const azsim::DiskAttachment& a, const std::string& job) {
    if (!entry.managedDiskId.empty()) return iequals(a.id, entry.managedDiskId);
    std::optional<azsim::BlobUri> uri = azsim::ParseBlobUri(a.id);
    if (!uri) {
        const azsim::ManagedDisk* md = doc.findManagedDisk(a.id);
        if (!md || !CreatedByJob(md->tags, job)) return false;
        uri = azsim::ParseBlobUri(md->sourceId);
    }
    return uri && uri->snapshot.empty() && SameBlob(uri->key(), *blob);
}

}  // namespace

bool CAzureSDKCppBridge::AddDisksToVM(const VMInfoStructs::SVMInfo& vm, const std::vector<SDisk>& disks) try {
    if (std::optional<Refusal> refusal = impl_->begin("AddDisksToVM", JournalArgs(vm, disks)))
        return Fail(refusal->code, refusal->text);
    const std::vector<SDisk> entries = Requested(disks);
    azsim::PageBlobStore store = impl_->subscription->blobs();
    Attached attached;
    try {
        impl_->subscription->mutate([&](StateDocument& doc) {
            Attach(doc, store, entries, vm, impl_->jobId, attached);
            return true;
        });
    } catch (...) {
        // Nothing was saved: the data of disks imported so far goes too.
        DeleteBlobData(store, attached.newBlobs);
        throw;
    }
    DeleteBlobData(store, attached.stagedBlobs);
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::DeleteDisksFromVM(const VMInfoStructs::SVMInfo& vm, const std::vector<SDisk>& disks) try {
    if (std::optional<Refusal> refusal = impl_->begin("DeleteDisksFromVM", JournalArgs(vm, disks)))
        return Fail(refusal->code, refusal->text);
    const std::vector<SDisk> entries = Requested(disks);
    const std::string job = impl_->jobId;
    std::vector<azsim::BlobKey> data;
    impl_->subscription->mutate([&](StateDocument& doc) {
        azsim::VirtualMachine& target = TargetVm(doc, vm);
        std::vector<std::string> detach;
        for (const SDisk& entry : entries) {
            std::string error;
            std::optional<azsim::BlobKey> blob;
            if (entry.managedDiskId.empty()) {
                blob = PageBlobOfEntry(entry, error);
                if (!blob) throw OperationFailure(SDK_ERR_GENERAL, error);
            }
            for (const azsim::DiskAttachment& a : target.disks)
                if (IsDataDisk(a) && Names(doc, entry, blob, a, job)) detach.push_back(a.id);
        }
        if (detach.empty()) return false;
        auto listed = [&](const azsim::DiskAttachment& a) {
            return IsDataDisk(a) && std::find(detach.begin(), detach.end(), a.id) != detach.end();
        };
        target.disks.erase(std::remove_if(target.disks.begin(), target.disks.end(), listed), target.disks.end());
        for (const std::string& id : detach) {
            azsim::ManagedDisk* md = doc.findManagedDisk(id);
            if (!md) continue;
            md->state = "Unattached";
            // Only a disk this job imported from a page blob is its own to remove.
            if (!CreatedByJob(md->tags, job) || !azsim::ParseBlobUri(md->sourceId)) continue;
            if (std::optional<azsim::BlobKey> blob = RemoveManagedDisk(doc, id)) data.push_back(*blob);
        }
        return true;
    });
    DeleteBlobData(impl_->subscription->blobs(), data);
    return true;
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
