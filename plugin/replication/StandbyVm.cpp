// The standby VM of a replication kept as page blobs and a configuration blob: deployed at
// failover, deleted again at failback with its disks kept, and the staging left by the
// replication removed after a failover.
#include "host/sys/Time.h"
#include "plugin/frame/AzureInfo.h"
#include "plugin/frame/Existence.h"
#include "plugin/frame/SlotFailure.h"

namespace {

const char* const kCreateTag = "virtual bool CAzureInfo::CreateDRVM(const RestoreCtx&)";
const char* const kDeleteTag = "virtual bool CAzureInfo::DeleteDRVM(const RestoreCtx&)";
const char* const kFailoverTag = "virtual bool CAzureInfo::PostVMFailover(const RestoreCtx&)";

// The container that holds the configuration blob next to the standby's disks.
const char* const kVhds = "vhds";
// Inventory queries issued right after a failover find a new VM only once it is registered.
constexpr unsigned long kRegistrationWaitMs = 25000;

}  // namespace

bool CAzureInfo::CreateDRVM(const RestoreCtx& ctx) {
    return GuardSlot(*this, kCreateTag, VMINFO_ERR_RESTORE_DEPLOY, false, [&] {
        SVMInfo& vm = _Writable(ctx).vmInfo;
        vm.name = ctx.vmName;
        vm.resourceGroup = ctx.resourceGroup;
        vm.storageAccount = ctx.storageAccount;
        const std::string blob =
            AzureSDKCppBridge::CAzureSDKCppBridge::VmConfigBlobName(ctx.resourceGroup, ctx.vmName);
        EvDebug::Debug(kCreateTag, "Checking if the configuration file [%s] exists..", blob.c_str());
        const Presence presence = BlobPresence(*sdk, ctx.resourceGroup, ctx.storageAccount, kVhds, blob);
        if (presence != Presence::Present) {
            // Only a definite absence is "not found"; a question that could not be asked says so.
            if (presence == Presence::Absent)
                EvDebug::Error(kCreateTag, "Failed to find the config file [%s] for VM [%s]", blob.c_str(),
                               ctx.vmName.c_str());
            else
                EvDebug::Error(kCreateTag, "Could not check for the config file [%s] for VM [%s]", blob.c_str(),
                               ctx.vmName.c_str());
            SetLastVMError(VMINFO_ERR_RESTORE_DEPLOY);
            SetLastVMErrorDetails(sdk->GetLastErrorString());
            return false;
        }
        EvDebug::Debug(kCreateTag, "Configuration blob [%s] exists. Downloading the blob..", blob.c_str());
        std::string config;
        if (!sdk->DownloadBlockBlobToString(ctx.storageAccount, kVhds, blob, config)) {
            EvDebug::Error(kCreateTag, "Failed to download the config file [%s] for VM [%s]", blob.c_str(),
                           ctx.vmName.c_str());
            SetLastVMError(VMINFO_ERR_RESTORE_DEPLOY);
            SetLastVMErrorDetails(sdk->GetLastErrorString());
            return false;
        }
        EvDebug::Debug(kCreateTag, "VM Configuration is [%s]", config.c_str());
        if (!sdk->DeployVMFromConfig(config, vm, false)) {
            EvDebug::Error(kCreateTag, "Failed to create VM [%s]", ctx.vmName.c_str());
            SetLastVMError(VMINFO_ERR_RESTORE_DEPLOY);
            SetLastVMErrorDetails(sdk->GetLastErrorString());
            return false;
        }
        EvDebug::Debug(kCreateTag, "New VM Name [%s] created with GUID [%s]", vm.name.c_str(), vm.guid.c_str());
        EvDebug::DebugLvl(kCreateTag, 2, "Waiting for 25 seconds for VM [%s] to get registered in Resource Graph",
                          vm.name.c_str());
        KASLEEP(kRegistrationWaitMs);
        return true;
    });
}

bool CAzureInfo::DeleteDRVM(const RestoreCtx& ctx) {
    return GuardSlot(*this, kDeleteTag, VMINFO_ERR_RESTORE_DEPLOY, false, [&] {
        SVMInfo& vm = _Writable(ctx).vmInfo;
        EvDebug::Debug(kDeleteTag, "Deleting DR VM [%s] with GUID [%s]. Disks will be preserved..", vm.name.c_str(),
                       vm.guid.c_str());
        // The VM is found by the source's name in the standby's group; only the VM of the GUID found
        // here is deleted, so another VM that takes the name meanwhile stays.
        if (!sdk->GetVMInfoForVM(ctx.sourceVmName, "", ctx.resourceGroup, 0, 0, vm)) {
            EvDebug::Error(kDeleteTag, "Failed to get the info about VM [%s]", ctx.sourceVmName.c_str());
            SetLastVMErrorDetails(sdk->GetLastErrorString());
            return false;
        }
        EvDebug::Debug(kDeleteTag, "Deleting DR VM [%s] with GUID [%s]...", vm.name.c_str(), vm.guid.c_str());
        // The standby's disks are the replica: they stay for the next replication or failover.
        if (!sdk->DeleteVM(ctx.sourceVmName, vm.guid, false, true)) {
            EvDebug::Error(kDeleteTag, "Failed to delete DR VM [%s]", ctx.sourceVmName.c_str());
            SetLastVMErrorDetails(sdk->GetLastErrorString());
            return false;
        }
        return true;
    });
}

bool CAzureInfo::PostVMFailover(const RestoreCtx& ctx) {
    return GuardSlot(*this, kFailoverTag, VMINFO_ERR_RESTORE_DEPLOY, false, [&] {
        if (!sdk->CleanupStagingResources(ctx.vmName, ctx.resourceGroup)) {
            EvDebug::Error(kFailoverTag, "Cleaning up resources failed for VM [%s]", ctx.vmName.c_str());
            SetLastVMErrorDetails(sdk->GetLastErrorString());
            return false;
        }
        return true;
    });
}
