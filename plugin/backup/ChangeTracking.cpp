// Change-tracking setup at the end of a mount: full or incremental backup from
// the host's reference point, the reference snapshot the extent queries compare
// against, and the VM's change-tracking status text.
#include "host/message/VMReferencePointInfo.h"
#include "plugin/backup/MountCtxAccess.h"
#include "plugin/frame/AzureInfo.h"

bool CAzureInfo::InitCBT(const MountCtx& constCtx) {
    static const char* tag = "bool CAzureInfo::InitCBT(const MountCtx&)";
    MountCtx& ctx = Writable(constCtx);
    if (ctx.isFailback) {
        EvDebug::Debug(tag, "CBT is not supported for failback. Disabling CBT...");
        ctx.cbtEnabled = false;
        return true;
    }
    for (const SDisk& disk : ctx.vmInfo.disks) {
        if (disk.isManaged && disk.isEncrypted) {
            EvDebug::Debug(tag,
                           "Found at least one of the Managed VM [%s] disk encrypted. Setting CBT status to Failed for "
                           "entire VM...",
                           ctx.vmName.c_str());
            ctx.cbtEnabled = false;
            break;
        }
    }
    EvDebug::Debug(tag, "Initializing CBT related information...");
    std::string reference;
    if (!ctx.referencePoint.empty()) {
        VirtualServer::VMReferencePointInfo message;
        if (int code = message.unserialize(ctx.referencePoint)) {
            EvDebug::Error(tag, "Failed to read VM [%s] change block tracking details. Code [0x%x]",
                           ctx.vmName.c_str(), static_cast<unsigned>(code));
            return false;
        }
        changeIdBase = message.getstring(1, 1, 0x1aeef26a, 0xe4072f);
        reference = message.getstring(3, 9, 0x1aeef26a, 0x2e1faf);
        EvDebug::Debug(tag, "VM [%s] Change Id has been supplied. Change Id : [%s]", ctx.vmName.c_str(),
                       changeIdBase.c_str());
        ctx.cbtMode = 2;
        if (ctx.backupType == 4 && !changeIdBase.empty()) {
            reference = changeIdBase;
            EvDebug::Debug(tag, "Using SnapshotID [%s] from latest full job in cycle", reference.c_str());
        }
        EvDebug::Debug(tag, "Using SnapshotID [%s] as the reference snapshot for CBT", reference.c_str());
    } else if (ctx.cbtEnabled) {
        EvDebug::Debug(tag, "No change Id supplied for VM [%s]. Backup of VM will be full backup", ctx.vmName.c_str());
        ctx.cbtMode = 1;
    } else {
        ctx.cbtMode = ctx.backupType;
    }
    if (ctx.cbtMode != 1) referenceSnapshotId = reference;
    if (!SetVMCBTStatus(ctx)) EvDebug::Debug(tag, "Failed to set CBT status for VM [%s]", ctx.vmName.c_str());
    return true;
}

bool CAzureInfo::SetVMCBTStatus(const MountCtx& constCtx) {
    static const char* tag = "bool CAzureInfo::SetVMCBTStatus(const MountCtx&)";
    MountCtx& ctx = Writable(constCtx);
    EvDebug::Debug(tag, "Setting CBT Status...");
    ctx.cbtStatusText = ctx.cbtEnabled ? "Enabled" : "Not Used";
    if (ctx.cbtEnabled && ctx.cbtMode != 1) {
        int validated = 0;
        int failed = 0;
        for (const SDisk& disk : ctx.vmInfo.disks) {
            if (disk.uri.empty()) continue;
            bool ok = true;
            if (disk.isManaged) {
                ok = _ValidateChangeIDForManagedDiskSnapshot(disk.managedDiskId, referenceSnapshotId,
                                                             ctx.vmInfo.resourceGroup);
                if (!ok)
                    EvDebug::Error(tag, "Change ID validation failed for Snapshot [%s], Snapshot GUID [%s]",
                                   disk.managedDiskId.c_str(), referenceSnapshotId.c_str());
                if (disk.isEncrypted) {
                    EvDebug::Error(tag,
                                   "Snapshot [%s], Snapshot GUID [%s] is encrypted and does not support CBT. CBT "
                                   "status failed for entire VM...",
                                   disk.managedDiskId.c_str(), referenceSnapshotId.c_str());
                    validated = 0;
                    break;
                }
            } else {
                ok = _ValidateChangeIdForBlobURI(disk.uri, referenceSnapshotId, ctx.isSnapJob || ctx.isBackupCopy);
                if (!ok)
                    EvDebug::Error(tag, "Change ID validation failed for Blob [%s], Snapshot ID [%s]",
                                   disk.uri.c_str(), referenceSnapshotId.c_str());
            }
            if (ok)
                ++validated;
            else
                ++failed;
        }
        if (validated == 0)
            ctx.cbtStatusText = "Failed";
        else if (failed > 0)
            ctx.cbtStatusText = "Partially Used";
        else
            ctx.cbtStatusText = "Used";
    }
    EvDebug::Debug(tag, "Setting VM [%s][%s] CBT status to [%s]", ctx.vmName.c_str(), ctx.vmGuid.c_str(),
                   ctx.cbtStatusText.c_str());
    return true;
}
