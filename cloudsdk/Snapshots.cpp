// Disk snapshot sets for backups: creation, look-ups by set GUID, deletion and expiry.
#include <algorithm>
#include <ctime>
#include <functional>
#include <set>

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/predicate.hpp>

#include "azsim/model/ResourceIds.h"
#include "cloudsdk/BlobAddress.h"
#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/CreatedByJob.h"
#include "cloudsdk/ManagedSnapshotSets.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/SnapshotSets.h"
#include "cloudsdk/VmDataDisks.h"
#include "cloudsdk/rest/ApiVersions.h"
#include "cloudsdk/rest/ResourceLookup.h"
#include "host/sys/Time.h"

namespace AzureSDKCppBridge {

using azsim::StateDocument;

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

bool CarriesSetGuid(const azsim::Tags& tags, const std::string& guid) {
    auto tag = tags.find(kSetGuidTag);
    return tag != tags.end() && boost::algorithm::iequals(tag->second, guid);
}

azsim::Tags SetTags(const std::string& guid, const SnapshotSetRequest& request) {
    azsim::Tags tags = {{kSetGuidTag, guid},
                        {kJobTag, std::to_string(request.jobTag)},
                        {kAppIdTag, std::to_string(request.appId)},
                        {kMarkerTag, request.marker}};
    tags.insert(request.extraTags.begin(), request.extraTags.end());
    return tags;
}

bool IsManagedMember(const std::string& member) { return !azsim::ParseBlobUri(member); }

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

// Snapshots one page blob; returns the disk whose URI carries the snapshot query.
VMInfoStructs::SDisk SnapshotPageBlob(StateDocument& doc, azsim::PageBlobStore& store,
                                      const VMInfoStructs::SDisk& disk, const azsim::Tags& tags, long long now) {
    const std::optional<azsim::BlobKey> key = PageBlobOf(doc, disk);
    const std::string named = disk.uri.empty() ? disk.storageAccount + "\\" + disk.name : disk.uri;
    if (!key || !store.exists(*key))
        throw OperationFailure(SDK_ERR_NOT_FOUND, "BlobNotFound: The specified blob does not exist. [" + named + "]");
    std::string error;
    std::string frozen = store.createSnapshot(*key, &error);
    if (frozen.empty()) throw OperationFailure(SDK_ERR_GENERAL, "Snapshot of blob [" + named + "] failed: " + error);
    azsim::BlobSnapshot snap;
    snap.blob = *key;
    snap.storeSnapshot = frozen;
    snap.createdAt = now;
    snap.metadata = tags;
    doc.blobSnapshots.push_back(snap);

    VMInfoStructs::SDisk out = disk;
    out.uri = azsim::PageBlobUri(snap.blob, frozen);
    out.incrementalSnapshot = true;
    return out;
}

// Removes one page-blob member of a set with its frozen data; managed members go through Resource Manager.
void DeleteMember(StateDocument& doc, azsim::PageBlobStore& store, const std::string& member) {
    std::optional<azsim::BlobUri> uri = azsim::ParseBlobUri(member);
    if (!uri) return;
    store.deleteSnapshot(uri->key(), uri->snapshot);
    doc.blobSnapshots.erase(std::remove_if(doc.blobSnapshots.begin(), doc.blobSnapshots.end(),
                                           [&](const azsim::BlobSnapshot& s) {
                                               return s.blob == uri->key() && s.storeSnapshot == uri->snapshot;
                                           }),
                            doc.blobSnapshots.end());
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
                                   const std::function<bool(const ManagedSet&)>& wanted, bool& found) {
    std::vector<ManagedSet> sets;
    rest::ArmResult read = ReadManagedSets(arm, sets);
    const ManagedSet* set = read.ok ? FindManagedSet(sets, guid) : nullptr;
    found = set != nullptr;
    return set && wanted(*set) ? DeleteManagedSet(arm, *set) : read;
}

}  // namespace

void DeleteSnapshotSet(StateDocument& doc, azsim::PageBlobStore& store, const std::string& guid) {
    const azsim::SnapshotSet* set = doc.findSnapshotSet(guid);
    if (!set) return;
    for (const std::string& member : set->members) DeleteMember(doc, store, member);
    doc.snapshotSets.erase(std::remove_if(doc.snapshotSets.begin(), doc.snapshotSets.end(),
                                          [&](const azsim::SnapshotSet& s) { return s.guid == guid; }),
                           doc.snapshotSets.end());
}

