// Changed extents and change ids: which extents of an open disk a backup reads
// (all allocated pages, or the pages that differ from the previous backup's
// snapshot), and whether a change id still resolves to a snapshot.
#include <vector>

#include "plugin/frame/SlotFailure.h"
#include "plugin/frame/AzureInfo.h"

namespace {

const char* const kExtentsTag =
    "virtual int CAzureInfo::GetVmdkExtents(const VmdkHandle&, const string&, ULONGLONG, SDiskChangeInfo&)";
const char* const kValidateTag =
    "virtual bool CAzureInfo::ValidateChangeId(const string&, const string&, const string&, const string&)";

constexpr const char* kSnapEngineMarker = "_ORVALENTA_QDMD_SNAP_";

std::vector<std::string> SplitAtSlash(const std::string& text) {
    std::vector<std::string> pieces;
    std::string::size_type start = 0;
    for (;;) {
        std::string::size_type slash = text.find('/', start);
        pieces.push_back(text.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
        if (slash == std::string::npos) return pieces;
        start = slash + 1;
    }
}

// Resource group and name of a resource id: segment 4 and the last segment
// (the empty piece before the leading "/" is segment 0).
void ResourceGroupAndName(const std::string& id, std::string& resourceGroup, std::string& name) {
    std::vector<std::string> pieces = SplitAtSlash(id);
    resourceGroup = pieces.size() > 4 ? pieces[4] : std::string();
    name = pieces.back();
}

}  // namespace

int CAzureInfo::GetVmdkExtents(const VmdkHandle& handle, const std::string& changeId, ULONGLONG,
                               SDiskChangeInfo& info) try {
    const char* tag = kExtentsTag;
    const SAzureDiskInfo* disk = handle.diskInfo;
    if (!disk) {
        EvDebug::Error(tag, "Failed to get blob Information from from disk handle");
        return 0;
    }
    std::vector<VMInfoStructs::SectorRange> ranges;
    if (!changeId.empty() && !disk->isManaged) {
        EvDebug::Debug(tag, "Getting Diff Page ranges for URI [%s], Change ID [%s]", disk->sourceUri.c_str(),
                       changeId.c_str());
        std::string snapshotUri;
        if (!GetSnapshotURIForChangeID(disk->sourceUri, changeId, disk->isSnapCopy, snapshotUri)) return 0;
        if (!sdk->GetBlobPageRangesDiff(disk->sourceUri, snapshotUri, ranges)) return 0;
    } else if (!changeId.empty()) {
        EvDebug::Debug(tag, "Getting Diff Page ranges for Managed disk snapshot [%s], Change ID [%s]",
                       disk->snapshotId.c_str(), changeId.c_str());
        std::string previousId;
        if (!_GetManagedDiskSnapshotIDForSnapshotGUID(disk->snapshotId, changeId, previousId, disk->vmResourceGroup))
            return 0;
        std::string currentSas = disk->dataUrl;
        std::string previousSas;
        if (!_GetBlobPageRangesDiffForManagedDiskSnapshots(disk->snapshotId, previousId, currentSas, previousSas,
                                                           ranges))
            return 0;
    } else {
        EvDebug::Debug(tag, "Getting All page ranges for URI [%s]", disk->sourceUri.c_str());
        if (!disk->isManaged) {
            if (!sdk->GetBlobPageRanges(disk->sourceUri, ranges, false)) {
                EvDebug::Error(tag, "Failed to get page ranges for blob URI [%s]", disk->sourceUri.c_str());
                return 0;
            }
        } else {
            std::string::size_type slash = disk->snapshotId.rfind('/');
            const std::string name =
                slash == std::string::npos ? disk->snapshotId : disk->snapshotId.substr(slash + 1);
            if (!sdk->GetBlobPageRanges(disk->sourceUri, disk->resourceGroup, name, ranges, true)) {
                EvDebug::Error(tag, "Failed to get page ranges for disk [%s], Resource Group [%s]", name.c_str(),
                               disk->resourceGroup.c_str());
                return 0;
            }
        }
    }
    for (const VMInfoStructs::SectorRange& range : ranges) {
        SDiskChangeExtent extent;
        extent.start = range.start;
        extent.length = range.end - range.start;
        info.extents.push_back(extent);
    }
    if (!changeId.empty())
        EvDebug::Debug(tag, "There are [%d] changed extents for ChangeID [%s]", static_cast<int>(info.extents.size()),
                       changeId.c_str());
    else
        EvDebug::Debug(tag, "There are [%d] allocated extents", static_cast<int>(info.extents.size()));
    return 1;
} catch (...) {
    FailSlotOnException(*this, kExtentsTag, VMINFO_ERR_DISK_INFO);
    return 0;
}

bool CAzureInfo::ValidateChangeId(const std::string& vmName, const std::string& vmGuid, const std::string& diskPath,
                                  const std::string& changeId) try {
    if (changeId.empty()) {
        EvDebug::Error(kValidateTag, "ChangeID is empty!");
        return false;
    }
    VmdkHandle handle;
    IVMInfo* self = this;
    self->GetVmdkHandle(vmName, vmGuid, diskPath, handle);
    const SAzureDiskInfo& disk = *handle.diskInfo;
    if (disk.isManaged) return _ValidateChangeIDForManagedDiskSnapshot(disk.snapshotId, changeId, disk.vmResourceGroup);
    return _ValidateChangeIdForBlobURI(disk.sourceUri, changeId, disk.isSnapCopy);
} catch (...) {
    FailSlotOnException(*this, kValidateTag, VMINFO_ERR_DISK_INFO);
    return false;
}

bool CAzureInfo::GetSnapshotURIForChangeID(const std::string& blobUri, const std::string& changeId, bool snapBackup,
                                           std::string& snapshotUri) {
    static const char* tag = "bool CAzureInfo::GetSnapshotURIForChangeID(const string&, const string&, bool, string&)";
    EvDebug::DebugLvl(tag, 2, "Blob URI [%s], ChangeID [%s], snapbackup [%s]", blobUri.c_str(), changeId.c_str(),
                      snapBackup ? "TRUE" : "FALSE");
    if (!sdk->GetSnapshotURI(blobUri, changeId, snapBackup, snapshotUri)) {
        EvDebug::Error(tag, "Failed to get Snapshot URI for Blob URI [%s]", blobUri.c_str());
        return false;
    }
    if (snapshotUri.empty()) {
        EvDebug::Error(tag, "There is no valid Snapshot URI for Blob URI [%s] for ChangeID [%s]", blobUri.c_str(),
                       changeId.c_str());
        return false;
    }
    EvDebug::DebugLvl(tag, 2, "Snapshot URI [%s]", snapshotUri.c_str());
    return true;
}

bool CAzureInfo::_GetManagedDiskSnapshotIDForSnapshotGUID(const std::string& current, const std::string& guid,
                                                          std::string& previous, const std::string& fallbackRG) {
    static const char* tag =
        "bool CAzureInfo::_GetManagedDiskSnapshotIDForSnapshotGUID(const string&, const string&, string&, const "
        "string&)";
    EvDebug::DebugLvl(tag, 2, "Current Snapshot ID [%s], GUID [%s]", current.c_str(), guid.c_str());
    const bool marker = current.find(kSnapEngineMarker) != std::string::npos;
    std::string sourceDiskId;
    if (!sdk->GetSourceDiskForSnapshot(current, sourceDiskId)) {
        EvDebug::Error(tag, "Failed to get source disk for snapshot [%s]", current.c_str());
        return false;
    }
    if (sourceDiskId.empty()) {
        EvDebug::Error(tag, "Invalid source disk for snapshot [%s]", current.c_str());
        return false;
    }
    // A full resource id has more than eight pieces; a shorter one names no resource group.
    const std::vector<std::string> pieces = SplitAtSlash(sourceDiskId);
    const std::string diskRG = pieces.size() > 8 ? pieces[4] : std::string();
    std::string found;
    if (sdk->GetManagedDiskSnapshotIDForSnapshotGUID(sourceDiskId, guid, marker, diskRG, found)) {
        if (found.empty()) {
            EvDebug::Error(tag, "There is no valid Snapshot for Disk [%s] with GUID [%s]", sourceDiskId.c_str(),
                           guid.c_str());
            return false;
        }
        EvDebug::DebugLvl(tag, 2, "Snapshot ID [%s]", found.c_str());
        previous = found;
        return true;
    }
    EvDebug::Error(tag, "Failed to get snapshot with GUID [%s] from the disk resource group [%s].", guid.c_str(),
                   diskRG.c_str());
    if (fallbackRG.empty() || boost::algorithm::iequals(fallbackRG, diskRG)) return false;
    if (!sdk->GetManagedDiskSnapshotIDForSnapshotGUID(sourceDiskId, guid, marker, fallbackRG, found)) {
        EvDebug::Error(tag, "Failed to get snapshot with GUID [%s] from fallback resource group [%s]", guid.c_str(),
                       fallbackRG.c_str());
        return false;
    }
    EvDebug::Debug(tag, "Succeeded getting snapshot with GUID [%s] from fallback resource group [%s]", guid.c_str(),
                   fallbackRG.c_str());
    previous = found;
    return true;
}

bool CAzureInfo::_GrantSnapshotAccess(const std::string& snapshotId, const char* which, std::string& sasUrl,
                                      bool& granted) {
    static const char* tag =
        "bool CAzureInfo::_GetBlobPageRangesDiffForManagedDiskSnapshots(const string&, const string&, string&, "
        "string&, std::vector<VMInfoStructs::SectorRange>&)";
    granted = false;
    if (!sasUrl.empty()) {
        EvDebug::Debug(tag, "%s Snapshot [%s] already has a SAS URI [%s]", which, snapshotId.c_str(), sasUrl.c_str());
        return true;
    }
    EvDebug::Debug(tag, "Generating SAS token for Snapshot [%s]", snapshotId.c_str());
    std::string resourceGroup, name;
    ResourceGroupAndName(snapshotId, resourceGroup, name);
    if (!sdk->GetSASTokenURI(resourceGroup, name, sasUrl)) {
        SetLastVMErrorDetails(sdk->GetLastErrorString());
        EvDebug::Error(tag, "Failed to get SAS URI for snapshot [%s]", snapshotId.c_str());
        return false;
    }
    granted = true;
    return true;
}

bool CAzureInfo::_GetBlobPageRangesDiffForManagedDiskSnapshots(const std::string& current,
                                                               const std::string& previous, std::string& currentSas,
                                                               std::string& previousSas,
                                                               std::vector<VMInfoStructs::SectorRange>& ranges) {
    static const char* tag =
        "bool CAzureInfo::_GetBlobPageRangesDiffForManagedDiskSnapshots(const string&, const string&, string&, "
        "string&, std::vector<VMInfoStructs::SectorRange>&)";
    bool currentGranted = false;
    bool previousGranted = false;
    if (!_GrantSnapshotAccess(current, "Current", currentSas, currentGranted)) return false;
    if (!_GrantSnapshotAccess(previous, "Previous", previousSas, previousGranted)) return false;
    if (!sdk->GetBlobPageRangesDiffForManagedDiskURIs(currentSas, previousSas, ranges)) {
        EvDebug::Error(tag, "Failed to get page ranges diff for snapshots [%s] and [%s]", current.c_str(),
                       previous.c_str());
        return false;
    }
    std::string resourceGroup, name;
    if (currentGranted) {
        EvDebug::Debug(tag, "Revoking SAS token for current Snapshot [%s]", current.c_str());
        ResourceGroupAndName(current, resourceGroup, name);
        sdk->RevokeSASToken(resourceGroup, name);
    }
    if (previousGranted) {
        EvDebug::Debug(tag, "Revoking SAS token for previous Snapshot [%s]", previous.c_str());
        ResourceGroupAndName(previous, resourceGroup, name);
        sdk->RevokeSASToken(resourceGroup, name);
    }
    return true;
}

bool CAzureInfo::_ValidateChangeIdForBlobURI(const std::string& blobUri, const std::string& changeId,
                                             bool snapBackup) {
    std::string snapshotUri;
    return GetSnapshotURIForChangeID(blobUri, changeId, snapBackup, snapshotUri);
}

bool CAzureInfo::_ValidateChangeIDForManagedDiskSnapshot(const std::string& snapshotId, const std::string& changeId,
                                                         const std::string& fallbackRG) {
    std::string previous;
    return _GetManagedDiskSnapshotIDForSnapshotGUID(snapshotId, changeId, previous, fallbackRG);
}
