// Attaching disks to a VM that exists and detaching them again. A disk-attach
// restore adds the disks it wrote to the target VM (and takes them off when
// that fails); live browse adds disks made from a snapshot to the agent's own
// VM and releases them at unmount.
//
// The VM's side goes through Resource Manager: the VM is read, its data-disk
// list changed and the whole body put back, and the cloud checks the change
// (disks existing and free, LUNs distinct, the size's data-disk limit). The
// disks' side still works on the subscription in-process until the disk and
// blob routes serve it: a managed VM's staged page blobs are imported into
// managed disks before the VM is put (and removed again when it is refused, or
// the staged blobs forgotten once attached), the attached disk this job
// imported from a listed blob is found, and this job's imports go once detached.
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
#include "cloudsdk/VmDataDisks.h"
#include "cloudsdk/VmRemoval.h"
#include "cloudsdk/rest/ApiVersions.h"
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

// The VM the record names by name and group, read when its GUID is the record's: a record of
// another VM of that name never has its disks changed.
rest::ArmResult ReadRecordedVm(rest::ArmClient& arm, const VMInfoStructs::SVMInfo& record) {
    rest::ArmResult vm =
        arm.get(VmResourceId(arm.subscriptionId(), record.resourceGroup, record.name), rest::kComputeVersion);
    if (!vm.ok) return vm;
    const std::string guid = vm.body.value("properties", nlohmann::json::object()).value("vmId", "");
    if (record.guid.empty() || !iequals(guid, record.guid)) {
        vm.ok = false;
        vm.code = SDK_ERR_GENERAL;
        vm.text = "InvalidParameter: VM '" + record.name + "' has GUID '" + guid + "', not '" + record.guid + "'.";
    }
    return vm;
}

nlohmann::json& DataDisksOf(nlohmann::json& vm) { return vm["properties"]["storageProfile"]["dataDisks"]; }

bool NamesBlob(const SDisk& entry) { return entry.managedDiskId.empty(); }

// What a resolved entry names, as equal names compare: account and container names are
// case-insensitive, blob names are not.
std::string DiskKey(const DeploymentDisk& d) {
    return boost::algorithm::to_lower_copy(d.blob.account + "/" + d.blob.container) + "/" + d.blob.name;
}

// The page blobs a managed VM takes as managed disks imported from them: the id each blob
// entry's disk got (empty for other entries), the new disks' data and the staged blobs.
struct Imports {
    std::vector<std::string> ids;
    std::vector<azsim::BlobKey> newBlobs;
    std::vector<azsim::BlobKey> stagedBlobs;
};

// Checks the blob entries as the cloud checks a disk to import (each listed once, existing, free,
// fitting the VM's size), then imports them into managed disks of the VM's group, tagged as this
// job's.
void ImportStagedBlobs(StateDocument& doc, azsim::PageBlobStore& store, const std::vector<SDisk>& entries,
                       const VMInfoStructs::SVMInfo& record, const std::string& job, Imports& out) {
    const azsim::VirtualMachine* vm = doc.findVm(record.name, record.resourceGroup);
    if (!vm) throw OperationFailure(SDK_ERR_NOT_FOUND, "ResourceNotFound: VM '" + record.name + "' was not found.");
    DeploymentRequest r;
    r.doc = &doc;
    r.vm = &record;
    r.managedTarget = true;
    r.convertStagedBlobs = true;
    r.group = doc.findResourceGroup(vm->resourceGroup);
    r.region = doc.findRegion(vm->region);
    if (r.region)
        for (const azsim::VmSize& size : r.region->vmSizes)
            if (iequals(size.name, vm->size)) r.size = &size;
    for (const SDisk& entry : entries)
        if (NamesBlob(entry)) r.disks.push_back(ResolveDisk(doc, store, entry, true));
    if (!r.size)
        throw OperationFailure(SDK_ERR_GENERAL, "InvalidParameter: The size '" + vm->size + "' of VM '" + vm->name +
                                                    "' is not offered in location '" + vm->region + "'.");
    std::set<std::string> listed;
    for (const DeploymentDisk& d : r.disks)
        if (d.naming.empty() && !listed.insert(DiskKey(d)).second)
            throw OperationFailure(SDK_ERR_GENERAL,
                                   "InvalidParameter: Disk '" + d.entry->name + "' is listed more than once.");
    const std::string refusal = FirstDiskRefusal(r);
    if (!refusal.empty()) throw OperationFailure(SDK_ERR_GENERAL, refusal);

    // Checked: from here on the document changes, and the resolved disks' pointers are not read again.
    const long long now = NxClock::nowSeconds();
    std::vector<azsim::ManagedDisk> imported;
    out.ids.assign(entries.size(), std::string());
    for (std::size_t i = 0, next = 0; i < entries.size(); ++i) {
        if (!NamesBlob(entries[i])) continue;
        const DeploymentDisk& d = r.disks[next++];
        imported.push_back(ImportPageBlob(store, doc.subscription().id, d, *vm, false, CreatedByJobTags(job), now));
        out.newBlobs.push_back(imported.back().blob);
        out.stagedBlobs.push_back(d.blob);
        out.ids[i] = imported.back().id;
    }
    for (const azsim::ManagedDisk& md : imported) doc.managedDisks.push_back(md);
}

