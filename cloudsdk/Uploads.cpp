// What a restore creates and writes in storage accounts: containers, page
// blobs and their page data (also a direct-upload disk's, through its SAS URL),
// and the clean-up that removes them again. All of it goes through the Blob
// service, which applies its rules to a page write (whole 512-byte pages inside
// the blob, at most 4 MiB per request).
#include <algorithm>

#include <boost/algorithm/string/predicate.hpp>
#include <pugixml.hpp>

#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/CreatedByJob.h"
#include "cloudsdk/SdkErrorCodes.h"

namespace AzureSDKCppBridge {


namespace {

constexpr std::uint64_t kPage = 512;  // the Blob service's page

// Writes whole pages of `buffer` at `offset` of the blob `url` names.
rest::BlobResult WritePages(rest::BlobClient& blob, const std::string& url, std::uint64_t offset,
                            std::uint64_t count, const unsigned char* buffer) {
    if (count == 0 || !buffer) {
        rest::BlobResult refused;
        refused.code = SDK_ERR_GENERAL;
        refused.text = "InvalidHeaderValue: a page write carries at least one 512-byte page";
        return refused;
    }
    const std::vector<std::string> headers = {
        "x-ms-page-write: update",
        "x-ms-range: bytes=" + std::to_string(offset) + "-" + std::to_string(offset + count - 1)};
    return blob.send(NX_HTTP_PUT, rest::WithQuery(url, "comp=page"), headers, buffer, count);
}

}  // namespace

bool CAzureSDKCppBridge::DoesContainerExist(const std::string& resourceGroup, const std::string& storageAccount,
                                            const std::string& container) try {
    nlohmann::json args = {{"resourceGroup", resourceGroup}, {"storageAccount", storageAccount},
                           {"container", container}};
    if (std::optional<Refusal> refusal = impl_->begin("DoesContainerExist", args))
        return Fail(refusal->code, refusal->text);
    const rest::BlobResult found =
        impl_->blob->send(NX_HTTP_HEAD, impl_->blob->url(storageAccount, container) + "?restype=container");
    return found.ok || Fail(found.code, found.text);
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::CreateStorageContainer(const std::string& resourceGroup, const std::string& storageAccount,
                                                const std::string& container) try {
    nlohmann::json args = {{"resourceGroup", resourceGroup}, {"storageAccount", storageAccount},
                           {"container", container}};
    if (std::optional<Refusal> refusal = impl_->begin("CreateStorageContainer", args))
        return Fail(refusal->code, refusal->text);
    const rest::BlobResult created =
        impl_->blob->send(NX_HTTP_PUT, impl_->blob->url(storageAccount, container) + "?restype=container");
    return created.ok || Fail(created.code, created.text);
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::DeleteStorageContainer(const std::string& resourceGroup, const std::string& storageAccount,
                                                const std::string& container) try {
    nlohmann::json args = {{"resourceGroup", resourceGroup}, {"storageAccount", storageAccount},
                           {"container", container}};
    if (std::optional<Refusal> refusal = impl_->begin("DeleteStorageContainer", args))
        return Fail(refusal->code, refusal->text);
    // The service deletes a container with every blob in it; only an empty one is taken away here.
    const std::string url = impl_->blob->url(storageAccount, container) + "?restype=container";
    const rest::BlobResult listed = impl_->blob->send(NX_HTTP_GET, url + "&comp=list&maxresults=1");
    if (!listed.ok) return Fail(listed.code, listed.text);
    pugi::xml_document doc;
    if (!doc.load_buffer(listed.reply.body.data(), listed.reply.body.size()) || !doc.child("EnumerationResults"))
        return Fail(SDK_ERR_GENERAL, "The blobs of container '" + container + "' could not be listed");
    if (doc.child("EnumerationResults").child("Blobs").child("Blob"))
        return Fail(SDK_ERR_GENERAL, "ContainerNotEmpty: The container '" + container +
                                         "' holds blobs and is left in place.");
    const rest::BlobResult deleted = impl_->blob->send(NX_HTTP_DELETE, url);
    return deleted.ok || Fail(deleted.code, deleted.text);
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::CreatePageBlob(const std::string& resourceGroup, const std::string& storageAccount,
                                        const std::string& container, const std::string& blobName,
                                        long long sizeBytes) try {
    nlohmann::json args = {{"resourceGroup", resourceGroup}, {"storageAccount", storageAccount},
                           {"container", container}, {"blobName", blobName}, {"sizeBytes", sizeBytes}};
    if (std::optional<Refusal> refusal = impl_->begin("CreatePageBlob", args))
        return Fail(refusal->code, refusal->text);
    // An existing blob is replaced, as a blob put does, unless a VM holds it.
    const std::vector<std::string> headers = {"x-ms-blob-type: PageBlob",
                                              "x-ms-blob-content-length: " + std::to_string(sizeBytes),
                                              std::string("x-ms-meta-") + kCreatedByJobTag + ": " + impl_->jobId};
    const rest::BlobResult created =
        impl_->blob->send(NX_HTTP_PUT, impl_->blob->url(storageAccount, container, blobName), headers);
    return created.ok || Fail(created.code, created.text);
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::DeletePageBlob(const std::string& resourceGroup, const std::string& storageAccount,
                                        const std::string& container, const std::string& blobName) try {
    nlohmann::json args = {{"resourceGroup", resourceGroup}, {"storageAccount", storageAccount},
                           {"container", container}, {"blobName", blobName}};
    if (std::optional<Refusal> refusal = impl_->begin("DeletePageBlob", args))
        return Fail(refusal->code, refusal->text);
    // The blob goes with its snapshots; the service refuses while a VM leases it.
    const rest::BlobResult deleted = impl_->blob->send(
        NX_HTTP_DELETE, impl_->blob->url(storageAccount, container, blobName), {"x-ms-delete-snapshots: include"});
    return deleted.ok || Fail(deleted.code, deleted.text);
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::UploadBlobPageFromBufferForOffset(const std::string& accessUrl, ULONGLONG byteOffset,
                                                           UINT byteCount, const unsigned char* buffer) try {
    nlohmann::json args = {{"accessUrl", accessUrl}, {"byteOffset", byteOffset}, {"byteCount", byteCount}};
    if (std::optional<Refusal> refusal = impl_->begin("UploadBlobPageFromBufferForOffset", args))
        return Fail(refusal->code, refusal->text);
    // An upload URL carries its own authorization: the service checks its SAS.
    const rest::BlobResult written = WritePages(*impl_->blob, accessUrl, byteOffset, byteCount, buffer);
    return written.ok || Fail(written.code, written.text);
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::UploadBlobPageFromBufferForOffset(const std::string& storageAccount,
                                                           const std::string& container, const std::string& blobName,
                                                           ULONGLONG byteOffset, UINT byteCount,
                                                           const unsigned char* buffer) try {
    nlohmann::json args = {{"storageAccount", storageAccount}, {"container", container}, {"blobName", blobName},
                           {"byteOffset", byteOffset}, {"byteCount", byteCount}};
    if (std::optional<Refusal> refusal = impl_->begin("UploadBlobPageFromBufferForOffset", args))
        return Fail(refusal->code, refusal->text);
    // Under the session's token, which reaches the storage accounts' blobs but not a managed disk's.
    const rest::BlobResult written = WritePages(*impl_->blob, impl_->blob->url(storageAccount, container, blobName),
                                                byteOffset, byteCount, buffer);
    return written.ok || Fail(written.code, written.text);
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
