// VM operations: the operation slot and its handlers (power, deploy, reconfigure, delete, VM
// snapshots), the storage operation, and virtual networks. Each handler is one wrapper call; a
// failure leaves the wrapper's error text as the host's last-error details.
#include "plugin/frame/AzureInfo.h"
#include "plugin/frame/SlotFailure.h"

namespace {

const char* const kOperationTag = "virtual int CAzureInfo::PerformVMOperation(const OperationCtx&)";
const char* const kPowerOnTag = "int CAzureInfo::PowerOnVM(const OperationCtx&)";
const char* const kShutdownTag = "int CAzureInfo::ShutdownVM(const OperationCtx&)";
const char* const kDeployTag = "int CAzureInfo::DeployVM(const OperationCtx&)";
const char* const kReconfigureTag = "int CAzureInfo::ReconfigureVM(const OperationCtx&)";
const char* const kDeleteTag = "int CAzureInfo::DeleteVM(const OperationCtx&)";
const char* const kCreateSnapshotTag = "int CAzureInfo::CreateVMSnapshot(const OperationCtx&)";
const char* const kDeleteSnapshotTag = "int CAzureInfo::DeleteVMSnapshot(const OperationCtx&)";
const char* const kStorageTag = "virtual int CAzureInfo::PerformStorageOperation(const StorageOperationCtx&)";
const char* const kExpiredTag = "bool CAzureInfo::DeleteExpiredDisks(const string&, const time_t&)";
const char* const kCreateNetworkTag =
    "virtual bool CAzureInfo::CreateNetwork(SNetworkInfo&, const string&, const SHostNetworkAdapterInfo&)";
const char* const kDeleteNetworkTag =
    "virtual bool CAzureInfo::DeleteNetwork(SNetworkInfo&, const string&, const SHostNetworkAdapterInfo&)";

// The storage operation's results: an error indicator, the reverse of the other slots.
constexpr int kStorageSucceeded = 0;
constexpr int kStorageFailed = 1;

}  // namespace

int CAzureInfo::PerformVMOperation(const OperationCtx& ctx) {
    return GuardSlot(*this, kOperationTag, VMINFO_ERR_RESTORE_DEPLOY, 0, [&] {
        switch (ctx.operation) {
        case VM_OP_POWER_ON:
            return PowerOnVM(ctx);
        case VM_OP_POWER_OFF:
        case VM_OP_SHUTDOWN:
            return ShutdownVM(ctx);
        case VM_OP_DEPLOY:
            return DeployVM(ctx);
        case VM_OP_RECONFIGURE:
            return ReconfigureVM(ctx);
        case VM_OP_CLONE:
            return CloneVM(ctx);
        case VM_OP_DELETE:
            return DeleteVM(ctx);
        case VM_OP_CREATE_SNAPSHOT:
            return CreateVMSnapshot(ctx);
        case VM_OP_DELETE_SNAPSHOT:
            return DeleteVMSnapshot(ctx);
        default:
            FailSlot(*this, kOperationTag, VMINFO_ERR_RESTORE_DEPLOY,
                     "Operation [" + std::to_string(ctx.operation) + "] is not supported");
            return 0;
        }
    });
}

int CAzureInfo::PowerOnVM(const OperationCtx& ctx) {
    const SVMInfo& vm = ctx.vmInfo;
    EvDebug::Debug(kPowerOnTag, "Powering On VM [%s][%s]", vm.name.c_str(), vm.guid.c_str());
    if (sdk->StartVM(vm.name, vm.guid)) return 1;
    FailWrapperCall(*this, kPowerOnTag, VMINFO_ERR_RESTORE_DEPLOY, "Failed to power on VM [" + vm.name + "]",
                    sdk->GetLastErrorString());
    return 0;
}

