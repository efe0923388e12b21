// Integrity snapshots of page blobs: which snapshots they are, their removal and count, and the revert
// of a blob to its latest one.
#include <algorithm>
#include <set>

#include <pugixml.hpp>

#include "azsim/model/ResourceIds.h"
#include "cloudsdk/BlobAddress.h"
#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/DiskUse.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/SnapshotSets.h"
#include "cloudsdk/rest/Retries.h"

namespace AzureSDKCppBridge {

namespace {

constexpr int kMaxCopyPolls = 600;

// What a revert copies: a blob and the snapshot it goes back to.
struct RevertStep {
    std::string url;
    std::string snapshot;
};

// What the service lists of one blob: whether it is there, leased, and its latest integrity snapshot.
struct ListedBlob {
    bool found = false;
    bool leased = false;
    std::string latestIntegritySnapshot;

    void add(const pugi::xml_node& entry) {
        const std::string snapshot = entry.child_value("Snapshot");
        if (snapshot.empty()) {
            found = true;
            leased = std::string(entry.child("Properties").child_value("LeaseState")) == "leased";
        } else if (entry.child("Metadata").child_value(kMarkerTag) == std::string(kIntegritySnapshotMarker) &&
                   snapshot > latestIntegritySnapshot) {
            latestIntegritySnapshot = snapshot;
        }
    }
};

// The blob of `address` and its snapshots, as its container lists them (every part of the list).
std::optional<Refusal> ListBlob(rest::BlobClient& blob, const BlobAddress& address, ListedBlob& listed) {
    const std::string query = "?restype=container&comp=list&include=snapshots,metadata&prefix=";
    for (std::string marker;;) {
        const rest::BlobResult page = blob.send(
            NX_HTTP_GET, address.containerUrl + query + rest::Escaped(address.name) +
                             (marker.empty() ? std::string() : "&marker=" + rest::Escaped(marker)));
        if (!page.ok) return Refusal{page.code, page.text};
        pugi::xml_document doc;
        if (!doc.load_buffer(page.reply.body.data(), page.reply.body.size()))
            return Refusal{SDK_ERR_GENERAL, "The blobs of [" + address.containerUrl + "] could not be listed"};
        const pugi::xml_node results = doc.child("EnumerationResults");
        for (const pugi::xml_node& entry : results.child("Blobs").children("Blob"))
            if (entry.child_value("Name") == address.name) listed.add(entry);
        marker = results.child_value("NextMarker");
        if (marker.empty()) return std::nullopt;
    }
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
    if (listed.latestIntegritySnapshot.empty())
        return Refusal{SDK_ERR_NOT_FOUND,
                       "SnapshotNotFound: The blob [" + address->name + "] has no integrity snapshot."};
    step = RevertStep{address->url, listed.latestIntegritySnapshot};
    return std::nullopt;
}

// Copies the step's snapshot onto its blob and waits while the service reports the copy pending.
std::optional<Refusal> Revert(rest::BlobClient& blob, const RevertStep& step) {
    const std::string source = step.url + "?snapshot=" + rest::Escaped(step.snapshot);
    rest::BlobResult answer = blob.send(NX_HTTP_PUT, step.url, {"x-ms-copy-source: " + source});
    for (int poll = 0; answer.ok && answer.reply.header("x-ms-copy-status") == "pending"; ++poll) {
        if (poll == kMaxCopyPolls) break;
        rest::Pause(rest::RetryAfterMs(answer.reply, rest::kFirstBackoffMs));
        answer = blob.send(NX_HTTP_HEAD, step.url);
    }
    if (!answer.ok) return Refusal{answer.code, answer.text};
    if (answer.reply.header("x-ms-copy-status") != "success")
        return Refusal{SDK_ERR_GENERAL, "Reverting blob [" + rest::WithoutQuery(step.url) + "] ended with copy status [" +
                                            answer.reply.header("x-ms-copy-status") + "]"};
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
    if (std::optional<Refusal> refusal = impl_->begin("RevertBlobSnapshots", args))
        return Fail(refusal->code, refusal->text);
    // Every blob is checked before any is changed: a refusal leaves them all as they were.
    std::vector<RevertStep> steps(disks.size());
    for (std::size_t i = 0; i < disks.size(); ++i) {
        if (std::optional<Refusal> refusal = RevertRefusal(*impl_->blob, disks[i], steps[i]))
            return Fail(refusal->code, refusal->text);
    }
    for (const RevertStep& step : steps) {
        if (std::optional<Refusal> refusal = Revert(*impl_->blob, step)) return Fail(refusal->code, refusal->text);
    }
    return true;
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
