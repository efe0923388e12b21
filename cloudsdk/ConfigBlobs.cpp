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
    if (std::optional<Refusal> refusal = impl_->begin("DownloadBlockBlobToString", args))
        return Fail(refusal->code, refusal->text);
    const rest::BlobResult got = impl_->blob->send(NX_HTTP_GET, impl_->blob->url(storageAccount, container, blobName));
    if (!got.ok) return Fail(got.code, got.text);
    if (got.reply.header("x-ms-blob-type") != "BlockBlob")
        return Fail(SDK_ERR_GENERAL, "InvalidBlobType: The blob '" + blobName + "' is not a block blob.");
    text = got.reply.body;
    return true;
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
