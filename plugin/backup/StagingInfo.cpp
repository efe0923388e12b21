// Disk-map records of a VM's disks: look-up by source URI and release at the end of a job.
#include "plugin/frame/AzureInfo.h"

namespace {

using DiskMap = std::map<std::string, SAzureDiskInfo>;

// The first record, in key order, made for the disk with this source URI.
DiskMap::iterator FindBySourceUri(DiskMap& diskMap, const std::string& url) {
    for (auto entry = diskMap.begin(); entry != diskMap.end(); ++entry)
        if (entry->second.sourceUri == url) return entry;
    return diskMap.end();
}

// The record a backup mount made for this disk. Opening a managed disk points the record's source
// URI at its snapshot's access URL, so such a record is also found by the snapshot it reads; records
// of restored disks have no source URI and are never matched.
DiskMap::iterator FindMountRecord(DiskMap& diskMap, const SDisk& disk) {
    auto entry = FindBySourceUri(diskMap, disk.uri);
    if (entry != diskMap.end() || disk.managedDiskId.empty()) return entry;
    for (entry = diskMap.begin(); entry != diskMap.end(); ++entry) {
        const SAzureDiskInfo& record = entry->second;
        if (record.isManaged && !record.sourceUri.empty() && record.snapshotId == disk.managedDiskId) return entry;
    }
    return entry;
}

}  // namespace

bool CAzureInfo::GetDiskInfoByUrl(const std::string& url, SAzureDiskInfo& out) {
    const auto entry = FindBySourceUri(diskMap, url);
    if (entry == diskMap.end()) return false;
    out = entry->second;
    return true;
}

// The record is dropped under its own key: the URL it reads from (a staging blob, or a
// snapshot's access URL once the disk was opened) is usually not the key it was stored under.
void CAzureInfo::CleanupStagingInfoForVM(const std::vector<SDisk>& disks) {
    for (const SDisk& disk : disks) {
        if (disk.type == 0) continue;
        const auto entry = FindMountRecord(diskMap, disk);
        if (entry == diskMap.end()) continue;
        if (entry->second.readsStagingBlob) sdk->CleanupStagingBlobs(entry->second.dataUrl);
        diskMap.erase(entry);
    }
}