bool SetBelongsToVm(const azsim::SnapshotSet& set, const std::string& vmName, const std::string& vmGuid) {
    if (!vmGuid.empty()) return boost::algorithm::iequals(set.vmGuid, vmGuid);
    return boost::algorithm::iequals(set.vmName, vmName);
}

std::string TakeSnapshotSet(StateDocument& doc, azsim::PageBlobStore& store,
                            const std::vector<VMInfoStructs::SDisk>& disks, const SnapshotSetRequest& request,
                            std::vector<VMInfoStructs::SDisk>& snapshotDisks) {
    long long now = NxClock::nowSeconds();
    azsim::SnapshotSet set;
    set.guid = azsim::NewGuid();
    set.vmName = request.vmName;
    set.resourceGroup = request.resourceGroup;
    set.createdAt = now;
    set.jobTag = std::to_string(request.jobTag);
    set.applicationId = std::to_string(request.appId);
    if (const azsim::VirtualMachine* vm = doc.findVm(request.vmName, request.resourceGroup)) set.vmGuid = vm->guid;
    const azsim::Tags tags = SetTags(set.guid, request);
    std::vector<VMInfoStructs::SDisk> result;
    try {
        for (const VMInfoStructs::SDisk& disk : disks) {
            result.push_back(SnapshotPageBlob(doc, store, disk, tags, now));
            set.members.push_back(result.back().uri);
        }
    } catch (...) {
        // Whatever stopped the set, the snapshots taken so far must not outlive it.
        for (const std::string& member : set.members) DeleteMember(doc, store, member);
        throw;
    }
    doc.snapshotSets.push_back(set);
    snapshotDisks = result;
    return set.guid;
}

std::string TakeManagedSnapshotSet(rest::ArmClient& arm, const std::vector<VMInfoStructs::SDisk>& disks,
                                   const SnapshotSetRequest& request,
                                   std::vector<VMInfoStructs::SDisk>& snapshotDisks) {
    const std::string guid = azsim::NewGuid();
    azsim::Tags tags = SetTags(guid, request);
    tags[kVmNameTag] = request.vmName;
    tags[kVmGroupTag] = request.resourceGroup;
    if (!request.vmGuid.empty()) tags[kVmGuidTag] = request.vmGuid;
    snapshotDisks = TakeManagedSet(arm, disks, tags, NxClock::nowSeconds());
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
    std::string guid;
    std::vector<VMInfoStructs::SDisk> result;
    SnapshotSetRequest request{vmName, resourceGroup, jobTag, appId, {}, kBackupSnapshotMarker, {}};
    if (vmName.empty()) request.marker = kIntegritySnapshotMarker;
    const auto managed = std::count_if(disks.begin(), disks.end(), [](const auto& d) { return d.isManaged; });
    if (managed > 0 && managed < static_cast<long>(disks.size()))
        return Fail(SDK_ERR_GENERAL, "The disks of one snapshot set are either all managed disks or all page blobs");
    if (managed > 0) {
        // Names go into tags and paths as text: bytes that are not UTF-8 are written escaped.
        request.vmName = azsim::Utf8Escaped(vmName);
        request.resourceGroup = azsim::Utf8Escaped(resourceGroup);
        if (!vmName.empty()) {
            rest::ArmResult vm = VmGuidOf(*impl_->arm, request.resourceGroup, request.vmName, request.vmGuid);
            if (!vm.ok) return Fail(vm.code, vm.text);
        }
        guid = TakeManagedSnapshotSet(*impl_->arm, disks, request, result);
    } else {
        azsim::PageBlobStore store = impl_->localState().blobs();
        impl_->localState().mutate([&](StateDocument& doc) {
            guid = TakeSnapshotSet(doc, store, disks, request, result);
            return true;
        });
    }
    snapshotGuid = guid;
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
    azsim::PageBlobStore store = impl_->localState().blobs();
    if (snapshotGuid.empty()) {
        // No set named: every integrity snapshot of the listed page blobs goes.
        impl_->localState().mutate([&](StateDocument& doc) {
            for (const VMInfoStructs::SDisk& disk : disks) {
                const std::optional<azsim::BlobKey> key = PageBlobOf(doc, disk);
                if (!key) throw OperationFailure(SDK_ERR_GENERAL, "Disk [" + disk.name + "] names no page blob");
                DeleteIntegritySnapshots(doc, store, *key);
            }
            return true;
        });
        return true;
    }
    bool managed = false;
    rest::ArmResult gone =
        DeleteManagedSetIf(*impl_->arm, snapshotGuid, [](const ManagedSet&) { return true; }, managed);
    if (!gone.ok) return Fail(gone.code, gone.text);
    try {
        // A set of page-blob snapshots is the blob service's, kept in the document.
        bool found = impl_->localState().mutate([&](StateDocument& doc) {
            if (!doc.findSnapshotSet(snapshotGuid)) return false;
            DeleteSnapshotSet(doc, store, snapshotGuid);
            return true;
        });
        if (!found && !managed)
            return Fail(SDK_ERR_NOT_FOUND, "No disk snapshots with GUID [" + snapshotGuid + "] exist");
    } catch (const azsim::Error& e) {
        return Fail(SDK_ERR_GENERAL, e.what());
    }
    return true;
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
        *impl_->arm, snapshotGuid, [&](const ManagedSet& set) { return set.ofVm(vmName, vmGuid); }, managed);
    if (!gone.ok) return Fail(gone.code, gone.text);
    if (managed) return true;
    azsim::PageBlobStore store = impl_->localState().blobs();
    try {
        impl_->localState().mutate([&](StateDocument& doc) {
            const azsim::SnapshotSet* set = doc.findSnapshotSet(snapshotGuid);
            if (!set || !SetBelongsToVm(*set, vmName, vmGuid)) return false;
            DeleteSnapshotSet(doc, store, snapshotGuid);
            return true;
        });
    } catch (const azsim::Error& e) {
        return Fail(SDK_ERR_GENERAL, e.what());
    }
    return true;
} catch (...) {
    return FailOnException();
}

