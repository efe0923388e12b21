// VM configuration files kept as block blobs next to a VM's disks: their name and their download.
#include <boost/algorithm/string/case_conv.hpp>

#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/SdkErrorCodes.h"

namespace AzureSDKCppBridge {

std::string CAzureSDKCppBridge::VmConfigBlobName(const std::string& resourceGroup, const std::string& vmName) {
    return boost::algorithm::to_lower_copy(resourceGroup + "-" + vmName + ".json");
}

bool CAzureSDKCppBridge::DownloadBlockBlobToString(const std::string& storageAccount, const std::string& container,
                                                   const std::string& blobName, std::string& text) try {
    nlohmann::json args = {{"storageAccount", storageAccount}, {"container", container}, {"blobName", blobName}};
    azsim::StateDocument doc;
    if (std::optional<Refusal> refusal = impl_->open("DownloadBlockBlobToString", args, doc))
        return Fail(refusal->code, refusal->text);
    const azsim::StorageAccount* account = doc.findStorageAccount(storageAccount);
    if (!account)
        return Fail(SDK_ERR_NOT_FOUND,
                    "StorageAccountNotFound: The storage account '" + storageAccount + "' was not found.");
    const azsim::BlobKey key{account->name, container, blobName};
    const azsim::PageBlobStore store = impl_->subscription->blobs();
    if (!store.exists(key))
        return Fail(SDK_ERR_NOT_FOUND, "BlobNotFound: The blob '" + storageAccount + "/" + container + "/" +
                                           blobName + "' does not exist.");
    std::string content;
    if (!store.getBlockBlob(key, content))
        return Fail(SDK_ERR_GENERAL, "InvalidBlobType: The blob '" + blobName + "' is not a block blob.");
    text = content;
    return true;
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
