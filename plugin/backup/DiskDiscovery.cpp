// Registration of every backed-up disk in the disk map, with the URL the data path reads.
#include <cstdio>
#include <vector>

#include "host/sys/Time.h"
#include "host/util/FXPath.h"
#include "plugin/backup/MountCtxAccess.h"
#include "plugin/frame/AzureInfo.h"
#include "plugin/frame/PathParts.h"

namespace {

const char* const kTag = "bool CAzureInfo::GetDiskInfoForVM(const MountCtx&)";
constexpr std::size_t kStagingNameLimit = 80;

// Resource group and name of a snapshot resource id "/subscriptions/S/resourceGroups/G/providers/P/snapshots/N".
bool SplitSnapshotId(const std::string& id, std::string& resourceGroup, std::string& name) {
    std::vector<std::string> parts = SplitAtSlash(!id.empty() && id[0] == '/' ? id.substr(1) : id);
    if (parts.size() < 8 || parts.back().empty()) return false;
    resourceGroup = parts[3];
    name = parts.back();
    return true;
}

// Staging blob name: the blob name without ".vhd", cut so that it and the time-and-job suffix fit in 80 characters.
std::string StagingBlobName(const std::string& blobName, NXJobID jobId) {
    struct tm now = NxClock::localNow();
    char suffix[96];
    std::snprintf(suffix, sizeof suffix, "%04d%02d%02d-%02d%02d%02d%03d_QD_BACKUP%lld.vhd", now.tm_year + 1900,
                  now.tm_mon + 1, now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec, 0, static_cast<long long>(jobId));
    const std::string tail(suffix);
    std::string prefix = FXString::TrimRight(blobName, ".vhd");
    const std::size_t room = tail.size() < kStagingNameLimit ? kStagingNameLimit - tail.size() : 0;
    if (prefix.size() > room) prefix.resize(room);
    return prefix + tail;
}

}  // namespace

bool CAzureInfo::GetDiskInfoForVM(const MountCtx& ctx) {
    EvDebug::Debug(kTag, "Getting disk information for VM [%s] ...", ctx.mountVmName.c_str());
    const bool snapshotAccess = (ctx.isBackupCopy || ctx.liveBrowse) && ctx.vmInfo.isManaged;
    for (SDisk& disk : Writable(ctx).vmInfo.disks) {
        if (disk.uri.empty()) continue;
        std::string storageAccount, container, blobName, snapshotId;
        if (snapshotAccess) {
            EvDebug::Debug(kTag, "Snapshot ID [%s] to fetch SAS URI", disk.uri.c_str());
            std::string group, snapshotName;
            if (!SplitSnapshotId(disk.uri, group, snapshotName)) {
                EvDebug::Error(kTag, "Failed to get SAS URI for snapshot [%s]", disk.uri.c_str());
                return false;
            }
            if (!ctx.liveBrowse) {
                std::string url;
                if (!sdk->GetSASTokenURI(group, snapshotName, url)) {
                    EvDebug::Error(kTag, "Failed to get SAS URI for snapshot [%s]", disk.uri.c_str());
                    return false;
                }
                disk.uri = url;
            } else {
                storageAccount = "Microsoft.Compute";
                container = group;
                blobName = snapshotName + ".vhd";
                disk.storageAccount = storageAccount;
            }
            disk.resourceGroup = group;
            disk.isManaged = true;
        }
        if (!disk.isManaged && !ParseMediaLinkURI(disk.uri, storageAccount, container, blobName, snapshotId)) {
            EvDebug::Error(kTag, "Failed to parse MediaLink URI [%s]", disk.uri.c_str());
            return false;
        }
        // A managed disk has no blob of its own; its name stands for it in the backup.
        if (blobName.empty()) blobName = disk.name;

        std::string diskPath;
        std::string dataUrl;
        bool readsStagingBlob = false;
        if (directDownload && !ctx.liveBrowse) {
            diskPath = disk.uri;
            dataUrl = diskPath;
            if (!disk.isManaged) {
                KASLEEP(1000);
                std::string url;
                const std::string staging = StagingBlobName(blobName, ctx.jobId);
                if (sdk->CreateBackupBlobFromSnapshot(disk.uri, storageAccount, container, staging, url)) {
                    EvDebug::Error(kTag, "Backup will read pages from blob URL [%s]", url.c_str());
                    dataUrl = url;
                    readsStagingBlob = true;
                } else {
                    EvDebug::DebugLvl(kTag, 4,
                                      "Failed to create blob from snapshot. Backup will continue to read from "
                                      "snapshot, error [%s]",
                                      sdk->GetLastErrorString().c_str());
                }
            }
        } else {
            EvDebug::Debug(kTag, "VSCloudFS is not supported on linux");
            diskPath = snapshotId.empty() ? FXPath::Append(storageAccount, container, blobName)
                                          : FXPath::Append(storageAccount, container, ".snapshots", blobName,
                                                           snapshotId);
            if (!snapshotId.empty()) {
                const std::string::size_type dot = blobName.rfind('.');
                diskPath += "." + (dot == std::string::npos ? std::string() : blobName.substr(dot + 1));
            }
            if (!AccessCloudFSPath(diskPath)) {
                EvDebug::Error(kTag, "Failed to access mounted file [%s]", diskPath.c_str());
                return false;
            }
            dataUrl = diskPath;
        }

        SAzureDiskInfo info;
        info.sourceUri = disk.uri;
        info.originalDiskName = disk.name;
        info.blobName = blobName;
        info.container = container;
        info.dataUrl = dataUrl;
        info.storageAccount = disk.storageAccount;
        info.resourceGroup = disk.resourceGroup;
        info.vmResourceGroup = ctx.vmInfo.resourceGroup;  // where an incremental also looks for the previous snapshot
        info.snapshotId = disk.managedDiskId;
        info.isOsDisk = disk.isOsDisk;
        info.isManaged = disk.isManaged;
        info.isEncrypted = disk.isEncrypted;
        info.isSnapCopy = ctx.isSnapJob || ctx.isBackupCopy;
        info.readsStagingBlob = readsStagingBlob;
        EvDebug::DebugLvl(kTag, 2, "Adding URI [%s] to Storage Account map", disk.uri.c_str());
        diskMap[diskPath] = info;
    }
    return true;
}
