// VM-centric snapshot-engine jobs: each VM is handled on its own when the host
// mounts it, under its own child job id. Its metadata folder gets a VM-level
// catalog, the host's snapshot utility snaps it alone, and once its snapshot
// exists the VM is recorded for the job-level catalog that PostSnap writes.
#include "host/util/FXPath.h"
#include "host/util/FileSystem.h"
#include "plugin/backup/MountCtxAccess.h"
#include "plugin/frame/AzureInfo.h"
#include "plugin/snap/SnapVolume.h"
#include "plugin/frame/SlotFailure.h"

namespace {

const char* const kMountTag = "bool CAzureInfo::_MountVM_SnapBackup_VMCentric(const MountCtx&)";
const char* const kPopulateTag = "bool CAzureInfo::_PopulateVMInfo_VMCentric(const MountCtx&)";
const char* const kVolSnapTag = "bool CAzureInfo::_PopulateVolSnapListForVM_VMCentric(const MountCtx&)";
const char* const kVmCatalogTag = "bool CAzureInfo::_GenerateVMLevelSnapCatalogXML_VMCentric(const MountCtx&)";
const char* const kPathTag = "bool CAzureInfo::_GenerateVMSnapMetadataFilePath_VMCentric(const MountCtx&, string&)";
const char* const kSnapshotTag = "bool CAzureInfo::_CreateVMSnapshot_VMCentric(const MountCtx&)";
const char* const kRecordTag =
    "bool CAzureInfo::_PopulateSMVolSnapInfoForVM_VMCentric(const MountCtx&, SMVolSnapInfo&)";
const char* const kJobCatalogTag = "bool CAzureInfo::_GenerateJobLevelSnapCatalogXML_VMCentric(const MountCtx&)";
constexpr std::uint64_t kVmCentricVolumeFlags = 0x122000000;

// The folder of the VM's catalog: its own metadata folder, or the job's when it has none.
const std::string& CatalogFolder(const MountCtx& ctx) {
    return ctx.snapMetadataFolder.empty() ? ctx.metadataDir : ctx.snapMetadataFolder;
}

}  // namespace

bool CAzureInfo::_MountVM_SnapBackup_VMCentric(const MountCtx& ctx) {
    MountCtx& mount = Writable(ctx);
    const char* name = ctx.vmName.c_str();
    const char* guid = ctx.vmGuid.c_str();
    EvDebug::Debug(kMountTag, "JobID:[%lld], VM GUID:[%s], VMJobID;[%lld]", ctx.jobId, guid, ctx.altJobId);
    indexUploadFiles.clear();
    mount.refJobId = ctx.altJobId;
    mount.snapMetadataFolder = snapUtil->GetSnapMetadataFolderForVM(ctx, ctx.vmGuid);
    if (!_PopulateVMInfo_VMCentric(ctx)) {
        EvDebug::Error(kMountTag, "Failed to populate VMInfo for VMCentric snap backup for VM with GUID [%s][%s]",
                       name, guid);
        return false;
    }
    if (!_PopulateVolSnapListForVM_VMCentric(ctx)) {
        EvDebug::Error(kMountTag,
                       "Failed to populate information needed for generation of snap catalog XML for VM [%s][%s]",
                       name, guid);
        return false;
    }
    if (ctx.isAppAware) StartAppawareWorkflow(ctx.vmGuid);
    if (IsJobCancelled()) {
        SetLastVMError(VMINFO_ERR_JOB_CANCELLED);
        return false;
    }
    if (!_GenerateVMLevelSnapCatalogXML_VMCentric(ctx)) {
        EvDebug::Error(kMountTag, "Failed to generate snap catalog XML file for VM [%s][%s]", name, guid);
        return false;
    }
    if (!_CreateVMSnapshot_VMCentric(ctx)) {
        EvDebug::Error(kMountTag, "Failed to create backup snaps for VM [%s][%s]", name, guid);
        return false;
    }
    // Only a VM whose snapshot exists belongs in the job's catalog; a VM mounted again keeps its first record.
    NxCriticalSectionH lock(c_SnapV2VMInfoMapLock);
    c_SnapV2VMInfoMap[ctx.jobId].emplace(ctx.vmInfo.guid, ctx.vmInfo);
    return true;
}

