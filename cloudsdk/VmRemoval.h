// Removing a VM from the subscription's state with the components a caller names.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "azsim/model/StateDocument.h"

namespace AzureSDKCppBridge {

struct VmRemoval {
    bool disks = false;    // its managed disks, or the page blobs of an unmanaged VM
    bool network = false;  // its network interfaces and their public IP addresses
    // When set, only components carrying this job's "createdByJob" tag go; the others are detached.
    std::optional<std::string> onlyJob;
};

// Removes the VM whose GUID is `guid` from the document with what `what` names; components it
// keeps are detached. Returns the blobs whose data the caller deletes once the document is saved.
std::vector<azsim::BlobKey> RemoveVm(azsim::StateDocument& doc, const std::string& guid, const VmRemoval& what);

// Removes a managed disk's record; returns its blob when no snapshot still reads the data.
std::optional<azsim::BlobKey> RemoveManagedDisk(azsim::StateDocument& doc, const std::string& id);

// Deletes blob data after the document that forgot it was saved.
void DeleteBlobData(const azsim::PageBlobStore& root, const std::vector<azsim::BlobKey>& blobs);

}  // namespace AzureSDKCppBridge
