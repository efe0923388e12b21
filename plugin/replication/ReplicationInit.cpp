// The init phase of a replication restore: find the destination, name its blobs, and decide whether
// this run rebuilds the replica in full or writes only the changes over its reverted blobs.
#include <algorithm>

#include "cloudsdk/SdkErrorCodes.h"
#include "host/log/JobIdentity.h"
#include "plugin/frame/AzureInfo.h"
#include "plugin/frame/Existence.h"
#include "plugin/frame/SlotFailure.h"
#include "plugin/replication/ReplicaNames.h"

namespace {

const char* const kInitTag = "bool CAzureInfo::InitRestoreVM_Replication(const RestoreCtx&)";
const char* const kFirstTag = "bool CAzureInfo::InitRestoreVM_FirstTimeVMReplication(const RestoreCtx&, bool)";
const char* const kIncrTag = "bool CAzureInfo::InitRestoreVM_IncrementalReplication(const RestoreCtx&, bool)";
const char* const kFreshTag = "bool CAzureInfo::_DeleteBlobsForFullSync(const RestoreCtx&)";

constexpr std::int32_t kFullSync = 1;
constexpr std::int32_t kIncrementalSync = 2;
// What the destination VM is looked up with: every detail the flow reads.
constexpr UINT64 kDestinationVmFlags = 0x2000005B;

const char* const kBlobsInTheWay =
    "Blob already exists in destination storage account. Please select different storage account or select "
    "overwrite option";

}  // namespace

bool CAzureInfo::InitRestoreVM_Replication(const RestoreCtx& ctx) {
    RestoreCtx& restore = _Writable(ctx);
    const std::string vmName = ctx.vmName;
    SetLastVMError(VMINFO_ERR_NONE);
    // The cloud file system comes first: where it is absent, the run ends before any cloud call.
    if (!InitVSCloudFS()) {
        SetLastVMError(VMINFO_ERR_CLOUDFS_UNAVAILABLE, "VSCloudFS is not supported on linux");
        return false;
    }
    UpdateAvailabilityZoneForRestoreVM(ctx);
    restore.region.erase(std::remove(restore.region.begin(), restore.region.end(), ' '), restore.region.end());
    if (!_ValidateVMForAzureDeployment(ctx, false)) return false;
    if (GetVSInstType() == VSINST_AZURE_STACK_HUB && !ctx.region.empty()) {
        std::vector<SInventoryInfo> regions;
        if (!sdk->BrowseRegions(SInventoryInfo(), regions)) {
            const std::string text = "Error occurred while enumerating list of region/datacenter for destination client";
            EvDebug::Error(kInitTag, "%s", text.c_str());
            FailWrapperCall(*this, kInitTag, VMINFO_ERR_RESTORE_DEPLOY, text, sdk->GetLastErrorString());
            return false;
        }
        bool known = false;
        for (const SInventoryInfo& region : regions) known = known || boost::algorithm::iequals(region.id, ctx.region);
        if (!regions.empty() && !known) {
            EvDebug::Debug(kInitTag, "Overriding datacenter in replication task for VM [%s] from [%s] to [%s]",
                           vmName.c_str(), ctx.region.c_str(), regions.front().id.c_str());
            restore.region = regions.front().id;
        }
    }

    restore.destVmExists = false;
    EvDebug::Debug(kInitTag, "Searching for an existing VM with name [%s]", vmName.c_str());
    if (GetVMInfoForVM(vmName, "", ctx.resourceGroup, kDestinationVmFlags, 0, restore.vmInfo) != 0) {
        restore.destVmExists = true;
    } else if (sdk->GetLastErrorCode() != AzureSDKCppBridge::SDK_ERR_NOT_FOUND) {
        // A VM nobody could look up may be the running replica: it is never taken for absent.
        FailWrapperCall(*this, kInitTag, VMINFO_ERR_RESTORE_DEPLOY, "Could not look up VM [" + vmName + "]",
                        sdk->GetLastErrorString());
        return false;
    }
    _NameReplicaBlobs(ctx);
    if (!GenerateUniqueDiskName(ctx)) return false;

    bool blobsExist = false;
    if (!ctx.destVmExists && !CheckIfBlobsExist(ctx, blobsExist)) return false;
    const bool firstTime = (ctx.isFirstReplication && !blobsExist) || ctx.deployReplicaVm;
    if (firstTime ? !InitRestoreVM_FirstTimeVMReplication(ctx, blobsExist)
                  : !InitRestoreVM_IncrementalReplication(ctx, blobsExist))
        return false;
    for (const SDisk& disk : ctx.disks)
        if (disk.type != DISK_TYPE_FILE && !AccessCloudFSPath(disk.uri)) return false;
    if (ctx.replicationSyncType == kFullSync) {
        for (SDisk& disk : restore.disks) {
            disk.replicationGuid.clear();
            disk.guid.clear();
        }
    }
    return true;
}

