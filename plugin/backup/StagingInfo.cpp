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
        const auto entry = FindBySourceUri(diskMap, disk.uri);
        if (entry == diskMap.end()) continue;
        if (entry->second.readsStagingBlob) sdk->CleanupStagingBlobs(entry->second.dataUrl);
        diskMap.erase(entry);
    }
}
