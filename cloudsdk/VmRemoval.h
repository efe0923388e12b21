// Removing a VM with the components a caller names, over Resource Manager, and page blobs
// over the Blob service.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cloudsdk/rest/ArmClient.h"
#include "cloudsdk/rest/BlobClient.h"

namespace AzureSDKCppBridge {

struct VmRemoval {
    bool disks = false;    // its managed disks, or the page blobs of an unmanaged VM
    bool network = false;  // its network interfaces and their public IP addresses
    // When set, only components carrying this job's "createdByJob" tag go; the others are kept, detached.
    std::optional<std::string> onlyJob;
};

// A result that succeeded with nothing to report (no body).
rest::ArmResult Done();

// Whether a resource (its JSON) carries the tag "createdByJob" = `job`.
bool TaggedByJob(const nlohmann::json& resource, const std::string& job);

// Whether two URLs name the same blob (not one of its snapshots): the host and container compare
// in any case, the blob's name exactly.
bool SameBlobUrl(const std::string& a, const std::string& b);

// Deletes the VM `vm` (its JSON as read) and then what `what` names: its managed disks, and the
// interfaces it held with their public addresses (an address goes only with its interface). The
// URLs of an unmanaged VM's page blobs that go are added to `vhds`, for the caller to remove.
// A component already gone is nothing to remove; any other failure stops the removal with its error.
rest::ArmResult RemoveVmOverRest(rest::ArmClient& arm, const nlohmann::json& vm, const VmRemoval& what,
                                 std::vector<std::string>& vhds);

// Deletes the page blobs `urls` name, with their snapshots; with `onlyJob`, only the blobs whose
// metadata carries that job's tag. A blob a VM leases stays (the service refuses it), one already
// gone is nothing to delete, a snapshot's URL is skipped; any other failure stops with its error.
rest::ArmResult RemovePageBlobs(rest::BlobClient& blob, const std::vector<std::string>& urls,
                                const std::optional<std::string>& onlyJob);

}  // namespace AzureSDKCppBridge
