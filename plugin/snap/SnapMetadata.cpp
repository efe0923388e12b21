// Snap metadata of a snapshot-engine job: the job XML written through the
// host's snapshot utility, one metadata folder per VM with its configuration
// files, and their download from the index cache when a later job needs them.
#include <map>

#include "host/util/FXFile.h"
#include "host/util/FXPath.h"
#include "host/util/FileSystem.h"
#include "plugin/backup/MountCtxAccess.h"
#include "plugin/frame/AzureInfo.h"
#include "plugin/frame/SlotFailure.h"
#include "plugin/snap/SnapNames.h"

namespace {

const char* const kGenerateTag = "bool CAzureInfo::_GenerateSnapMetadataXML(MountCtx&, string&)";
const char* const kConfigTag =
    "bool CAzureInfo::_GenerateVMConfigFileForSnapBackup(const MountCtx&, const VMInfoStructs::SVMInfo&)";
const char* const kStatusTag = "bool CAzureInfo::SetVMStatusInSnapMetadataXml(const MountCtx&, EVMInfoError, const string)";
const char* const kFilesTag =
    "virtual int CAzureInfo::GetMetadataFiles(const MountCtx&, std::vector<std::string>&, EMetadataFilesType)";
const char* const kDownloadXmlTag = "bool CAzureInfo::_DownloadSnapBackupXML(const MountCtx&)";
const char* const kDownloadVmTag = "bool CAzureInfo::_DownloadVMConfigFile(const string, const MountCtx&)";
const char* const kIndexTag = "bool CAzureInfo::_AddFileForIndexUpload(const string)";

std::string JobXmlName(NXJobID jobId) { return "backup_" + std::to_string(jobId) + ".xml"; }

bool CreateFolder(const char* tag, const std::string& path) {
    std::string error;
    if (CreateFolderIfNotPresent(path, &error)) return true;
    EvDebug::Error(tag, "Failed to create directory [%s] Err=%s", path.c_str(), error.c_str());
    return false;
}

}  // namespace

bool CAzureInfo::_GenerateSnapMetadataXML(MountCtx& ctx, std::string& path) {
    std::map<std::string, SVolSnap> groups;
    for (const auto& [guid, vm] : ctx.vmInfoByGuid) {
        SVolSnap& group = groups[vm.storageAccount];
        group.name = group.displayName = vm.storageAccount;
        for (const SVMBasicInfo& basic : ctx.vmList)
            if (boost::iequals(basic.guid, vm.guid)) {
                group.vmList.push_back(vm);
                group.vmBasicList.push_back(basic);
            }
    }
    for (const auto& [key, group] : groups) {
        ctx.volSnaps.push_back(group);
        SDatastoreInfo datastore;
        datastore.name = datastore.displayName = key;
        datastore.vmList = group.vmList;
        if (!snapUtil->GenerateMetadataXML(ctx, datastore, ctx.volSnaps)) {
            EvDebug::Error(kGenerateTag, "GenerateMetadataXML Failed");
            return false;
        }
    }
    path = FXPath::Append(ctx.metadataDir, snapUtil->GetSnapMetadataFileName(ctx.jobId));
    if (!FXFile::DoesFileExist(path)) {
        EvDebug::Error(kGenerateTag, "VM snap metadata file [%s] does not exist", path.c_str());
        return false;
    }
    return true;
}

bool CAzureInfo::_Prepare_Snap_ConfigPath(const MountCtx& ctx, const SVMInfo& vm, std::string& path) {
    if (!IsSafePathPart(vm.guid)) return false;
    path = FXPath::AppendTrailingDelimiter(ctx.metadataDir) + "Metadata" + "/" + std::to_string(ctx.refJobId) + "/" +
           vm.guid;
    return true;
}

bool CAzureInfo::_GenerateVMConfigFileForSnapBackup(const MountCtx& ctx, const SVMInfo& vm) {
    EvDebug::DebugLvl(kConfigTag, 2, "Generating configuration file for Virtual machine [%s]", vm.name.c_str());
    std::string folder;
    if (!IsSafePathPart(vm.name) || !_Prepare_Snap_ConfigPath(ctx, vm, folder)) {
        SetLastVMError(VMINFO_ERR_CONFIG_FILE_WRITE, "VM name [" + vm.name + "] or GUID [" + vm.guid +
                                                         "] cannot name a metadata file");
        EvDebug::Error(kConfigTag, "%s", GetLastVMErrorDetails().c_str());
        return false;
    }
    if (!CreateFolder(kConfigTag, folder)) {
        SetLastVMError(VMINFO_ERR_MOUNT_DIR_PREPARE);
        return false;
    }
    if (!_SaveVMConfigFile(vm.resourceGroup, vm.name, folder)) return false;
    if (sdk->GetLastErrorCode() == 6)
        AddMountFailure(ctx, vm.name, "Full VM restore of Linux VMs with encrypted OS Disk is not supported.", false);
    return true;
}

bool CAzureInfo::SetVMStatusInSnapMetadataXml(const MountCtx& ctx, EVMInfoError code, const std::string& details) {
    const std::string path = FXPath::Append(ctx.metadataDir, snapUtil->GetSnapMetadataFileName(ctx.refJobId));
    if (code != VMINFO_ERR_NONE)
        return snapUtil->SetVMStatusInMetadataXml(path, ctx.vmName, ctx.vmGuid, static_cast<std::uint32_t>(code),
                                                  details) != 0;
    EvDebug::Debug(kStatusTag, "VM Error code not set");
    return false;
}

