// Restore driver: the five restore slots. Job-wide checks, dispatch by restore kind, the VM
// deployment, and the clean-up of what this job created after a failure or a cancel.
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "host/util/CKaFile.h"
#include "host/util/FXFile.h"
#include "host/util/FXPath.h"
#include "host/util/FileSystem.h"
#include "plugin/frame/AzureInfo.h"
#include "plugin/frame/Existence.h"
#include "plugin/frame/SlotFailure.h"

namespace {

const char* const kInitTag = "virtual int CAzureInfo::InitRestoreVM(const RestoreCtx&)";
const char* const kPreTag = "virtual int CAzureInfo::PreRestoreVM(const RestoreCtx&)";
const char* const kRestoreTag = "virtual int CAzureInfo::RestoreVM(const RestoreCtx&)";
const char* const kPostTag = "virtual int CAzureInfo::PostRestoreVM(const RestoreCtx&)";
const char* const kCleanupTag = "virtual int CAzureInfo::CleanupRestoreVM(const RestoreCtx&)";
const char* const kStagingTag = "bool CAzureInfo::_IsRemovableStagingPath(const RestoreCtx&, string&)";

// A key backup is a short JSON text; anything larger is not one.
constexpr std::uint64_t kMaxKeyBackupBytes = 1 << 20;

// Kinds this plugin does not restore fail at every step, never pretending success.
int FailUnknownKind(const char* tag, const RestoreCtx& ctx) {
    EvDebug::Debug(tag, "Restore type [%d] currently not implemented.", ctx.restoreType);
    return 0;
}

// Reads a key backup of the staging folder when it is there; false when it is there but unusable.
bool ReadKeyBackup(CVMInfo& plugin, const RestoreCtx& ctx, const char* file, const char* found, std::string& text) {
    const std::string path = FXPath::Append(ctx.stagingPath, file);
    if (!FXFile::DoesFileExist(path)) return true;
    EvDebug::Debug(kRestoreTag, found, ctx.vmName.c_str());
    std::uint64_t size = 0;
    std::string error;
    if (!FXFile::NXGetFileSize(path, size, &error) || size > kMaxKeyBackupBytes ||
        !CKaFile::ReadWholeFile(path, text, &error)) {
        if (error.empty()) error = "larger than " + std::to_string(kMaxKeyBackupBytes) + " bytes";
        FailSlot(plugin, kRestoreTag, VMINFO_ERR_VM_CONFIG_READ, "Failed to read key backup [" + path + "]: " + error);
        return false;
    }
    return true;
}

// The path with every symbolic link and "." or ".." resolved, or empty when it cannot be resolved.
std::string Resolved(const std::string& path) {
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return std::string();
    const std::string out = resolved;
    std::free(resolved);
    return out;
}

// True when `inner` is `outer` or lies inside it (both resolved).
bool IsSameOrInside(const std::string& inner, const std::string& outer) {
    if (inner == outer) return true;
    const std::string prefix = outer == "/" ? outer : outer + "/";
    return inner.compare(0, prefix.size(), prefix) == 0;
}

// The path without empty, "." and "name/.." components, as written: no link is followed.
std::string Plain(const std::string& path) {
    std::string plain = std::filesystem::path(path).lexically_normal().string();
    while (plain.size() > 1 && plain.back() == '/') plain.pop_back();
    return plain;
}

// Why `path` cannot be a job's staging folder, or null when it can (`folder` then holds it in plain form): a job's
// folder is an absolute path of a directory reached through no symbolic link, and neither the file system root nor
// the staging root nor a folder that holds it.
const char* StagingFolderRefusal(const std::string& path, const std::string& root, std::string& folder) {
    if (path.empty() || path[0] != '/') return "not an absolute path";
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) return "it does not exist";
    if (S_ISLNK(info.st_mode)) return "it is a symbolic link";
    if (!S_ISDIR(info.st_mode)) return "it is not a directory";
    const std::string resolved = Resolved(path);
    if (resolved.empty() || resolved == "/") return "it is the file system root";
    if (resolved != Plain(path)) return "it is reached through a symbolic link";
    const std::string resolvedRoot = root.empty() ? std::string() : Resolved(root);
    if (!resolvedRoot.empty() && IsSameOrInside(resolvedRoot, resolved)) return "it is or holds the staging root";
    folder = resolved;
    return nullptr;
}

}  // namespace