// Whether a data disk of the VM (`id`: a managed disk's id or a page blob's URL) is what a listed
// entry names: a managed disk by its id; a page blob by its URL, or the managed disk this job
// imported from it.
bool Names(const StateDocument& doc, const SDisk& entry, const std::string& id, const std::string& job) {
    if (!NamesBlob(entry)) return iequals(id, entry.managedDiskId);
    std::string error;
    const std::optional<azsim::BlobKey> blob = PageBlobOfEntry(entry, error);
    if (!blob) throw OperationFailure(SDK_ERR_GENERAL, error);
    std::optional<azsim::BlobUri> uri = azsim::ParseBlobUri(id);
    if (!uri) {
        const azsim::ManagedDisk* md = doc.findManagedDisk(id);
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
    rest::ArmResult result = ReadRecordedVm(*impl_->arm, vm);
    if (!result.ok) return Fail(result.code, result.text);
    nlohmann::json target = result.body;
    const bool imports = HasManagedDisks(target) && std::any_of(entries.begin(), entries.end(), NamesBlob);
    azsim::PageBlobStore store = impl_->subscription->blobs();
    Imports imported;
    if (imports) {
        try {
            impl_->subscription->mutate([&](StateDocument& doc) {
                ImportStagedBlobs(doc, store, entries, vm, impl_->jobId, imported);
                return true;
            });
        } catch (...) {
            // Nothing was saved: the data of disks imported so far goes too.
            DeleteBlobData(store, imported.newBlobs);
            throw;
        }
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
        SDisk entry = entries[i];
        if (imports && !imported.ids[i].empty()) entry.managedDiskId = imported.ids[i];
        DataDisksOf(target).push_back(DataDiskOf(target, entry));
    }
    result = impl_->arm->put(target.value("id", ""), rest::kComputeVersion, target);
    if (imports) {
        // Refused: the imports go again. Attached: the staged blobs they were made from go.
        impl_->subscription->mutate([&](StateDocument& doc) {
            if (!result.ok)
                for (const std::string& id : imported.ids)
                    doc.managedDisks.erase(std::remove_if(doc.managedDisks.begin(), doc.managedDisks.end(),
                                                          [&](const azsim::ManagedDisk& d) { return d.id == id; }),
                                           doc.managedDisks.end());
            else
                for (const azsim::BlobKey& blob : imported.stagedBlobs) ForgetPageBlob(doc, blob);
            return true;
        });
        DeleteBlobData(store, result.ok ? imported.stagedBlobs : imported.newBlobs);
    }
    return result.ok || Fail(result.code, result.text);
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::DeleteDisksFromVM(const VMInfoStructs::SVMInfo& vm, const std::vector<SDisk>& disks) try {
    if (std::optional<Refusal> refusal = impl_->begin("DeleteDisksFromVM", JournalArgs(vm, disks)))
        return Fail(refusal->code, refusal->text);
    const std::vector<SDisk> entries = Requested(disks);
    rest::ArmResult result = ReadRecordedVm(*impl_->arm, vm);
    if (!result.ok) return Fail(result.code, result.text);
    nlohmann::json target = result.body;
    const std::string job = impl_->jobId;
    const StateDocument doc = impl_->subscription->load();
    nlohmann::json kept = nlohmann::json::array();
    std::vector<std::string> detached;
    for (const nlohmann::json& disk : DataDisksOf(target)) {
        const nlohmann::json none = nlohmann::json::object();
        std::string id = disk.value("managedDisk", none).value("id", "");
        if (id.empty()) id = disk.value("vhd", none).value("uri", "");
        const bool listed = std::any_of(entries.begin(), entries.end(),
                                        [&](const SDisk& entry) { return Names(doc, entry, id, job); });
        if (listed)
            detached.push_back(id);
        else
            kept.push_back(disk);
    }
    if (detached.empty()) return true;
    DataDisksOf(target) = kept;
    result = impl_->arm->put(target.value("id", ""), rest::kComputeVersion, target);
    if (!result.ok) return Fail(result.code, result.text);
    // Only a disk this job imported from a page blob is its own to remove.
    std::vector<azsim::BlobKey> data;
    impl_->subscription->mutate([&](StateDocument& current) {
        bool removed = false;
        for (const std::string& id : detached) {
            const azsim::ManagedDisk* md = current.findManagedDisk(id);
            if (!md || !CreatedByJob(md->tags, job) || !azsim::ParseBlobUri(md->sourceId)) continue;
            if (std::optional<azsim::BlobKey> blob = RemoveManagedDisk(current, id)) data.push_back(*blob);
            removed = true;
        }
        return removed;
    });
    DeleteBlobData(impl_->subscription->blobs(), data);
    return true;
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