int CAzureInfo::GetMetadataFiles(const MountCtx& ctx, std::vector<std::string>& files, EMetadataFilesType type) {
    return GuardSlot(*this, kFilesTag, VMINFO_ERR_SNAP_RECORDS, 0, [&] {
        files = indexUploadFiles;
        if (ctx.isBackupCopy) {
            if (!ctx.isVmCentric) {
                const std::string name = JobXmlName(ctx.refJobId);
                EvDebug::Debug(kFilesTag, "Metadata file to download:[%s]", name.c_str());
                if (!snapUtil->DownloadMetadataFiles(ctx, ctx.metadataDir, {name})) {
                    EvDebug::Debug(kFilesTag, "Download Metadata file failed");
                    SetLastVMError(VMINFO_ERR_SNAP_RECORDS, "The job's metadata file is not in the index cache");
                    return 0;
                }
            } else {
                EvDebug::Debug(kFilesTag, "Indexing V2. Skipping re-download of config files...");
            }
            std::vector<SDatastoreInfo> datastores;
            std::vector<SVolSnap> groups;
            if (!snapUtil->UpdateVMList(datastores, ctx, groups)) {
                EvDebug::Debug(kFilesTag, "Failed to upload VM list");
                SetLastVMError(VMINFO_ERR_SNAP_VM_LIST);
                return 0;
            }
            Writable(ctx).volSnaps = groups;
        }
        if (type != METADATA_FILES_VM_CONFIG) return 1;
        if (!IsSafePathPart(ctx.vmName) || !IsSafePathPart(ctx.vmGuid)) {
            FailSlot(*this, kFilesTag, VMINFO_ERR_SNAP_CONFIG_FETCH,
                     "VM name [" + ctx.vmName + "] or GUID [" + ctx.vmGuid + "] cannot name a metadata file");
            return 0;
        }
        const std::string folder = FXPath::AppendTrailingDelimiter(ctx.metadataDir) + "Metadata" + "/" +
                                   std::to_string(ctx.refJobId) + "/" + ctx.vmGuid + "/";
        for (const std::string& name : {ctx.vmName + ".json", std::string("dek.bkp"), std::string("kek.bkp")}) {
            const std::string file = folder + name;
            if (FXFile::DoesFileExist(file)) {
                files.push_back(file);
                EvDebug::Debug(kFilesTag, "Added vm config file [%s] to upload list", file.c_str());
            } else {
                EvDebug::Error(kFilesTag, "Cannot find vm config file [%s]", file.c_str());
            }
        }
        return 1;
    });
}

bool CAzureInfo::ReadDSListFromSnapBackupXML(const MountCtx& ctx, std::vector<SDatastoreInfo>& datastores) {
    return _DownloadSnapBackupXML(ctx) && snapUtil->ReadSnapMetadataXML(datastores, ctx) != 0;
}

bool CAzureInfo::_DownloadSnapBackupXML(const MountCtx& ctx) {
    if (ctx.isVmCentric) {
        EvDebug::DebugLvl(kDownloadXmlTag, 2, "Indexing V2. Skipping re-download of Snap metadata files...");
        return true;
    }
    const std::string name = JobXmlName(ctx.refJobId);
    const std::string local = FXPath::Append(ctx.metadataDir, name);
    NxCriticalSectionH guard(snapXmlLock);
    if (FXFile::DoesFileExist(local)) {
        EvDebug::Debug(kDownloadXmlTag, "Using cached snapbackup XML already downloaded under path [%s]",
                       local.c_str());
        return true;
    }
    EvDebug::Debug(kDownloadXmlTag, "Downloading metadata file [%s] from index cache", name.c_str());
    if (DownloadMetadataFiles(ctx, ctx.metadataDir, {name})) return true;
    EvDebug::Debug(kDownloadXmlTag, "Failed to download Metadata file [%s]", name.c_str());
    return false;
}

bool CAzureInfo::_DownloadVMConfigFile(const std::string& localDir, const MountCtx& ctx) {
    if (ctx.isVmCentric) {
        EvDebug::DebugLvl(kDownloadVmTag, 2, "Indexing V2. Skipping re-download of config files...");
        return true;
    }
    if (localDir.empty()) {
        EvDebug::Error(kDownloadVmTag, "Mount path directory path is not initialized");
        return false;
    }
    if (!IsSafePathPart(ctx.vmInfo.name)) {
        EvDebug::Error(kDownloadVmTag, "VM name [%s] cannot name a configuration file", ctx.vmInfo.name.c_str());
        return false;
    }
    if (!CreateFolder(kDownloadVmTag, localDir)) return false;
    const std::vector<std::string> files{localDir + "/" + ctx.vmInfo.name + ".json", localDir + "/dek.bkp",
                                         localDir + "/kek.bkp"};
    if (!snapUtil->DownloadVMFiles(ctx, localDir, files)) {
        EvDebug::Error(kDownloadVmTag, "Download VM files failed");
        return false;
    }
    EvDebug::Debug(kDownloadVmTag, "Successfully downloaded config file in [%s]", localDir.c_str());
    return true;
}

bool CAzureInfo::_AddFileForIndexUpload(const std::string& path) {
    EvDebug::Debug(kIndexTag, "Adding File [%s] to be uploaded to the index", path.c_str());
    indexUploadFiles.push_back(path);
    return true;
}
