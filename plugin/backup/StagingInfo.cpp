// Disk-map records of a VM's disks: look-up by source URI and release at the end of a job.
#include "plugin/frame/AzureInfo.h"

bool CAzureInfo::GetDiskInfoByUrl(const std::string& url, SAzureDiskInfo& out) {
    for (const auto& entry : diskMap) {
        if (entry.second.sourceUri != url) continue;
        out = entry.second;
        return true;
    }
    return false;
}

void CAzureInfo::CleanupStagingInfoForVM(const std::vector<SDisk>& disks) {
    for (const SDisk& disk : disks) {
        if (disk.type == 0) continue;
        SAzureDiskInfo info;
        if (!GetDiskInfoByUrl(disk.uri, info)) continue;
        diskMap.erase(info.dataUrl);
        if (info.readsStagingBlob) sdk->CleanupStagingBlobs(info.dataUrl);
    }
}