void CAzureInfo::_NameReplicaBlobs(const RestoreCtx& ctx) {
    RestoreCtx& restore = _Writable(ctx);
    int n = 0;
    for (SDisk& disk : restore.disks) {
        if (disk.type != DISK_TYPE_VIRTUAL_DISK) continue;
        if (boost::algorithm::iends_with(disk.uri, ".vhd")) {
            const std::string::size_type slash = disk.uri.rfind('\\');
            if (slash != std::string::npos) disk.name = disk.uri.substr(slash + 1);
        } else {
            disk.sourceDiskName = disk.name;
            disk.name = ReplicaBlobName(ctx.resourceGroup, ctx.vmName, disk.isOsDisk, n);
        }
        ++n;
    }
    if (!ctx.destVmExists) return;
    // Disks still without a name take the destination VM's, in order.
    auto dest = ctx.vmInfo.disks.begin();
    for (auto it = restore.disks.begin(); it != restore.disks.end() && dest != ctx.vmInfo.disks.end(); ++it) {
        if (it->type != DISK_TYPE_VIRTUAL_DISK || !it->name.empty()) continue;
        it->name = dest->name;
        ++dest;
    }
}

bool CAzureInfo::InitRestoreVM_FirstTimeVMReplication(const RestoreCtx& ctx, bool blobsExist) {
    RestoreCtx& restore = _Writable(ctx);
    SetLastVMError(VMINFO_ERR_NONE);
    EvDebug::Debug(kFirstTag, "Source VMName [%s] VMGuid [%s]", ctx.sourceVmName.c_str(), ctx.sourceVmGuid.c_str());
    EvDebug::Debug(kFirstTag, "Destination resource group [%s] destination VM Name [%s]", ctx.resourceGroup.c_str(),
                   ctx.vmName.c_str());
    if (ctx.destVmExists || blobsExist) {
        if (!ctx.overwrite && !ctx.deployReplicaVm) {
            if (ctx.destVmExists) {
                EvDebug::Error(kFirstTag, "VM [%s] cannot be replicated because it already exists.",
                               ctx.vmName.c_str());
                SetLastVMError(VMINFO_ERR_REPLICA_VM_EXISTS,
                               "VM [" + ctx.vmName + "] cannot be replicated because it already exists.");
            } else {
                EvDebug::Error(kFirstTag,
                               "VM [%s] cannot be replicated because blob already exists in storage account with same "
                               "name.",
                               ctx.sourceVmName.c_str());
                SetLastVMError(VMINFO_ERR_BLOB_EXISTS, "VM [" + ctx.sourceVmName +
                                                           "] cannot be replicated because blob already exists in "
                                                           "storage account with same name.");
            }
            return false;
        }
        if (ctx.destVmExists) {
            EvDebug::Debug(kFirstTag, "Deleting Virtual machine [%s] and associated blobs", ctx.vmName.c_str());
            if (!sdk->DeleteVM(ctx.vmName, ctx.vmInfo.guid, true, true)) {
                EvDebug::Error(kFirstTag, "Failed to delete virtual machine [%s].", ctx.vmName.c_str());
                SetLastVMError(VMINFO_ERR_VM_DELETE, sdk->GetLastErrorString());
                return false;
            }
        }
        // Blobs of the destination's names that the VM did not take with it (a managed VM's staging blobs,
        // detached disks) would keep stale pages under a full write.
        if (!DeleteExistingBlobs(ctx.disks)) return false;
    }
    restore.replicaReset = true;
    restore.firstTimeReplication = true;
    restore.replicationSyncType = kFullSync;
    return true;
}

