// VM snapshots: a snapshot set of a VM's disks taken on request, and its deletion by reference.
#include <algorithm>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim.hpp>

#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/CreatedByJob.h"
#include "cloudsdk/RecordMapping.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/SnapshotSets.h"

namespace AzureSDKCppBridge {

using azsim::StateDocument;
using boost::algorithm::iequals;

namespace {

// The VM of that name, and of that GUID when one is given.
const azsim::VirtualMachine* SnapshotVm(const StateDocument& doc, const std::string& name, const std::string& guid) {
    const azsim::VirtualMachine* vm = guid.empty() ? doc.findVm(name) : doc.findVmByGuid(guid);
    if (vm && iequals(vm->name, name)) return vm;
    throw OperationFailure(SDK_ERR_NOT_FOUND, "ResourceNotFound: No VM named '" + name + "'" +
                                                  (guid.empty() ? "" : " with GUID '" + guid + "'") + " exists.");
}

// The VM's disks less those `filteredDisks` names (comma-separated disk names); a name that is
// not one of the VM's disks is refused, so a mistyped filter never snapshots a disk meant to stay out.
std::vector<VMInfoStructs::SDisk> DisksToSnapshot(const StateDocument& doc, const azsim::VirtualMachine& vm,
                                                  const std::string& filteredDisks) {
    std::vector<VMInfoStructs::SDisk> disks = VmRecord(doc, vm).disks;
    std::vector<std::string> names;
    boost::algorithm::split(names, filteredDisks, boost::algorithm::is_any_of(","));
    for (std::string name : names) {
        boost::algorithm::trim(name);
        if (name.empty()) continue;
        auto it = std::find_if(disks.begin(), disks.end(),
                               [&](const VMInfoStructs::SDisk& d) { return iequals(d.name, name); });
        if (it == disks.end())
            throw OperationFailure(SDK_ERR_NOT_FOUND,
                                   "Disk [" + name + "] to leave out is not a disk of VM [" + vm.name + "]");
        disks.erase(it);
    }
    if (disks.empty())
        throw OperationFailure(SDK_ERR_GENERAL, "VM [" + vm.name + "] has no disk left to snapshot");
    return disks;
}

}  // namespace

bool CAzureSDKCppBridge::CreateVMSnapshot(const std::string& vmName, const std::string& vmGuid,
                                          bool waitForCompletion, const std::string& filteredDisks, NXJobID jobId,
                                          std::string& snapshotId, std::vector<VMInfoStructs::SDisk>& snapshotDisks,
                                          std::string& snapshotRef) try {
    nlohmann::json args = {{"vmName", vmName},   {"vmGuid", vmGuid},
                           {"waitForCompletion", waitForCompletion}, {"filteredDisks", filteredDisks},
                           {"jobId", jobId}};
    if (std::optional<Refusal> refusal = impl_->begin("CreateVMSnapshot", args))
        return Fail(refusal->code, refusal->text);
    // Simulated snapshots are complete when taken, so waiting for them or not ends the same way.
    std::string guid;
    std::vector<VMInfoStructs::SDisk> disks;
    azsim::PageBlobStore store = impl_->subscription->blobs();
    impl_->subscription->mutate([&](StateDocument& doc) {
        const azsim::VirtualMachine& vm = *SnapshotVm(doc, vmName, vmGuid);
        std::vector<VMInfoStructs::SDisk> chosen = DisksToSnapshot(doc, vm, filteredDisks);
        // A VM snapshot is of the kind the snapshot engine keeps: its snapshots carry the engine's
        // marker, by which the engine's look-ups find them among a backup's of the same disks.
        SnapshotSetRequest request{vm.name, vm.resourceGroup, jobId, 0, CreatedByJobTags(impl_->jobId),
                                   kSnapEngineSnapshotMarker};
        guid = TakeSnapshotSet(doc, store, chosen, request, disks);
        return true;
    });
    snapshotId = guid;
    snapshotRef = guid;
    snapshotDisks = disks;
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::DeleteVMSnapshot(const std::string& vmName, const std::string& vmGuid,
                                          const std::string& snapshotId, const std::string& snapshotRef,
                                          bool isSnapJob) try {
    nlohmann::json args = {{"vmName", vmName}, {"vmGuid", vmGuid}, {"snapshotId", snapshotId},
                           {"snapshotRef", snapshotRef}, {"isSnapJob", isSnapJob}};
    if (std::optional<Refusal> refusal = impl_->begin("DeleteVMSnapshot", args))
        return Fail(refusal->code, refusal->text);
    const std::string reference = snapshotId.empty() ? snapshotRef : snapshotId;
    if (reference.empty()) return Fail(SDK_ERR_GENERAL, "No snapshot of VM [" + vmName + "] was named to delete");
    azsim::PageBlobStore store = impl_->subscription->blobs();
    impl_->subscription->mutate([&](StateDocument& doc) {
        const azsim::SnapshotSet* set = doc.findSnapshotSet(reference);
        if (!set || !SetBelongsToVm(*set, vmName, vmGuid))
            throw OperationFailure(SDK_ERR_NOT_FOUND,
                                   "No snapshot [" + reference + "] of VM [" + vmName + "] exists");
        // A backup's set is the reference its next incremental backup reads changes against:
        // deleting it here would silently turn that backup into a full one.
        if (!TakenOnRequest(doc, *set))
            throw OperationFailure(SDK_ERR_GENERAL, "Snapshot [" + reference + "] of VM [" + vmName +
                                                        "] is a backup's snapshot set, not a VM snapshot; only "
                                                        "snapshots taken as VM snapshots are deleted here");
        DeleteSnapshotSet(doc, store, reference);
        return true;
    });
    return true;
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
