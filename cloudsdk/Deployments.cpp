// Restore deployments: a new VM from prepared disks, the clean-up of a failed
// one, and whether a backed-up VM comes from another subscription.
//
// A deployment checks everything the cloud checks before it creates anything,
// then creates the VM, its disks, network interfaces, public IP and its own
// record in one change of the state document, so a refusal or a failure there
// leaves the subscription as it was. What follows the creation (the fault point
// "RestoreVM.AfterCreate" for tests, then deleting the staged blobs the VM's
// disks were imported from) fails with code 3: the VM stays.
#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/split.hpp>

#include "azsim/model/ResourceIds.h"
#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/CreatedByJob.h"
#include "cloudsdk/DeploymentRequest.h"
#include "cloudsdk/DiskUse.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/VmCreation.h"
#include "cloudsdk/VmRemoval.h"

namespace AzureSDKCppBridge {

using azsim::StateDocument;
using boost::algorithm::iequals;
using nlohmann::json;

bool CAzureSDKCppBridge::RestoreVM(VMInfoStructs::SVMInfo& vmInfo, const std::string& osDiskName,
                                   const std::string& configText, bool assignPublicIP, bool inPlaceRestore,
                                   bool restoreAsManagedVM, bool deployFlag, const std::string& dekBackup,
                                   const std::string& kekBackup, bool convertStagedBlobs,
                                   bool restoreWithoutConfig) try {
    json args = {{"vmName", vmInfo.name}, {"resourceGroup", vmInfo.resourceGroup}, {"region", vmInfo.region},
                 {"vmSize", vmInfo.vmSize}, {"disks", vmInfo.disks.size()}, {"osDiskName", osDiskName},
                 {"assignPublicIP", assignPublicIP}, {"inPlaceRestore", inPlaceRestore},
                 {"restoreAsManagedVM", restoreAsManagedVM}, {"deployFlag", deployFlag},
                 {"encrypted", !dekBackup.empty() || !kekBackup.empty()}, {"convertStagedBlobs", convertStagedBlobs},
                 {"restoreWithoutConfig", restoreWithoutConfig}};
    if (std::optional<Refusal> refusal = impl_->simulatedOnly("RestoreVM", args)) return Fail(refusal->code, refusal->text);
    azsim::PageBlobStore store = impl_->subscription->blobs();
    const CreationOptions options{impl_->jobId, deployFlag, dekBackup, kekBackup, "restore"};
    CreatedVm created;
    try {
        impl_->subscription->mutate([&](StateDocument& doc) {
            const DeploymentRequest request = ResolveDeployment(doc, store, vmInfo, osDiskName, configText,
                                                                assignPublicIP, restoreAsManagedVM,
                                                                convertStagedBlobs, restoreWithoutConfig);
            const std::string refusal = FirstRefusal(request);
            if (!refusal.empty()) throw OperationFailure(SDK_ERR_GENERAL, refusal);
            CreateVm(doc, store, request, options, created);
            return true;
        });
    } catch (...) {
        // Nothing was saved: the data of disks made so far goes too.
        DeleteBlobData(store, created.newBlobs);
        throw;
    }
    vmInfo.guid = created.guid;

    const std::string createdText = "VM '" + vmInfo.name + "' was created, but ";
    if (std::optional<azsim::SdkFault> fault = impl_->faults->takeSdkFault("RestoreVM.AfterCreate"))
        return Fail(SDK_ERR_VM_CREATED_LATER_STEP_FAILED, createdText + fault->text);
    try {
        impl_->subscription->mutate([&](StateDocument& doc) {
            for (const azsim::BlobKey& blob : created.stagedBlobs) ForgetPageBlob(doc, blob);
            return !created.stagedBlobs.empty();
        });
        DeleteBlobData(store, created.stagedBlobs);
    } catch (const std::exception& e) {
        return Fail(SDK_ERR_VM_CREATED_LATER_STEP_FAILED,
                    createdText + "deleting the staged blobs it was made from failed: " + e.what());
    }
    return true;
} catch (...) {
    return FailOnException();
}

namespace {

// The VM a restore clean-up removes: the one with the GUID the deployment returned, or, when
// the caller never learned it (a job killed during its deployment), the VM of that name in its
// group; either way only when this job's tag shows that the job made it.
const azsim::VirtualMachine* VmToClean(const StateDocument& doc, const VMInfoStructs::SVMInfo& vmInfo) {
    if (!vmInfo.guid.empty()) return doc.findVmByGuid(vmInfo.guid);
    if (vmInfo.name.empty() || vmInfo.resourceGroup.empty()) return nullptr;
    return doc.findVm(vmInfo.name, vmInfo.resourceGroup);
}

// The job's own managed disks among the listed entries: by id, by name in the VM's group, or
// imported from a listed page blob. Never one a VM still uses.
std::vector<std::string> ListedManagedDisks(const StateDocument& doc, const std::vector<VMInfoStructs::SDisk>& disks,
                                            const std::string& resourceGroup, const std::string& job) {
    std::vector<std::string> ids;
    for (const VMInfoStructs::SDisk& entry : disks) {
        std::string error;
        std::optional<azsim::BlobKey> blob;
        if (entry.managedDiskId.empty() && !entry.isManaged) blob = PageBlobOfEntry(entry, error);
        for (const azsim::ManagedDisk& md : doc.managedDisks) {
            std::optional<azsim::BlobUri> source = azsim::ParseBlobUri(md.sourceId);
            bool listed;
            if (!entry.managedDiskId.empty())
                listed = iequals(md.id, entry.managedDiskId);
            else if (entry.isManaged)
                listed = !entry.name.empty() && md.name == entry.name && iequals(md.resourceGroup, resourceGroup);
            else
                listed = blob && source && source->snapshot.empty() && SameBlob(source->key(), *blob);
            if (listed && CreatedByJob(md.tags, job) && !VmUsingDisk(doc, md) &&
                std::find(ids.begin(), ids.end(), md.id) == ids.end())
                ids.push_back(md.id);
        }
    }
    return ids;
}

// The job's own page blobs among the listed entries that no VM leases.
std::vector<azsim::BlobKey> ListedPageBlobs(const StateDocument& doc, const std::vector<VMInfoStructs::SDisk>& disks,
                                            const std::string& job) {
    std::vector<azsim::BlobKey> out;
    for (const VMInfoStructs::SDisk& entry : disks) {
        if (!entry.managedDiskId.empty() || entry.isManaged) continue;
        std::string error;
        std::optional<azsim::BlobKey> blob = PageBlobOfEntry(entry, error);
        const azsim::UnmanagedDisk* record = blob ? doc.findUnmanagedDisk(*blob) : nullptr;
        if (record && CreatedByJob(record->tags, job) && !VmLeasingBlob(doc, *blob)) out.push_back(*blob);
    }
    return out;
}

}  // namespace

bool CAzureSDKCppBridge::CleanupRestoreVM(const VMInfoStructs::SVMInfo& vmInfo,
                                          const std::vector<VMInfoStructs::SDisk>& disks,
                                          bool restoreAsManagedVM) try {
    json args = {{"vmName", vmInfo.name}, {"vmGuid", vmInfo.guid}, {"disks", disks.size()},
                 {"restoreAsManagedVM", restoreAsManagedVM}};
    if (std::optional<Refusal> refusal = impl_->simulatedOnly("CleanupRestoreVM", args))
        return Fail(refusal->code, refusal->text);
    const std::string job = impl_->jobId;
    std::vector<azsim::BlobKey> data;
    std::string leftInPlace;
    impl_->subscription->mutate([&](StateDocument& doc) {
        bool changed = false;
        if (const azsim::VirtualMachine* vm = VmToClean(doc, vmInfo)) {
            if (!CreatedByJob(vm->tags, job)) {
                // Found by name only, another's VM is simply not this job's business.
                if (!vmInfo.guid.empty())
                    leftInPlace = "VM '" + vm->name + "' was not created by job " + job +
                                  "; it is left in place.";
            } else {
                const std::string guid = vm->guid;
                for (const azsim::BlobKey& blob : RemoveVm(doc, guid, {true, true, job})) data.push_back(blob);
                changed = true;
            }
        }
        for (const std::string& id : ListedManagedDisks(doc, disks, vmInfo.resourceGroup, job)) {
            if (std::optional<azsim::BlobKey> blob = RemoveManagedDisk(doc, id)) data.push_back(*blob);
            changed = true;
        }
        for (const azsim::BlobKey& blob : ListedPageBlobs(doc, disks, job)) {
            ForgetPageBlob(doc, blob);
            data.push_back(blob);
            changed = true;
        }
        return changed;
    });
    DeleteBlobData(impl_->subscription->blobs(), data);
    if (!leftInPlace.empty()) return Fail(SDK_ERR_GENERAL, leftInPlace);
    return true;
} catch (...) {
    return FailOnException();
}

namespace {

// The subscription of a resource id "/subscriptions/{sub}/resourceGroups/{group}/providers/...", or empty.
std::string SubscriptionOfResourceId(const std::string& id) {
    std::vector<std::string> parts;
    boost::algorithm::split(parts, id, [](char c) { return c == '/'; });
    const bool shaped = parts.size() >= 8 && parts[0].empty() && iequals(parts[1], "subscriptions") &&
                        !parts[2].empty() && iequals(parts[3], "resourceGroups") && !parts[4].empty() &&
                        iequals(parts[5], "providers");
    return shaped ? parts[2] : std::string();
}

}  // namespace

// Needs nothing of the cloud: the configuration names the subscription the VM was backed up from.
bool CAzureSDKCppBridge::IsCrossSubscriptionRestore(const std::string& configText) try {
    if (std::optional<Refusal> refusal = impl_->begin("IsCrossSubscriptionRestore", {{"configBytes", configText.size()}}))
        return Fail(refusal->code, refusal->text);
    const json config = json::parse(configText, nullptr, false);
    const std::string subscription = SubscriptionOfResourceId(config.is_object() ? ConfigText(config, "/id") : "");
    if (subscription.empty())
        return Fail(SDK_ERR_GENERAL, "The VM configuration names no VM resource id; its subscription is unknown.");
    if (iequals(subscription, impl_->subscriptionId)) return false;
    impl_->lastErrors.set(SDK_ERR_GENERAL, "The VM was backed up from subscription [" + subscription +
                                               "], not from the connected subscription [" + impl_->subscriptionId +
                                               "]; an encrypted VM cannot be restored into another subscription.");
    return true;
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