int CAzureInfo::ShutdownVM(const OperationCtx& ctx) {
    const SVMInfo& vm = ctx.vmInfo;
    EvDebug::Debug(kShutdownTag, "Shutting Down VM [%s][%s]", vm.name.c_str(), vm.guid.c_str());
    if (sdk->ShutdownVM(vm.name, vm.guid, true)) return 1;
    FailWrapperCall(*this, kShutdownTag, VMINFO_ERR_RESTORE_DEPLOY, "Failed to shut down VM [" + vm.name + "]",
                    sdk->GetLastErrorString());
    return 0;
}

int CAzureInfo::DeployVM(const OperationCtx& ctx) {
    if (IsJobCancelled()) {
        EvDebug::Debug(kDeployTag, "Quit flag set, terminating JobWait");
        SetLastVMError(VMINFO_ERR_JOB_CANCELLED, "The job was cancelled");
        return 0;
    }
    SVMInfo& vm = _Writable(ctx).vmInfo;
    EvDebug::Debug(kDeployTag, "Deploying VM [%s] to Azure", vm.name.c_str());
    if (!sdk->DeployVMFromOSDisk(vm, osDiskName, false, false)) {
        const std::string error = sdk->GetLastErrorString();
        EvDebug::Error(kDeployTag, "Failed to deploy VM to Azure, [%s]", error.c_str());
        SetLastVMError(VMINFO_ERR_RESTORE_DEPLOY);
        SetLastVMErrorDetails(error);
        return 0;
    }
    EvDebug::Debug(kDeployTag, "Deployed VM [%s] successfully to Azure", vm.name.c_str());
    return 1;
}

int CAzureInfo::ReconfigureVM(const OperationCtx& ctx) {
    SVMInfo& vm = _Writable(ctx).vmInfo;
    EvDebug::Debug(kReconfigureTag, "Reconfiguring VM [%s]", vm.name.c_str());
    if (!_GenerateDiskLun(ctx)) return 0;
    if (vm.vmSize.empty() && ctx.autoSelectVmSize && !_AutoSelectVMSize(vm)) return 0;
    if (sdk->ReconfigureVM(vm)) {
        EvDebug::Debug(kReconfigureTag, "Successfully reconfigured VM [%s]", vm.name.c_str());
        return 1;
    }
    FailWrapperCall(*this, kReconfigureTag, VMINFO_ERR_RESTORE_DEPLOY, "Failed to Reconfigure VM [" + vm.name + "]",
                    sdk->GetLastErrorString());
    return 0;
}

int CAzureInfo::DeleteVM(const OperationCtx& ctx) {
    const SVMInfo& vm = ctx.vmInfo;
    EvDebug::Debug(kDeleteTag, "Deleting VM [%s][%s]", vm.name.c_str(), vm.guid.c_str());
    if (sdk->DeleteVM(vm.name, vm.guid, true, true)) return 1;
    FailWrapperCall(*this, kDeleteTag, VMINFO_ERR_RESTORE_DEPLOY, "Failed to delete VM [" + vm.name + "]",
                    sdk->GetLastErrorString());
    return 0;
}

int CAzureInfo::CreateVMSnapshot(const OperationCtx& ctx) {
    const SVMInfo& vm = ctx.vmInfo;
    EvDebug::Debug(kCreateSnapshotTag, "Creating Snapshot of VM [%s] Guid [%s]", vm.name.c_str(), vm.guid.c_str());
    std::vector<SDisk> snapshotDisks;
    std::string snapshotRef;
    if (sdk->CreateVMSnapshot(vm.name, vm.guid, true, std::string(), EvEvent::getJobId(),
                              _Writable(ctx).snapshotId, snapshotDisks, snapshotRef))
        return 1;
    const std::string error = sdk->GetLastErrorString();
    EvDebug::Error(kCreateSnapshotTag, "Failed to create snapshot for VM[%s]: [%s]", vm.name.c_str(), error.c_str());
    SetLastVMError(VMINFO_ERR_VM_SNAPSHOT_CREATE);
    SetLastVMErrorDetails(error);
    return 0;
}