bool TakenOnRequest(const StateDocument& doc, const azsim::SnapshotSet& set) {
    for (const std::string& member : set.members) {
        std::optional<azsim::BlobUri> uri = azsim::ParseBlobUri(member);
        if (const azsim::BlobSnapshot* snapshot = uri ? doc.findBlobSnapshot(uri->key(), uri->snapshot) : nullptr)
            return snapshot->metadata.count(kCreatedByJobTag) > 0;
    }
    return false;
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
    std::vector<ManagedSet> sets;
    rest::ArmResult read = ReadManagedSets(*impl_->arm, sets);
    if (!read.ok) return Fail(read.code, read.text);
    for (const ManagedSet& set : sets) {
        const bool kept = set.takenOnRequest() || std::any_of(keepSnapshots.begin(), keepSnapshots.end(),
                                                              [&](const std::string& k) { return set.namedBy(k); });
        if (!set.ofVm(vmName, "") || !set.inVmGroup(hostName) || set.createdAt() >= cutoff || kept) continue;
        rest::ArmResult gone = DeleteManagedSet(*impl_->arm, set);
        if (!gone.ok) return Fail(gone.code, gone.text);
    }
    // Sets of page-blob snapshots are the blob service's, kept in the document.
    azsim::PageBlobStore store = impl_->localState().blobs();
    auto kept = [&](const StateDocument& doc, const azsim::SnapshotSet& set) {
        if (TakenOnRequest(doc, set)) return true;
        for (const std::string& keep : keepSnapshots) {
            if (boost::algorithm::iequals(keep, set.guid)) return true;
            if (std::find(set.members.begin(), set.members.end(), keep) != set.members.end()) return true;
        }
        return false;
    };
    try {
        impl_->localState().mutate([&](StateDocument& doc) {
            std::vector<std::string> expired;
            for (const azsim::SnapshotSet& set : doc.snapshotSets) {
                if (!boost::algorithm::iequals(set.vmName, vmName)) continue;
                if (!hostName.empty() && !boost::algorithm::iequals(set.resourceGroup, hostName)) continue;
                if (std::any_of(set.members.begin(), set.members.end(), IsManagedMember)) continue;
                if (set.createdAt < cutoff && !kept(doc, set)) expired.push_back(set.guid);
            }
            for (const std::string& guid : expired) DeleteSnapshotSet(doc, store, guid);
            return !expired.empty();
        });
    } catch (const azsim::Error& e) {
        return Fail(SDK_ERR_GENERAL, e.what());
    }
    return true;
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
    std::set<std::string> managedSets;
    for (const nlohmann::json& snap : all.body) {
        const std::string guid = TagOf(snap, kSetGuidTag);
        const bool ofVm = vmGuid.empty() ? boost::algorithm::iequals(TagOf(snap, kVmNameTag), vmName)
                                         : boost::algorithm::iequals(TagOf(snap, kVmGuidTag), vmGuid);
        if (!guid.empty() && ofVm && wanted(guid)) managedSets.insert(boost::algorithm::to_lower_copy(guid));
    }
    // Sets of page-blob snapshots (and sets with no member left) are the blob service's: read in the document.
    try {
        StateDocument doc = impl_->localState().load();
        int n = static_cast<int>(managedSets.size());
        for (const azsim::SnapshotSet& set : doc.snapshotSets) {
            const bool managed = std::any_of(set.members.begin(), set.members.end(), IsManagedMember);
            if (!managed && SetBelongsToVm(set, vmName, vmGuid) && wanted(set.guid)) ++n;
        }
        const azsim::VirtualMachine* vm = !vmGuid.empty() ? doc.findVmByGuid(vmGuid) : doc.findVm(vmName);
        if (vm && filter.empty()) n += CountIntegritySets(doc, *vm);
        count = n;
    } catch (const azsim::Error& e) {
        return Fail(SDK_ERR_GENERAL, e.what());
    }
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
    azsim::PageBlobStore store = impl_->localState().blobs();
    azsim::BlobKey key{storageAccount, container, blobName};
    if (!store.exists(key)) return Fail(SDK_ERR_NOT_FOUND, "BlobNotFound: The specified blob does not exist.");
    try {
        StateDocument doc = impl_->localState().load();
        int n = 0;
        for (const std::string& frozen : store.snapshots(key)) {
            if (!snapBackupOnly) {
                ++n;
                continue;
            }
            const azsim::BlobSnapshot* snap = doc.findBlobSnapshot(key, frozen);
            auto marker = snap ? snap->metadata.find(kMarkerTag) : azsim::Tags::const_iterator();
            if (snap && marker != snap->metadata.end() && MarkedAs(marker->second, true)) ++n;
        }
        count = n;
    } catch (const azsim::Error& e) {
        return Fail(SDK_ERR_GENERAL, e.what());
    }
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetSnapshotURI(const std::string& blobUri, const std::string& snapshotGuid, bool snapBackup,
                                        std::string& snapshotUri) try {
    nlohmann::json args = {{"blobUri", blobUri}, {"snapshotGuid", snapshotGuid}, {"snapBackup", snapBackup}};
    if (std::optional<Refusal> refusal = impl_->begin("GetSnapshotURI", args))
        return Fail(refusal->code, refusal->text);
    std::optional<azsim::BlobUri> uri = azsim::ParseBlobUri(blobUri);
    if (!uri) return Fail(SDK_ERR_GENERAL, "InvalidUri: [" + blobUri + "] is not a blob URI");
    try {
        StateDocument doc = impl_->localState().load();
        for (const azsim::BlobSnapshot& snap : doc.blobSnapshots) {
            auto marker = snap.metadata.find(kMarkerTag);
            if (snap.blob == uri->key() && CarriesSetGuid(snap.metadata, snapshotGuid) &&
                MarkedAs(marker == snap.metadata.end() ? std::string() : marker->second, snapBackup)) {
                snapshotUri = azsim::PageBlobUri(snap.blob, snap.storeSnapshot);
                return true;
            }
        }
    } catch (const azsim::Error& e) {
        return Fail(SDK_ERR_GENERAL, e.what());
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
    std::optional<azsim::BlobUri> uri = azsim::ParseBlobUri(snapshotUri);
    if (!uri || uri->snapshot.empty())
        return Fail(SDK_ERR_GENERAL, "InvalidUri: [" + snapshotUri + "] is not a blob snapshot URI");
    azsim::BlobKey target{storageAccount, container, blobName};
    std::string error;
    if (!impl_->localState().blobs().copyBlob(uri->key(), uri->snapshot, target, &error))
        return Fail(SDK_ERR_GENERAL, "CannotVerifyCopySource: " + error);
    blobUrl = azsim::PageBlobUri(target);
    return true;
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
