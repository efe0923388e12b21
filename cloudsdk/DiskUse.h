// Who uses a disk, and forgetting a page blob, as the wrapper's disk, deployment
// and VM operations see them in the subscription's state document.
#pragma once

#include "azsim/model/StateDocument.h"

namespace AzureSDKCppBridge {

// Account and container names are case-insensitive in the service; blob names are not.
bool SameBlob(const azsim::BlobKey& a, const azsim::BlobKey& b);
// The VM that has the page blob as one of its disks, if any: such a blob is leased by the VM.
const azsim::VirtualMachine* VmLeasingBlob(const azsim::StateDocument& doc, const azsim::BlobKey& key);
// The VM a managed disk is attached to, if any.
const azsim::VirtualMachine* VmUsingDisk(const azsim::StateDocument& doc, const azsim::ManagedDisk& disk);
// Whether a managed snapshot still reads the disk's data, which must then outlive the disk.
bool DiskDataSnapshotted(const azsim::StateDocument& doc, const azsim::ManagedDisk& disk);
// Drops the document's records of a page blob: its disk record, its blob snapshots, and the
// snapshot-set members naming them (sets left empty go too). The blob's data is the caller's.
void ForgetPageBlob(azsim::StateDocument& doc, const azsim::BlobKey& key);

}  // namespace AzureSDKCppBridge
