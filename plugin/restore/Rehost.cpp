// Rehost conversion: the VM's new disks are attached to this machine, filled by the host, detached
// and deployed through the full-VM restore steps. This platform cannot attach cloud disks locally,
// so a conversion ends at its first disk.
#include "host/util/FXFile.h"
#include "plugin/frame/AzureInfo.h"
#include "plugin/frame/SlotFailure.h"

namespace {

const char* const kInitTag = "virtual bool CAzureInfo::InitRehost(const RestoreCtx&)";
const char* const kFinalizeTag = "virtual bool CAzureInfo::FinalizeRehost(const RestoreCtx&)";
const char* const kCleanupTag = "virtual bool CAzureInfo::CleanupRehost(const RestoreCtx&)";

bool NotPorted(const char* tag) {
    EvDebug::Error(tag, "Not Ported!");
    return false;
}

}  // namespace

bool CAzureInfo::InitRehost(const RestoreCtx& ctx) {
    return GuardSlot(*this, kInitTag, VMINFO_ERR_DISK_ATTACH, false, [&] {
        EvDebug::Debug(kInitTag, "Initializing Rehost for VM [%s]", ctx.vmName.c_str());
        _StartRestoreJob();
        if (!InitRestoreVM_FullVM(ctx)) return false;
        for (SDisk& disk : _Writable(ctx).disks) {
            if (disk.type != DISK_TYPE_VIRTUAL_DISK || _CreateAndAttachDisk(disk)) continue;
            EvDebug::Error(kInitTag, "Failed to attach Disk [%s]", disk.name.c_str());
            if (!CleanupRehost(ctx))
                EvDebug::Error(kInitTag, "Failed to cleanup Rehost after failing to attach disks for VM [%s]",
                               ctx.vmName.c_str());
            SetLastVMError(VMINFO_ERR_DISK_ATTACH);
            return false;
        }
        EvDebug::Debug(kInitTag, "All disks attached successfully for VM [%s]", ctx.vmName.c_str());
        return true;
    });
}

bool CAzureInfo::FinalizeRehost(const RestoreCtx& ctx) {
    return GuardSlot(*this, kFinalizeTag, VMINFO_ERR_RESTORE_DEPLOY, false, [&] {
        EvDebug::Debug(kFinalizeTag, "Finalizing Rehost for VM [%s]", ctx.vmName.c_str());
        for (SDisk& disk : _Writable(ctx).disks)
            if (disk.type == DISK_TYPE_VIRTUAL_DISK && !disk.attachedPath.empty() && !_DetachDisk(disk)) return false;
        return PreRestoreVM_FullVM(ctx) && RestoreVM(ctx) != 0 && PostRestoreVM_FullVM(ctx);
    });
}

// Undoes a failed conversion. Like the restore clean-up it removes only blobs this job created:
// a blob of a restored disk's name that was there before the job is never touched.
bool CAzureInfo::CleanupRehost(const RestoreCtx& ctx) {
    return GuardSlot(*this, kCleanupTag, VMINFO_ERR_DISK_ATTACH, false, [&] {
        EvDebug::Debug(kCleanupTag, "Cleaning up Rehost for VM [%s]", ctx.vmName.c_str());
        for (SDisk& disk : _Writable(ctx).disks) {
            if (disk.attachedPath.empty()) continue;
            _DetachDisk(disk);
            _DeleteVirtualDiskFile(disk);
        }
        for (const SDisk& disk : ctx.disks)
            if (disk.type == DISK_TYPE_VIRTUAL_DISK) _DeleteCreatedBlob(ctx, disk);
        _DeleteCreatedContainers(kCleanupTag);
        return true;
    });
}

bool CAzureInfo::_CreateAndAttachDisk(SDisk&) { return NotPorted("bool CAzureInfo::_CreateAndAttachDisk(SDisk&)"); }

bool CAzureInfo::_AttachDisk(SDisk&) { return NotPorted("bool CAzureInfo::_AttachDisk(SDisk&)"); }

bool CAzureInfo::_DetachDisk(SDisk&) { return NotPorted("bool CAzureInfo::_DetachDisk(SDisk&)"); }

bool CAzureInfo::_DeleteVirtualDiskFile(SDisk& disk) {
    EvDebug::Debug("bool CAzureInfo::_DeleteVirtualDiskFile(SDisk&)", "Deleting File [%s], Path [%s]",
                   disk.name.c_str(), disk.uri.c_str());
    FXFile::RemoveFile(disk.uri);
    return true;
}
