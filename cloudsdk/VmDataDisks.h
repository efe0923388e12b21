// A VM's data disks in Resource Manager's form, as the wrapper changes them: the VM is read, its
// "storageProfile.dataDisks" changed and the whole body put back.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "plugin/frame/records/Records.h"

namespace AzureSDKCppBridge {

// The resource id of VM `name` in `group`.
std::string VmResourceId(const std::string& subscription, const std::string& group, const std::string& name);

// Whether the VM (its JSON) has managed disks rather than page blobs.
bool HasManagedDisks(const nlohmann::json& vm);

// The data-disk entry for a record's disk at its LUN (unitNumber): a managed disk by id, else a page
// blob by URL (see BlobUrlOfEntry, on the blob host of the VM's OS disk).
nlohmann::json DataDiskOf(const nlohmann::json& vm, const VMInfoStructs::SDisk& entry);

// The URL of the page blob a disk entry names: its own URL, else "account" or "account\container"
// (container "vhds" when absent) with the entry's name as the blob, on the blob host suffix of
// `likeUrl`, a blob URL of the same cloud. Empty when the entry names no blob.
std::string BlobUrlOfEntry(const VMInfoStructs::SDisk& entry, const std::string& likeUrl);

}  // namespace AzureSDKCppBridge