int CAzureInfo::InitRestoreVM(const RestoreCtx& ctx) {
    return GuardSlot(*this, kInitTag, VMINFO_ERR_RESTORE_DEPLOY, 0, [&] {
        _StartRestoreJob();

        RestoreCtx& restore = _Writable(ctx);
        if (IsGen2Firmware(ctx.originalInfo.firmware) && ctx.restoreType != RESTORE_TYPE_DISK_ATTACH) {
            if (GetVSInstType() == VSINST_AZURE_STACK_HUB) {
                FailSlot(*this, kInitTag, VMINFO_ERR_RESTORE_DEPLOY, "Restoring a Gen 2 VM to Azure Stack is not supported.");
                return 0;
            }
            if (!ctx.restoreAsManagedVM) {
                if (!ctx.deployReplicaVm) {
                    FailSlot(*this, kInitTag, VMINFO_ERR_RESTORE_DEPLOY,
                             "Restoring a Gen 2 VM as an unmanaged VM is not supported.");
                    return 0;
                }
                restore.restoreAsManagedVM = true;
            }
        }
        directUploadRestore = ctx.restoreAsManagedVM;
        EvDebug::Debug(kInitTag, "restoreCtx.m_vmSize = '%s', restoreCtx.originalInfo.m_InstanceSize = '%s'.",
                       ctx.m_vmSize.c_str(), ctx.originalInfo.m_InstanceSize.c_str());

        // A replication needs the cloud file system from its first step: where it is absent, the job ends
        // before anything is asked of the cloud.
        if (ctx.restoreType == RESTORE_TYPE_REPLICATION && !InitVSCloudFS()) {
            SetLastVMError(VMINFO_ERR_CLOUDFS_UNAVAILABLE, "VSCloudFS is not supported on linux");
            return 0;
        }
        bool encrypted = false;
        for (const SDisk& disk : ctx.disks) encrypted = encrypted || disk.isEncrypted;
        if (encrypted) {
            std::string configText;
            if (LoadVMConfigFile(ctx, configText)) {
                if (sdk->IsCrossSubscriptionRestore(configText)) {
                    SetLastVMError(VMINFO_ERR_ENCRYPTED_CROSS_SUBSCRIPTION);
                    SetLastVMErrorDetails(sdk->GetLastErrorString());
                    return 0;
                }
            } else if (!ctx.configFilePath.empty()) {
                EvDebug::Error(kInitTag,
                               "Failed to load VM configuration file. Configuration file [%s] is either missing or corrupt",
                               ctx.configFilePath.c_str());
            }
        }
        if (ctx.restoreType == RESTORE_TYPE_DISK_ATTACH) return InitRestoreVM_DiskAttach(ctx) ? 1 : 0;
        if (ctx.restoreType == RESTORE_TYPE_REPLICATION) return InitRestoreVM_Replication(ctx) ? 1 : 0;
        if (ctx.restoreType != RESTORE_TYPE_FULL_VM) return FailUnknownKind(kInitTag, ctx);
        return InitRestoreVM_FullVM(ctx) ? 1 : 0;
    });
}

int CAzureInfo::PreRestoreVM(const RestoreCtx& ctx) {
    return GuardSlot(*this, kPreTag, VMINFO_ERR_RESTORE_DEPLOY, 0, [&] {
        if (ctx.restoreType == RESTORE_TYPE_DISK_ATTACH) return PreRestoreVM_AttachDisk(ctx) ? 1 : 0;
        if (ctx.restoreType == RESTORE_TYPE_REPLICATION) return PreRestoreVM_Replication(ctx) ? 1 : 0;
        if (ctx.restoreType != RESTORE_TYPE_FULL_VM) return FailUnknownKind(kPreTag, ctx);
        return PreRestoreVM_FullVM(ctx) ? 1 : 0;
    });
}

