// Tags and names with which the SDK wrapper marks the snapshots it takes for backups.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "cloudsdk/rest/ArmClient.h"
#include "cloudsdk/rest/BlobClient.h"
#include "host/log/JobIdentity.h"
#include "plugin/frame/records/Records.h"

namespace AzureSDKCppBridge {

constexpr const char* kSetGuidTag = "QD_SNAPSHOT_GUID";
constexpr const char* kJobTag = "QD_JOB_TAG";
constexpr const char* kAppIdTag = "QD_APP_ID";
// Tags (blob metadata for page blobs) naming the VM a set was taken of, by which the set's VM is
// known from its snapshots alone.
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

// What a new snapshot set records of its origin; extraTags are added to every snapshot's tags, and
// `marker` (the kind of the set) to every managed snapshot's name and every snapshot's tags.
struct SnapshotSetRequest {
    std::string vmName;
    std::string resourceGroup;
    NXJobID jobTag = 0;
    std::uint32_t appId = 0;
    std::map<std::string, std::string> extraTags;
    const char* marker = kBackupSnapshotMarker;
    std::string vmGuid;  // the VM's, when known
};

// Snapshots every disk as one set, all or none: managed disks over Resource Manager, page blobs over
// the Blob service; every snapshot carries the set's GUID, kind and VM as tags (blob metadata). Returns
// the set's GUID; `snapshotDisks` name the snapshots. Throws OperationFailure.
std::string TakeSnapshotSet(rest::ArmClient& arm, rest::BlobClient& blob,
                            const std::vector<VMInfoStructs::SDisk>& disks, const SnapshotSetRequest& request,
                            std::vector<VMInfoStructs::SDisk>& snapshotDisks);

}  // namespace AzureSDKCppBridge
