// The restore job's staging folder: the VM configuration file restored from the backup, the entry
// step that names the disks (after the cloud-file-system requirement), disk-map look-ups by
// staging key, and the upload of disks that were staged as local files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/settings/NXPlatformInfo.h"
#include "host/util/FXFile.h"
#include "host/util/FXPath.h"
#include "plugin/frame/AzureInfo.h"
#include "plugin/frame/SlotFailure.h"

namespace {

// A VM description is a few kilobytes; anything far larger is not one and is not read into memory.
constexpr std::size_t kMaxConfigFileBytes = 16 * 1024 * 1024;

// Why the file open at `fd` is refused, or null when `content` holds all of it. The checks are made
// on the opened file, so what is read is what was checked.
const char* ReadBounded(int fd, std::string& content) {
    struct stat info {};
    if (fstat(fd, &info) != 0) return std::strerror(errno);
    if (!S_ISREG(info.st_mode)) return "not a regular file";
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::strerror(errno);
        if (got == 0) return nullptr;
        content.append(buffer, static_cast<std::size_t>(got));
        // Refused once past the bound: at most one buffer more than the bound is ever read.
        if (content.size() > kMaxConfigFileBytes) return "larger than the limit of 16 MiB";
    }
}

// Reads the configuration file at `path` into `text`; a FIFO or device never blocks the open.
bool ReadConfigFile(const char* tag, const std::string& path, std::string& text) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    std::string content;
    const char* refusal = fd < 0 ? std::strerror(errno) : ReadBounded(fd, content);
    if (fd >= 0) close(fd);
    if (refusal) {
        EvDebug::Error(tag, "Failed to read vm config [%s]", path.c_str());
        EvDebug::Error(tag, "VM config [%s] refused: %s", path.c_str(), refusal);
        return false;
    }
    text.swap(content);
    return true;
}

}  // namespace

bool CAzureInfo::LoadVMConfigFile(const RestoreCtx& ctx, std::string& text) {
    static const char* tag = "bool CAzureInfo::LoadVMConfigFile(const RestoreCtx&, string&)";
    for (const SDisk& disk : ctx.disks) {
        if (disk.type != DISK_TYPE_FILE || !FXPath::IsFileExtnMatching(disk.indexName, ".json")) continue;
        const std::string path = FXPath::Append(ctx.stagingPath, disk.indexName);
        _Writable(ctx).configFilePath = path;
        if (!ReadConfigFile(tag, path, text)) return false;
        EvDebug::Debug(tag, "Loaded configuration file [%s] successfully", path.c_str());
        return true;
    }
    return false;
}

bool CAzureInfo::GetStagingPath(const RestoreCtx& ctx, std::string& path) {
    path = FXPath::Append(ctx.stagingRoot, "vhds");
    return true;
}

bool CAzureInfo::InitCloudFSAndDiskNames(const RestoreCtx& ctx) {
    const bool sizeFromSource = ctx.restoreType == RESTORE_TYPE_FULL_VM && ctx.m_vmSize.empty();
    return InitCloudFSAndDiskNames(ctx, sizeFromSource ? ctx.originalInfo.m_InstanceSize : ctx.m_vmSize);
}

bool CAzureInfo::InitCloudFSAndDiskNames(const RestoreCtx& ctx, const std::string& vmSize) {
    SetLastVMError(VMINFO_ERR_NONE);
    if (IsVSCloudFSRequired(ctx) && !InitVSCloudFS()) {
        SetLastVMError(VMINFO_ERR_CLOUDFS_UNAVAILABLE, "VSCloudFS is not supported on linux");
        return false;
    }
    return GenerateUniqueDiskName(ctx, vmSize);
}

bool CAzureInfo::IsVSCloudFSRequired(const RestoreCtx& ctx) {
    if (ctx.cloudFSRestore) return true;
    bool ignoreBootFailures = false;
    NXPlatformInfo::getBoolean("VirtualServer", "bIgnoreBootFailuresOnRestoredVM", &ignoreBootFailures);
    if (ignoreBootFailures) return true;
    if (ctx.snapRestore) return false;
    return !directUpload && !IsDirectUploadModeSupported();
}

bool CAzureInfo::GetDiskInfoByStagingFile(const std::string& key, SAzureDiskInfo& out) {
    const auto entry = diskMap.find(key);
    if (entry == diskMap.end()) return false;
    out = entry->second;
    return true;
}

int CAzureInfo::UploadDisksToAzure(std::vector<SDisk>& disks) {
    static const char* tag = "int CAzureInfo::UploadDisksToAzure(std::vector<SDisk>&)";
    for (SDisk& disk : disks) {
        if (IsJobCancelled()) {
            EvDebug::Debug(tag, "Quit flag set, terminating JobWait");
            SetLastVMError(VMINFO_ERR_JOB_CANCELLED, "The job was cancelled");
            return 0;
        }
        if (!FXFile::DoesFileExist(disk.uri)) {
            FailSlot(*this, tag, VMINFO_ERR_DISK_CREATE,
                     "Disk file [" + disk.uri + "] is missing in staging folder [" + disk.storageAccount + "]");
            return 0;
        }
        SAzureDiskInfo record;
        if (!GetDiskInfoByStagingFile(disk.uri, record)) {
            FailSlot(*this, tag, VMINFO_ERR_DISK_CREATE,
                     "Failed to get storage account for disk file [" + disk.uri +
                         "] from cached storage account details");
            return 0;
        }
        if (!UploadDisk(record)) return 0;
        EvDebug::Debug(tag, "Blob name is set to [%s] from [%s]", record.sourceUri.c_str(), disk.uri.c_str());
        disk.uri = record.sourceUri;
        EvDebug::Debug(tag, "Storage Account for disk [%s] is set to [%s]", disk.name.c_str(),
                       record.storageAccount.c_str());
        disk.storageAccount = record.storageAccount;
    }
    return 1;
}

int CAzureInfo::UploadDisk(SAzureDiskInfo& record) {
    static const char* tag = "int CAzureInfo::UploadDisk(SAzureDiskInfo&)";
    EvDebug::Debug(tag, "Uploading disk from [%s] to Azure storage account [%s]", record.dataUrl.c_str(),
                   record.storageAccount.c_str());
    if (!sdk->UploadPageBlobToStorageAccount(record.resourceGroup, record.storageAccount, "vhds",
                                             record.originalDiskName, record.dataUrl)) {
        FailWrapperCall(*this, tag, VMINFO_ERR_DISK_CREATE, "Failed to upload blob [" + record.dataUrl + "] to Azure",
                        sdk->GetLastErrorString());
        return 0;
    }
    EvDebug::Debug(tag, "Uploaded disk to Azure successfully");
    record.uploaded = true;
    uploadDiskList.push_back(record);
    if (FXFile::RemoveFile(record.dataUrl))
        EvDebug::Debug(tag, "Deleted temp file [%s] from staging folder", record.dataUrl.c_str());
    return 1;
}
