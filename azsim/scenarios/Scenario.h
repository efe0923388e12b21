// Scenarios seed a new simulated subscription.
//
// A scenario is a state document (see StateDocument) whose "vms" carry their
// disks inline instead of by id:
//   "disks": [{"name": "web01-os", "sizeMiB": 512 | "sizeBytes": N, "sku": "Premium_LRS",
//              "lun": 0, "tags": {...}, "zones": "1", "storageAccount": "acct" (unmanaged VMs),
//              "content": [ContentFill, ...]}, ...]
// The first disk is the OS disk. Seeding creates the managed disk resources (with
// their internal blobs) or the page blobs in the account's "vhds" container, writes
// the content and fills ids left empty (VM GUIDs, network ids, NIC subnet ids given
// as "subnet" names).
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "azsim/model/StateDocument.h"

namespace azsim {

// Creates state.json and the blob data of a new subscription in `stateDir`.
// Throws azsim::Error when the folder already holds a subscription, the scenario is
// malformed or refers to a missing group, region or storage account.
StateDocument InitState(const std::string& stateDir, const nlohmann::json& scenario);

// The default demo scenario: several groups and regions, managed and unmanaged VMs
// of both generations, an encrypted VM and one with an Ultra SSD disk.
nlohmann::json DemoScenario();

}  // namespace azsim
