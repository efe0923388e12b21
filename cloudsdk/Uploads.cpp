// What a restore creates and writes: containers, page blobs, direct-upload
// managed disks and their page data, and the clean-up that removes them again.
//
// Page data goes straight into the subscription's blob store, as the wrapper's
// reads take it from there, under the rules the blob service applies to a page
// write: whole 512-byte pages inside the blob, at most 4 MiB per request. A
// direct-upload disk is written only through the SAS URL its creation granted;
// ending the upload revokes that URL, so later writes are refused.
#include <algorithm>

#include <boost/algorithm/string/predicate.hpp>

#include "azsim/model/ResourceIds.h"
#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/CreatedByJob.h"
#include "cloudsdk/DiskUse.h"
#include "cloudsdk/SdkErrorCodes.h"

namespace AzureSDKCppBridge {

using azsim::StateDocument;

namespace {

constexpr std::uint64_t kPage = azsim::PageBlobStore::kPageSize;
constexpr std::uint64_t kMaxPageWriteBytes = 4ull << 20;
constexpr std::uint64_t kMaxPageBlobBytes = 8ull << 40;

const char* const kNoSuchBlob = "BlobNotFound: The specified blob does not exist.";
const char* const kNoSuchContainer = "ContainerNotFound: The specified container does not exist.";

std::string AccountNotFound(const std::string& account) {
    return "StorageAccountNotFound: The storage account '" + account + "' was not found.";
}

bool HasContainer(const azsim::StorageAccount& account, const std::string& container) {
    return std::find(account.containers.begin(), account.containers.end(), container) != account.containers.end();
}

std::string LeasedBy(const azsim::VirtualMachine& vm) {
    return "LeaseIdMissing: There is currently a lease on the blob and no lease ID was specified in the request. "
           "The blob is a disk of VM '" + vm.name + "'.";
}

// Writes whole pages into a page blob after the checks the service makes of a page write.
std::optional<Refusal> WritePages(azsim::PageBlobStore store, const azsim::BlobKey& key,
                                  std::uint64_t offset, std::uint64_t count, const unsigned char* buffer) {
    azsim::BlobProperties props;
    if (!store.properties(key, std::string(), props)) return Refusal{SDK_ERR_NOT_FOUND, kNoSuchBlob};
    if (props.type != azsim::BlobType::Page)
        return Refusal{SDK_ERR_GENERAL, "InvalidBlobType: The blob type is invalid for this operation."};
    const std::string range = "[" + std::to_string(offset) + ", " + std::to_string(offset + count) + ")";
    if (count == 0 || !buffer)
        return Refusal{SDK_ERR_GENERAL, "InvalidHeaderValue: a page write carries at least one 512-byte page"};
    if (count > kMaxPageWriteBytes)
        return Refusal{SDK_ERR_GENERAL, "RequestBodyTooLarge: a page write carries at most 4194304 bytes, not " +
                                            std::to_string(count)};
    if (offset % kPage != 0 || count % kPage != 0)
        return Refusal{SDK_ERR_GENERAL,
                       "InvalidPageRange: the range " + range + " is not made of whole 512-byte pages"};
    if (offset > props.size || count > props.size - offset)
        return Refusal{SDK_ERR_GENERAL, "InvalidPageRange: the range " + range +
                                            " reaches past the end of the blob of " + std::to_string(props.size) +
                                            " bytes"};
    std::string error;
    // The store's own checks repeat the ones above; what it refuses now is a store failure.
    if (!store.writePages(key, offset, buffer, count, &error))
        return Refusal{SDK_ERR_GENERAL, "Page write to [" + key.account + "/" + key.container + "/" + key.name +
                                            "] failed: " + error};
    return std::nullopt;
}

}  // namespace

bool CAzureSDKCppBridge::DoesContainerExist(const std::string& resourceGroup, const std::string& storageAccount,
                                            const std::string& container) try {
    nlohmann::json args = {{"resourceGroup", resourceGroup}, {"storageAccount", storageAccount},
                           {"container", container}};
    StateDocument doc;
    if (std::optional<Refusal> refusal = impl_->open("DoesContainerExist", args, doc))
        return Fail(refusal->code, refusal->text);
    const azsim::StorageAccount* account = doc.findStorageAccount(storageAccount);
    if (!account) return Fail(SDK_ERR_NOT_FOUND, AccountNotFound(storageAccount));
    if (!HasContainer(*account, container)) return Fail(SDK_ERR_NOT_FOUND, kNoSuchContainer);
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::CreateStorageContainer(const std::string& resourceGroup, const std::string& storageAccount,
                                                const std::string& container) try {
    nlohmann::json args = {{"resourceGroup", resourceGroup}, {"storageAccount", storageAccount},
                           {"container", container}};
    if (std::optional<Refusal> refusal = impl_->begin("CreateStorageContainer", args))
        return Fail(refusal->code, refusal->text);
    if (!azsim::IsNewContainerName(container))
        return Fail(SDK_ERR_GENERAL, "InvalidResourceName: The specifed resource name [" + container +
                                         "] contains invalid characters. A container name has 3 to 63 lower-case "
                                         "letters, digits and single hyphens, and starts and ends with a letter or "
                                         "digit.");
    impl_->subscription->mutate([&](StateDocument& doc) {
        azsim::StorageAccount* account = doc.findStorageAccount(storageAccount);
        if (!account) throw OperationFailure(SDK_ERR_NOT_FOUND, AccountNotFound(storageAccount));
        if (HasContainer(*account, container))
            throw OperationFailure(SDK_ERR_GENERAL,
                                   "ContainerAlreadyExists: The specified container already exists.");
        account->containers.push_back(container);
        return true;
    });
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::DeleteStorageContainer(const std::string& resourceGroup, const std::string& storageAccount,
                                                const std::string& container) try {
    nlohmann::json args = {{"resourceGroup", resourceGroup}, {"storageAccount", storageAccount},
                           {"container", container}};
    if (std::optional<Refusal> refusal = impl_->begin("DeleteStorageContainer", args))
        return Fail(refusal->code, refusal->text);
    azsim::PageBlobStore store = impl_->subscription->blobs();
    impl_->subscription->mutate([&](StateDocument& doc) {
        azsim::StorageAccount* account = doc.findStorageAccount(storageAccount);
        if (!account) throw OperationFailure(SDK_ERR_NOT_FOUND, AccountNotFound(storageAccount));
        auto found = std::find(account->containers.begin(), account->containers.end(), container);
        if (found == account->containers.end()) throw OperationFailure(SDK_ERR_NOT_FOUND, kNoSuchContainer);
        if (!store.list(account->name, container).empty())
            throw OperationFailure(SDK_ERR_GENERAL, "ContainerNotEmpty: The container '" + container +
                                                        "' holds blobs and is left in place.");
        account->containers.erase(found);
        return true;
    });
    return true;
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
    if (sizeBytes < 0 || static_cast<std::uint64_t>(sizeBytes) % kPage != 0 ||
        static_cast<std::uint64_t>(sizeBytes) > kMaxPageBlobBytes)
        return Fail(SDK_ERR_GENERAL, "InvalidHeaderValue: x-ms-blob-content-length [" + std::to_string(sizeBytes) +
                                         "]: a page blob's size is a multiple of 512 bytes, at most 8 TiB");
    azsim::PageBlobStore store = impl_->subscription->blobs();
    impl_->subscription->mutate([&](StateDocument& doc) {
        const azsim::StorageAccount* account = doc.findStorageAccount(storageAccount);
        if (!account) throw OperationFailure(SDK_ERR_NOT_FOUND, AccountNotFound(storageAccount));
        if (!HasContainer(*account, container)) throw OperationFailure(SDK_ERR_NOT_FOUND, kNoSuchContainer);
        const azsim::BlobKey key{account->name, container, blobName};
        // An existing blob is replaced, as a blob put does, unless a VM holds it.
        if (const azsim::VirtualMachine* vm = VmLeasingBlob(doc, key))
            throw OperationFailure(SDK_ERR_GENERAL, LeasedBy(*vm));
        std::string error;
        if (!store.createPageBlob(key, static_cast<std::uint64_t>(sizeBytes), true, &error))
            throw OperationFailure(SDK_ERR_GENERAL, "Creating page blob [" + blobName + "] failed: " + error);
        ForgetPageBlob(doc, key);
        azsim::UnmanagedDisk disk;
        disk.name = blobName;
        disk.resourceGroup = account->resourceGroup;
        disk.region = account->region;
        disk.sizeBytes = static_cast<std::uint64_t>(sizeBytes);
        disk.tags = CreatedByJobTags(impl_->jobId);
        disk.blob = key;
        doc.unmanagedDisks.push_back(disk);
        return true;
    });
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::DeletePageBlob(const std::string& resourceGroup, const std::string& storageAccount,
                                        const std::string& container, const std::string& blobName) try {
    nlohmann::json args = {{"resourceGroup", resourceGroup}, {"storageAccount", storageAccount},
                           {"container", container}, {"blobName", blobName}};
    if (std::optional<Refusal> refusal = impl_->begin("DeletePageBlob", args))
        return Fail(refusal->code, refusal->text);
    azsim::PageBlobStore store = impl_->subscription->blobs();
    impl_->subscription->mutate([&](StateDocument& doc) {
        const azsim::StorageAccount* account = doc.findStorageAccount(storageAccount);
        if (!account) throw OperationFailure(SDK_ERR_NOT_FOUND, AccountNotFound(storageAccount));
        const azsim::BlobKey key{account->name, container, blobName};
        if (!store.exists(key)) throw OperationFailure(SDK_ERR_NOT_FOUND, kNoSuchBlob);
        if (const azsim::VirtualMachine* vm = VmLeasingBlob(doc, key))
            throw OperationFailure(SDK_ERR_GENERAL, LeasedBy(*vm));
        // The blob goes with its snapshots; snapshot sets forget the members that named them.
        store.deleteBlob(key);
        ForgetPageBlob(doc, key);
        return true;
    });
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::UploadBlobPageFromBufferForOffset(const std::string& accessUrl, ULONGLONG byteOffset,
                                                           UINT byteCount, const unsigned char* buffer) try {
    nlohmann::json args = {{"accessUrl", accessUrl}, {"byteOffset", byteOffset}, {"byteCount", byteCount}};
    if (std::optional<Refusal> refusal = impl_->begin("UploadBlobPageFromBufferForOffset", args))
        return Fail(refusal->code, refusal->text);
    std::optional<azsim::BlobUri> uri = azsim::ParseBlobUri(accessUrl);
    if (!uri || !uri->snapshot.empty())
        return Fail(SDK_ERR_GENERAL, "InvalidUri: [" + accessUrl + "] is not an upload URL of a blob");
    // An upload URL carries its own authorization; the session's token does not reach a disk's data.
    switch (impl_->access->verifySas(uri->key(), std::string(), uri->query, 'w')) {
        case azsim::AccessVerdict::Ok:
            break;
        case azsim::AccessVerdict::Missing:
            return Fail(SDK_ERR_GENERAL, "AuthenticationFailed (403): the upload URL carries no SAS signature");
        case azsim::AccessVerdict::Expired:
            return Fail(SDK_ERR_GENERAL, "AuthenticationFailed (403): the upload URL's SAS has expired");
        case azsim::AccessVerdict::Revoked:
            return Fail(SDK_ERR_GENERAL, "AuthenticationFailed (403): the write access of the upload URL has ended");
        case azsim::AccessVerdict::Forbidden:
            return Fail(SDK_ERR_GENERAL, "AuthorizationPermissionMismatch (403): the upload URL's SAS does not "
                                         "grant write access");
        case azsim::AccessVerdict::Invalid:
            return Fail(SDK_ERR_GENERAL, "AuthenticationFailed (403): the upload URL's SAS signature did not match");
    }
    if (std::optional<Refusal> refusal =
            WritePages(impl_->subscription->blobs(), uri->key(), byteOffset, byteCount, buffer))
        return Fail(refusal->code, refusal->text);
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::UploadBlobPageFromBufferForOffset(const std::string& storageAccount,
                                                           const std::string& container, const std::string& blobName,
                                                           ULONGLONG byteOffset, UINT byteCount,
                                                           const unsigned char* buffer) try {
    nlohmann::json args = {{"storageAccount", storageAccount}, {"container", container}, {"blobName", blobName},
                           {"byteOffset", byteOffset}, {"byteCount", byteCount}};
    StateDocument doc;
    if (std::optional<Refusal> refusal = impl_->open("UploadBlobPageFromBufferForOffset", args, doc))
        return Fail(refusal->code, refusal->text);
    // Only blobs of the subscription's storage accounts; managed disks take uploads through their URL.
    const azsim::StorageAccount* account = doc.findStorageAccount(storageAccount);
    if (!account) return Fail(SDK_ERR_NOT_FOUND, AccountNotFound(storageAccount));
    if (std::optional<Refusal> refusal = WritePages(impl_->subscription->blobs(),
                                                    azsim::BlobKey{account->name, container, blobName}, byteOffset,
                                                    byteCount, buffer))
        return Fail(refusal->code, refusal->text);
    return true;
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
