// Changes of an existing VM: the body of a create-or-update (its size, tags and data
// disks; page blobs must exist in `blobs`) checked against the rules the cloud enforces, and its deletion.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "azsim/model/StateDocument.h"

namespace azsim {

// Why the cloud refuses a change: an HTTP status with Azure's error code and message; status 0 when it does not.
struct VmRefusal {
    int status = 0;
    std::string code;
    std::string message;
};

// The VM that has the disk `id` (a managed disk's id, or a page blob's URI) attached, if any.
const VirtualMachine* VmHoldingDisk(const StateDocument& doc, const std::string& id);

// The text at entry[object][field], or null when there is none.
const std::string* TextAt(const nlohmann::json& entry, const char* object, const char* field);

// Applies what `body` asks of `vm`, a VM of `doc`: "hardwareProfile.vmSize", "tags" and the complete
// list "storageProfile.dataDisks" (managed disks by "managedDisk.id", page blobs by "vhd.uri"); a part
// the body leaves out stays as it is. Every rule is checked before anything changes: a refused
// update leaves the document as it was.
VmRefusal UpdateVm(StateDocument& doc, const PageBlobStore& blobs, VirtualMachine& vm, const nlohmann::json& body);

// Removes the VM named `name` in `group`. Its disks, network interfaces and public addresses stay,
// detached from it.
void RemoveVmKeepingComponents(StateDocument& doc, const std::string& name, const std::string& group);

}  // namespace azsim
