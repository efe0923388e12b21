// Resource Manager's JSON shape of a managed snapshot, and the snapshot sets
// its tags gather: the snapshots taken together for one VM carry the set's
// GUID, and the set's record in the subscription follows their creation and
// deletion.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "azsim/model/StateDocument.h"

namespace azsim {

// Tags a snapshot set is read from.
constexpr const char* kSnapshotSetGuidTag = "QD_SNAPSHOT_GUID";
constexpr const char* kSnapshotJobTag = "QD_JOB_TAG";
constexpr const char* kSnapshotAppIdTag = "QD_APP_ID";
constexpr const char* kSnapshotVmNameTag = "QD_VM_NAME";
constexpr const char* kSnapshotVmGuidTag = "QD_VM_GUID";
constexpr const char* kSnapshotVmGroupTag = "QD_VM_RESOURCE_GROUP";

// The snapshot as GET answers it; `source` is the disk it was taken of, when it still exists.
nlohmann::json SnapshotJson(const ManagedSnapshot& snap, const ManagedDisk* source);

// Adds a new snapshot (`member`: a managed snapshot's id or a blob snapshot's URI) to the set its
// tags (or blob metadata) name, recording the set when it is the first member; `group` is the set's
// resource group when the tags name none.
void JoinSnapshotSet(StateDocument& doc, const std::string& member, const Tags& tags, const std::string& group,
                     std::int64_t createdAt);
// Removes a snapshot from every set; a set it was the last member of goes.
void LeaveSnapshotSets(StateDocument& doc, const std::string& snapshotId);

}  // namespace azsim
