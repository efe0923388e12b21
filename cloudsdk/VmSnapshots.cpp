// VM snapshots: a snapshot set of a VM's disks taken on request, and its deletion by reference.
#include <algorithm>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim.hpp>

#include "cloudsdk/BlobSnapshotSets.h"
#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/CreatedByJob.h"
#include "cloudsdk/ManagedSnapshotSets.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/SnapshotSets.h"
#include "cloudsdk/rest/ApiVersions.h"
#include "cloudsdk/rest/ResourceLookup.h"

namespace AzureSDKCppBridge {

using boost::algorithm::iequals;

namespace {

// The VM of that name, and of that GUID when one is given, as Resource Manager lists it.
nlohmann::json SnapshotVm(rest::ArmClient& arm, const std::string& name, const std::string& guid) {
    rest::ArmResult vms = rest::ListOfType(arm, "Microsoft.Compute/virtualMachines", rest::kComputeVersion);
    if (!vms.ok) throw OperationFailure(vms.code, vms.text);
    for (const nlohmann::json& vm : vms.body) {
        const std::string vmId = vm.value("properties", nlohmann::json::object()).value("vmId", "");
        if (iequals(vm.value("name", ""), name) && (guid.empty() || iequals(vmId, guid))) return vm;
    }
    throw OperationFailure(SDK_ERR_NOT_FOUND, "ResourceNotFound: No VM named '" + name + "'" +
                                                  (guid.empty() ? "" : " with GUID '" + guid + "'") + " exists.");
}

// Whether the disk entry `name` is encrypted, as the VM's instance view shows its disks.
bool EncryptedInView(const nlohmann::json& instanceView, const std::string& name) {
    for (const nlohmann::json& disk : instanceView.value("disks", nlohmann::json::array())) {
        if (!iequals(disk.value("name", ""), name)) continue;
        for (const nlohmann::json& setting : disk.value("encryptionSettings", nlohmann::json::array()))
            if (setting.value("enabled", false)) return true;
    }
    return false;
}

// The record of one managed disk of the VM's storage profile; `lun` < 0 for the OS disk.
VMInfoStructs::SDisk ManagedDiskEntry(const nlohmann::json& entry, const nlohmann::json& instanceView, int lun) {
    VMInfoStructs::SDisk disk;
    const nlohmann::json managed = entry.value("managedDisk", nlohmann::json::object());
    disk.name = entry.value("name", "");
    disk.originalName = disk.name;
    disk.indexName = disk.name;
    disk.managedDiskId = managed.value("id", "");
    disk.uri = disk.managedDiskId;
    disk.capacity = entry.value("diskSizeBytes", entry.value("diskSizeGB", 0LL) << 30);
    disk.volumeType = managed.value("storageAccountType", "");
    disk.isEncrypted = EncryptedInView(instanceView, disk.name);
    disk.isManaged = true;
    disk.resourceGroup = GroupOfId(disk.managedDiskId);
    disk.isOsDisk = lun < 0;
    disk.unitNumber = lun < 0 ? 0 : lun;
    disk.namePrefix = disk.isOsDisk ? "OsDisk" : "DataDisk";
    return disk;
}

// The record of one page-blob disk of the VM's storage profile, named after its blob; `lun` < 0 for the OS disk.
VMInfoStructs::SDisk PageBlobEntry(const rest::BlobClient& blob, const nlohmann::json& entry, int lun) {
    VMInfoStructs::SDisk disk;
    disk.uri = entry.value("vhd", nlohmann::json::object()).value("uri", "");
    std::string error;
    if (const std::optional<BlobAddress> address = BlobAddressOf(blob, disk, error)) disk.name = address->name;
    const std::size_t host = disk.uri.find("://") + 3;
    disk.storageAccount = disk.uri.substr(host, disk.uri.find('.', host) - host);
    disk.originalName = disk.name;
    disk.indexName = disk.name;
    disk.capacity = entry.value("diskSizeGB", 0LL) << 30;
    disk.isOsDisk = lun < 0;
    disk.unitNumber = lun < 0 ? 0 : lun;
    disk.namePrefix = disk.isOsDisk ? "OsDisk" : "DataDisk";
    return disk;
}

// The disks of a VM as GET with its instance view answers it: its managed disks, or its page blobs.
std::vector<VMInfoStructs::SDisk> DisksOf(const rest::BlobClient& blob, const nlohmann::json& vm) {
    const nlohmann::json properties = vm.value("properties", nlohmann::json::object());
    const nlohmann::json profile = properties.value("storageProfile", nlohmann::json::object());
    const nlohmann::json view = properties.value("instanceView", nlohmann::json::object());
    std::vector<std::pair<nlohmann::json, int>> entries = {{profile.value("osDisk", nlohmann::json::object()), -1}};
    for (const nlohmann::json& data : profile.value("dataDisks", nlohmann::json::array()))
        entries.emplace_back(data, data.value("lun", 0));
    std::vector<VMInfoStructs::SDisk> disks;
    for (const auto& [entry, lun] : entries)
        disks.push_back(entry.contains("managedDisk") ? ManagedDiskEntry(entry, view, lun)
                                                      : PageBlobEntry(blob, entry, lun));
    return disks;
}

// The VM's disks less those `filteredDisks` names (comma-separated disk names); a name that is
// not one of the VM's disks is refused, so a mistyped filter never snapshots a disk meant to stay out.
std::vector<VMInfoStructs::SDisk> DisksToSnapshot(std::vector<VMInfoStructs::SDisk> disks, const std::string& vmName,
                                                  const std::string& filteredDisks) {
    std::vector<std::string> names;
    boost::algorithm::split(names, filteredDisks, boost::algorithm::is_any_of(","));
    for (std::string name : names) {
        boost::algorithm::trim(name);
        if (name.empty()) continue;
        auto it = std::find_if(disks.begin(), disks.end(),
                               [&](const VMInfoStructs::SDisk& d) { return iequals(d.name, name); });
        if (it == disks.end())
            throw OperationFailure(SDK_ERR_NOT_FOUND,
                                   "Disk [" + name + "] to leave out is not a disk of VM [" + vmName + "]");
        disks.erase(it);
    }
    if (disks.empty()) throw OperationFailure(SDK_ERR_GENERAL, "VM [" + vmName + "] has no disk left to snapshot");
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
    // Snapshots are complete once their creation has been followed to its end, so waiting for them
    // or not ends the same way.
    const nlohmann::json listed = SnapshotVm(*impl_->arm, vmName, vmGuid);
    rest::ArmResult vm = impl_->arm->get(listed.value("id", ""), rest::kComputeVersion, "$expand=instanceView");
    if (!vm.ok) return Fail(vm.code, vm.text);
    // A VM snapshot is of the kind the snapshot engine keeps: its snapshots carry the engine's
    // marker, by which the engine's look-ups find them among a backup's of the same disks.
    SnapshotSetRequest request{vm.body.value("name", vmName), GroupOfId(vm.body.value("id", "")), jobId, 0,
                               CreatedByJobTags(impl_->jobId), kSnapEngineSnapshotMarker,
                               vm.body.value("properties", nlohmann::json::object()).value("vmId", "")};
    std::vector<VMInfoStructs::SDisk> disks;
    const std::string guid = TakeSnapshotSet(
        *impl_->arm, *impl_->blob, DisksToSnapshot(DisksOf(*impl_->blob, vm.body), request.vmName, filteredDisks),
        request, disks);
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
    const std::string missing = "No snapshot [" + reference + "] of VM [" + vmName + "] exists";
    // A backup's set is the reference its next incremental backup reads changes against:
    // deleting it here would silently turn that backup into a full one.
    const std::string backups = "Snapshot [" + reference + "] of VM [" + vmName +
                                "] is a backup's snapshot set, not a VM snapshot; only snapshots taken as VM "
                                "snapshots are deleted here";
    std::vector<CloudSet> sets;
    rest::ArmResult read = ReadManagedSets(*impl_->arm, sets);
    if (!read.ok) return Fail(read.code, read.text);
    if (const CloudSet* set = FindSet(sets, reference)) {
        if (!set->ofVm(vmName, vmGuid)) return Fail(SDK_ERR_NOT_FOUND, missing);
        if (!set->takenOnRequest()) return Fail(SDK_ERR_GENERAL, backups);
        rest::ArmResult gone = DeleteManagedSet(*impl_->arm, *set);
        return gone.ok || Fail(gone.code, gone.text);
    }
    // A set of page-blob snapshots is found through the VM's blobs.
    if (std::optional<Refusal> refusal = ReadVmBlobSets(*impl_->arm, *impl_->blob, vmName, vmGuid, "", sets))
        return Fail(refusal->code, refusal->text);
    const CloudSet* set = FindSet(sets, reference);
    if (!set || !set->ofVm(vmName, vmGuid)) return Fail(SDK_ERR_NOT_FOUND, missing);
    if (!set->takenOnRequest()) return Fail(SDK_ERR_GENERAL, backups);
    const std::optional<Refusal> refusal = DeleteBlobSet(*impl_->blob, *set);
    return !refusal || Fail(refusal->code, refusal->text);
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
