// Page-blob (media-link) URIs: their parts and the storage endpoint suffix they are checked against.
#include <algorithm>

#include "host/settings/NXPlatformInfo.h"
#include "plugin/frame/AzureInfo.h"

namespace {

const char* const kParseTag =
    "bool CAzureInfo::ParseMediaLinkURI(const string&, std::string&, std::string&, std::string&, std::string&)";
const char* const kSuffixTag = "bool CAzureInfo::_GetBlobStorageSuffixForAzureEndpoint(std::string&)";

}  // namespace

bool CAzureInfo::ParseMediaLinkURI(const std::string& uri, std::string& storageAccount, std::string& container,
                                   std::string& blobName, std::string& snapshotId) {
    std::string::size_type p = uri.find("https://");
    std::string::size_type s = 8;
    if (p == std::string::npos) {
        p = uri.find("http://");
        s = 7;
    }
    if (p == std::string::npos) {
        EvDebug::Error(kParseTag, "could not parse disk filename: [%s]", uri.c_str());
        return false;
    }
    std::string suffix;
    if (!_GetBlobStorageSuffixForAzureEndpoint(suffix)) {
        EvDebug::Error(kParseTag, "Failed to fetch the BlobStorage suffix for filename: [%s]", uri.c_str());
        return false;
    }
    suffix = "." + suffix;

    // The query never takes part in the path: a "/" inside it must not move the blob name.
    const std::string::size_type queryAt = uri.find('?', p + s);
    const std::string path = uri.substr(0, queryAt);
    const std::string query = queryAt == std::string::npos ? std::string() : uri.substr(queryAt + 1);
    const std::string::size_type accountEnd = path.find(suffix, p + s + 1);
    const std::string::size_type firstSlash = path.find('/', p + s + 1);
    const std::string::size_type lastSlash = path.rfind('/');
    if (accountEnd == std::string::npos || firstSlash == std::string::npos || firstSlash == lastSlash ||
        accountEnd > firstSlash) {
        EvDebug::Error(kParseTag, "could not parse disk filename: [%s]", uri.c_str());
        return false;
    }
    storageAccount = path.substr(p + s, accountEnd - (p + s));
    blobName = path.substr(lastSlash + 1);
    container = path.substr(firstSlash + 1, lastSlash - firstSlash - 1);
    std::replace(container.begin(), container.end(), '/', '\\');

    const std::string::size_type snapAt = query.find("snapshot=");
    if (snapAt != std::string::npos) {
        const std::string::size_type from = snapAt + 9;
        const std::string::size_type amp = query.find('&', from);
        snapshotId = query.substr(from, amp == std::string::npos ? std::string::npos : amp - from);
        std::replace(snapshotId.begin(), snapshotId.end(), ':', '_');
    }
    EvDebug::DebugLvl(kParseTag, 2, "Storage Account [%s]", storageAccount.c_str());
    EvDebug::DebugLvl(kParseTag, 2, "Container [%s]", container.c_str());
    EvDebug::DebugLvl(kParseTag, 2, "Disk Name [%s]", blobName.c_str());
    EvDebug::DebugLvl(kParseTag, 2, "Disk SnapshotID [%s]", snapshotId.c_str());
    return true;
}

bool CAzureInfo::_GetBlobStorageSuffixForAzureEndpoint(std::string& suffix) {
    std::string region;
    NXPlatformInfo::getString("VirtualServer", "AzureRegion", &region);
    if (region.empty()) region = "Global";
    if (!sdk->GetBlobStorageSuffixForAzureEndpoint(region, suffix)) {
        EvDebug::Error(kSuffixTag, "Failed to fetch the BlobStorage suffix for Azure Endpoint [%s]", region.c_str());
        return false;
    }
    EvDebug::Debug(kSuffixTag, "Azure Endpoint [%s], Storage URL suffix [%s]", region.c_str(), suffix.c_str());
    return true;
}
