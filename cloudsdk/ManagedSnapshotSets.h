// Snapshot sets of managed disks as Resource Manager holds them: the snapshots that carry one set's
// GUID in their tags. They are taken, found and deleted over the REST protocol.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cloudsdk/rest/ArmClient.h"
#include "plugin/frame/records/Records.h"

namespace AzureSDKCppBridge {

// The resource group a resource id names; empty when it names none.
std::string GroupOfId(const std::string& id);
// The value of a tag of a resource as Resource Manager answers it; empty when it has none.
std::string TagOf(const nlohmann::json& resource, const char* name);

// One set: its GUID and the JSON of its snapshots (a blob snapshot's in the same shape: its URL as
// "id", its metadata as "tags", its snapshot id as "properties.timeCreated").
struct CloudSet {
    std::string guid;
    std::vector<nlohmann::json> snapshots;

    // Taken of that VM, by the VM tags: by GUID when one is given, else by name.
    bool ofVm(const std::string& vmName, const std::string& vmGuid) const;
    // In that resource group of its VM; any group when none is named.
    bool inVmGroup(const std::string& group) const;
    // A VM snapshot taken on request: its snapshots carry the mark of the job that made them.
    bool takenOnRequest() const;
    // Whether `reference` is the set's GUID or the resource id of one of its snapshots.
    bool namedBy(const std::string& reference) const;
    // When the set was taken: its earliest snapshot's creation (seconds since the epoch).
    long long createdAt() const;
};

// Adds a snapshot to the set of the GUID it carries in `sets`; one that carries none is left out.
void AddToSets(const nlohmann::json& snapshot, std::vector<CloudSet>& sets);
// Every managed snapshot set of the subscription, in `sets`; fails as the snapshot list does.
rest::ArmResult ReadManagedSets(rest::ArmClient& arm, std::vector<CloudSet>& sets);
// The set of GUID `guid` (any case), or null.
const CloudSet* FindSet(const std::vector<CloudSet>& sets, const std::string& guid);
// Deletes every snapshot of the set; a snapshot already gone is no failure.
rest::ArmResult DeleteManagedSet(rest::ArmClient& arm, const CloudSet& set);

// Snapshots every managed disk as one set named by `tags` (its GUID and marker among them), all
// or none: on a failure the snapshots this call made are deleted again and OperationFailure is
// thrown. Returns the disks rewritten to name their snapshots.
std::vector<VMInfoStructs::SDisk> TakeManagedSet(rest::ArmClient& arm, const std::vector<VMInfoStructs::SDisk>& disks,
                                                 const std::map<std::string, std::string>& tags, long long now);

}  // namespace AzureSDKCppBridge
