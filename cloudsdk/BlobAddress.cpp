#include "cloudsdk/BlobAddress.h"

#include "azsim/model/ResourceIds.h"
#include "cloudsdk/DeploymentRequest.h"

namespace AzureSDKCppBridge {

std::optional<azsim::BlobKey> PageBlobOf(const azsim::StateDocument& doc, const VMInfoStructs::SDisk& disk) {
    if (std::optional<azsim::BlobUri> uri = azsim::ParseBlobUri(disk.uri)) return uri->key();
    // A restored disk's uri may name its staged file, which is no address of the blob.
    VMInfoStructs::SDisk entry = disk;
    entry.uri.clear();
    std::string error;
    std::optional<azsim::BlobKey> key = PageBlobOfEntry(entry, error);
    if (!key || key->container.empty()) return std::nullopt;
    if (const azsim::StorageAccount* account = doc.findStorageAccount(key->account)) key->account = account->name;
    return key;
}

}  // namespace AzureSDKCppBridge
