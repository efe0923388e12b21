// Snapshot phase of a snapshot-engine job: the VMs of the job are looked up,
// each gets a volume and an archive file in the job's snap record, the host's
// snapshot utility snaps them all at once, and the outcome per VM is recorded.
#include <algorithm>
#include <memory>

#include "host/settings/NXPlatformInfo.h"
#include "plugin/backup/MountCtxAccess.h"
#include "plugin/frame/AzureInfo.h"
#include "plugin/frame/SlotFailure.h"
#include "plugin/snap/SnapNames.h"
#include "plugin/snap/SnapVolume.h"

namespace {

const char* const kPreSnapTag = "virtual int CAzureInfo::PreSnap(MountCtx&)";
const char* const kPostSnapTag = "virtual int CAzureInfo::PostSnap(MountCtx&)";
const char* const kBuildTag = "bool CAzureInfo::_BuildVolListForSnapshot(const MountCtx&)";
const char* const kPopulateTag =
    "bool CAzureInfo::_PopulateVMInfo_SnapBackup(const MountCtx&, const VMInfoStructs::SVMBasicInfo&, "
    "VMInfoStructs::SVMInfo&)";
const char* const kUpdateTag = "bool CAzureInfo::_UpdateVolSnapInfo(MountCtx&)";
const char* const kGetInfoTag = "bool CAzureInfo::_GetVolSnapInfo(const MountCtx&, string&)";
const char* const kSnapIdTag = "bool CAzureInfo::_GetSnapIdFromVolSnap(const string, string&)";
const char* const kStatusTag = "bool CAzureInfo::UpdateVMSnapStatusAndInvalidateAFile(const MountCtx&)";
const char* const kSection = "VirtualServer";
constexpr std::uint64_t kSnapVolumeFlags = 0x2000000;

// Runs on every return of PreSnap: once armed, no archive file of this attempt stays valid.
class InvalidateOnExit {
public:
    InvalidateOnExit(CVMInfo& host, const MountCtx& ctx) : host_(host), ctx_(ctx) {}
    ~InvalidateOnExit() {
        if (armed_) host_.InvalidateArchiveFiles(ctx_);
    }
    InvalidateOnExit(const InvalidateOnExit&) = delete;
    InvalidateOnExit& operator=(const InvalidateOnExit&) = delete;
    void Arm() { armed_ = true; }

private:
    CVMInfo& host_;
    const MountCtx& ctx_;
    bool armed_ = false;
};

}  // namespace

int CAzureInfo::PreSnap(MountCtx& ctx) {
    return GuardSlot(*this, kPreSnapTag, VMINFO_ERR_SNAP_VOLUME_LIST, 0, [&] {
        EvDebug::DebugLvl(kPreSnapTag, 2, "PreSnap >> Start");
        if (ctx.isAppAware && ctx.isSnapJob)
            for (const SVMBasicInfo& vm : ctx.vmList) {
                StartAppawareWorkflow(vm.guid);
                if (IsJobCancelled()) {
                    SetLastVMError(VMINFO_ERR_JOB_CANCELLED);
                    return 0;
                }
            }
        InvalidateOnExit invalidate(*this, ctx);
        ctx.refJobId = ctx.jobId;
        snapMetadataDir = ctx.metadataDir;
        if (!isVVolSnap(ctx.snapEngine)) {
            EvDebug::Error(kPreSnapTag, "Azure snap backup is being attempted with an unsupported engine [%x]",
                           ctx.snapEngine);
            SetLastVMError(VMINFO_ERR_SNAP_VOLUME_LIST, "unsupported snapshot engine");
            return 0;
        }
        if (IsJobCancelled()) {
            SetLastVMError(VMINFO_ERR_JOB_CANCELLED);
            return 0;
        }
        NotifyProgressUpdate();
        if (!_BuildVolListForSnapshot(ctx)) {
            EvDebug::Error(kPreSnapTag, "_BuildVolListForSnapshot failed");
            SetLastVMError(VMINFO_ERR_SNAP_VOLUME_LIST);
            return 0;
        }
        _UpdateVolSnapInfo(ctx);
        if (!snapUtil->CreateHWSnapshot(ctx, volSnapInfo)) {
            FailSlot(*this, kPreSnapTag, VMINFO_ERR_SNAPSHOT_SET_CREATE, "Failed to create snapshots");
            invalidate.Arm();
            return 0;
        }
        if (!UpdateVMSnapStatusAndInvalidateAFile(ctx)) {
            EvDebug::Error(kPreSnapTag, "Failed to update vm snapshot status and invalidate failed VM AFile");
            if (GetLastVMError() == VMINFO_ERR_NONE) SetLastVMError(VMINFO_ERR_SNAP_RECORDS);
            invalidate.Arm();
            return 0;
        }
        std::string path;
        if (!_GenerateSnapMetadataXML(ctx, path)) {
            EvDebug::Error(kPreSnapTag, "Failed to generate snap metadata XML");
            if (GetLastVMError() == VMINFO_ERR_NONE) SetLastVMError(VMINFO_ERR_SNAP_RECORDS);
            invalidate.Arm();
            return 0;
        }
        _AddFileForIndexUpload(path);
        UpdateMountCtxReferenceTimeWIthCurrentTime(ctx);
        return 1;
    });
}

