// Integrity snapshots of page blobs: which snapshots they are, their removal, and the revert of a blob
// to its latest one.
#include "cloudsdk/BlobSnapshotSets.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/SnapshotSets.h"

namespace AzureSDKCppBridge {

namespace {

// What a revert copies: a blob and the snapshot it goes back to.
struct RevertStep {
    std::string url;
    std::string snapshot;
};

// The id of the latest integrity snapshot of a listed blob; empty when it has none.
std::string LatestIntegritySnapshot(const ListedBlob& listed) {
    std::string latest;
    for (const nlohmann::json& snapshot : listed.snapshots)
        if (IsIntegritySnapshot(snapshot) && snapshot.value("name", "") > latest) latest = snapshot.value("name", "");
    return latest;
}

// Why the disk's blob cannot be reverted, or none when it can (`step` then says how).
std::optional<Refusal> RevertRefusal(rest::BlobClient& blob, const VMInfoStructs::SDisk& disk, RevertStep& step) {
    std::string error;
    const std::optional<BlobAddress> address = BlobAddressOf(blob, disk, error);
    ListedBlob listed;
    if (address) {
        std::optional<Refusal> refusal = ListBlob(blob, *address, listed);
        if (refusal && refusal->code != SDK_ERR_NOT_FOUND) return refusal;
    }
    if (!listed.found)
        return Refusal{SDK_ERR_NOT_FOUND, "BlobNotFound: The blob of disk [" + disk.name + "] does not exist."};
    if (listed.leased)
        return Refusal{SDK_ERR_GENERAL, "LeaseIdMissing: The blob [" + address->name +
                                            "] is a disk of a VM and cannot be reverted while the VM holds it."};
    const std::string latest = LatestIntegritySnapshot(listed);
    if (latest.empty())
        return Refusal{SDK_ERR_NOT_FOUND,
                       "SnapshotNotFound: The blob [" + address->name + "] has no integrity snapshot."};
    step = RevertStep{address->url, latest};
    return std::nullopt;
}

}  // namespace

bool IsIntegritySnapshot(const nlohmann::json& snapshot) {
    return TagOf(snapshot, kMarkerTag) == kIntegritySnapshotMarker;
}

std::optional<Refusal> DeleteIntegritySnapshots(rest::BlobClient& blob, const BlobAddress& address) {
    ListedBlob listed;
    const std::optional<Refusal> refusal = ListBlob(blob, address, listed);
    if (refusal) return refusal->code == SDK_ERR_NOT_FOUND ? std::nullopt : refusal;
    CloudSet integrity;
    for (const nlohmann::json& snapshot : listed.snapshots)
        if (IsIntegritySnapshot(snapshot)) integrity.snapshots.push_back(snapshot);
    return DeleteBlobSet(blob, integrity);
}

bool CAzureSDKCppBridge::RevertBlobSnapshots(const std::vector<VMInfoStructs::SDisk>& disks) try {
    nlohmann::json args = {{"disks", nlohmann::json::array()}};
    for (const VMInfoStructs::SDisk& disk : disks)
        args["disks"].push_back({{"storageAccount", disk.storageAccount}, {"name", disk.name}, {"uri", disk.uri}});
    if (std::optional<Refusal> refusal = impl_->begin("RevertBlobSnapshots", args))
        return Fail(refusal->code, refusal->text);
    // Every blob is checked before any is changed: a refusal leaves them all as they were.
    std::vector<RevertStep> steps(disks.size());
    for (std::size_t i = 0; i < disks.size(); ++i) {
        if (std::optional<Refusal> refusal = RevertRefusal(*impl_->blob, disks[i], steps[i]))
            return Fail(refusal->code, refusal->text);
    }
    for (const RevertStep& step : steps) {
        const std::string snapshot = SnapshotUrl(step.url, rest::Escaped(step.snapshot));
        if (std::optional<Refusal> refusal = CopyBlob(*impl_->blob, snapshot, step.url))
            return Fail(refusal->code, refusal->text);
    }
    return true;
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
