// Registering a page blob as an OS disk: the blob's metadata says which OS it boots, so that a
// deployment from the blob gives the VM that OS type.
#include <iterator>

#include <boost/algorithm/string/predicate.hpp>

#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/VmCreation.h"
#include "cloudsdk/rest/ApiVersions.h"
#include "cloudsdk/rest/ResourceLookup.h"

namespace AzureSDKCppBridge {

bool CAzureSDKCppBridge::RegisterBlobAsOSDisk(const std::string& storageAccount, const std::string& container,
                                              const std::string& blobName, bool isWindows) try {
    nlohmann::json args = {{"storageAccount", storageAccount}, {"container", container}, {"blobName", blobName},
                           {"isWindows", isWindows}};
    if (std::optional<Refusal> refusal = impl_->begin("RegisterBlobAsOSDisk", args))
        return Fail(refusal->code, refusal->text);
    const rest::ArmResult account = rest::FindByName(*impl_->arm, "Microsoft.Storage/storageAccounts",
                                                     rest::kStorageVersion, storageAccount, "storage account");
    if (!account.ok)
        return Fail(account.code, account.code == SDK_ERR_NOT_FOUND ? "StorageAccountNotFound: The storage account '" +
                                                                          storageAccount + "' was not found."
                                                                    : account.text);
    const std::string url = impl_->blob->url(account.body.value("name", storageAccount), container, blobName);
    const std::string noSuchBlob =
        "BlobNotFound: The page blob '" + storageAccount + "/" + container + "/" + blobName + "' does not exist.";
    const rest::BlobResult found = impl_->blob->send(NX_HTTP_HEAD, url);
    if (!found.ok) return Fail(found.code, found.code == SDK_ERR_NOT_FOUND ? noSuchBlob : found.text);
    if (found.reply.header("x-ms-blob-type") != "PageBlob") return Fail(SDK_ERR_NOT_FOUND, noSuchBlob);
    // The blob keeps the marks it carries; only the OS type is set.
    rest::BlobMetadata metadata = rest::MetadataOf(found.reply);
    for (auto it = metadata.begin(); it != metadata.end();)
        it = boost::algorithm::iequals(it->first, kRegisteredOsTypeTag) ? metadata.erase(it) : std::next(it);
    metadata[kRegisteredOsTypeTag] = isWindows ? "Windows" : "Linux";
    const rest::BlobResult set = rest::SetMetadata(*impl_->blob, url, metadata);
    return set.ok || Fail(set.code, set.text);
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
