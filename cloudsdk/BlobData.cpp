// Page data of blobs read through the wrapper: the fallback of the plugin's own HTTP reader.
#include "azsim/model/ResourceIds.h"
#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/SdkErrorCodes.h"

namespace AzureSDKCppBridge {

bool CAzureSDKCppBridge::DownloadBlobPageToBuffer(const std::string& blobUrl, ULONGLONG blockIndex,
                                                  unsigned char* buffer, UINT bytes) try {
    nlohmann::json args = {{"blobUrl", blobUrl}, {"blockIndex", blockIndex}, {"bytes", bytes}};
    if (std::optional<Refusal> refusal = impl_->begin("DownloadBlobPageToBuffer", args))
        return Fail(refusal->code, refusal->text);
    std::optional<azsim::BlobUri> uri = azsim::ParseBlobUri(blobUrl);
    if (!uri) return Fail(SDK_ERR_GENERAL, "InvalidUri: [" + blobUrl + "] is not a blob URI");
    // A SAS URL is honoured as the service would: a revoked or expired one no longer reads.
    if (uri->query.count("sig") &&
        impl_->access->verifySas(uri->key(), uri->snapshot, uri->query, 'r') != azsim::AccessVerdict::Ok)
        return Fail(SDK_ERR_GENERAL, "AuthenticationFailed: the SAS of [" + blobUrl + "] does not grant read access");
    azsim::BlobProperties properties;
    if (!impl_->subscription->blobs().properties(uri->key(), uri->snapshot, properties))
        return Fail(SDK_ERR_NOT_FOUND, "BlobNotFound: The specified blob does not exist.");
    const std::uint64_t offset = static_cast<std::uint64_t>(blockIndex) * bytes;
    if (bytes == 0 || offset >= properties.size)
        return Fail(SDK_ERR_GENERAL, "InvalidRange: offset " + std::to_string(offset) +
                                         " is outside the blob of " + std::to_string(properties.size) + " bytes");
    // As a ranged download does, a block that reaches past the end yields the bytes up to the end;
    // the rest of the buffer is left as the caller gave it.
    if (impl_->subscription->blobs().read(uri->key(), uri->snapshot, offset, buffer, bytes) < 0)
        return Fail(SDK_ERR_NOT_FOUND, "BlobNotFound: The specified blob does not exist.");
    return true;
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