bool CAzureInfo::InitRestoreVM_IncrementalReplication(const RestoreCtx& ctx, bool blobsExist) {
    RestoreCtx& restore = _Writable(ctx);
    if (!ctx.destVmExists && !blobsExist) {
        restore.replicationSyncType = kFullSync;
        return true;
    }
    if (ctx.destVmExists && ctx.forceFullReplication) {
        EvDebug::Debug(kIncrTag, "VM [%s] marked for full replication. Deleting the VM and it's resources..",
                       ctx.vmName.c_str());
        // The VM may still be running on these disks: a full write under it would corrupt it.
        if (!sdk->DeleteVM(ctx.vmName, ctx.vmInfo.guid, true, true)) {
            const std::string text = sdk->GetLastErrorString();
            EvDebug::Error(kIncrTag, "Unable to delete the VM [%s]: %s", ctx.vmName.c_str(), text.c_str());
            SetLastVMError(VMINFO_ERR_VM_DELETE, "Unable to delete the VM [" + ctx.vmName + "]: " + text);
            return false;
        }
        restore.replicationSyncType = kFullSync;
        return _DeleteBlobsForFullSync(ctx);
    }
    if (!VerifyIntegrity(ctx)) {
        const char* text = "Integrity Snapshot does not exist for VM. Converting to full sync";
        EvDebug::Debug(kIncrTag, "%s", text);
        AddRestoreFailure(ctx, ctx.vmName, text, true);
        restore.replicationSyncType = kFullSync;
    } else {
        EvDebug::Debug(kIncrTag, "Integrity Snapshot is available for VM or blobs");
        restore.replicationSyncType = kIncrementalSync;
    }
    if (ctx.destVmExists && ctx.vmInfo.powerState == 1) {
        EvDebug::Error(kIncrTag, "Destination VM [%s] can't be replicated as it is in running state.",
                       ctx.vmName.c_str());
        SetLastVMError(VMINFO_ERR_REPLICA_VM_RUNNING,
                       "Destination VM [" + ctx.vmName + "] can't be replicated as it is in running state.");
        return false;
    }
    if (!UpdateDiskListFromStaging(ctx)) restore.replicationSyncType = kFullSync;

    std::vector<SDisk> changedDisks;
    if (ctx.destVmExists || !ctx.createVm) {
        if (ctx.replicationSyncType != kFullSync && !InitDisks_IncrReplication(ctx, changedDisks)) return false;
        if (ctx.destVmExists) {
            EvDebug::Debug(kIncrTag, "Deleting existing VM [%s] to detach blobs from VM", ctx.vmInfo.name.c_str());
            if (!sdk->DeleteVM(ctx.vmInfo.name, ctx.vmInfo.guid, ctx.vmInfo.isManaged, true)) {
                EvDebug::Error(kIncrTag, "Failed to delete destination VM [%s]", ctx.vmInfo.name.c_str());
                SetLastVMError(VMINFO_ERR_REPLICA_VM_EXISTS, "Failed to delete destination VM [" + ctx.vmInfo.name +
                                                                 "]: " + sdk->GetLastErrorString());
                return false;
            }
        }
    }
    if (!changedDisks.empty()) {
        EvDebug::Debug(kIncrTag, "Detected change in one of the source disk sizes. Falling back to full replication.");
        restore.replicationSyncType = kFullSync;
    }
    if (!ctx.isRestartedJob) {
        std::vector<SDisk> revertList;
        for (const SDisk& disk : ctx.disks) {
            if (disk.type != DISK_TYPE_VIRTUAL_DISK) continue;
            for (const SDisk& dest : ctx.vmInfo.disks)
                if (dest.guid == disk.guid) {
                    revertList.push_back(disk);
                    break;
                }
        }
        if (!sdk->RevertBlobSnapshots(revertList)) {
            const char* text = "Failed to revert integrity snapshot. Converting to full sync";
            EvDebug::Debug(kIncrTag, "%s", text);
            AddRestoreFailure(ctx, ctx.vmName, text, true);
            restore.replicationSyncType = kFullSync;
        }
    }
    // A full write starts from no blob at all, restarted job or not: none may keep stale pages.
    return ctx.replicationSyncType != kFullSync || _DeleteBlobsForFullSync(ctx);
}

bool CAzureInfo::_DeleteBlobsForFullSync(const RestoreCtx& ctx) {
    // Without overwrite only the replica's own blobs go: tagged by an earlier run, or created by this job.
    for (const SDisk& disk : ctx.disks) {
        if (disk.type != DISK_TYPE_VIRTUAL_DISK || ctx.overwrite || ctx.deployReplicaVm) continue;
        const Presence presence = BlobPresence(*sdk, "", disk.storageAccount, "vhds", disk.name);
        if (presence == Presence::Absent || (presence == Presence::Present && _IsReplicaBlob(disk))) continue;
        if (presence == Presence::Unknown) {
            FailWrapperCall(*this, kFreshTag, VMINFO_ERR_RESTORE_DEPLOY,
                            "Could not check whether blob [" + disk.name + "] exists in storage account [" +
                                disk.storageAccount + "]",
                            sdk->GetLastErrorString());
            return false;
        }
        EvDebug::Error(kFreshTag, "%s", kBlobsInTheWay);
        SetLastVMError(VMINFO_ERR_BLOB_EXISTS, std::string(kBlobsInTheWay) + " [" + disk.name + "]");
        return false;
    }
    return DeleteExistingBlobs(ctx.disks);
}

bool CAzureInfo::_IsReplicaBlob(const SDisk& disk) {
    SDisk blob = disk;
    blob.isManaged = false;
    std::vector<SInventoryInfo> tags;
    // Tags that cannot be read prove nothing: such a blob is not taken for the replica's.
    if (!sdk->GetDiskTagInfo("", blob, tags)) return false;
    for (const SInventoryInfo& tag : tags)
        if (boost::algorithm::iequals(tag.name, kReplicationDiskGuidTag) ||
            (tag.name == "createdByJob" && !tag.id.empty() && tag.id == EvEvent::getJobGuid()))
            return true;
    return false;
}