bool CAzureInfo::_PopulateVMInfo_VMCentric(const MountCtx& ctx) {
    SVMBasicInfo basic;
    if (!_GetVMBasicInfoForVMGUID(ctx, ctx.vmGuid, basic)) {
        FailSlot(*this, kPopulateTag, VMINFO_ERR_VM_NOT_FOUND,
                 FXString::Format("Failed to find VM with GUID [%s] from the discovered VMs", ctx.vmGuid.c_str()));
        return false;
    }
    SVMInfo vm;
    if (!_PopulateVMInfo_SnapBackup(ctx, basic, vm)) {
        EvDebug::Error(kPopulateTag, "Failed to populate VM information for VM [%s][%s]", basic.name.c_str(),
                       basic.guid.c_str());
        return false;
    }
    // The archive file is the host's, made for the VM's child job before the mount; the look-up does not know it.
    vm.archiveFileId = ctx.vmInfo.archiveFileId;
    MountCtx& mount = Writable(ctx);
    mount.vmInfo = vm;
    mount.vmInfoByGuid[vm.guid] = vm;
    return true;
}

bool CAzureInfo::_GetVMBasicInfoForVMGUID(const MountCtx& ctx, const std::string& guid, SVMBasicInfo& basic) {
    for (const SVMBasicInfo& vm : ctx.vmList)
        if (vm.guid == guid) {
            basic = vm;
            return true;
        }
    return false;
}

bool CAzureInfo::_PopulateVolSnapListForVM_VMCentric(const MountCtx& ctx) {
    const SVMInfo& vm = ctx.vmInfo;
    for (const SDisk& disk : vm.disks) {
        SVMBasicInfo basic;
        if (!_GetVMBasicInfoForVMGUID(ctx, vm.guid, basic)) {
            EvDebug::Error(kVolSnapTag, "Could not find VM [%s] in snapMntCtx VM List", vm.guid.c_str());
            continue;
        }
        SVolSnap group;
        group.name = group.displayName = vm.storageAccount;
        group.datastore.name = group.datastore.displayName = vm.storageAccount;
        group.datastore.region = vm.region;
        group.datastore.volumeSlot = disk.volumeSlot;
        group.datastore.vmList.push_back(vm);
        group.vmBasicList.push_back(basic);
        group.vmList.push_back(vm);
        Writable(ctx).volSnaps.push_back(group);
    }
    return true;
}

bool CAzureInfo::_GenerateVMLevelSnapCatalogXML_VMCentric(const MountCtx& ctx) {
    const char* name = ctx.vmName.c_str();
    const char* guid = ctx.vmGuid.c_str();
    EvDebug::Debug(kVmCatalogTag, "Generating VM level snap metadata XML for VM [%s][%s] ... ", name, guid);
    std::string error;
    if (!CreateFolderIfNotPresent(CatalogFolder(ctx), &error)) {
        FailSlot(*this, kVmCatalogTag, VMINFO_ERR_MOUNT_DIR_PREPARE,
                 "Cannot create the snap metadata folder [" + CatalogFolder(ctx) + "]: " + error);
        return false;
    }
    for (const SVolSnap& group : ctx.volSnaps)
        if (!snapUtil->GenerateMetadataXML(ctx, group.datastore, ctx.volSnaps)) {
            EvDebug::Debug(kVmCatalogTag, "VM level snap metadata XML generation failed for VM [%s][%s] ", name, guid);
            SetLastVMError(VMINFO_ERR_SNAP_RECORDS, "The snap catalog of the VM could not be written");
            return false;
        }
    std::string path;
    _GenerateVMSnapMetadataFilePath_VMCentric(ctx, path);
    _AddFileForIndexUpload(path);
    return true;
}

bool CAzureInfo::_GenerateVMSnapMetadataFilePath_VMCentric(const MountCtx& ctx, std::string& path) {
    path = FXPath::Append(CatalogFolder(ctx), snapUtil->GetSnapMetadataFileName(ctx));
    EvDebug::Debug(kPathTag, "Snap Metadata File path for VM [%s][%s] is [%s]", ctx.vmName.c_str(),
                   ctx.vmGuid.c_str(), path.c_str());
    return true;
}

