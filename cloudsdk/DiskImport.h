// Importing a staged page blob into a new managed disk, as a managed VM needs
// its disks: what a restore deployment and an attach to an existing VM share.
#pragma once

#include <string>

#include "azsim/model/StateDocument.h"
#include "cloudsdk/DeploymentRequest.h"

namespace AzureSDKCppBridge {

// The managed disk a checked page-blob entry `d` becomes for `vm`: named after the blob without
// ".vhd", in the VM's group, region and zones, premium when the blob's account is, tagged `tags`,
// attached, its source the blob's URL; an OS disk takes the VM's OS type and firmware. Copies the
// blob's data into the disk's own blob; the caller adds the record to the document and deletes that
// data again when the document is not saved. Throws OperationFailure when the copy fails.
azsim::ManagedDisk ImportPageBlob(azsim::PageBlobStore& store, const std::string& subscriptionId,
                                  const DeploymentDisk& d, const azsim::VirtualMachine& vm, bool osDisk,
                                  const azsim::Tags& tags, long long now);

}  // namespace AzureSDKCppBridge
