// Post-backup: this backup's snapshot set becomes the reference of the next incremental backup.
#include "host/message/VMReferencePointInfo.h"
#include "host/settings/NXPlatformInfo.h"
#include "plugin/backup/MountCtxAccess.h"
#include "plugin/frame/AzureInfo.h"
#include "plugin/frame/SlotFailure.h"

namespace {

const char* const kTag = "virtual int CAzureInfo::PostBackupVM(const MountCtx&)";

}  // namespace

int CAzureInfo::PostBackupVM(const MountCtx& ctx) {
    return GuardSlot(*this, kTag, VMINFO_ERR_SNAPSHOT_DELETE, 0, [&] {
        MountCtx& mount = Writable(ctx);
        bool skipDelete = false;
        NXPlatformInfo::getBoolean("VirtualServer", "bSkipDeleteSnapshotsForAzure", &skipDelete);
        if (!ctx.cbtEnabled || ctx.vmInfo.snapshotGuid.empty()) return 1;

        VirtualServer::VMReferencePointInfo reference;
        reference.setstring(1, 1, 0x1aeef26a, 0xe4072f,
                            changeIdBase.empty() ? ctx.vmInfo.snapshotGuid : changeIdBase);
        reference.setstring(3, 9, 0x1aeef26a, 0x2e1faf, ctx.vmInfo.snapshotGuid);
        if (int err = reference.serialize(mount.referencePoint, false)) {
            EvDebug::Debug(kTag, "Failed to generate VMChangeId blob for VM [%s], err [0x%x]", ctx.vmName.c_str(),
                           static_cast<unsigned>(err));
            return 0;
        }

        if (!ctx.isBackupCopy && !skipDelete) {
            std::string old = referenceSnapshotId;
            unsigned long differential = 0;
            NXPlatformInfo::getNumber("VirtualServer", "nEnableCBTForDifferential", &differential);
            if (differential != 0) {
                EvDebug::Debug(kTag, "Enabling CBT for Azure Differential backups");
                if (!old.empty() && FXString::CompareNoCase(old, changeIdBase) == 0) {
                    EvDebug::Debug(kTag, "Skipping cleanup of SnapshotID [%s] as this is for a full backup job",
                                   old.c_str());
                    old.clear();
                }
            }
            if (!old.empty()) {
                EvDebug::Debug(kTag, "Cleaning up snapshots for VM SnapshotID [%s]", old.c_str());
                if (!_DeleteDiskSnapshots(old, mount.vmInfo.disks, ctx.hostName, ctx.isSnapJob)) {
                    EvDebug::Debug(kTag,
                                   "Failed to delete snapshots for VM with SnapshotID [%s]. Treating this as a soft "
                                   "error",
                                   old.c_str());
                    SetLastVMErrorDetails(sdk->GetLastErrorString());
                }
            }
        }
        mount.vmInfo.snapshotGuid.clear();
        mount.backupSnapshotGuid.clear();
        return 1;
    });
}
