// Resource ids, blob URIs and generated names in the cloud's own forms, and
// their parsers. Parsers accept only well-formed input and never throw.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "azsim/blob/PageBlobStore.h"

namespace azsim {

// The parts of "/subscriptions/<s>/resourceGroups/<rg>/providers/<provider>/<type>/<name>"
// with an optional child "/<childType>/<childName>" (e.g. a subnet of a virtual network).
struct ResourceId {
    std::string subscription;
    std::string resourceGroup;
    std::string provider;  // "Microsoft.Compute"
    std::string type;      // "disks", "snapshots", "virtualMachines", ...
    std::string name;
    std::string childType;
    std::string childName;
};

std::string BuildResourceId(const ResourceId& id);
std::string ManagedDiskId(const std::string& subscription, const std::string& resourceGroup, const std::string& name);
std::string SnapshotId(const std::string& subscription, const std::string& resourceGroup, const std::string& name);
std::string VirtualMachineId(const std::string& subscription, const std::string& resourceGroup,
                             const std::string& name);
std::string VirtualNetworkId(const std::string& subscription, const std::string& resourceGroup,
                             const std::string& name);
std::string SubnetId(const std::string& subscription, const std::string& resourceGroup, const std::string& network,
                     const std::string& subnet);
std::string SecurityGroupId(const std::string& subscription, const std::string& resourceGroup, const std::string& name);
std::string NetworkInterfaceId(const std::string& subscription, const std::string& resourceGroup,
                               const std::string& name);
std::string PublicIpId(const std::string& subscription, const std::string& resourceGroup, const std::string& name);
std::string DeploymentId(const std::string& subscription, const std::string& resourceGroup, const std::string& name);
// Keywords ("subscriptions", "resourceGroups", "providers") match case-insensitively, as the cloud does.
std::optional<ResourceId> ParseResourceId(const std::string& id);

// A blob URL: https://<account>.<suffix>/<container>/<blob>[?query].
struct BlobUri {
    std::string account;
    std::string suffix;  // host after the account label, e.g. "blob.core.windows.net"
    std::string container;
    std::string blob;
    std::string snapshot;                      // value of the "snapshot" query parameter, decoded
    std::map<std::string, std::string> query;  // every query parameter, decoded

    BlobKey key() const { return BlobKey{account, container, blob}; }
};

constexpr const char* kPublicBlobSuffix = "blob.core.windows.net";
constexpr const char* kManagedDiskBlobSuffix = "z1.blob.storage.azure.net";

// https://<account>.blob.core.windows.net/<container>/<blob>[?snapshot=<snapshot>]
std::string PageBlobUri(const BlobKey& key, const std::string& snapshot = std::string());
// https://<account>.z1.blob.storage.azure.net/<container>/<blob>: a managed disk's internal blob.
std::string ManagedDiskAccessUrl(const BlobKey& key);
// Accepts http and https; the host needs an account label and a suffix; the path
// a container and a blob name (which may contain '/'). Percent-escapes are decoded.
std::optional<BlobUri> ParseBlobUri(const std::string& uri);

// The names a new container may take: 3 to 63 characters of lower-case letters, digits and
// hyphens, starting and ending with a letter or digit, with no two hyphens in a row.
// (Existing names are read more leniently: the service's own "$root" and "$logs" are containers too.)
bool IsNewContainerName(const std::string& name);

// A new random GUID, lower case ("8-4-4-4-12" hex digits).
std::string NewGuid();
// `count` random lower-case hex digits.
std::string RandomHex(std::size_t count);
// A new internal blob for a managed disk: account "md-<12 hex>", a random container, blob "abcd".
BlobKey NewManagedDiskBlob();

}  // namespace azsim
