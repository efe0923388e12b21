#include "cloudsdk/BlobAddress.h"

#include <curl/curl.h>

namespace AzureSDKCppBridge {

namespace {

std::string Unescaped(const std::string& text) {
    int length = 0;
    char* plain = curl_easy_unescape(nullptr, text.c_str(), static_cast<int>(text.size()), &length);
    std::string out = plain ? std::string(plain, static_cast<std::size_t>(length)) : text;
    curl_free(plain);
    return out;
}

}  // namespace

std::optional<BlobAddress> BlobAddressOf(const rest::BlobClient& blob, const VMInfoStructs::SDisk& disk,
                                         std::string& error) {
    const std::size_t scheme = disk.uri.find("://");
    if (scheme != std::string::npos && (disk.uri.compare(0, scheme, "https") == 0 ||
                                        disk.uri.compare(0, scheme, "http") == 0)) {
        // "scheme://host/container/name": the name is all of the path after the container.
        const std::string url = rest::WithoutQuery(disk.uri);
        const std::size_t container = url.find('/', scheme + 3);
        const std::size_t name = container == std::string::npos ? container : url.find('/', container + 1);
        if (name != std::string::npos && name + 1 < url.size())
            return BlobAddress{url, url.substr(0, name), Unescaped(url.substr(name + 1))};
    }
    // A restored disk's uri may name its staged file, which is no address of the blob.
    const std::size_t slash = disk.storageAccount.find('\\');
    const std::string account = disk.storageAccount.substr(0, slash);
    const std::string container = slash == std::string::npos ? "vhds" : disk.storageAccount.substr(slash + 1);
    if (account.empty() || container.empty() || disk.name.empty()) {
        error = "Disk '" + disk.name + "' names no storage account and blob.";
        return std::nullopt;
    }
    return BlobAddress{blob.url(account, container, disk.name), blob.url(account, container), disk.name};
}

}  // namespace AzureSDKCppBridge