bool CAzureInfo::_CreateVMSnapshot_VMCentric(const MountCtx& ctx) {
    EvDebug::Debug(kSnapshotTag, "Initiating VMCentric snapshot creation for VM [%s][%s]", ctx.vmName.c_str(),
                   ctx.vmGuid.c_str());
    SMVolSnapInfo record;
    _PopulateSMVolSnapInfoForVM_VMCentric(ctx, record);
    if (!snapUtil->CreateHWSnapshot(ctx, record)) {
        FailSlot(*this, kSnapshotTag, VMINFO_ERR_SNAPSHOT_SET_CREATE,
                 FXString::Format("Failed to create hardware snapshots for VM [%s][%s]", ctx.vmName.c_str(),
                                  ctx.vmGuid.c_str()));
        return false;
    }
    // The job-level catalog names the VM's snapshot set, the one snap of its own record.
    for (const SMSnapInfo& snap : record.snaps)
        if (snap.status == SM_SNAP_STATUS_SUCCESS) Writable(ctx).vmInfo.snapshotGuid = snap.uniqueIdentifier;
    UpdateMountCtxReferenceTimeWIthCurrentTime(ctx);
    return true;
}

bool CAzureInfo::_PopulateSMVolSnapInfoForVM_VMCentric(const MountCtx& ctx, SMVolSnapInfo& record) {
    const SVMInfo& vm = ctx.vmInfo;
    SMVolumeInfo volume;
    _PopulateSMVolumeInfoForVM_VMCentric(ctx, vm, volume);
    const int index = record.addVolume(volume, 1);
    record.setServerCredentials(index, ctx.snapMountPath);
    record.setHypervisorType(index, GetVSInstType());
    std::string filtered;
    const auto byVm = ctx.filteredDisksByVm.find(vm.guid);
    if (byVm != ctx.filteredDisksByVm.end())
        for (const SDisk& disk : byVm->second) filtered += (filtered.empty() ? "" : ",") + disk.uri;
    if (!filtered.empty()) {
        EvDebug::Debug(kRecordTag, "Filtered Disks for VM [%s] [%s] - [%s] ", vm.name.c_str(), vm.guid.c_str(),
                       filtered.c_str());
        record.updateTransientMetadata(index, 1, SM_TRANSIENT_FILTERED_DISKS, filtered);
    }
    record.jobId = ctx.refJobId;
    record.arrayNum = ctx.arrayNum;
    EvDebug::Debug(kRecordTag,
                   "Adding VM to be snapped [%s] - [GUD - %s] [Afile_d -  %u] [engine - %u] [src-path - %s] "
                   "[SVM - %p] [Vol-Id - %d] [Mount path - %s]",
                   vm.name.c_str(), vm.guid.c_str(), vm.archiveFileId, ctx.snapEngine, vm.storageAccount.c_str(),
                   static_cast<const void*>(&vm), index, ctx.snapMountPath.c_str());
    snapUtil->DumpVolSnapInfo(record);
    return true;
}

bool CAzureInfo::_PopulateSMVolumeInfoForVM_VMCentric(const MountCtx& ctx, const SVMInfo& vm, SMVolumeInfo& volume) {
    volume = SnapVolumeFor(ctx, vm, ctx.refJobId, kVmCentricVolumeFlags);
    volume.masterJobId = ctx.jobId;
    volume.archiveFileId = vm.archiveFileId;
    return true;
}

bool CAzureInfo::_GenerateJobLevelSnapCatalogXML_VMCentric(const MountCtx& ctx) {
    EvDebug::Debug(kJobCatalogTag, "Generating Job level snap metadata XML for Job [%lld] ... ", ctx.jobId);
    std::string path;
    {
        NxCriticalSectionH lock(c_SnapV2VMInfoMapLock);
        if (!snapUtil->GenerateSnapBackupCatalogXml(ctx, path, c_SnapV2VMInfoMap[ctx.jobId])) {
            FailSlot(*this, kJobCatalogTag, VMINFO_ERR_SNAP_RECORDS,
                     FXString::Format("Failed to generate job level catalog XML for job [%lld]", ctx.jobId));
            return false;
        }
    }
    _AddFileForIndexUpload(path);
    return true;
}

void CAzureInfo::_ForgetSnapV2VMs(NXJobID jobId) {
    NxCriticalSectionH lock(c_SnapV2VMInfoMapLock);
    c_SnapV2VMInfoMap.erase(jobId);
}
