// Tags and names with which the SDK wrapper marks the snapshots it takes for backups.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "azsim/model/StateDocument.h"
#include "cloudsdk/rest/ArmClient.h"
#include "host/log/JobIdentity.h"
#include "plugin/frame/records/Records.h"

namespace AzureSDKCppBridge {

constexpr const char* kSetGuidTag = "QD_SNAPSHOT_GUID";
constexpr const char* kJobTag = "QD_JOB_TAG";
constexpr const char* kAppIdTag = "QD_APP_ID";
// Tags of managed snapshots naming the VM their set was taken of, by which the set's VM is known
// from the snapshots alone.
constexpr const char* kVmNameTag = "QD_VM_NAME";
constexpr const char* kVmGuidTag = "QD_VM_GUID";
constexpr const char* kVmGroupTag = "QD_VM_RESOURCE_GROUP";
// Tag (blob metadata for page blobs) holding the marker of the snapshot's kind, one of the two below.
constexpr const char* kMarkerTag = "QD_SNAPSHOT_MARKER";
// Marker in the names of backup snapshots of managed disks.
constexpr const char* kBackupSnapshotMarker = "_QDMD_";
// Marker in the names of snapshots kept by snapshot-engine jobs.
constexpr const char* kSnapEngineSnapshotMarker = "_ORVALENTA_QDMD_SNAP_";
// Marker of integrity snapshots: blob snapshots taken of page blobs for no VM (a set without a VM name),
// which keep a replica's point of consistency between runs.
constexpr const char* kIntegritySnapshotMarker = "_INTEGRITY_";

// "<disk><marker><UTC yyyymmddHHMMSS>-<first 8 digits of the set GUID>".
std::string SnapshotName(const std::string& diskName, const std::string& marker, long long createdAt,
                         const std::string& setGuid);
// Whether `marked` (a managed snapshot's name, or a blob snapshot's marker tag) marks a snapshot of the
// snapshot engine (snapEngine set) or of a backup. The engine's marker holds the backup's, so a backup's
// snapshot is one marked with the backup's marker and not with the engine's.
bool MarkedAs(const std::string& marked, bool snapEngine);
// Whether the tags carry the set GUID `guid` (compared case-insensitively).
bool CarriesSetGuid(const azsim::Tags& tags, const std::string& guid);

// What a new snapshot set records of its origin; extraTags are added to every snapshot's tags, and
// `marker` (the kind of the set) to every managed snapshot's name and every snapshot's tags.
struct SnapshotSetRequest {
    std::string vmName;
    std::string resourceGroup;
    NXJobID jobTag = 0;
    std::uint32_t appId = 0;
    azsim::Tags extraTags;
    const char* marker = kBackupSnapshotMarker;
    std::string vmGuid;  // the VM's, when known
};

// The tags every snapshot of a new set of GUID `guid` carries.
azsim::Tags SetTags(const std::string& guid, const SnapshotSetRequest& request);
// Whether a set's member is a managed snapshot (a resource id) rather than a page-blob snapshot (a URI).
bool IsManagedMember(const std::string& member);

// Inside a change of the document: snapshots every page blob as one set, all or none, and records
// the set. Returns its GUID; `snapshotDisks` name the snapshots.
std::string TakeSnapshotSet(azsim::StateDocument& doc, azsim::PageBlobStore& store,
                            const std::vector<VMInfoStructs::SDisk>& disks, const SnapshotSetRequest& request,
                            std::vector<VMInfoStructs::SDisk>& snapshotDisks);
// Over Resource Manager: snapshots every managed disk as one set, all or none, its snapshots tagged
// with the set and its VM. Returns its GUID; `snapshotDisks` name the snapshots. Throws OperationFailure.
std::string TakeManagedSnapshotSet(rest::ArmClient& arm, const std::vector<VMInfoStructs::SDisk>& disks,
                                   const SnapshotSetRequest& request,
                                   std::vector<VMInfoStructs::SDisk>& snapshotDisks);
// Removes the set with every page-blob member's snapshot and frozen data; no set of that GUID is no change.
void DeleteSnapshotSet(azsim::StateDocument& doc, azsim::PageBlobStore& store, const std::string& guid);
// The set was taken of that VM: by GUID when one is given, else by name.
bool SetBelongsToVm(const azsim::SnapshotSet& set, const std::string& vmName, const std::string& vmGuid);
// Whether a blob snapshot is an integrity snapshot.
bool IsIntegritySnapshot(const azsim::BlobSnapshot& snapshot);
// Inside a change of the document: removes every integrity snapshot of the blob with its frozen data,
// and the set members naming them (sets left empty go too).
void DeleteIntegritySnapshots(azsim::StateDocument& doc, azsim::PageBlobStore& store, const azsim::BlobKey& blob);
// Sets of integrity snapshots taken of the page blobs of an unmanaged VM.
int CountIntegritySets(const azsim::StateDocument& doc, const azsim::VirtualMachine& vm);
// Whether a set of page-blob snapshots is a VM snapshot taken on request: its snapshots carry the
// mark of the job that made them, which backup snapshot sets do not.
bool TakenOnRequest(const azsim::StateDocument& doc, const azsim::SnapshotSet& set);

}  // namespace AzureSDKCppBridge