int CAzureInfo::PostSnap(MountCtx& ctx) {
    return GuardSlot(*this, kPostSnapTag, VMINFO_ERR_SNAP_RECORDS, 0, [&] {
        if (!ctx.isSnapJob || !ctx.isVmCentric) return 1;
        const bool generated = _GenerateJobLevelSnapCatalogXML_VMCentric(ctx);
        // The job ends here: its VMs must not stay in the process for a later job's catalog.
        _ForgetSnapV2VMs(ctx.jobId);
        if (generated) return 1;
        EvDebug::Error(kPostSnapTag, "Failed to generate backup catalog XML");
        return 0;
    });
}

bool CAzureInfo::_BuildVolListForSnapshot(const MountCtx& ctx) {
    MountCtx& mount = Writable(ctx);
    mount.vmInfoByGuid.clear();
    std::size_t failed = 0;
    for (const SVMBasicInfo& basic : ctx.vmList) {
        SVMInfo info;
        if (!_PopulateVMInfo_SnapBackup(ctx, basic, info)) {
            info.name = basic.name;
            info.guid = basic.guid;
            const EVMInfoError code = GetLastVMError();
            info.snapStatus = code == VMINFO_ERR_NONE ? 1 : static_cast<std::uint32_t>(code);
            info.snapStatusDetails = GetLastVMErrorDetails();
            ++failed;
        }
        mount.vmInfoByGuid[basic.guid] = info;
    }
    if (failed == ctx.vmList.size()) {
        EvDebug::Error(kBuildTag, "No VMs selected for snap backup");
        return false;
    }
    return true;
}

bool CAzureInfo::_PopulateVMInfo_SnapBackup(const MountCtx& ctx, const SVMBasicInfo& basic, SVMInfo& info) {
    if (!IsSafePathPart(basic.name) || !IsSafePathPart(basic.guid)) {
        SetLastVMError(VMINFO_ERR_VM_NOT_FOUND, "VM name [" + basic.name + "] or GUID [" + basic.guid +
                                                    "] cannot name a metadata file");
        EvDebug::Error(kPopulateTag, "%s", GetLastVMErrorDetails().c_str());
        return false;
    }
    EvDebug::DebugLvl(kPopulateTag, 2, "Check if VM [%s][%s] exists in Azure", basic.name.c_str(),
                      basic.guid.c_str());
    if (!sdk->GetVMInfoForVM(basic.name, basic.guid, basic.host, 0x20000039, 0, info)) {
        SetLastVMError(VMINFO_ERR_VM_NOT_FOUND, sdk->GetLastErrorString());
        EvDebug::Error(kPopulateTag, "Failed to get virtual machine details: [%s][%s]", basic.name.c_str(),
                       basic.guid.c_str());
        return false;
    }
    MountCtx& mount = Writable(ctx);
    std::vector<SDisk> kept;
    for (SDisk disk : info.disks) {
        disk.backupStorageAccount = disk.storageAccount;
        if (info.isManaged) disk.uri = disk.managedDiskId;
        const std::string::size_type slash = disk.uri.rfind('/');
        if (slash != std::string::npos) {
            disk.indexName = disk.uri.substr(slash + 1);
            disk.indexName = GenerateUniqueDiskNameForBackup(disk);
        }
        const bool skipData = skipDataDisks && !disk.isOsDisk;
        if (skipData) EvDebug::Debug(kPopulateTag, "Filtering Data disk [%s].", disk.uri.c_str());
        if (!skipData && IsDiskFiltered(ctx, disk))
            EvDebug::Debug(kPopulateTag, "blob or disk [%s] is filtered.", disk.uri.c_str());
        else if (!skipData) {
            kept.push_back(disk);
            continue;
        }
        disk.isFiltered = true;
        mount.filteredDisksByVm[info.guid].push_back(disk);
        ++mount.filteredDiskCount;
    }
    if (kept.empty()) {
        SetLastVMError(VMINFO_ERR_ALL_DISKS_FILTERED);
        EvDebug::Error(kPopulateTag, "All disks are filtered for VM [%s] GUID [%s].", basic.name.c_str(),
                       basic.guid.c_str());
        return false;
    }
    info.disks = kept;
    info.name = basic.name;
    info.guid = basic.guid;
    info.resourceGroup = basic.host;
    info.snapStatus = 0;
    return true;
}