int CAzureInfo::DeleteVMSnapshot(const OperationCtx& ctx) {
    if (ctx.snapshotName.empty() && ctx.snapshotId.empty()) {
        FailSlot(*this, kDeleteSnapshotTag, VMINFO_ERR_SNAPSHOT_DELETE, "No VM snapshot was named to delete");
        return 0;
    }
    const SVMInfo& vm = ctx.vmInfo;
    EvDebug::Debug(kDeleteSnapshotTag, "Deleting Snapshot of VM [%s] Guid [%s]", vm.name.c_str(), vm.guid.c_str());
    const std::string& reference = ctx.snapshotName.empty() ? ctx.snapshotId : ctx.snapshotName;
    if (sdk->DeleteVMSnapshot(vm.name, vm.guid, reference, std::string(), false)) {
        EvDebug::Debug(kDeleteSnapshotTag, "Successfully removed Snapshot of VM [%s] Guid [%s]", vm.name.c_str(),
                       vm.guid.c_str());
        return 1;
    }
    EvDebug::Debug(kDeleteSnapshotTag, "Failed to remove Snapshot of VM [%s] Guid [%s]", vm.name.c_str(),
                   vm.guid.c_str());
    SetLastVMError(VMINFO_ERR_SNAPSHOT_DELETE);
    SetLastVMErrorDetails(sdk->GetLastErrorString());
    return 0;
}

int CAzureInfo::PerformStorageOperation(const StorageOperationCtx& ctx) {
    return GuardSlot(*this, kStorageTag, VMINFO_ERR_NONE, kStorageFailed, [&] {
        StorageOperationCtx& op = const_cast<StorageOperationCtx&>(ctx);
        if (ctx.operation != STORAGE_OP_DELETE_EXPIRED_DISKS) {
            EvDebug::Error(kStorageTag, "Invalid storage operation received");
            op.errorText = "Invalid operation type";
            return kStorageFailed;
        }
        if (DeleteExpiredDisks(ctx.region, ctx.expiryTime)) return kStorageSucceeded;
        op.errorText = sdk->GetLastErrorString();
        return kStorageFailed;
    });
}

bool CAzureInfo::DeleteExpiredDisks(const std::string& region, const std::time_t& expiry) {
    if (sdk->DeleteExpiredDisks(region, expiry)) return true;
    EvDebug::Error(kExpiredTag, "Deleting expired disks failed for region [%s]. Error [%s]", region.c_str(),
                   sdk->GetLastErrorString().c_str());
    return false;
}

bool CAzureInfo::CreateNetwork(SNetworkInfo& network, const std::string& resourceGroup,
                               const SHostNetworkAdapterInfo&) {
    return GuardSlot(*this, kCreateNetworkTag, VMINFO_ERR_NONE, false, [&] {
        EvDebug::Debug(kCreateNetworkTag, "Creating Virtual Network [%s] in Resource group [%s]", network.name.c_str(),
                       resourceGroup.c_str());
        if (sdk->CreateVirtualNetwork(network, resourceGroup)) return true;
        const std::string error = sdk->GetLastErrorString();
        SetLastVMErrorDetails(error);
        EvDebug::Error(kCreateNetworkTag, "Failed to create Virtual Network [%s], Error [%s]", network.name.c_str(),
                       error.c_str());
        return false;
    });
}

bool CAzureInfo::DeleteNetwork(SNetworkInfo& network, const std::string& resourceGroup,
                               const SHostNetworkAdapterInfo&) {
    return GuardSlot(*this, kDeleteNetworkTag, VMINFO_ERR_NONE, false, [&] {
        EvDebug::Debug(kDeleteNetworkTag, "Deleting Virtual Network [%s] in Resource group [%s]", network.name.c_str(),
                       resourceGroup.c_str());
        if (sdk->DeleteVirtualNetwork(network, resourceGroup)) return true;
        const std::string error = sdk->GetLastErrorString();
        SetLastVMErrorDetails(error);
        EvDebug::Error(kDeleteNetworkTag, "Failed to delete Virtual Network [%s], Error [%s]", network.name.c_str(),
                       error.c_str());
        return false;
    });
}

// A restored VM needs no change after its deployment on Azure.
bool CAzureInfo::ModifyRestoredVM(const RestoreCtx&) { return true; }
