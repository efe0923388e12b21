// Mount of one VM of a snapshot-engine job: the VM's snapshot outcome decides
// whether its snapshot may be used, and the host asks for the VM's archive file
// per file of the mount. A VM-centric job snaps and catalogues the VM here.
#include "plugin/frame/AzureInfo.h"
#include "plugin/frame/SlotFailure.h"

namespace {

const char* const kMountTag = "bool CAzureInfo::_MountVM_Snap_Backup(const MountCtx&)";
const char* const kAFileTag =
    "virtual int CAzureInfo::GetAFileID(const MountCtx&, const string&, DiskType_t, std::uint32_t&)";
const char* const kUnMountTag = "virtual int CAzureInfo::UnMountSnap(MountCtx&)";

// The message a VM's snapshot status is reported with; empty for a status without its own.
std::string SnapStatusMessage(const MountCtx& ctx) {
    const char* name = ctx.vmName.c_str();
    switch (ctx.vmInfo.snapStatus) {
        case VMINFO_ERR_VM_NOT_FOUND:
            return FXString::Format("Virtual machine [%s] is not found", name);
        case VMINFO_ERR_VM_SNAPSHOT_CREATE:
            return FXString::Format("Failed to create snapshot for VM: [%s][%s] during snapbackup phase", name,
                                    ctx.vmGuid.c_str());
        case VMINFO_ERR_SNAP_MANAGED_VM_UNSUPPORTED:
            return FXString::Format("Currently, Snap backup is NOT supported for Azure Managed VM : [%s]", name);
        case VMINFO_ERR_AZURE_STACK_MANAGED_UNSUPPORTED:
            return FXString::Format("Backup is NOT supported for Azure Stack Managed VM : [%s]", name);
        default:
            return "";
    }
}

// True when the snapshot phase recorded a snapshot for the mounted VM.
bool HasSnapshot(const MountCtx& ctx) {
    const auto record = ctx.vmInfoByGuid.find(ctx.vmGuid);
    return record != ctx.vmInfoByGuid.end() && record->second.snapStatus == 0 && !record->second.snapshotGuid.empty();
}

}  // namespace

bool CAzureInfo::_MountVM_Snap_Backup(const MountCtx& ctx) {
    if (ctx.isVmCentric) {
        if (_MountVM_SnapBackup_VMCentric(ctx)) return true;
        // The host must not keep an archive file for a VM whose snapshot or catalog is missing.
        if (ctx.vmInfo.archiveFileId != 0) InvalidateArchiveFiles({ctx.vmInfo.archiveFileId}, ctx.altJobId, ctx.orbitId);
        return false;
    }
    UpdateMountCtxReferenceTimeWIthCurrentTime(ctx);
    const std::uint32_t status = ctx.vmInfo.snapStatus;
    if (status != 0) {
        const std::string message = SnapStatusMessage(ctx);
        const std::string text = message.empty() ? FXString::Format("Snap backup of VM [%s][%s] failed with status [%u]",
                                                                    ctx.vmName.c_str(), ctx.vmGuid.c_str(), status)
                                                 : message;
        EvDebug::Error(kMountTag, "%s", text.c_str());
        SetLastVMError(static_cast<EVMInfoError>(status),
                       ctx.vmInfo.snapStatusDetails.empty() ? text : ctx.vmInfo.snapStatusDetails);
        return false;
    }
    if (HasSnapshot(ctx)) return true;
    // A VM the snapshot phase left without a snapshot has nothing to back up: its archive file goes too.
    FailSlot(*this, kMountTag, VMINFO_ERR_VM_SNAPSHOT_CREATE,
             "VM [" + ctx.vmName + "][" + ctx.vmGuid + "] has no snapshot in snap job [" +
                 std::to_string(ctx.jobId) + "]");
    if (ctx.vmInfo.archiveFileId != 0) InvalidateArchiveFiles({ctx.vmInfo.archiveFileId}, ctx.jobId, ctx.orbitId);
    return false;
}

int CAzureInfo::GetAFileID(const MountCtx& ctx, const std::string& fileName, DiskType_t, std::uint32_t& archiveFileId) {
    return GuardSlot(*this, kAFileTag, VMINFO_ERR_SNAP_RECORDS, 0, [&] {
        EvDebug::DebugLvl(kAFileTag, 2, "strFileName:[%s]", fileName.c_str());
        if (ctx.vmGuid.empty()) {
            FailSlot(*this, kAFileTag, VMINFO_ERR_SNAP_RECORDS, "Missing VM GUID in mount context");
            return 0;
        }
        if (!isVVolSnap(ctx.snapEngine)) return 1;
        const auto record = ctx.vmInfoByGuid.find(ctx.vmGuid);
        if (record == ctx.vmInfoByGuid.end()) {
            EvDebug::Error(kAFileTag, "Failed to get VM GUID [%s] in the Map (for getting Archive-FileId)",
                           ctx.vmGuid.c_str());
            SetLastVMError(VMINFO_ERR_SNAP_RECORDS, "VM [" + ctx.vmGuid + "] is not a VM of the snap job");
            return 0;
        }
        archiveFileId = record->second.archiveFileId;
        EvDebug::DebugLvl(kAFileTag, 2, "[ VVolSnap ] [m_strVMGuid - %s] strFileName:[%s] has Afile-Id [%u]",
                          ctx.vmGuid.c_str(), fileName.c_str(), archiveFileId);
        return 1;
    });
}

int CAzureInfo::UnMountSnap(MountCtx&) {
    EvDebug::Debug(kUnMountTag, "Invoked");
    return 1;
}
