#include "cloudsdk/BlobAddress.h"

#include "azsim/model/ResourceIds.h"

namespace AzureSDKCppBridge {

std::optional<azsim::BlobKey> PageBlobOf(const azsim::StateDocument& doc, const VMInfoStructs::SDisk& disk) {
    if (std::optional<azsim::BlobUri> uri = azsim::ParseBlobUri(disk.uri)) return uri->key();
    if (disk.name.empty() || disk.storageAccount.empty()) return std::nullopt;
    const std::string::size_type slash = disk.storageAccount.find('\\');
    azsim::BlobKey key{disk.storageAccount.substr(0, slash), "vhds", disk.name};
    if (slash != std::string::npos) key.container = disk.storageAccount.substr(slash + 1);
    if (key.account.empty() || key.container.empty()) return std::nullopt;
    if (const azsim::StorageAccount* account = doc.findStorageAccount(key.account)) key.account = account->name;
    return key;
}

}  // namespace AzureSDKCppBridge
