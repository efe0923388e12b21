// What a restore creates and writes: containers, page blobs, direct-upload
// managed disks and their page data, and the clean-up that removes them again.
//
// Page data goes straight into the subscription's blob store, as the wrapper's
// reads take it from there, under the rules the blob service applies to a page
// write: whole 512-byte pages inside the blob, at most 4 MiB per request. A
// direct-upload disk is written only through the SAS URL its creation granted;
// ending the upload revokes that URL, so later writes are refused.
#include <algorithm>
#include <cstring>

#include <boost/algorithm/string/predicate.hpp>

#include "azsim/model/ResourceIds.h"
#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/CreatedByJob.h"
#include "cloudsdk/DiskUse.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "host/sys/Time.h"

namespace AzureSDKCppBridge {

using azsim::StateDocument;
using boost::algorithm::iequals;

namespace {

constexpr std::uint64_t kPage = azsim::PageBlobStore::kPageSize;
constexpr std::uint64_t kMaxPageWriteBytes = 4ull << 20;
constexpr std::uint64_t kMaxPageBlobBytes = 8ull << 40;
constexpr std::uint64_t kMaxManagedDiskBytes = 32ull << 40;

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


bool HasPartitionType(const unsigned char* entry, const unsigned char* guid) {
    return std::memcmp(entry, guid, 16) == 0;
}

// The OS an uploaded boot disk holds, told by its partition table: NTFS partitions in an MBR, or
// the reserved and basic-data partitions of a GPT, mark a Windows disk; anything else counts as Linux.
std::string DetectOsType(const azsim::PageBlobStore& store, const azsim::BlobKey& key) {
    unsigned char mbr[kPage] = {};
    if (store.read(key, std::string(), 0, mbr, kPage) != static_cast<std::int64_t>(kPage) || mbr[510] != 0x55 ||
        mbr[511] != 0xAA)
        return "Linux";
    bool gpt = false;
    for (int i = 0; i < 4; ++i) {
        const unsigned char type = mbr[446 + 16 * i + 4];
        if (type == 0x07 || type == 0x27) return "Windows";
        gpt = gpt || type == 0xEE;
    }
    if (!gpt) return "Linux";
    // GUIDs as stored on disk (first three fields little-endian).
    static const unsigned char kReserved[16] = {0x16, 0xE3, 0xC9, 0xE3, 0x5C, 0x0B, 0xB8, 0x4D,
                                                0x81, 0x7D, 0xF9, 0x2D, 0xF0, 0x02, 0x15, 0xAE};
    static const unsigned char kBasicData[16] = {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
                                                 0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7};
    unsigned char header[kPage] = {};
    if (store.read(key, std::string(), kPage, header, kPage) != static_cast<std::int64_t>(kPage) ||
        std::memcmp(header, "EFI PART", 8) != 0)
        return "Linux";
    auto le = [](const unsigned char* p, int bytes) {
        std::uint64_t v = 0;
        for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
        return v;
    };
    const std::uint64_t entriesAt = le(header + 72, 8) * kPage;
    const std::uint64_t count = std::min<std::uint64_t>(le(header + 80, 4), 128);
    const std::uint64_t entrySize = le(header + 84, 4);
    if (entrySize < 128 || entrySize > 4096) return "Linux";
    std::string entries(count * entrySize, '\0');
    if (store.read(key, std::string(), entriesAt, &entries[0], entries.size()) < 0) return "Linux";
    for (std::uint64_t i = 0; i < count; ++i) {
        const unsigned char* entry = reinterpret_cast<const unsigned char*>(entries.data()) + i * entrySize;
        if (HasPartitionType(entry, kReserved) || HasPartitionType(entry, kBasicData)) return "Windows";
    }
    return "Linux";
}

// The disk SKU an upload gets: premium storage where the VM size can use it.
std::string UploadSku(const StateDocument& doc, const std::string& region, const std::string& vmSize) {
    if (const azsim::Region* r = doc.findRegion(region))
        for (const azsim::VmSize& size : r->vmSizes)
            if (iequals(size.name, vmSize)) return size.premiumIO ? "Premium_LRS" : "StandardSSD_LRS";
    return "StandardSSD_LRS";
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

bool CAzureSDKCppBridge::CreateDirectUploadManagedDisk(const std::string& diskName, const std::string& resourceGroup,
                                                       const std::string& location, long long sizeBytes,
                                                       bool isOsDisk, const std::string& vmSize,
                                                       const std::string& firmware, std::string& uploadAccessUrl,
                                                       std::string& diskId, std::string& managedDiskRef) try {
    nlohmann::json args = {{"diskName", diskName}, {"resourceGroup", resourceGroup}, {"location", location},
                           {"sizeBytes", sizeBytes}, {"isOsDisk", isOsDisk}, {"vmSize", vmSize},
                           {"firmware", firmware}};
    if (std::optional<Refusal> refusal = impl_->begin("CreateDirectUploadManagedDisk", args))
        return Fail(refusal->code, refusal->text);
    if (sizeBytes <= 0 || static_cast<std::uint64_t>(sizeBytes) % kPage != 0 ||
        static_cast<std::uint64_t>(sizeBytes) > kMaxManagedDiskBytes)
        return Fail(SDK_ERR_GENERAL, "InvalidParameter: The upload size of disk '" + diskName + "' [" +
                                         std::to_string(sizeBytes) + "] is not a positive multiple of 512 bytes "
                                         "of at most 32 TiB");
    azsim::PageBlobStore store = impl_->subscription->blobs();
    azsim::ManagedDisk disk;
    impl_->subscription->mutate([&](StateDocument& doc) {
        const azsim::ResourceGroup* group = doc.findResourceGroup(resourceGroup);
        if (!group)
            throw OperationFailure(SDK_ERR_NOT_FOUND, "ResourceGroupNotFound: Resource group '" + resourceGroup +
                                                          "' could not be found.");
        const azsim::Region* region = doc.findRegion(location.empty() ? group->region : location);
        if (!region)
            throw OperationFailure(SDK_ERR_GENERAL, "LocationNotAvailableForResourceType: The provided location '" +
                                                        location + "' is not available for resource type "
                                                        "'Microsoft.Compute/disks'.");
        if (diskName.empty() || doc.findManagedDiskByName(diskName, group->name))
            throw OperationFailure(SDK_ERR_GENERAL, "Conflict: A disk named '" + diskName +
                                                        "' already exists in resource group '" + group->name +
                                                        "', or the name is empty.");
        disk.name = diskName;
        disk.resourceGroup = group->name;
        disk.id = azsim::ManagedDiskId(doc.subscription().id, group->name, diskName);
        disk.region = region->name;
        // The size is the whole image the host uploads, as for a page blob: the disk's last
        // sector is its footer slot, as with every disk of this subscription.
        disk.sizeBytes = static_cast<std::uint64_t>(sizeBytes);
        disk.uploadSizeBytes = disk.sizeBytes;
        disk.sku = UploadSku(doc, region->name, vmSize);
        disk.tags = CreatedByJobTags(impl_->jobId);
        if (isOsDisk) {
            // Generation from the firmware now; the OS itself is read from the disk when the upload ends.
            disk.osType = "Linux";
            disk.firmware = iequals(firmware, "efi") ? "efi" : "";
        }
        disk.blob = azsim::NewManagedDiskBlob();
        disk.createdAt = NxClock::nowSeconds();
        disk.state = "ReadyToUpload";
        std::string error;
        if (!store.createPageBlob(disk.blob, disk.uploadSizeBytes, false, &error))
            throw OperationFailure(SDK_ERR_GENERAL, "Creating disk '" + diskName + "' failed: " + error);
        // Granting write access starts the upload.
        const long long expiry = NxClock::nowSeconds() + SasLifetimeSeconds();
        disk.grant.active = true;
        disk.grant.accessUrl = azsim::ManagedDiskAccessUrl(disk.blob) + "?" +
                               impl_->access->issueSas(disk.blob, std::string(), "rw", expiry);
        disk.grant.expiresAt = expiry;
        disk.state = "ActiveUpload";
        doc.managedDisks.push_back(disk);
        return true;
    });
    uploadAccessUrl = disk.grant.accessUrl;
    diskId = disk.id;
    managedDiskRef = disk.name;
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::ClosePageBlob(const std::string& managedDiskRef, const std::string& resourceGroup,
                                       const std::string& accessUrl) try {
    nlohmann::json args = {{"managedDiskRef", managedDiskRef}, {"resourceGroup", resourceGroup},
                           {"accessUrl", accessUrl}};
    if (std::optional<Refusal> refusal = impl_->begin("ClosePageBlob", args))
        return Fail(refusal->code, refusal->text);
    azsim::PageBlobStore store = impl_->subscription->blobs();
    impl_->subscription->mutate([&](StateDocument& doc) {
        azsim::ManagedDisk* disk = doc.findManagedDisk(managedDiskRef);
        if (!disk) disk = doc.findManagedDiskByName(managedDiskRef, resourceGroup);
        if (!disk)
            throw OperationFailure(SDK_ERR_NOT_FOUND, "ResourceNotFound: The Resource 'Microsoft.Compute/disks/" +
                                                          managedDiskRef + "' was not found.");
        std::optional<azsim::BlobUri> uri = azsim::ParseBlobUri(accessUrl);
        if (!accessUrl.empty() && (!uri || !SameBlob(uri->key(), disk->blob)))
            throw OperationFailure(SDK_ERR_GENERAL, "InvalidParameter: [" + accessUrl +
                                                        "] is not the upload URL of disk '" + disk->name + "'.");
        // Ending access of a disk that is not being uploaded changes nothing, as with the service.
        if (disk->state != "ActiveUpload") return false;
        if (!disk->osType.empty()) disk->osType = DetectOsType(store, disk->blob);
        impl_->access->revokeSas(disk->blob);
        disk->grant = azsim::AccessGrant();
        disk->state = "Unattached";
        return true;
    });
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::DeleteDisksOriginatingFromBlob(const std::string& resourceGroup,
                                                        const std::string& storageAccount,
                                                        const std::string& container, const std::string& blobName) try {
    nlohmann::json args = {{"resourceGroup", resourceGroup}, {"storageAccount", storageAccount},
                           {"container", container}, {"blobName", blobName}};
    if (std::optional<Refusal> refusal = impl_->begin("DeleteDisksOriginatingFromBlob", args))
        return Fail(refusal->code, refusal->text);
    const azsim::BlobKey source{storageAccount, container, blobName};
    azsim::PageBlobStore store = impl_->subscription->blobs();
    std::string refused;
    try {
        impl_->subscription->mutate([&](StateDocument& doc) {
            std::vector<azsim::ManagedDisk> kept;
            bool removed = false;
            for (const azsim::ManagedDisk& disk : doc.managedDisks) {
                std::optional<azsim::BlobUri> from = azsim::ParseBlobUri(disk.sourceId);
                // Only disks this job made: another job's, or one made by hand, is never cleaned up here.
                const bool fromBlob = from && from->snapshot.empty() && SameBlob(from->key(), source) &&
                                      (resourceGroup.empty() || iequals(disk.resourceGroup, resourceGroup)) &&
                                      CreatedByJob(disk.tags, impl_->jobId);
                if (!fromBlob) {
                    kept.push_back(disk);
                    continue;
                }
                // A disk in use stays; the others go, each on its own, as separate deletions do.
                if (const azsim::VirtualMachine* vm = VmUsingDisk(doc, disk)) {
                    refused += (refused.empty() ? "" : " ") + std::string("Disk '") + disk.name +
                               "' is attached to VM '" + vm->name + "'.";
                    kept.push_back(disk);
                    continue;
                }
                // Snapshots of the disk outlive it, so its data goes only when none refers to it.
                if (!DiskDataSnapshotted(doc, disk)) store.deleteBlob(disk.blob);
                removed = true;
            }
            doc.managedDisks = kept;
            return removed;
        });
    } catch (const azsim::Error& e) {
        return Fail(SDK_ERR_GENERAL, e.what());
    }
    if (!refused.empty()) return Fail(SDK_ERR_GENERAL, "OperationNotAllowed: " + refused);
    return true;
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