int CAzureInfo::RestoreVM(const RestoreCtx& ctx) {
    return GuardSlot(*this, kRestoreTag, VMINFO_ERR_RESTORE_DEPLOY, 0, [&] {
        if (IsJobCancelled()) {
            EvDebug::Debug(kRestoreTag, "Kill command has been given...");
            CleanupRestoreVM(ctx);
            SetLastVMError(VMINFO_ERR_JOB_CANCELLED, "The job was cancelled");
            return 0;
        }
        if (ctx.restoreType == RESTORE_TYPE_DISK_ATTACH) return RestoreVM_AttachDisk(ctx);
        const bool replication = ctx.restoreType == RESTORE_TYPE_REPLICATION;
        if (ctx.restoreType != RESTORE_TYPE_FULL_VM && !replication) return FailUnknownKind(kRestoreTag, ctx);
        ModifyRestoredVM(ctx);

        std::string configText;
        if (!ctx.restoreWithoutConfig && !LoadVMConfigFile(ctx, configText) && !ctx.configFilePath.empty()) {
            FailSlot(*this, kRestoreTag, VMINFO_ERR_VM_CONFIG_READ,
                     "Failed to load VM configuration file. Configuration file [" + ctx.configFilePath +
                         "] is either missing or corrupt");
            return 0;
        }
        if (!configText.empty()) EvDebug::Debug(kRestoreTag, "VM Configuration: [%s]", configText.c_str());

        std::string dekText;
        std::string kekText;
        if (!ReadKeyBackup(*this, ctx, "dek.bkp", "Disk encryption key backup found for VM [%s].", dekText) ||
            !ReadKeyBackup(*this, ctx, "kek.bkp", "Key encryption key backup found for VM [%s].", kekText))
            return 0;

        SVMInfo& vmInfo = _Writable(ctx).vmInfo;
        vmInfo.name = ctx.vmName;
        vmInfo.resourceGroup = ctx.resourceGroup;
        vmInfo.storageAccount = ctx.storageAccount;
        vmInfo.vmSize = ctx.m_vmSize;
        vmInfo.region = ctx.region;
        // Only the deployment may name the VM it created.
        vmInfo.guid.clear();
        if ((GetVSInstType() == VSINST_AZURE_RESOURCE_MANAGER || GetVSInstType() == VSINST_AZURE_STACK_HUB) &&
            !ctx.assignPublicIP)
            EvDebug::Debug(kRestoreTag, "Public IP address will not be assigned to VM as per the restore options.");
        const bool convertStagedBlobs = !replication && ctx.restoreAsManagedVM && !IsDirectUploadModeSupported();

        if (replication && !ctx.createVm && !ctx.deployReplicaVm) {
            EvDebug::Debug(kRestoreTag, "Skipping VM creation and uploading config file");
            if (!sdk->DelayVMDeployment(vmInfo, osDiskName, configText, ctx.assignPublicIP, ctx.inPlaceRestore,
                                        ctx.restoreAsManagedVM, dekText, kekText)) {
                const std::string error = sdk->GetLastErrorString();
                EvDebug::Error(kRestoreTag, "Failed to upload config file for VM [%s]", vmInfo.name.c_str());
                SetLastVMError(VMINFO_ERR_DEFERRED_DEPLOY, error);
                return 0;
            }
            _Writable(ctx).vmGuid = vmInfo.guid;
            return 1;
        }
        EvDebug::Debug(kRestoreTag, "Restoring VM [%s] to Azure from OS Disk [%s]", vmInfo.name.c_str(),
                       osDiskName.c_str());
        if (!sdk->RestoreVM(vmInfo, osDiskName, configText, ctx.assignPublicIP, ctx.inPlaceRestore,
                            ctx.restoreAsManagedVM, !replication, dekText, kekText, convertStagedBlobs,
                            ctx.restoreWithoutConfig)) {
            const std::string error = sdk->GetLastErrorString();
            if (sdk->GetLastErrorCode() != 3) {
                EvDebug::Error(kRestoreTag, "Failed to restore VM [%s]", vmInfo.name.c_str());
                SetLastVMError(VMINFO_ERR_RESTORE_DEPLOY);
                if (ctx.restoreAsManagedVM) CleanupRestoreVM(ctx);
                SetLastVMErrorDetails(error);
                return 0;
            }
            // The VM exists; a later step of the deployment failed and is reported with the job.
            AddRestoreFailure(ctx, vmInfo.name, error, true);
        }
        restoredVmGuid = vmInfo.guid;
        _Writable(ctx).vmGuid = vmInfo.guid;
        return 1;
    });
}

int CAzureInfo::PostRestoreVM(const RestoreCtx& ctx) {
    return GuardSlot(*this, kPostTag, VMINFO_ERR_RESTORE_DEPLOY, 0, [&] {
        if (ctx.restoreType == RESTORE_TYPE_DISK_ATTACH) return PostRestoreVM_DiskAttach(ctx) ? 1 : 0;
        if (ctx.restoreType == RESTORE_TYPE_REPLICATION) return PostRestoreVM_Replication(ctx) ? 1 : 0;
        if (ctx.restoreType != RESTORE_TYPE_FULL_VM) return FailUnknownKind(kPostTag, ctx);
        return PostRestoreVM_FullVM(ctx) ? 1 : 0;
    });
}

