// Creating a VM from the body of a create-or-update that names a VM not there yet: its OS and
// data disks attached (managed disks by "managedDisk.id", page blobs by "vhd.uri"), its network
// interfaces by id, checked against the rules the cloud enforces before it creates anything.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "azsim/arm/VmUpdates.h"
#include "azsim/model/StateDocument.h"

namespace azsim {

// Adds VM `name` of `group` (a group of `doc`) as `body` describes it, running: location, size, zones,
// generation, disks (one OS disk, data-disk slots and LUNs, the kind fits, each exists, is free and
// not being uploaded, premium where the size takes it), then network interfaces (count, each exists
// and no other VM holds it or its address). A refused VM leaves the document as it was. A VM tagged
// "createdByJob" gets the record of a deployment listing it and what that job made for it.
VmRefusal CreateVm(StateDocument& doc, const PageBlobStore& blobs, const ResourceGroup& group,
                   const std::string& name, const nlohmann::json& body);

}  // namespace azsim
