#include "cloudsdk/DeploymentRequest.h"

#include <boost/algorithm/string/predicate.hpp>

#include "azsim/model/ResourceIds.h"

namespace AzureSDKCppBridge {

std::optional<azsim::BlobKey> PageBlobOfEntry(const VMInfoStructs::SDisk& entry, std::string& error) {
    const std::string::size_type slash = entry.storageAccount.find('\\');
    azsim::BlobKey blob{entry.storageAccount.substr(0, slash),
                        slash == std::string::npos ? "vhds" : entry.storageAccount.substr(slash + 1), entry.name};
    if (!entry.uri.empty()) {
        std::optional<azsim::BlobUri> uri = azsim::ParseBlobUri(entry.uri);
        if (!uri || !uri->snapshot.empty()) {
            error = "InvalidParameter: The URI '" + entry.uri + "' of disk '" + entry.name + "' is not a blob URL.";
            return std::nullopt;
        }
        blob = uri->key();
    }
    if (blob.account.empty() || blob.name.empty()) {
        error = "InvalidParameter: Disk '" + entry.name + "' names no storage account and blob.";
        return std::nullopt;
    }
    return blob;
}

std::string ImportedDiskName(const azsim::BlobKey& blob) {
    std::string name = blob.name.substr(blob.name.rfind('/') + 1);
    if (boost::algorithm::iends_with(name, ".vhd")) name.resize(name.size() - 4);
    return name;
}

}  // namespace AzureSDKCppBridge
