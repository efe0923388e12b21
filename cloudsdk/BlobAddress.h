// Where the page blob a disk record names lives, in the forms callers give it.
#pragma once

#include <optional>

#include "azsim/model/StateDocument.h"
#include "plugin/frame/records/Records.h"

namespace AzureSDKCppBridge {

// The page blob of `disk`: the blob its `uri` is the URL of, else the blob `name` in `storageAccount`
// given as "account" or "account\container" (container "vhds" when absent), with the account's name
// as the subscription spells it. None when the record names no blob.
std::optional<azsim::BlobKey> PageBlobOf(const azsim::StateDocument& doc, const VMInfoStructs::SDisk& disk);

}  // namespace AzureSDKCppBridge
