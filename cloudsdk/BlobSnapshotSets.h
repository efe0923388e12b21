// Snapshot sets of page blobs as the Blob service holds them: the blob snapshots whose metadata
// carries one set's GUID, found in the listings of their blobs, taken and deleted over the Blob
// service. The service keeps no index of them: a set is found through the blobs it was taken of.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cloudsdk/BlobAddress.h"
#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/ManagedSnapshotSets.h"

namespace AzureSDKCppBridge {

// What a container lists of one blob: whether it is there and leased, and its snapshots, oldest
// first, each as {"id": its URL, "name": its snapshot id, "tags": its metadata,
// "properties": {"timeCreated": its snapshot id}}, the shape CloudSet reads.
struct ListedBlob {
    bool found = false;
    bool leased = false;
    std::vector<nlohmann::json> snapshots;
};

// The URL of snapshot `id` of the blob at `url`.
std::string SnapshotUrl(const std::string& url, const std::string& id);
// The blob of `address` and its snapshots with their metadata (every part of the list).
std::optional<Refusal> ListBlob(rest::BlobClient& blob, const BlobAddress& address, ListedBlob& listed);
// The sets the snapshots of `blobs` belong to, in `sets`; a blob (or container) that is gone holds none.
std::optional<Refusal> ReadBlobSets(rest::BlobClient& blob, const std::vector<BlobAddress>& blobs,
                                    std::vector<CloudSet>& sets);
// The page blobs of the VMs of the subscription that are the VM `vmGuid` (when given), else named
// `vmName` in `group` (any group when empty), in `blobs`.
std::optional<Refusal> VmBlobs(rest::ArmClient& arm, const rest::BlobClient& blob, const std::string& vmName,
                               const std::string& vmGuid, const std::string& group, std::vector<BlobAddress>& blobs);
// The sets of blob snapshots of the VMs VmBlobs picks.
std::optional<Refusal> ReadVmBlobSets(rest::ArmClient& arm, rest::BlobClient& blob, const std::string& vmName,
                                      const std::string& vmGuid, const std::string& group, std::vector<CloudSet>& sets);
// Deletes each blob snapshot of the set; one already gone is no failure.
std::optional<Refusal> DeleteBlobSet(rest::BlobClient& blob, const CloudSet& set);
// Snapshots every page blob as one set whose snapshots carry `tags` as metadata, all or none: on a
// failure the snapshots this call made are deleted again and OperationFailure is thrown. Returns the
// disks rewritten to name their snapshots.
std::vector<VMInfoStructs::SDisk> TakeBlobSet(rest::BlobClient& blob, const std::vector<VMInfoStructs::SDisk>& disks,
                                              const std::map<std::string, std::string>& tags);

// Copies `source` (a blob or snapshot URL) onto the blob at `target`, waiting while the service reports
// the copy pending; a copy that ends other than "success" fails.
std::optional<Refusal> CopyBlob(rest::BlobClient& blob, const std::string& source, const std::string& target);
// Whether a listed blob snapshot is an integrity snapshot.
bool IsIntegritySnapshot(const nlohmann::json& snapshot);
// Deletes every integrity snapshot of the blob; a blob that is gone has none.
std::optional<Refusal> DeleteIntegritySnapshots(rest::BlobClient& blob, const BlobAddress& address);

}  // namespace AzureSDKCppBridge
