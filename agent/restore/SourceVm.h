// What a restore needs to know of the VM a backup was taken from, read from the
// VM description the backup kept ("<vm>.json" among the job's files): its size,
// generation, zones, whether its disks were managed, where an unmanaged VM kept
// them, and which disks were encrypted. The description comes from outside the
// agent, so every value used is checked; anything else in it is left alone.
#pragma once

#include <map>
#include <string>

namespace vsagent {

struct SourceVm {
    std::string name;
    std::string subscriptionId;     // from the description's resource id; may be empty
    std::string size;               // e.g. "Standard_D2s_v3"
    std::string region;
    std::string zones;              // comma-separated; empty = none
    bool generation2 = false;
    bool managed = true;
    std::string storageAccount;     // account of an unmanaged VM's OS disk; empty for a managed VM
    std::map<int, bool> encrypted;  // by LUN, the OS disk under -1

    bool diskEncrypted(int lun, bool osDisk) const;

    // Throws StoreError naming the field when `text` is not a VM description this code can use.
    static SourceVm Parse(const std::string& text);
};

}  // namespace vsagent
