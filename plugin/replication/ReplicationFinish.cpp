// After the host has written a replica's disks: the integrity snapshot that the next run starts from,
// the replication GUID tag on every destination blob, and the replica's power state.
#include "host/log/JobIdentity.h"
#include "host/settings/NXPlatformInfo.h"
#include "host/sys/Time.h"
#include "host/util/Guid.h"
#include "plugin/frame/AzureInfo.h"
#include "plugin/replication/ReplicaNames.h"

namespace {

const char* const kPreTag = "bool CAzureInfo::PreRestoreVM_Replication(const RestoreCtx&)";
const char* const kTrackTag = "bool CAzureInfo::UpdateDiskTrackingInfo(const RestoreCtx&, const string)";
const char* const kPostTag = "bool CAzureInfo::PostRestoreVM_Replication(const RestoreCtx&)";

// Minutes a deployed replica is given to boot before it is validated and shut down.
unsigned long ReplicaBootMinutes() {
    unsigned long minutes = 5;
    NXPlatformInfo::getNumber("VirtualServer", "nMinsWaitForBootTimeout", &minutes);
    return minutes == 0 ? 5 : minutes;
}

}  // namespace

bool CAzureInfo::PreRestoreVM_Replication(const RestoreCtx& ctx) {
    // The full-VM preparation starts its own failure list; what the init recorded (a fall-back to a full
    // write) is the job's all the same.
    const std::vector<SFailure> recorded = ctx.restoreFailures;
    if (!PreRestoreVM_FullVM(ctx)) return false;
    std::vector<SFailure>& failures = _Writable(ctx).restoreFailures;
    failures.insert(failures.begin(), recorded.begin(), recorded.end());
    if (ctx.deployReplicaVm) return true;
    std::vector<SDisk> blobs;
    for (const SDisk& disk : ctx.disks) {
        if (disk.type == DISK_TYPE_FILE) continue;
        SAzureDiskInfo record;
        if (!GetDiskInfoByStagingFile(disk.uri, record)) {
            EvDebug::Error(kPreTag, "Failed to get storage account for disk file [%s] from cached storage account details",
                           disk.uri.c_str());
            SetLastVMError(VMINFO_ERR_DISK_CREATE, "Failed to get storage account for disk file [" + disk.uri +
                                                       "] from cached storage account details");
            return false;
        }
        SDisk blob = disk;
        blob.storageAccount = record.storageAccount + "\\" + record.container;
        blob.uri.clear();
        blobs.push_back(blob);
    }
    if (!sdk->DeleteDiskSnapshots("", blobs, "", false)) {
        EvDebug::Error(kPreTag, "Failed to delete existing snapshot on blobs");
        SetLastVMError(VMINFO_ERR_SNAPSHOT_DELETE, sdk->GetLastErrorString());
        return false;
    }
    std::string changeId;
    std::vector<SDisk> snapshotDisks;
    if (!sdk->CreateDiskSnapshots(blobs, "", "", "", 0, EvEvent::getJobId(), changeId, snapshotDisks)) {
        const std::string text = sdk->GetLastErrorString();
        EvDebug::Error(kPreTag, "Failed to create integrity snapshot, error: [%s]", text.c_str());
        SetLastVMError(VMINFO_ERR_SNAPSHOT_SET_CREATE, text);
        return false;
    }
    EvDebug::Debug(kPreTag, "The change tracking id for VM [%s] is [%s]", ctx.vmName.c_str(), changeId.c_str());
    UpdateDiskTrackingInfo(ctx, changeId);
    return true;
}

bool CAzureInfo::UpdateDiskTrackingInfo(const RestoreCtx& ctx, const std::string changeId) {
    for (SDisk& disk : _Writable(ctx).disks) {
        if (disk.type != DISK_TYPE_VIRTUAL_DISK) continue;
        if (disk.replicationGuid.empty()) disk.replicationGuid = CreateGuid();
        disk.changeId = changeId;
        EvDebug::Debug(kTrackTag, "Setting Replication GUID [%s] in metadata of blob [%s]",
                       disk.replicationGuid.c_str(), disk.name.c_str());
        SInventoryInfo tag;
        tag.name = kReplicationDiskGuidTag;
        tag.id = disk.replicationGuid;
        // The tag always goes on the page blob, whatever the restored disk becomes.
        const bool isManaged = disk.isManaged;
        disk.isManaged = false;
        const bool tagged = sdk->SetDiskTagInfo("", disk, {tag});
        disk.isManaged = isManaged;
        if (!tagged) {
            EvDebug::Error(kTrackTag, "Failed to add GUID [%s] to blob [%s]", disk.replicationGuid.c_str(),
                           disk.name.c_str());
            return false;
        }
    }
    return true;
}

bool CAzureInfo::PostRestoreVM_Replication(const RestoreCtx& ctx) {
    RestoreCtx& restore = _Writable(ctx);
    CleanupStagingInfoForVM(ctx.disks);
    if (!ctx.createVm && !ctx.deployReplicaVm) return true;
    if (GetVMInfoForVM(ctx.vmName, ctx.vmGuid, ctx.resourceGroup, ~UINT64(0), 0, restore.vmInfo) == 0) {
        EvDebug::Error(kPostTag, "Failed to find VM [%s]", ctx.vmName.c_str());
        SetLastVMError(VMINFO_ERR_VM_NOT_FOUND, "Failed to find VM [" + ctx.vmName + "]: " + sdk->GetLastErrorString());
        return false;
    }
    if (ctx.deployReplicaVm && ctx.powerOn) return true;
    const unsigned long minutes = ReplicaBootMinutes();
    EvDebug::DebugLvl(kPostTag, 2, "Waiting for VM [%s] to boot", ctx.vmName.c_str());
    KASLEEP(minutes * 60 * 1000);
    if (ctx.powerOn)
        ValidateDestinationVM(ctx);  // accepts every replica
    else
        restore.validationStatus = 6;
    EvDebug::DebugLvl(kPostTag, 2, "Shutting down VM [%s][%s]", ctx.vmName.c_str(), ctx.vmInfo.guid.c_str());
    if (sdk->ShutdownVM(ctx.vmName, ctx.vmInfo.guid, true)) return true;
    EvDebug::Error(kPostTag, "Failed to power off VM");
    SetLastVMError(VMINFO_ERR_RESTORE_DEPLOY,
                   "Failed to power off VM [" + ctx.vmName + "]: " + sdk->GetLastErrorString());
    return false;
}

bool CAzureInfo::ValidateDestinationVM(const RestoreCtx&) { return true; }
