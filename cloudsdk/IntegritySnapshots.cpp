// Integrity snapshots of page blobs: which snapshots they are, their removal and count, and the revert
// of a blob to its latest one.
#include <algorithm>
#include <set>

#include "azsim/model/ResourceIds.h"
#include "cloudsdk/BlobAddress.h"
#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/DiskUse.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/SnapshotSets.h"

namespace AzureSDKCppBridge {

namespace {

// The latest integrity snapshot of the blob, if any.
const azsim::BlobSnapshot* LatestIntegritySnapshot(const azsim::StateDocument& doc, const azsim::BlobKey& blob) {
    const azsim::BlobSnapshot* latest = nullptr;
    for (const azsim::BlobSnapshot& snap : doc.blobSnapshots)
        if (SameBlob(snap.blob, blob) && IsIntegritySnapshot(snap) &&
            (!latest || snap.createdAt > latest->createdAt ||
             (snap.createdAt == latest->createdAt && snap.storeSnapshot > latest->storeSnapshot)))
            latest = &snap;
    return latest;
}

// What a revert copies: a blob and the snapshot it goes back to.
struct RevertStep {
    azsim::BlobKey blob;
    std::string snapshot;
};

// Why the disk's blob cannot be reverted, or none when it can (`step` then says how).
std::optional<Refusal> RevertRefusal(const azsim::StateDocument& doc, const azsim::PageBlobStore& store,
                                     const VMInfoStructs::SDisk& disk, RevertStep& step) {
    const std::optional<azsim::BlobKey> key = PageBlobOf(doc, disk);
    if (!key || !store.exists(*key))
        return Refusal{SDK_ERR_NOT_FOUND, "BlobNotFound: The blob of disk [" + disk.name + "] does not exist."};
    if (const azsim::VirtualMachine* vm = VmLeasingBlob(doc, *key))
        return Refusal{SDK_ERR_GENERAL, "LeaseIdMissing: The blob [" + key->name + "] is a disk of VM [" + vm->name +
                                            "] and cannot be reverted while the VM holds it."};
    const azsim::BlobSnapshot* latest = LatestIntegritySnapshot(doc, *key);
    if (!latest)
        return Refusal{SDK_ERR_NOT_FOUND, "SnapshotNotFound: The blob [" + key->name + "] has no integrity snapshot."};
    step = RevertStep{*key, latest->storeSnapshot};
    return std::nullopt;
}

}  // namespace

bool IsIntegritySnapshot(const azsim::BlobSnapshot& snapshot) {
    const auto marker = snapshot.metadata.find(kMarkerTag);
    return marker != snapshot.metadata.end() && marker->second == kIntegritySnapshotMarker;
}

void DeleteIntegritySnapshots(azsim::StateDocument& doc, azsim::PageBlobStore& store, const azsim::BlobKey& blob) {
    std::set<std::string> gone;
    for (const azsim::BlobSnapshot& snap : doc.blobSnapshots)
        if (SameBlob(snap.blob, blob) && IsIntegritySnapshot(snap)) {
            store.deleteSnapshot(snap.blob, snap.storeSnapshot);
            gone.insert(azsim::PageBlobUri(snap.blob, snap.storeSnapshot));
        }
    doc.blobSnapshots.erase(std::remove_if(doc.blobSnapshots.begin(), doc.blobSnapshots.end(),
                                           [&](const azsim::BlobSnapshot& s) {
                                               return gone.count(azsim::PageBlobUri(s.blob, s.storeSnapshot)) > 0;
                                           }),
                            doc.blobSnapshots.end());
    for (azsim::SnapshotSet& set : doc.snapshotSets)
        set.members.erase(std::remove_if(set.members.begin(), set.members.end(),
                                         [&](const std::string& member) { return gone.count(member) > 0; }),
                          set.members.end());
    doc.snapshotSets.erase(std::remove_if(doc.snapshotSets.begin(), doc.snapshotSets.end(),
                                          [](const azsim::SnapshotSet& s) { return s.members.empty(); }),
                           doc.snapshotSets.end());
}

int CountIntegritySets(const azsim::StateDocument& doc, const azsim::VirtualMachine& vm) {
    if (vm.managed) return 0;
    std::set<std::string> sets;
    for (const azsim::DiskAttachment& attachment : vm.disks) {
        const std::optional<azsim::BlobUri> uri = azsim::ParseBlobUri(attachment.id);
        if (!uri) continue;
        for (const azsim::BlobSnapshot& snap : doc.blobSnapshots) {
            const auto guid = snap.metadata.find(kSetGuidTag);
            if (SameBlob(snap.blob, uri->key()) && IsIntegritySnapshot(snap) && guid != snap.metadata.end())
                sets.insert(guid->second);
        }
    }
    return static_cast<int>(sets.size());
}

bool CAzureSDKCppBridge::RevertBlobSnapshots(const std::vector<VMInfoStructs::SDisk>& disks) try {
    nlohmann::json args = {{"disks", nlohmann::json::array()}};
    for (const VMInfoStructs::SDisk& disk : disks)
        args["disks"].push_back({{"storageAccount", disk.storageAccount}, {"name", disk.name}, {"uri", disk.uri}});
    azsim::StateDocument doc;
    if (std::optional<Refusal> refusal = impl_->open("RevertBlobSnapshots", args, doc))
        return Fail(refusal->code, refusal->text);
    azsim::PageBlobStore store = impl_->subscription->blobs();
    // Every blob is checked before any is changed: a refusal leaves them all as they were.
    std::vector<RevertStep> steps(disks.size());
    for (std::size_t i = 0; i < disks.size(); ++i) {
        if (std::optional<Refusal> refusal = RevertRefusal(doc, store, disks[i], steps[i]))
            return Fail(refusal->code, refusal->text);
    }
    for (const RevertStep& step : steps) {
        std::string error;
        if (!store.copyBlob(step.blob, step.snapshot, step.blob, &error))
            return Fail(SDK_ERR_GENERAL, "Reverting blob [" + step.blob.name + "] failed: " + error);
    }
    return true;
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
