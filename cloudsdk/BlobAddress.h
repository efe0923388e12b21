// Where the page blob a disk record names lives, in the forms callers give it.
#pragma once

#include <optional>
#include <string>

#include "azsim/model/StateDocument.h"
#include "cloudsdk/rest/BlobClient.h"
#include "plugin/frame/records/Records.h"

namespace AzureSDKCppBridge {

// The page blob of `disk`: the blob its `uri` is the URL of, else the blob `name` in `storageAccount`
// given as "account" or "account\container" (container "vhds" when absent), with the account's name
// as the subscription spells it. None when the record names no blob.
std::optional<azsim::BlobKey> PageBlobOf(const azsim::StateDocument& doc, const VMInfoStructs::SDisk& disk);

// A page blob as the Blob service addresses it: its URL, its container's URL and its name (unescaped).
struct BlobAddress {
    std::string url;
    std::string containerUrl;
    std::string name;
};

// The page blob of `disk`, read as PageBlobOf reads it, on `blob`'s endpoint; none, with why in
// `error`, when the record names no blob.
std::optional<BlobAddress> BlobAddressOf(const rest::BlobClient& blob, const VMInfoStructs::SDisk& disk,
                                         std::string& error);

}  // namespace AzureSDKCppBridge
