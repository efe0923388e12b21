// A VM record's disk entries as the subscription's state resolves them: the
// page blob an entry names, and the managed disk a page blob is imported into.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "azsim/model/StateDocument.h"
#include "plugin/frame/records/Records.h"

namespace AzureSDKCppBridge {

// One entry of the VM record's disk list and the resource it names.
struct DeploymentDisk {
    const VMInfoStructs::SDisk* entry = nullptr;
    bool managed = false;                      // named by managed-disk id (a direct-upload disk)
    const azsim::ManagedDisk* disk = nullptr;  // that disk, when it exists
    azsim::BlobKey blob;                       // a page-blob disk: the blob the entry names
    bool blobExists = false;
    std::uint64_t blobBytes = 0;
    const azsim::StorageAccount* account = nullptr;
    std::string naming;  // what is wrong with how the entry names its disk, empty when nothing
    bool import = false;  // a page blob that becomes a new managed disk
};

// The page blob a disk entry names: its URL, or "account" / "account\container" (container
// "vhds" when absent) with the entry's name as the blob. Nothing, with `error` set, when it names none.
std::optional<azsim::BlobKey> PageBlobOfEntry(const VMInfoStructs::SDisk& entry, std::string& error);

// The name of the managed disk a deployment imports a page blob into: the blob's name without ".vhd".
std::string ImportedDiskName(const azsim::BlobKey& blob);

}  // namespace AzureSDKCppBridge
