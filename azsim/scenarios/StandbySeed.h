// What a replication to a standby VM leaves in a subscription when the standby is kept as
// page blobs only: a copy of each disk of a source VM as a page blob in the "vhds" container
// of a storage account, tagged with its replication GUID, an integrity snapshot of each, and
// the configuration blob from which the standby VM is deployed at failover.
#pragma once

#include <string>
#include <vector>

#include "azsim/model/SubscriptionState.h"

namespace azsim {

struct StandbyRequest {
    std::string sourceVm;       // the VM whose disks the standby copies
    std::string vmName;         // the standby VM's name
    std::string resourceGroup;  // the standby's resource group (must exist)
    std::string storageAccount; // where its blobs and configuration go (must exist)
};

struct SeededStandby {
    std::vector<BlobKey> blobs;  // OS disk first, then the data disks by LUN
    std::string snapshotSet;     // GUID of the integrity snapshot set
    BlobKey configuration;
};

// Seeds the standby; throws azsim::Error when a named resource is missing or a blob of the
// standby's names already exists. Blob names: "<group>-<vm>.vhd" for the OS disk and
// "<group>-<vm>-<n>.vhd" for the n-th further disk; configuration "<group>-<vm>.json" in lower case.
SeededStandby SeedStandby(const SubscriptionState& state, const StandbyRequest& request);

}  // namespace azsim
