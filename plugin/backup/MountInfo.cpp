// What the host backs up after a mount: one entry per mounted disk, then one per file of the mount directory.
#include <cstdint>

#include "host/util/CFilterTerm.h"
#include "host/util/CKaDirectory.h"
#include "host/util/FXFile.h"
#include "plugin/frame/AzureInfo.h"
#include "plugin/frame/SlotFailure.h"

namespace {

const char* const kFullTag = "virtual int CAzureInfo::GetFullMountInfo(const MountCtx&, std::vector<SMountInfoFull>&)";
const char* const kDisksTag = "int CAzureInfo::_GetFullMountInfo_Disks(const MountCtx&, std::vector<SMountInfoFull>&)";
const char* const kFilesTag =
    "int CAzureInfo::_GetFullMountInfo_ConfigFiles(const MountCtx&, std::vector<SMountInfoFull>&)";
const char* const kUniqueTag = "std::string CAzureInfo::GenerateUniqueDiskNameForBackup(const VMInfoStructs::SDisk&)";
const char* const kFileInfoTag =
    "virtual int CAzureInfo::GetFileMountInfo(const MountCtx&, std::vector<SMountInfoFile>&)";
constexpr std::size_t kIndexNameLimit = 32;

SMountInfoFull Entry(const SDisk& disk, std::int32_t kind) {
    SMountInfoFull entry;
    entry.kind = kind;
    entry.disks.push_back(disk);
    return entry;
}

}  // namespace

int CAzureInfo::GetFullMountInfo(const MountCtx& ctx, std::vector<SMountInfoFull>& out) {
    return GuardSlot(*this, kFullTag, VMINFO_ERR_DISK_INFO, 0, [&] {
        // A copy job's disks were registered by its mount and are listed like a streaming backup's.
        if (!ctx.isSnapJob || ctx.isBackupCopy) return _GetFullMountInfo(ctx, out);
        if (_GetFullMountInfo_SnapBackup(ctx, out)) return 1;
        // The host must not use what it kept of this VM: its status goes into the job XML, its archive file is void.
        SetVMStatusInSnapMetadataXml(ctx, GetLastVMError(), GetLastVMErrorDetails());
        const NXJobID jobTag = ctx.isVmCentric ? ctx.altJobId : ctx.jobId;
        if (InvalidateArchiveFiles({ctx.vmInfo.archiveFileId}, jobTag, ctx.orbitId))
            EvDebug::Debug(kFullTag, "Marked archive files for failed VM [%s] [%s] snapshots as invalid",
                           ctx.vmName.c_str(), ctx.vmGuid.c_str());
        else
            EvDebug::Error(kFullTag, "Failed to invalidate archive files for failed VM [%s] [%s]", ctx.vmName.c_str(),
                           ctx.vmGuid.c_str());
        return 0;
    });
}

int CAzureInfo::_GetFullMountInfo(const MountCtx& ctx, std::vector<SMountInfoFull>& out) {
    if (!_GetFullMountInfo_Disks(ctx, out)) return 0;
    return _GetFullMountInfo_ConfigFiles(ctx, out) ? 1 : 0;
}

int CAzureInfo::_GetFullMountInfo_Disks(const MountCtx& ctx, std::vector<SMountInfoFull>& out) {
    for (const SDisk& mounted : ctx.vmInfo.disks) {
        if (mounted.uri.empty()) continue;
        SAzureDiskInfo info;
        if (!GetDiskInfoByUrl(mounted.uri, info)) {
            EvDebug::Debug(kDisksTag, "Skipping Disk [%s] ...", mounted.uri.c_str());
            continue;
        }
        SDisk disk = mounted;
        disk.diskFormat = 23;
        disk.type = DISK_TYPE_VIRTUAL_DISK;
        disk.indexName = info.blobName;
        disk.indexName = GenerateUniqueDiskNameForBackup(disk);
        if (!directDownload) disk.uri = info.dataUrl;
        if (ctx.cbtEnabled) disk.changeId = ctx.vmInfo.snapshotGuid;
        if (disk.isManaged) {
            const std::string::size_type slash = disk.managedDiskId.rfind('/');
            std::string name = slash == std::string::npos ? disk.managedDiskId : disk.managedDiskId.substr(slash + 1);
            disk.name = name.substr(0, name.find("_QDMD_"));
            EvDebug::DebugLvl(kDisksTag, 2, "Disk display Name [%s]", disk.name.c_str());
        }
        out.push_back(Entry(disk, MOUNT_ENTRY_DISK));
    }
    return 1;
}

