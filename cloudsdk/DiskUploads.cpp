// Managed disks a restore writes directly: made for an upload through Resource
// Manager with write access granted at once, ended when the data is in (the OS
// of a boot disk is then read from its partition table, through the upload URL),
// and removed again when they were made from a page blob a job restored.
#include <algorithm>
#include <cstring>
#include <functional>

#include <boost/algorithm/string/predicate.hpp>
#include <curl/curl.h>

#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/CreatedByJob.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/rest/ApiVersions.h"
#include "cloudsdk/rest/HttpExchange.h"
#include "cloudsdk/rest/ResourceLookup.h"

namespace AzureSDKCppBridge {

using boost::algorithm::iequals;

namespace {

constexpr std::size_t kSectorBytes = 512;
const char* const kManagedDisksType = "Microsoft.Compute/disks";
// The blob service version of the reads through an upload URL.
const char* const kUploadReadVersion = "2021-08-06";

// `count` bytes at `offset` of the data an upload URL reaches; false when they cannot be read.
bool ReadUpload(const std::string& url, std::uint64_t offset, std::size_t count, std::string& out) {
    const rest::HttpReply reply =
        rest::SendHttp(NX_HTTP_GET, url, {"x-ms-version: " + std::string(kUploadReadVersion),
                                          "x-ms-range: bytes=" + std::to_string(offset) + "-" +
                                              std::to_string(offset + count - 1)});
    out = reply.body;
    return (reply.status == 200 || reply.status == 206) && out.size() == count;
}

std::uint64_t LittleEndian(const unsigned char* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

// Whether the GPT the disk's second sector heads lists a Windows partition (reserved or basic data).
bool GptHasWindowsPartition(const std::string& url) {
    // GUIDs as stored on disk (first three fields little-endian).
    static const unsigned char kReserved[16] = {0x16, 0xE3, 0xC9, 0xE3, 0x5C, 0x0B, 0xB8, 0x4D,
                                                0x81, 0x7D, 0xF9, 0x2D, 0xF0, 0x02, 0x15, 0xAE};
    static const unsigned char kBasicData[16] = {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
                                                 0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7};
    std::string text;
    if (!ReadUpload(url, kSectorBytes, kSectorBytes, text) || text.compare(0, 8, "EFI PART") != 0) return false;
    const auto* header = reinterpret_cast<const unsigned char*>(text.data());
    const std::uint64_t entriesAt = LittleEndian(header + 72, 8) * kSectorBytes;
    const std::uint64_t count = std::min<std::uint64_t>(LittleEndian(header + 80, 4), 128);
    const std::uint64_t entrySize = LittleEndian(header + 84, 4);
    if (entrySize < 128 || entrySize > 4096 || count == 0) return false;
    std::string entries;
    if (!ReadUpload(url, entriesAt, count * entrySize, entries)) return false;
    for (std::uint64_t i = 0; i < count; ++i) {
        const auto* type = reinterpret_cast<const unsigned char*>(entries.data()) + i * entrySize;
        if (std::memcmp(type, kReserved, 16) == 0 || std::memcmp(type, kBasicData, 16) == 0) return true;
    }
    return false;
}

// The OS an uploaded boot disk holds, told by its partition table (`mbr` is its first sector): NTFS
// partitions in an MBR, or the reserved and basic-data partitions of a GPT, mark a Windows disk;
// anything else counts as Linux.
std::string OsOfUpload(const std::string& url, const std::string& mbr) {
    const auto* sector = reinterpret_cast<const unsigned char*>(mbr.data());
    if (sector[510] != 0x55 || sector[511] != 0xAA) return "Linux";
    bool gpt = false;
    for (int i = 0; i < 4; ++i) {
        const unsigned char type = sector[446 + 16 * i + 4];
        if (type == 0x07 || type == 0x27) return "Windows";
        gpt = gpt || type == 0xEE;
    }
    return gpt && GptHasWindowsPartition(url) ? "Windows" : "Linux";
}

// The disk SKU an upload gets: premium storage where the VM size can use it. A size that can has
// "s" among the feature letters after its vCPU count ("Standard_D2s_v3"), or an "S" family ("DS2").
std::string UploadSku(const std::string& vmSize) {
    std::string name = vmSize.substr(vmSize.find('_') + 1);
    name = name.substr(0, name.find('_'));
    const std::size_t digits = name.find_first_of("0123456789");
    if (digits == std::string::npos) return "StandardSSD_LRS";
    const std::size_t features = name.find_first_not_of("0123456789-", digits);
    const bool premium = (features != std::string::npos && name.find('s', features) != std::string::npos) ||
                         (digits > 1 && name[digits - 1] == 'S');
    return premium ? "Premium_LRS" : "StandardSSD_LRS";
}

// The disk the wrapper is given by resource id, or by name in a group (any group when none).
rest::ArmResult FindDisk(rest::ArmClient& arm, const std::string& ref, const std::string& resourceGroup) {
    if (boost::algorithm::istarts_with(ref, "/subscriptions/")) return arm.get(ref, rest::kDiskVersion);
    if (resourceGroup.empty()) return rest::FindByName(arm, kManagedDisksType, rest::kDiskVersion, ref, "disk");
    return arm.get("/subscriptions/" + arm.subscriptionId() + "/resourceGroups/" + resourceGroup + "/providers/" +
                       kManagedDisksType + "/" + ref,
                   rest::kDiskVersion);
}

std::string UnescapedBlobName(const std::string& text) {
    int length = 0;
    char* plain = curl_easy_unescape(nullptr, text.c_str(), static_cast<int>(text.size()), &length);
    std::string out = plain ? std::string(plain, static_cast<std::size_t>(length)) : text;
    curl_free(plain);
    return out;
}

// Whether `url` is the URL of blob `name` (not one of its snapshots) in `container` of `account`:
// account and container names are case-insensitive in the service, blob names are not.
bool IsUrlOfBlob(const std::string& url, const std::string& account, const std::string& container,
            const std::string& name) {
    const std::size_t scheme = url.find("://");
    if (scheme == std::string::npos || url.find('?') != std::string::npos) return false;
    const std::size_t path = url.find('/', scheme + 3);
    const std::size_t blob = path == std::string::npos ? path : url.find('/', path + 1);
    if (blob == std::string::npos) return false;
    const std::string host = url.substr(scheme + 3, path - scheme - 3);
    return iequals(host.substr(0, host.find('.')), account) &&
           iequals(url.substr(path + 1, blob - path - 1), container) &&
           UnescapedBlobName(url.substr(blob + 1)) == name;
}

}  // namespace

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
    rest::ArmClient& arm = *impl_->arm;
    const std::string groupPath = "/subscriptions/" + arm.subscriptionId() + "/resourcegroups/" + resourceGroup;
    rest::ArmResult result = arm.get(groupPath, rest::kResourcesVersion);
    if (!result.ok) return Fail(result.code, result.text);
    const std::string group = result.body.value("name", resourceGroup);
    const std::string region = location.empty() ? result.body.value("location", "") : location;
    const std::string path = "/subscriptions/" + arm.subscriptionId() + "/resourceGroups/" + group + "/providers/" +
                             kManagedDisksType + "/" + diskName;
    result = diskName.empty() ? rest::ArmResult() : arm.get(path, rest::kDiskVersion);
    if (diskName.empty() || result.ok)
        return Fail(SDK_ERR_GENERAL, "Conflict: A disk named '" + diskName + "' already exists in resource group '" +
                                         group + "', or the name is empty.");
    if (result.code != SDK_ERR_NOT_FOUND) return Fail(result.code, result.text);
    // The size is the whole image the host uploads, as for a page blob: the disk's last
    // sector is its footer slot.
    nlohmann::json properties = {{"creationData", {{"createOption", "Upload"}, {"uploadSizeBytes", sizeBytes}}}};
    if (isOsDisk) {
        // Generation from the firmware now; the OS itself is read from the disk when the upload ends.
        properties["osType"] = "Linux";
        properties["hyperVGeneration"] = iequals(firmware, "efi") ? "V2" : "V1";
    }
    const nlohmann::json disk = {{"location", region},
                                 {"sku", {{"name", UploadSku(vmSize)}}},
                                 {"tags", CreatedByJobTags(impl_->jobId)},
                                 {"properties", properties}};
    result = arm.put(path, rest::kDiskVersion, disk);
    if (!result.ok) return Fail(result.code, result.text);
    const std::string id = result.body.value("id", "");
    // Granting write access starts the upload.
    result = arm.action(id + "/beginGetAccess", rest::kDiskVersion, true,
                        {{"access", "Write"}, {"durationInSeconds", SasLifetimeSeconds()}});
    if (!result.ok) return Fail(result.code, result.text);
    uploadAccessUrl = result.body.value("accessSAS", "");
    diskId = id;
    managedDiskRef = diskName;
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
    rest::ArmClient& arm = *impl_->arm;
    rest::ArmResult result = FindDisk(arm, managedDiskRef, resourceGroup);
    if (!result.ok) return Fail(result.code, result.text);
    nlohmann::json disk = result.body;
    const nlohmann::json properties = disk.value("properties", nlohmann::json::object());
    const std::string name = disk.value("name", managedDiskRef);
    // The upload URL of a disk being uploaded still reads its data; one that does not is another's, or ended.
    std::string os;
    if (properties.value("diskState", "") == "ActiveUpload" && !accessUrl.empty()) {
        std::string mbr;
        if (!ReadUpload(accessUrl, 0, kSectorBytes, mbr))
            return Fail(SDK_ERR_GENERAL, "InvalidParameter: [" + accessUrl + "] is not the upload URL of disk '" +
                                             name + "'.");
        if (properties.contains("osType")) os = OsOfUpload(accessUrl, mbr);
    }
    // Ending access of a disk that is not being uploaded changes nothing, as with the service.
    result = arm.action(disk.value("id", "") + "/endGetAccess", rest::kDiskVersion, true, nullptr, false);
    if (!result.ok) return Fail(result.code, result.text);
    if (os.empty() || os == properties.value("osType", "")) return true;
    disk["properties"]["osType"] = os;
    result = arm.put(disk.value("id", ""), rest::kDiskVersion, disk);
    return result.ok || Fail(result.code, result.text);
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
    rest::ArmClient& arm = *impl_->arm;
    const rest::ArmResult disks = rest::ListOfType(arm, kManagedDisksType, rest::kDiskVersion);
    if (!disks.ok) return Fail(disks.code, disks.text);
    const std::string inGroup = "/resourceGroups/" + resourceGroup + "/";
    std::string refused;
    for (const nlohmann::json& disk : disks.body) {
        // Only disks this job made: another job's, or one made by hand, is never cleaned up here.
        const nlohmann::json creation = disk.value("properties", nlohmann::json::object())
                                            .value("creationData", nlohmann::json::object());
        if (!iequals(creation.value("createOption", ""), "Import") ||
            !IsUrlOfBlob(creation.value("sourceUri", ""), storageAccount, container, blobName) ||
            disk.value("tags", nlohmann::json::object()).value(kCreatedByJobTag, "") != impl_->jobId ||
            (!resourceGroup.empty() && !boost::algorithm::icontains(disk.value("id", ""), inGroup)))
            continue;
        // A disk in use stays; the others go, each on its own, as separate deletions do.
        const std::string vm = disk.value("managedBy", "");
        if (!vm.empty()) {
            refused += (refused.empty() ? "" : " ") + std::string("Disk '") + disk.value("name", "") +
                       "' is attached to VM '" + vm.substr(vm.rfind('/') + 1) + "'.";
            continue;
        }
        const rest::ArmResult removed = arm.remove(disk.value("id", ""), rest::kDiskVersion);
        if (!removed.ok && removed.code != SDK_ERR_NOT_FOUND) return Fail(removed.code, removed.text);
    }
    if (!refused.empty()) return Fail(SDK_ERR_GENERAL, "OperationNotAllowed: " + refused);
    return true;
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
