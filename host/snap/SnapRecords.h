// Records of the snapshot-metadata utility. A job's snapshot-engine state
// lives in one SMVolSnapInfo: one volume per VM to snap (with the ids of the
// job it belongs to and its archive file), the snapshots the engine took, and
// the map from volumes to their snapshots. The utility persists it per job so
// that a later process (a copy job, a revert) can load it again.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/predicate.hpp>

#include "host/log/JobIdentity.h"
#include "plugin/frame/records/VMInfoStructs.h"

// Snap status of a snapshot that was taken.
constexpr std::int32_t SM_SNAP_STATUS_SUCCESS = 5;
// Snap status of a snapshot the engine could not take (its error code says why).
constexpr std::int32_t SM_SNAP_STATUS_FAILED = 6;
// Action flag: the job succeeds when part of its volumes were snapped.
constexpr std::uint64_t VOLSNAP_ACTIONFLAGS_PARTIAL_SNAP = 0x400000000ULL;
// Transient metadata item: comma-separated URIs of the VM's filtered disks.
constexpr std::uint32_t SM_TRANSIENT_FILTERED_DISKS = 162;

struct SMSnapInfo {
    std::uint32_t snapId = 0;             // unique within its SMVolSnapInfo, from 1
    std::string uniqueIdentifier;         // the cloud's snapshot-set GUID
    std::int32_t status = 0;              // SM_SNAP_STATUS_*
    std::int32_t errorCode = 0;           // why a failed snapshot failed
    std::string errorText;
    std::int64_t createdAt = 0;           // seconds since the epoch
};

struct SMVolumeInfo {
    std::uint32_t volumeId = 0;           // given by SMVolSnapInfo::addVolume, from 1
    std::string sourcePath;               // the VM's storage account
    std::string sourceGuid;               // the VM's GUID
    std::string sourceDevice;             // the VM's name
    NXJobID jobId = 0;
    NXJobID masterJobId = 0;              // the parent job of a VM-centric child job
    std::uint32_t orbitId = 0;
    std::uint32_t appId = 0;
    std::uint32_t appTypeId = 0;
    std::uint32_t originClientId = 0;
    std::uint32_t sourceClientId = 0;
    std::uint64_t volumeFlags = 0;
    std::uint32_t archiveFileId = 0;      // 0: none could be created
    std::string serverCredentials;
    std::int32_t hypervisorType = 0;
    std::uint32_t arrayNum = 0;
    std::map<std::uint32_t, std::string> transientMetadata;
};

struct SMVolSnapMapInfo {
    std::uint32_t volumeId = 0;
    std::uint32_t snapId = 0;
};

class SMVolSnapInfo {
public:
    NXJobID jobId = 0;
    std::uint32_t arrayNum = 0;
    std::vector<SMVolumeInfo> volumes;
    std::vector<SMSnapInfo> snaps;
    std::vector<SMVolSnapMapInfo> volSnapMap;

    // Adds count copies of volume (each with a fresh volume id); returns the index of the first.
    int addVolume(const SMVolumeInfo& volume, int count);
    // Records a snapshot of the volume at volumeIndex (a fresh snap id and its map entry); returns the snap id.
    std::uint32_t addSnap(int volumeIndex, SMSnapInfo snap);
    // Number of snapshots that were taken (status success).
    std::size_t numOfSnap() const;
    std::uint64_t getSnapActionFlagsEx() const { return snapActionFlags_; }
    void setSnapActionFlagsEx(std::uint64_t flags) { snapActionFlags_ = flags; }
    // Per-volume settings by the index addVolume gave; an index out of range changes nothing and returns false.
    bool setServerCredentials(int index, const std::string& credentials);
    bool setHypervisorType(int index, std::int32_t type);
    bool setArrayNum(int index, std::uint32_t arrayNum);
    // Sets item key of count volumes from index on.
    bool updateTransientMetadata(int index, int count, std::uint32_t key, const std::string& text);

private:
    std::uint64_t snapActionFlags_ = 0;
};

// VM records by GUID, GUIDs compared without regard to case.
struct NoCaseHash {
    std::size_t operator()(const std::string& key) const {
        return std::hash<std::string>()(boost::algorithm::to_lower_copy(key));
    }
};
struct NoCaseEqual {
    bool operator()(const std::string& a, const std::string& b) const { return boost::algorithm::iequals(a, b); }
};
using SnapVMInfoMap = std::unordered_map<std::string, VMInfoStructs::SVMInfo, NoCaseHash, NoCaseEqual>;
