// Where the page blob a disk record names lives, in the forms callers give it.
#pragma once

#include <optional>
#include <string>

#include "cloudsdk/rest/BlobClient.h"
#include "plugin/frame/records/Records.h"

namespace AzureSDKCppBridge {

// A page blob as the Blob service addresses it: its URL, its container's URL and its name (unescaped).
struct BlobAddress {
    std::string url;
    std::string containerUrl;
    std::string name;
};

// The page blob of `disk` on `blob`'s endpoint: the blob its `uri` is the URL of, else the blob `name`
// in `storageAccount` given as "account" or "account\container" (container "vhds" when absent); none,
// with why in `error`, when the record names no blob.
std::optional<BlobAddress> BlobAddressOf(const rest::BlobClient& blob, const VMInfoStructs::SDisk& disk,
                                         std::string& error);

}  // namespace AzureSDKCppBridge