bool CAzureInfo::_UpdateVolSnapInfo(MountCtx& ctx) {
    volSnapInfo = SMVolSnapInfo();  // the record describes this job's VMs only
    for (auto& [guid, vm] : ctx.vmInfoByGuid) {
        if (vm.snapStatus != 0) continue;
        SMVolumeInfo volume = SnapVolumeFor(ctx, vm, ctx.jobId, kSnapVolumeFlags);
        int index = -1;
        if (CreateArchiveFileForSnapBackup(ctx, vm.archiveFileId, vm.guid)) {
            volume.archiveFileId = vm.archiveFileId;
            index = volSnapInfo.addVolume(volume, 1);
            volSnapInfo.setServerCredentials(index, ctx.snapMountPath);
            volSnapInfo.setHypervisorType(index, GetVSInstType());
            volSnapInfo.setArrayNum(index, ctx.arrayNum);
            std::string filtered;
            for (const SDisk& disk : ctx.filteredDisksByVm[guid]) filtered += (filtered.empty() ? "" : ",") + disk.uri;
            if (!filtered.empty()) {
                EvDebug::Debug(kUpdateTag, "Filtered Disks for VM [%s] [%s] - [%s] ", vm.name.c_str(),
                               vm.guid.c_str(), filtered.c_str());
                volSnapInfo.updateTransientMetadata(index, 1, SM_TRANSIENT_FILTERED_DISKS, filtered);
            }
        } else {
            // Without an archive file the VM's snapshot could not be kept: it fails on its own, now.
            vm.archiveFileId = 0;
            vm.snapStatus = VMINFO_ERR_SNAP_ARCHIVE_FILE;
            vm.snapStatusDetails = "No archive file could be created for the VM's snapshot";
            EvDebug::Debug(kUpdateTag, "[ERROR] VM [%s] Create Archive failed - %lu", vm.name.c_str(),
                           static_cast<unsigned long>(vm.snapStatus));
        }
        EvDebug::DebugLvl(kUpdateTag, 2,
                          "Adding Volume for VM to be snapped [%s] - [GUD - %s] [Afile_d -  %u] [engine - %u] "
                          "[src-path - %s] [SVM - %p] [Vol-Id - %d] [Mount path - %s]",
                          vm.name.c_str(), vm.guid.c_str(), vm.archiveFileId, ctx.snapEngine,
                          vm.storageAccount.c_str(), static_cast<void*>(&vm), index, ctx.snapMountPath.c_str());
    }
    bool allowPartial = true;
    NXPlatformInfo::getBoolean(kSection, "bAllowPartialHWSnapshot", &allowPartial);
    if (allowPartial) {
        EvDebug::Debug(kUpdateTag, "Setting flag VOLSNAP_ACTIONFLAGS_PARTIAL_SNAP to support snap partial success");
        volSnapInfo.setSnapActionFlagsEx(volSnapInfo.getSnapActionFlagsEx() | VOLSNAP_ACTIONFLAGS_PARTIAL_SNAP);
    }
    _DumpVolSnapInfo(volSnapInfo);
    return true;
}

