// Page data of blobs read through the wrapper: the fallback of the plugin's own HTTP reader.
#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/SdkErrorCodes.h"

namespace AzureSDKCppBridge {

bool CAzureSDKCppBridge::DownloadBlobPageToBuffer(const std::string& blobUrl, ULONGLONG blockIndex,
                                                  unsigned char* buffer, UINT bytes) try {
    nlohmann::json args = {{"blobUrl", blobUrl}, {"blockIndex", blockIndex}, {"bytes", bytes}};
    if (std::optional<Refusal> refusal = impl_->begin("DownloadBlobPageToBuffer", args))
        return Fail(refusal->code, refusal->text);
    if (bytes == 0 || !buffer)
        return Fail(SDK_ERR_GENERAL, "InvalidRange: a block of blob [" + rest::WithoutQuery(blobUrl) +
                                         "] is read into a buffer of at least one byte");
    // As a ranged download does, a block that reaches past the end yields the bytes up to the end;
    // the rest of the buffer is left as the caller gave it.
    const std::uint64_t offset = static_cast<std::uint64_t>(blockIndex) * bytes;
    const rest::BlobResult result = impl_->blob->read(blobUrl, offset, buffer, bytes);
    return result.ok || Fail(result.code, result.text);
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