std::string CAzureInfo::GenerateUniqueDiskNameForBackup(const SDisk& disk) {
    std::string base = disk.indexName;
    if (base.size() > kIndexNameLimit) {
        base.resize(kIndexNameLimit);
        if (!disk.isManaged) base += ".vhd";
    }
    const std::string result = disk.namePrefix + "-" + std::to_string(disk.unitNumber) + "-" + base;
    EvDebug::Debug(kUniqueTag, "Generated unique name for disk [%s] as [%s]", disk.indexName.c_str(), result.c_str());
    return result;
}

int CAzureInfo::_GetFullMountInfo_ConfigFiles(const MountCtx& ctx, std::vector<SMountInfoFull>& out) {
    const bool backupCopy = ctx.isVmCentric && snapUtil->IsBackupCopyJob(ctx);
    const bool snapJob = ctx.isSnapJob && !ctx.isBackupCopy;
    std::string dir = backupCopy ? ctx.snapMetadataFolder : ctx.mountPath;
    if (snapJob && !_Prepare_Snap_ConfigPath(ctx, ctx.vmInfo, dir)) {
        EvDebug::Debug(kFilesTag, "VM GUID [%s] cannot name a metadata folder", ctx.vmInfo.guid.c_str());
        return 0;
    }
    // The VM-centric XML of a snap job is uploaded to the index on its own; once is enough.
    bool keepVmCentricXml = !(snapJob && ctx.isVmCentric && !indexUploadFiles.empty());
    CFilterTerm snapRecords{BFilterTermOptions(1)};
    snapRecords.LoadRaw("backup_*.xml");

    CKaDirectory listing;
    std::string error;
    if (!listing.Open(dir, "*", &error)) {
        EvDebug::Debug(kFilesTag, "Error Accessing Mount Path[%s], Error = [%s]", dir.c_str(), error.c_str());
        return 0;
    }
    SKaDirEntry entry;
    while (listing.Next(entry, &error)) {
        if (entry.isDirectory) continue;
        if (backupCopy && snapRecords.Matches(entry.name)) {
            EvDebug::Debug(kFilesTag, "Skipping file [%s] Path[%s] from backup list", entry.name.c_str(), dir.c_str());
            continue;
        }
        if (!keepVmCentricXml && boost::iequals(dir + "/" + entry.name, indexUploadFiles.front())) {
            EvDebug::Debug(kFilesTag, "Removing VMCentric XML snap metadata file [%s] from mount info",
                           indexUploadFiles.front().c_str());
            keepVmCentricXml = true;
            continue;
        }
        std::uint64_t size = 0;
        std::string sizeError;
        if (!FXFile::NXGetFileSize(entry.path, size, &sizeError)) {
            EvDebug::Debug(kFilesTag, "Failed to get size of the file [%s]. [%s]", entry.path.c_str(),
                           sizeError.c_str());
            listing.Close();
            return 0;
        }
        SDisk file;
        file.type = 0;
        file.diskFormat = 0;
        file.name = entry.name;
        file.indexName = entry.name;
        file.uri = dir + "/" + entry.name;
        file.capacity = static_cast<long long>(size);
        out.push_back(Entry(file, MOUNT_ENTRY_FILE));
    }
    listing.Close();
    if (!error.empty()) {
        EvDebug::Debug(kFilesTag, "Error Getting First Entry at [%s], Error = [%s]", dir.c_str(), error.c_str());
        return 0;
    }
    return 1;
}

int CAzureInfo::GetFileMountInfo(const MountCtx&, std::vector<SMountInfoFile>&) {
    EvDebug::Error(kFileInfoTag, "Not Ported!");
    return 0;
}

int CAzureInfo::CollectMetadata(const MountCtx&) { return 1; }