bool CAzureInfo::_GetVolSnapInfo(const MountCtx& ctx, std::string& snapshotGuid) {
    if (!snapUtil->GetVOLSNAPInfo(ctx, volSnapInfo, ctx.isVmCentric)) {
        EvDebug::Error(kGetInfoTag, "_GetVOLSNAPInfo Failed");
        SetLastVMError(VMINFO_ERR_SNAP_RECORDS);
        return false;
    }
    if (volSnapInfo.numOfSnap() == 0) {
        EvDebug::Error(kGetInfoTag, "No Snap found. Snap Count is Zero.");
        SetLastVMError(VMINFO_ERR_SNAP_RECORDS);
        return false;
    }
    EvDebug::Debug(kGetInfoTag, "Volume dump:");
    _DumpVolSnapInfo(volSnapInfo);
    if (_GetSnapIdFromVolSnap(ctx.vmGuid, snapshotGuid)) return true;
    SetLastVMError(VMINFO_ERR_SNAP_ID_RESOLVE);
    return false;
}

bool CAzureInfo::_GetSnapIdFromVolSnap(const std::string vmGuid, std::string& snapshotGuid) {
    EvDebug::DebugLvl(kSnapIdTag, 1, "Searching for snapshot GUID for VM [%s]", vmGuid.c_str());
    // Only the VM's own volume counts: any other volume would hand out another VM's snapshot.
    const auto volume = std::find_if(volSnapInfo.volumes.begin(), volSnapInfo.volumes.end(),
                                     [&](const SMVolumeInfo& v) { return boost::iequals(v.sourceGuid, vmGuid); });
    if (volume != volSnapInfo.volumes.end())
        for (const SMVolSnapMapInfo& entry : volSnapInfo.volSnapMap) {
            if (entry.volumeId != volume->volumeId) continue;
            for (const SMSnapInfo& snap : volSnapInfo.snaps)
                if (snap.snapId == entry.snapId) {
                    snapshotGuid = snap.uniqueIdentifier;
                    EvDebug::DebugLvl(kSnapIdTag, 1, "Found snapshot GUID [%s] for VM [%s]", snapshotGuid.c_str(),
                                      vmGuid.c_str());
                    return true;
                }
        }
    EvDebug::DebugLvl(kSnapIdTag, 1, "Snapshots with GUID [%s] is not found for VM [%s]", snapshotGuid.c_str(),
                      vmGuid.c_str());
    return false;
}

bool CAzureInfo::UpdateVMSnapStatusAndInvalidateAFile(const MountCtx& ctx) {
    MountCtx& mount = Writable(ctx);
    std::vector<std::uint32_t> failedFiles;
    for (const SMVolumeInfo& volume : volSnapInfo.volumes) {
        const auto entry = std::find_if(volSnapInfo.volSnapMap.begin(), volSnapInfo.volSnapMap.end(),
                                        [&](const SMVolSnapMapInfo& e) { return e.volumeId == volume.volumeId; });
        const auto snap = entry == volSnapInfo.volSnapMap.end()
                              ? volSnapInfo.snaps.end()
                              : std::find_if(volSnapInfo.snaps.begin(), volSnapInfo.snaps.end(),
                                             [&](const SMSnapInfo& s) { return s.snapId == entry->snapId; });
        SVMInfo& vm = mount.vmInfoByGuid[volume.sourceGuid];
        if (snap != volSnapInfo.snaps.end() && snap->status == SM_SNAP_STATUS_SUCCESS) {
            vm.snapshotGuid = snap->uniqueIdentifier;
            vm.snapStatus = 0;
            continue;
        }
        // A volume the engine recorded no snapshot for has none: it fails like a failed snapshot.
        const bool recorded = snap != volSnapInfo.snaps.end();
        vm.snapStatus = VMINFO_ERR_VM_SNAPSHOT_CREATE;
        vm.snapStatusDetails = recorded ? snap->errorText : "the snapshot engine recorded no snapshot";
        EvDebug::Error(kStatusTag, "Snapshot creation failed for VM [%s][%s]. Snap status [%d:%d].",
                       volume.sourceDevice.c_str(), volume.sourceGuid.c_str(), recorded ? snap->status : 0,
                       recorded ? snap->errorCode : 0);
        EvDebug::Error(kStatusTag, "Adding Archive File [%d] for VM [%s][%s] to failed arch file list.",
                       static_cast<int>(volume.archiveFileId), volume.sourceDevice.c_str(),
                       volume.sourceGuid.c_str());
        failedFiles.push_back(volume.archiveFileId);
    }
    if (failedFiles.empty()) return true;
    if (!InvalidateArchiveFiles(failedFiles, ctx.jobId, ctx.orbitId)) return false;
    EvDebug::Debug(kStatusTag, "Marked archive files for failed snapshots as invalid.");
    return true;
}
