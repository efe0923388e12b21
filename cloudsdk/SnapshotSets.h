// Tags and names with which the SDK wrapper marks the snapshots it takes for backups.
#pragma once

#include <string>

namespace AzureSDKCppBridge {

constexpr const char* kSetGuidTag = "QD_SNAPSHOT_GUID";
constexpr const char* kJobTag = "QD_JOB_TAG";
constexpr const char* kAppIdTag = "QD_APP_ID";
// Marker in the names of backup snapshots of managed disks.
constexpr const char* kBackupSnapshotMarker = "_QDMD_";
// Marker in the names of snapshots kept by snapshot-engine jobs.
constexpr const char* kSnapEngineSnapshotMarker = "_ORVALENTA_QDMD_SNAP_";

// "<disk>_QDMD_<UTC yyyymmddHHMMSS>-<first 8 digits of the set GUID>".
std::string BackupSnapshotName(const std::string& diskName, long long createdAt, const std::string& setGuid);

}  // namespace AzureSDKCppBridge