int CAzureInfo::CleanupRestoreVM(const RestoreCtx& ctx) {
    return GuardSlot(*this, kCleanupTag, VMINFO_ERR_RESTORE_DEPLOY, 1, [&] {
        SVMInfo vmInfo = ctx.vmInfo;
        vmInfo.guid = restoredVmGuid;
        // A disk-attach job creates no VM: the VM it names is its target, never one to remove.
        if (ctx.restoreType == RESTORE_TYPE_DISK_ATTACH) vmInfo.name.clear();
        if (!sdk->CleanupRestoreVM(vmInfo, _DisksCreatedForCleanup(ctx), ctx.restoreAsManagedVM))
            EvDebug::Error(kCleanupTag, "WARNING: Failed to perform VM cleanup after restore failure");
        for (const SDisk& disk : ctx.disks) {
            if (disk.type == DISK_TYPE_FILE) continue;
            EvDebug::DebugLvl(kCleanupTag, 2, "Host[%s], disk name[%s], disk datastore[%s].",
                              ctx.resourceGroup.c_str(), disk.targetName.c_str(), disk.storageAccount.c_str());
            _DeleteCreatedBlob(ctx, disk);
        }
        _DeleteCreatedContainers(kCleanupTag);
        std::string folder;
        if (_IsRemovableStagingPath(ctx, folder)) {
            std::string error;
            if (!DeleteDirRecursively(folder, &error))
                EvDebug::Error(kCleanupTag, "Failed to delete staging folder [%s]: %s", folder.c_str(), error.c_str());
        }
        return 1;
    });
}

void CAzureInfo::_StartRestoreJob() {
    // What an earlier job of this object created stays; this job owns none of it.
    restoredVmGuid.clear();
    restoreCreatedContainers.clear();
    snapCreatedUnlistedDisks.clear();
    for (auto& entry : diskMap) entry.second.createdByJob = false;
}

void CAzureInfo::_DeleteCreatedContainers(const char* tag) {
    for (const SCreatedContainer& created : restoreCreatedContainers)
        if (!sdk->DeleteStorageContainer(created.resourceGroup, created.account, created.container))
            EvDebug::DebugLvl(tag, 2, "Container [%s] of storage account [%s] is left in place: %s",
                              created.container.c_str(), created.account.c_str(), sdk->GetLastErrorString().c_str());
    restoreCreatedContainers.clear();
}

std::vector<SDisk> CAzureInfo::_DisksCreatedForCleanup(const RestoreCtx& ctx) {
    std::vector<SDisk> disks = ctx.vmInfo.disks;
    disks.insert(disks.end(), snapCreatedUnlistedDisks.begin(), snapCreatedUnlistedDisks.end());
    for (const SDisk& disk : ctx.disks) {
        if (disk.type == DISK_TYPE_FILE) continue;
        const auto entry = diskMap.find(disk.uri);
        if (entry == diskMap.end()) continue;
        const SAzureDiskInfo& record = entry->second;
        if (!record.createdByJob || !record.directUpload || record.snapshotId.empty()) continue;
        bool listed = false;
        for (const SDisk& other : disks) listed = listed || other.managedDiskId == record.snapshotId;
        if (listed) continue;
        SDisk created;
        created.managedDiskId = record.snapshotId;
        created.name = record.managedDiskRef;
        created.isManaged = true;
        disks.push_back(created);
    }
    return disks;
}

void CAzureInfo::_DeleteCreatedBlob(const RestoreCtx& ctx, const SDisk& disk) {
    const auto entry = diskMap.find(disk.uri);
    if (entry == diskMap.end() || !entry->second.createdByJob) {
        EvDebug::DebugLvl(kCleanupTag, 2, "Disk [%s] was not created by this job. Leaving it in place.",
                          disk.uri.c_str());
        return;
    }
    const SAzureDiskInfo& record = entry->second;
    // A direct-upload disk is a managed disk; the wrapper's clean-up removes it by its id.
    if (record.directUpload || record.blobName.empty()) return;
    const std::string container = record.container.empty() ? "vhds" : record.container;
    // The blob is this job's own: when the wrapper cannot say whether it is there, it is deleted all the same.
    if (BlobPresence(*sdk, ctx.resourceGroup, record.storageAccount, container, record.blobName) != Presence::Absent) {
        EvDebug::Debug(kCleanupTag, "Deleting blob [%s] from Azure storage account [%s][%s]", record.blobName.c_str(),
                       record.storageAccount.c_str(), container.c_str());
        sdk->DeletePageBlob(ctx.resourceGroup, record.storageAccount, container, record.blobName);
    }
    sdk->DeleteDisksOriginatingFromBlob(ctx.resourceGroup, record.storageAccount, container, record.blobName);
}

bool CAzureInfo::_IsRemovableStagingPath(const RestoreCtx& ctx, std::string& folder) {
    const char* refusal = StagingFolderRefusal(ctx.stagingPath, ctx.stagingRoot, folder);
    if (refusal == nullptr) return true;
    EvDebug::Debug(kStagingTag, "Staging folder [%s] is left in place: %s.", ctx.stagingPath.c_str(), refusal);
    return false;
}
