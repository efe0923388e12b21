// Disk snapshot sets for backups: creation, look-ups by set GUID, deletion and expiry.
#include <algorithm>
#include <ctime>
#include <functional>
#include <set>

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/predicate.hpp>

#include "azsim/Journal.h"
#include "cloudsdk/BlobSnapshotSets.h"
#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/CreatedByJob.h"
#include "cloudsdk/ManagedSnapshotSets.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/SnapshotSets.h"
#include "cloudsdk/VmDataDisks.h"
#include "cloudsdk/rest/ApiVersions.h"
#include "cloudsdk/rest/ResourceLookup.h"
#include "host/sys/Time.h"
#include "host/util/Guid.h"

namespace AzureSDKCppBridge {

std::string SnapshotName(const std::string& diskName, const std::string& marker, long long createdAt,
                         const std::string& setGuid) {
    time_t t = static_cast<time_t>(createdAt);
    struct tm utc;
    gmtime_r(&t, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &utc);
    return diskName + marker + stamp + "-" + setGuid.substr(0, 8);
}

bool MarkedAs(const std::string& marked, bool snapEngine) {
    const bool engine = marked.find(kSnapEngineSnapshotMarker) != std::string::npos;
    return snapEngine ? engine : !engine && marked.find(kBackupSnapshotMarker) != std::string::npos;
}

namespace {

// The disk a managed snapshot was taken of.
std::string SourceOf(const nlohmann::json& snap) {
    const nlohmann::json properties = snap.value("properties", nlohmann::json::object());
    return properties.value("creationData", nlohmann::json::object()).value("sourceResourceId", "");
}

// Whether a managed snapshot was taken of `diskId` as a member of set `guid`.
bool SnapshotOfSet(const nlohmann::json& snap, const std::string& diskId, const std::string& guid) {
    return boost::algorithm::iequals(SourceOf(snap), diskId) &&
           boost::algorithm::iequals(TagOf(snap, kSetGuidTag), guid);
}

// The record of a managed snapshot as a disk: its resource id serves as both id and URI.
VMInfoStructs::SDisk SnapshotRecord(const nlohmann::json& snap) {
    const nlohmann::json properties = snap.value("properties", nlohmann::json::object());
    VMInfoStructs::SDisk out;
    out.name = snap.value("name", "");
    out.managedDiskId = snap.value("id", "");
    out.resourceGroup = GroupOfId(out.managedDiskId);
    out.uri = out.managedDiskId;
    out.capacity = properties.value("diskSizeBytes", 0LL);
    out.isManaged = true;
    out.incrementalSnapshot = properties.value("incremental", false);
    return out;
}

// Every managed snapshot of the subscription.
rest::ArmResult ListSnapshots(rest::ArmClient& arm) {
    return rest::ListOfType(arm, "Microsoft.Compute/snapshots", rest::kDiskVersion);
}

// The GUID of the VM `vmName` in `group` as Resource Manager names it; empty when there is no such VM.
rest::ArmResult VmGuidOf(rest::ArmClient& arm, const std::string& group, const std::string& vmName,
                         std::string& guid) {
    rest::ArmResult vm = arm.get(VmResourceId(arm.subscriptionId(), group, vmName), rest::kComputeVersion);
    if (vm.ok) guid = vm.body.value("properties", nlohmann::json::object()).value("vmId", "");
    if (vm.code == SDK_ERR_NOT_FOUND) vm.ok = true;
    return vm;
}

// Deletes the managed set of GUID `guid` when `wanted` says so; `found` tells whether there was one.
rest::ArmResult DeleteManagedSetIf(rest::ArmClient& arm, const std::string& guid,
                                   const std::function<bool(const CloudSet&)>& wanted, bool& found) {
    std::vector<CloudSet> sets;
    rest::ArmResult read = ReadManagedSets(arm, sets);
    const CloudSet* set = read.ok ? FindSet(sets, guid) : nullptr;
    found = set != nullptr;
    return set && wanted(*set) ? DeleteManagedSet(arm, *set) : read;
}

// The page blobs of the disks that name one; managed disks have none.
std::vector<BlobAddress> PageBlobsOf(const rest::BlobClient& blob, const std::vector<VMInfoStructs::SDisk>& disks) {
    std::vector<BlobAddress> blobs;
    for (const VMInfoStructs::SDisk& disk : disks) {
        std::string error;
        const std::optional<BlobAddress> address = disk.isManaged ? std::nullopt : BlobAddressOf(blob, disk, error);
        if (address) blobs.push_back(*address);
    }
    return blobs;
}

}  // namespace

std::string TakeSnapshotSet(rest::ArmClient& arm, rest::BlobClient& blob,
                            const std::vector<VMInfoStructs::SDisk>& disks, const SnapshotSetRequest& request,
                            std::vector<VMInfoStructs::SDisk>& snapshotDisks) {
    const std::string guid = CreateGuid();
    std::map<std::string, std::string> tags = {{kSetGuidTag, guid},
                                               {kJobTag, std::to_string(request.jobTag)},
                                               {kAppIdTag, std::to_string(request.appId)},
                                               {kMarkerTag, request.marker},
                                               {kVmNameTag, request.vmName},
                                               {kVmGroupTag, request.resourceGroup}};
    tags.insert(request.extraTags.begin(), request.extraTags.end());
    if (!request.vmGuid.empty()) tags[kVmGuidTag] = request.vmGuid;
    snapshotDisks = !disks.empty() && disks.front().isManaged ? TakeManagedSet(arm, disks, tags, NxClock::nowSeconds())
                                                               : TakeBlobSet(blob, disks, tags);
    return guid;
}

bool CAzureSDKCppBridge::CreateDiskSnapshots(const std::vector<VMInfoStructs::SDisk>& disks,
                                             const std::string& resourceGroup, const std::string& region,
                                             const std::string& vmName, std::uint32_t appId, NXJobID jobTag,
                                             std::string& snapshotGuid,
                                             std::vector<VMInfoStructs::SDisk>& snapshotDisks) try {
    nlohmann::json args = {{"resourceGroup", resourceGroup}, {"region", region}, {"vmName", vmName},
                           {"appId", appId}, {"jobTag", jobTag}, {"disks", disks.size()}};
    if (std::optional<Refusal> refusal = impl_->begin("CreateDiskSnapshots", args))
        return Fail(refusal->code, refusal->text);
    SnapshotSetRequest request{vmName, resourceGroup, jobTag, appId, {}, kBackupSnapshotMarker, {}};
    if (vmName.empty()) request.marker = kIntegritySnapshotMarker;
    const auto managed = std::count_if(disks.begin(), disks.end(), [](const auto& d) { return d.isManaged; });
    if (managed > 0 && managed < static_cast<long>(disks.size()))
        return Fail(SDK_ERR_GENERAL, "The disks of one snapshot set are either all managed disks or all page blobs");
    // Names go into tags and paths as text: bytes that are not UTF-8 are written escaped.
    request.vmName = azsim::Utf8Escaped(vmName);
    request.resourceGroup = azsim::Utf8Escaped(resourceGroup);
    if (!vmName.empty()) {
        rest::ArmResult vm = VmGuidOf(*impl_->arm, request.resourceGroup, request.vmName, request.vmGuid);
        if (!vm.ok) return Fail(vm.code, vm.text);
    }
    std::vector<VMInfoStructs::SDisk> result;
    snapshotGuid = TakeSnapshotSet(*impl_->arm, *impl_->blob, disks, request, result);
    snapshotDisks = result;
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::DeleteDiskSnapshots(const std::string& snapshotGuid,
                                             const std::vector<VMInfoStructs::SDisk>& disks,
                                             const std::string& resourceGroup, bool isSnapJob) try {
    nlohmann::json args = {{"snapshotGuid", snapshotGuid}, {"disks", disks.size()},
                           {"resourceGroup", resourceGroup}, {"isSnapJob", isSnapJob}};
    if (std::optional<Refusal> refusal = impl_->begin("DeleteDiskSnapshots", args))
        return Fail(refusal->code, refusal->text);
    if (snapshotGuid.empty()) {
        // No set named: every integrity snapshot of the listed page blobs goes.
        for (const VMInfoStructs::SDisk& disk : disks) {
            std::string error;
            const std::optional<BlobAddress> address = BlobAddressOf(*impl_->blob, disk, error);
            if (!address) return Fail(SDK_ERR_GENERAL, "Disk [" + disk.name + "] names no page blob");
            if (const std::optional<Refusal> refusal = DeleteIntegritySnapshots(*impl_->blob, *address))
                return Fail(refusal->code, refusal->text);
        }
        return true;
    }
    bool managed = false;
    rest::ArmResult gone =
        DeleteManagedSetIf(*impl_->arm, snapshotGuid, [](const CloudSet&) { return true; }, managed);
    if (!gone.ok) return Fail(gone.code, gone.text);
    // A set of page-blob snapshots is found through the blobs of the listed disks.
    std::vector<CloudSet> sets;
    if (const std::optional<Refusal> refusal = ReadBlobSets(*impl_->blob, PageBlobsOf(*impl_->blob, disks), sets))
        return Fail(refusal->code, refusal->text);
    const CloudSet* set = FindSet(sets, snapshotGuid);
    if (!set && !managed) return Fail(SDK_ERR_NOT_FOUND, "No disk snapshots with GUID [" + snapshotGuid + "] exist");
    const std::optional<Refusal> refusal = set ? DeleteBlobSet(*impl_->blob, *set) : std::nullopt;
    return !refusal || Fail(refusal->code, refusal->text);
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::CleanupVMSnapshot(const std::string& vmName, const std::string& vmGuid,
                                           const std::string& snapshotGuid, bool isSnapJob) try {
    nlohmann::json args = {{"vmName", vmName}, {"vmGuid", vmGuid}, {"snapshotGuid", snapshotGuid},
                           {"isSnapJob", isSnapJob}};
    if (std::optional<Refusal> refusal = impl_->begin("CleanupVMSnapshot", args))
        return Fail(refusal->code, refusal->text);
    bool managed = false;
    rest::ArmResult gone = DeleteManagedSetIf(
        *impl_->arm, snapshotGuid, [&](const CloudSet& set) { return set.ofVm(vmName, vmGuid); }, managed);
    if (!gone.ok) return Fail(gone.code, gone.text);
    if (managed) return true;
    // A set of page-blob snapshots is found through the VM's blobs.
    std::vector<CloudSet> sets;
    std::optional<Refusal> refusal = ReadVmBlobSets(*impl_->arm, *impl_->blob, vmName, vmGuid, "", sets);
    const CloudSet* set = refusal ? nullptr : FindSet(sets, snapshotGuid);
    if (set && set->ofVm(vmName, vmGuid)) refusal = DeleteBlobSet(*impl_->blob, *set);
    return !refusal || Fail(refusal->code, refusal->text);
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::DeleteExpiredSnapshots(const std::string& hostName, const std::string& vmName,
                                                unsigned long expiryHours,
                                                const std::vector<std::string>& keepSnapshots) try {
    nlohmann::json args = {{"hostName", hostName}, {"vmName", vmName}, {"expiryHours", expiryHours},
                           {"keepSnapshots", keepSnapshots}};
    if (std::optional<Refusal> refusal = impl_->begin("DeleteExpiredSnapshots", args))
        return Fail(refusal->code, refusal->text);
    long long cutoff = NxClock::nowSeconds() - static_cast<long long>(expiryHours) * 3600;
    // A VM snapshot a user asked for is not a backup's to expire, nor is a set the caller keeps.
    auto expired = [&](const CloudSet& set) {
        const bool kept = set.takenOnRequest() || std::any_of(keepSnapshots.begin(), keepSnapshots.end(),
                                                              [&](const std::string& k) { return set.namedBy(k); });
        return set.ofVm(vmName, "") && set.inVmGroup(hostName) && set.createdAt() < cutoff && !kept;
    };
    std::vector<CloudSet> sets;
    rest::ArmResult read = ReadManagedSets(*impl_->arm, sets);
    if (!read.ok) return Fail(read.code, read.text);
    for (const CloudSet& set : sets) {
        rest::ArmResult gone = expired(set) ? DeleteManagedSet(*impl_->arm, set) : read;
        if (!gone.ok) return Fail(gone.code, gone.text);
    }
    // Sets of page-blob snapshots are found through the blobs of the VM of that name.
    std::optional<Refusal> refusal = ReadVmBlobSets(*impl_->arm, *impl_->blob, vmName, "", hostName, sets);
    for (auto set = sets.begin(); !refusal && set != sets.end(); ++set)
        if (expired(*set)) refusal = DeleteBlobSet(*impl_->blob, *set);
    return !refusal || Fail(refusal->code, refusal->text);
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetVMSnapshotCount(const std::string& vmName, const std::string& vmGuid,
                                            const std::string& filter, int& count) try {
    nlohmann::json args = {{"vmName", vmName}, {"vmGuid", vmGuid}, {"filter", filter}};
    if (std::optional<Refusal> refusal = impl_->begin("GetVMSnapshotCount", args))
        return Fail(refusal->code, refusal->text);
    auto wanted = [&](const std::string& guid) { return filter.empty() || guid.find(filter) != std::string::npos; };
    // Sets of managed snapshots: the distinct set GUIDs the VM's snapshots carry.
    rest::ArmResult all = ListSnapshots(*impl_->arm);
    if (!all.ok) return Fail(all.code, all.text);
    std::set<std::string> counted;
    for (const nlohmann::json& snap : all.body) {
        const std::string guid = TagOf(snap, kSetGuidTag);
        const bool ofVm = vmGuid.empty() ? boost::algorithm::iequals(TagOf(snap, kVmNameTag), vmName)
                                         : boost::algorithm::iequals(TagOf(snap, kVmGuidTag), vmGuid);
        if (!guid.empty() && ofVm && wanted(guid)) counted.insert(boost::algorithm::to_lower_copy(guid));
    }
    // Sets of page-blob snapshots are found through the VM's blobs; those of integrity snapshots
    // (taken for no VM) count with an unfiltered count.
    std::vector<CloudSet> sets;
    if (const std::optional<Refusal> refusal = ReadVmBlobSets(*impl_->arm, *impl_->blob, vmName, vmGuid, "", sets))
        return Fail(refusal->code, refusal->text);
    for (const CloudSet& set : sets)
        if ((set.ofVm(vmName, vmGuid) && wanted(set.guid)) || (filter.empty() && IsIntegritySnapshot(set.snapshots[0])))
            counted.insert(boost::algorithm::to_lower_copy(set.guid));
    count = static_cast<int>(counted.size());
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetBlobSnapshotCount(const std::string& storageAccount, const std::string& container,
                                              const std::string& blobName, bool snapBackupOnly, int& count) try {
    nlohmann::json args = {{"storageAccount", storageAccount}, {"container", container}, {"blobName", blobName},
                           {"snapBackupOnly", snapBackupOnly}};
    if (std::optional<Refusal> refusal = impl_->begin("GetBlobSnapshotCount", args))
        return Fail(refusal->code, refusal->text);
    const BlobAddress address{impl_->blob->url(storageAccount, container, blobName),
                              impl_->blob->url(storageAccount, container), blobName};
    ListedBlob listed;
    const std::optional<Refusal> refusal = ListBlob(*impl_->blob, address, listed);
    if (refusal && refusal->code != SDK_ERR_NOT_FOUND) return Fail(refusal->code, refusal->text);
    if (!listed.found) return Fail(SDK_ERR_NOT_FOUND, "BlobNotFound: The specified blob does not exist.");
    count = static_cast<int>(std::count_if(
        listed.snapshots.begin(), listed.snapshots.end(),
        [&](const nlohmann::json& s) { return !snapBackupOnly || MarkedAs(TagOf(s, kMarkerTag), true); }));
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetSnapshotURI(const std::string& blobUri, const std::string& snapshotGuid, bool snapBackup,
                                        std::string& snapshotUri) try {
    nlohmann::json args = {{"blobUri", blobUri}, {"snapshotGuid", snapshotGuid}, {"snapBackup", snapBackup}};
    if (std::optional<Refusal> refusal = impl_->begin("GetSnapshotURI", args))
        return Fail(refusal->code, refusal->text);
    VMInfoStructs::SDisk named;
    named.uri = blobUri;
    std::string error;
    const std::optional<BlobAddress> address = BlobAddressOf(*impl_->blob, named, error);
    if (!address) return Fail(SDK_ERR_GENERAL, "InvalidUri: [" + blobUri + "] is not a blob URI");
    ListedBlob listed;
    const std::optional<Refusal> refusal = ListBlob(*impl_->blob, *address, listed);
    if (refusal && refusal->code != SDK_ERR_NOT_FOUND) return Fail(refusal->code, refusal->text);
    for (const nlohmann::json& snap : listed.snapshots)
        if (boost::algorithm::iequals(TagOf(snap, kSetGuidTag), snapshotGuid) &&
            MarkedAs(TagOf(snap, kMarkerTag), snapBackup)) {
            snapshotUri = snap.value("id", "");
            return true;
        }
    return Fail(SDK_ERR_NOT_FOUND, "No snapshot of blob [" + blobUri + "] carries GUID [" + snapshotGuid + "]");
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetManagedDiskSnapshotIDForSnapshotGUID(const std::string& sourceDiskId,
                                                                 const std::string& snapshotGuid, bool snapMarker,
                                                                 const std::string& resourceGroup,
                                                                 std::string& snapshotId) try {
    nlohmann::json args = {{"sourceDiskId", sourceDiskId}, {"snapshotGuid", snapshotGuid},
                           {"snapMarker", snapMarker}, {"resourceGroup", resourceGroup}};
    if (std::optional<Refusal> refusal = impl_->begin("GetManagedDiskSnapshotIDForSnapshotGUID", args))
        return Fail(refusal->code, refusal->text);
    rest::ArmResult all = ListSnapshots(*impl_->arm);
    if (!all.ok) return Fail(all.code, all.text);
    std::string found;
    for (const nlohmann::json& snap : all.body) {
        if (!SnapshotOfSet(snap, sourceDiskId, snapshotGuid) || !MarkedAs(snap.value("name", ""), snapMarker)) continue;
        if (!resourceGroup.empty() && !boost::algorithm::iequals(GroupOfId(snap.value("id", "")), resourceGroup))
            continue;
        found = snap.value("id", "");
        break;
    }
    snapshotId = found;
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetManagedDiskSnapshotsForDisk(const VMInfoStructs::SDisk& disk,
                                                        const std::string& snapshotGuid, bool snapBackup,
                                                        const std::string& resourceGroup, bool searchAllGroups,
                                                        std::vector<VMInfoStructs::SDisk>& snapshots) try {
    const std::string& source = disk.managedDiskId.empty() ? disk.uri : disk.managedDiskId;
    nlohmann::json args = {{"disk", source}, {"snapshotGuid", snapshotGuid}, {"snapBackup", snapBackup},
                           {"resourceGroup", resourceGroup}, {"searchAllGroups", searchAllGroups}};
    if (std::optional<Refusal> refusal = impl_->begin("GetManagedDiskSnapshotsForDisk", args))
        return Fail(refusal->code, refusal->text);
    if (snapshotGuid.empty()) return Fail(SDK_ERR_GENERAL, "No snapshot set GUID given");
    if (source.empty())
        return Fail(SDK_ERR_GENERAL, "Disk [" + disk.name + "] names no managed disk to look for snapshots of");
    if (resourceGroup.empty() && !searchAllGroups)
        return Fail(SDK_ERR_GENERAL, "No resource group given to look for snapshots of disk [" + source + "] in");
    rest::ArmResult all = ListSnapshots(*impl_->arm);
    if (!all.ok) return Fail(all.code, all.text);
    std::vector<VMInfoStructs::SDisk> found;
    for (const nlohmann::json& snap : all.body)
        if (SnapshotOfSet(snap, source, snapshotGuid) && MarkedAs(snap.value("name", ""), snapBackup) &&
            (searchAllGroups || boost::algorithm::iequals(GroupOfId(snap.value("id", "")), resourceGroup)))
            found.push_back(SnapshotRecord(snap));
    snapshots = found;
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetSourceDiskForSnapshot(const std::string& snapshotId, std::string& sourceDiskId) try {
    if (std::optional<Refusal> refusal = impl_->begin("GetSourceDiskForSnapshot", {{"snapshotId", snapshotId}}))
        return Fail(refusal->code, refusal->text);
    // Only a snapshot's id is asked for: any other id names no snapshot.
    const std::string lower = boost::algorithm::to_lower_copy(snapshotId);
    if (GroupOfId(snapshotId).empty() || lower.find("/providers/microsoft.compute/snapshots/") == std::string::npos)
        return Fail(SDK_ERR_NOT_FOUND, "ResourceNotFound: The Resource '" + snapshotId + "' was not found.");
    rest::ArmResult snap = impl_->arm->get(snapshotId, rest::kDiskVersion);
    if (!snap.ok) return Fail(snap.code, snap.text);
    sourceDiskId = SourceOf(snap.body);
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetDiskSnapshotWithGUID(const std::string& diskId, const std::string& snapshotGuid,
                                                 VMInfoStructs::SDisk& snapshot) try {
    if (std::optional<Refusal> refusal =
            impl_->begin("GetDiskSnapshotWithGUID", {{"diskId", diskId}, {"snapshotGuid", snapshotGuid}}))
        return Fail(refusal->code, refusal->text);
    rest::ArmResult all = ListSnapshots(*impl_->arm);
    if (!all.ok) return Fail(all.code, all.text);
    for (const nlohmann::json& snap : all.body)
        if (SnapshotOfSet(snap, diskId, snapshotGuid)) {
            snapshot = SnapshotRecord(snap);
            return true;
        }
    return Fail(SDK_ERR_NOT_FOUND, "No snapshot of disk [" + diskId + "] carries GUID [" + snapshotGuid + "]");
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::CreateBackupBlobFromSnapshot(const std::string& snapshotUri,
                                                      const std::string& storageAccount,
                                                      const std::string& container, const std::string& blobName,
                                                      std::string& blobUrl) try {
    nlohmann::json args = {{"snapshotUri", snapshotUri}, {"storageAccount", storageAccount},
                           {"container", container}, {"blobName", blobName}};
    if (std::optional<Refusal> refusal = impl_->begin("CreateBackupBlobFromSnapshot", args))
        return Fail(refusal->code, refusal->text);
    VMInfoStructs::SDisk source;
    source.uri = snapshotUri;
    std::string error;
    if (!BlobAddressOf(*impl_->blob, source, error) || rest::QueryValue(snapshotUri, "snapshot").empty())
        return Fail(SDK_ERR_GENERAL, "InvalidUri: [" + snapshotUri + "] is not a blob snapshot URI");
    const std::string target = impl_->blob->url(storageAccount, container, blobName);
    if (const std::optional<Refusal> refusal = CopyBlob(*impl_->blob, snapshotUri, target))
        return Fail(refusal->code, refusal->text);
    blobUrl = target;
    return true;
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
