// What a restore creates and writes: containers, page blobs, direct-upload
// managed disks and their page data, and the clean-up that removes them again.
//
// Containers, page blobs and their pages go through the Blob service, which
// applies its rules to a page write (whole 512-byte pages inside the blob, at
// most 4 MiB per request). A direct-upload disk is written only through the
// SAS URL its creation granted; ending the upload revokes that URL, so later
// writes are refused.
#include <algorithm>
#include <cstring>

#include <boost/algorithm/string/predicate.hpp>
#include <pugixml.hpp>

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
constexpr std::uint64_t kMaxManagedDiskBytes = 32ull << 40;

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
