// Keeping a VM's backup snapshots within bounds: the expiry sweep and the snapshot-count limit.
#include "host/settings/NXPlatformInfo.h"
#include "plugin/frame/AzureInfo.h"

namespace {

const char* const kExpireAndCheckTag =
    "bool CAzureInfo::ExpireAndCheckStreamingSnapshotLimits(const string&, const string&, const string&, const "
    "std::vector<std::basic_string<char> >&, bool&)";
const char* const kDeleteExpiredTag =
    "bool CAzureInfo::DeleteExpiredSnapshots(const string&, const string&, const std::vector<std::basic_string<char> "
    ">&)";
const char* const kLimitTag = "bool CAzureInfo::CheckVMBackupSnapshotLimit(const string&, const string&, bool&)";

}  // namespace

bool CAzureInfo::ExpireAndCheckStreamingSnapshotLimits(const std::string& hostName, const std::string& vmName,
                                                       const std::string& vmGuid,
                                                       const std::vector<std::string>& keepSnapshots, bool& atLimit) {
    bool skipDelete = false;
    NXPlatformInfo::getBoolean("VirtualServer", "bSkipDeleteSnapshotsForAzure", &skipDelete);
    if (skipDelete)
        EvDebug::Debug(kExpireAndCheckTag,
                       "Skipping deleting of expired snapshots due to registry override for VM [%s]", vmName.c_str());
    else if (!DeleteExpiredSnapshots(hostName, vmName, keepSnapshots))
        EvDebug::Error(kExpireAndCheckTag, "Failed to remove expired snapshots from VM [%s]", vmName.c_str());
    if (!CheckVMBackupSnapshotLimit(vmName, vmGuid, atLimit))
        EvDebug::Error(kExpireAndCheckTag, "Failed to check VM snapshot limit for VM VM [%s]", vmName.c_str());
    return true;
}

bool CAzureInfo::DeleteExpiredSnapshots(const std::string& hostName, const std::string& vmName,
                                        const std::vector<std::string>& keepSnapshots) {
    EvDebug::Debug(kDeleteExpiredTag, "Deleting Expired Snapshots...");
    unsigned long hours = 48;
    NXPlatformInfo::getNumber("VirtualServer", "nExpireSnapshotHours", &hours);
    if (hours == 0) hours = 2 * 24;
    EvDebug::Debug(kDeleteExpiredTag, "nSnapshotExpiryInHours [%lu]", hours);
    return sdk->DeleteExpiredSnapshots(hostName, vmName, hours, keepSnapshots);
}

bool CAzureInfo::CheckVMBackupSnapshotLimit(const std::string& vmName, const std::string& vmGuid, bool& atLimit) {
    atLimit = false;
    unsigned long limit = 10;
    NXPlatformInfo::getNumber("VirtualServer", "nBackupSnapshotLimit", &limit);
    if (limit == 0) return false;
    int count = 0;
    bool ok = sdk->GetVMSnapshotCount(vmName, vmGuid, "", count);
    if (static_cast<std::int32_t>(limit) <= count) {
        EvDebug::Error(kLimitTag, "There are [%d] existing backup snapshots for VM [%s], limit is [%lu]", count,
                       vmName.c_str(), limit);
        atLimit = true;
    }
    return ok;
}
