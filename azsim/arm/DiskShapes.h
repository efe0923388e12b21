// Resource Manager's JSON shape of a managed disk, and what a disk's shape
// tells from the rest of the subscription: the VM it is attached to.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "azsim/model/StateDocument.h"

namespace azsim {

// The VM the disk is one of the disks of, if any.
const VirtualMachine* VmWithDisk(const StateDocument& doc, const ManagedDisk& disk);
// "Premium_LRS" -> "Premium", "StandardSSD_LRS" -> "Standard", "UltraSSD_LRS" -> "Ultra".
std::string DiskSkuTier(const std::string& sku);
// The disk as Resource Manager answers it: sku, creation data, size, state and the VM managing it.
nlohmann::json ManagedDiskJson(const StateDocument& doc, const std::string& subscription, const ManagedDisk& disk);

}  // namespace azsim
