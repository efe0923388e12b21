// Clone: a new VM from the host's prepared record, from the configuration file a backup stored
// next to the source VM's disks, or from the source VM's disks through new managed disks made
// from an integrity snapshot. Also the automatic size choice, the Generation 2 test and the
// registration of a page blob as an OS disk.
#include <boost/algorithm/string/predicate.hpp>

#include <algorithm>

#include "cloudsdk/SdkErrorCodes.h"
#include "plugin/frame/AzureInfo.h"
#include "plugin/frame/Existence.h"
#include "plugin/frame/SlotFailure.h"

namespace {

const char* const kCloneTag = "int CAzureInfo::CloneVM(const OperationCtx&)";
const char* const kFromConfigTag = "bool CAzureInfo::CloneVmFromConfig(const OperationCtx&)";
const char* const kFromOsDiskTag = "bool CAzureInfo::CloneVmFromOsDisk(const OperationCtx&)";
const char* const kCleanupTag = "void CAzureInfo::CleanupCloneFromOsDisk(const OperationCtx&)";
const char* const kAutoSizeTag = "bool CAzureInfo::_AutoSelectVMSize(SVMInfo&)";
const char* const kRegisterTag =
    "virtual int CAzureInfo::RegisterBlobAsOSDisk(const string&, const string&, const string&, bool)";

// The container that holds disks and VM configuration files in a storage account.
const char* const kVhds = "vhds";

bool IsPremium(const std::string& text) { return text.find("Premium") != std::string::npos; }

}  // namespace

bool CAzureInfo::IsGen2Firmware(const std::string& firmware) { return boost::algorithm::iequals(firmware, "efi"); }

int CAzureInfo::CloneVM(const OperationCtx& ctx) {
    EvDebug::Debug(kCloneTag, "Cloning VM [%s] from [%s][%s]", ctx.vmInfo.name.c_str(), ctx.sourceVmName.c_str(),
                   ctx.sourceVmGuid.c_str());
    if (ctx.cloneFromSourceVm && ctx.sourceVmGuid.empty()) {
        if (CloneVmFromConfig(ctx)) return 1;
        EvDebug::Debug(kCloneTag, "Clone of source VM [%s] failed.", ctx.sourceVmName.c_str());
        return 0;
    }
    if (ctx.cloneFromSourceVm) {
        if (CloneVmFromOsDisk(ctx)) return 1;
        EvDebug::Debug(kCloneTag, "Clone from OS Disk failed for VM [%s]. Cleaning up resources created.",
                       ctx.vmInfo.name.c_str());
        CleanupCloneFromOsDisk(ctx);
        return 0;
    }
    SVMInfo& vm = _Writable(ctx).vmInfo;
    if (!_GenerateDiskLun(ctx)) return 0;
    if (vm.vmSize.empty() && !_AutoSelectVMSize(vm)) return 0;
    if (!sdk->DeployVM(vm, ctx.sourceVmGuid, ctx.deployFlag)) {
        FailWrapperCall(*this, kCloneTag, VMINFO_ERR_RESTORE_DEPLOY, "Failed to deploy VM [" + vm.name + "]",
                        sdk->GetLastErrorString());
        return 0;
    }
    return 1;
}

bool CAzureInfo::CloneVmFromConfig(const OperationCtx& ctx) {
    SVMInfo& vm = _Writable(ctx).vmInfo;
    const std::string name = AzureSDKCppBridge::CAzureSDKCppBridge::VmConfigBlobName(vm.resourceGroup, ctx.sourceVmName);
    const Presence presence = BlobPresence(*sdk, vm.resourceGroup, vm.storageAccount, kVhds, name);
    if (presence != Presence::Present) {
        const std::string what = presence == Presence::Absent ? "Failed to find" : "Could not check for";
        FailWrapperCall(*this, kFromConfigTag, VMINFO_ERR_RESTORE_DEPLOY,
                        what + " the config file [" + name + "] for VM [" + ctx.sourceVmName + "]",
                        sdk->GetLastErrorString());
        return false;
    }
    std::string json;
    if (!sdk->DownloadBlockBlobToString(vm.storageAccount, kVhds, name, json)) {
        EvDebug::Error(kFromConfigTag, "Failed to download the config file [%s] for VM [%s]", name.c_str(),
                       ctx.sourceVmName.c_str());
        SetLastVMError(VMINFO_ERR_VM_CONFIG_READ);
        SetLastVMErrorDetails(sdk->GetLastErrorString());
        return false;
    }
    EvDebug::Debug(kFromConfigTag, "VM Configuration is [%s]", json.c_str());
    if (!sdk->CloneVMFromConfig(json, vm)) {
        EvDebug::Error(kFromConfigTag, "Failed to clone from source VM [%s]", ctx.sourceVmName.c_str());
        SetLastVMError(VMINFO_ERR_RESTORE_DEPLOY);
        SetLastVMErrorDetails(sdk->GetLastErrorString());
        return false;
    }
    EvDebug::Debug(kFromConfigTag, "New Clone VM Name [%s] created with GUID [%s]", vm.name.c_str(), vm.guid.c_str());
    return true;
}

bool CAzureInfo::CloneVmFromOsDisk(const OperationCtx& ctx) {
    cloneReplacedEntries.clear();
    SVMInfo& vm = _Writable(ctx).vmInfo;
    SVMInfo source;
    if (!GetVMInfoForVM(ctx.sourceVmName, ctx.sourceVmGuid, "", 16, 0, source)) {
        const std::string text = "Source virtual machine [" + ctx.sourceVmName +
                                 "] is not found. Please specify an existing virtual machine.";
        EvDebug::Error(kFromOsDiskTag, "%s. Error: [%s].", text.c_str(), sdk->GetLastErrorString().c_str());
        SetLastVMError(VMINFO_ERR_VM_NOT_FOUND, text);
        return false;
    }
    if (!_ValidateOSDisk(source.disks)) return false;
    // Entry i of the request stands for source disk i; a shorter list cannot be filled in.
    if (vm.disks.size() < source.disks.size()) {
        const std::string text = "Clone request for VM [" + vm.name + "] lists [" + std::to_string(vm.disks.size()) +
                                 "] disks but source VM [" + ctx.sourceVmName + "] has [" +
                                 std::to_string(source.disks.size()) + "]";
        FailSlot(*this, kFromOsDiskTag, VMINFO_ERR_RESTORE_DEPLOY, text);
        return false;
    }
    if (!source.isManaged) {
        const Presence presence = ContainerPresence(*sdk, "", vm.storageAccount, kVhds);
        if (presence == Presence::Unknown ||
            (presence == Presence::Absent && !sdk->CreateStorageContainer("", vm.storageAccount, kVhds))) {
            const char* what = presence == Presence::Unknown ? "Could not check the" : "Failed to create the";
            FailWrapperCall(*this, kFromOsDiskTag, VMINFO_ERR_RESTORE_DEPLOY,
                            std::string(what) + " container in storage account [" + vm.storageAccount + "]",
                            sdk->GetLastErrorString());
            return false;
        }
    }
    vm.secondaryName = source.secondaryName;
    const std::string integritySnapshot = vm.disks.empty() ? std::string() : vm.disks.front().integritySnapshot;

    for (std::size_t i = 0; i < source.disks.size(); ++i) {
        const SDisk& sourceDisk = source.disks[i];
        SDisk disk = sourceDisk;
        disk.storageAccount = vm.storageAccount;
        disk.name = vm.name;
        _GenerateDiskName(disk.name);

        std::string sourceUri = sourceDisk.uri;
        if (sourceDisk.isManaged) {
            std::string suffix;
            if (!_GetBlobStorageSuffixForAzureEndpoint(suffix)) {
                const std::string error = sdk->GetLastErrorString();
                EvDebug::Error(kFromOsDiskTag, "Failed to construct source disk URI : Error [%s]", error.c_str());
                SetLastVMError(VMINFO_ERR_RESTORE_DEPLOY, error);
                return false;
            }
            sourceUri = "https://" + vm.storageAccount + "." + suffix + "/" + kVhds + "/" + vm.disks[i].uri;
        }
        std::string diskId;
        if (!sdk->CreateManagedDiskFromSnapshot(sourceUri, vm.region, integritySnapshot, disk.name, vm.resourceGroup,
                                                vm.region, vm.vmSize, sourceDisk.volumeType, "", false,
                                                disk.isOsDisk, false, "", diskId)) {
            const std::string error = sdk->GetLastErrorString();
            EvDebug::Error(kFromOsDiskTag, "Failed to create managed disk from integrity snapshot [%s] : Error [%s]",
                           integritySnapshot.c_str(), error.c_str());
            SetLastVMError(VMINFO_ERR_RESTORE_DEPLOY, error);
            return false;
        }
        disk.managedDiskId = diskId;
        EvDebug::DebugLvl(kFromOsDiskTag, 2, "Managed disk ID [%s]", diskId.c_str());
        if (disk.isOsDisk)
            osDiskName = vm.isManaged ? diskId : disk.name;
        else
            disk.unitNumber = static_cast<std::int32_t>(i);
        vm.disks[i] = disk;
        cloneReplacedEntries.push_back(i);
    }

    EvDebug::Debug(kFromOsDiskTag, "Deploying VM [%s] to Azure from OS Disk [%s]", vm.name.c_str(),
                   osDiskName.c_str());
    if (!sdk->DeployVMFromOSDisk(vm, osDiskName, ctx.deployFlag, true)) {
        const std::string error = sdk->GetLastErrorString();
        EvDebug::Error(kFromOsDiskTag, "Failed to deploy VM [%s] to Azure : Error  [%s]", vm.name.c_str(),
                       error.c_str());
        SetLastVMError(VMINFO_ERR_RESTORE_DEPLOY, error);
        return false;
    }
    return true;
}

void CAzureInfo::CleanupCloneFromOsDisk(const OperationCtx& ctx) {
    // Entries the clone did not replace still name the request's own blobs, which may be the
    // source VM's disks: only the disks the clone created are looked for.
    for (std::size_t i : cloneReplacedEntries) {
        if (i >= ctx.vmInfo.disks.size()) continue;
        const SDisk& disk = ctx.vmInfo.disks[i];
        // A disk the clone made is deleted even when the wrapper cannot say whether it is there.
        if (BlobPresence(*sdk, "", disk.storageAccount, kVhds, disk.name) == Presence::Absent) continue;
        EvDebug::Debug(kCleanupTag, "Deleting blob [%s] from Azure Storage Account [%s]", disk.name.c_str(),
                       disk.storageAccount.c_str());
        if (!sdk->DeletePageBlob("", disk.storageAccount, kVhds, disk.name))
            EvDebug::Debug(kCleanupTag, "Failed to delete blob [%s] from Azure, [%s]", disk.name.c_str(),
                           sdk->GetLastErrorString().c_str());
    }
    cloneReplacedEntries.clear();
}

bool CAzureInfo::_AutoSelectVMSize(SVMInfo& vm) {
    const bool gen2 = IsGen2Firmware(vm.firmware);
    SVMSizeInfo required;
    required.maxDataDisks = static_cast<std::int32_t>(vm.disks.size());
    required.maxNics = static_cast<std::int32_t>(vm.nics.size());
    required.numCpus = vm.numCpus;
    required.memoryMB = vm.memoryMB;
    required.gen2Supported = gen2;
    required.availabilityZones = vm.availabilityZones;
    EvDebug::Debug(kAutoSizeTag,
                   "Auto selecting size for VM [%s] - Num Disks [%d], Num NICs [%d], Num CPU [%d], Memory in MB "
                   "[%d]%s, Availability Zones [%s]",
                   vm.name.c_str(), required.maxDataDisks, required.maxNics, required.numCpus, required.memoryMB,
                   gen2 ? ", Gen 2" : "", vm.availabilityZones.c_str());

    SDatastoreInfo account;
    if (!_GetStorageAccountInfoFromCache(vm.storageAccount, account)) return false;

    SVMInfo existing;
    const bool exists = GetVMInfoForVM(vm.name, vm.guid, "", 16, 0, existing) != 0;
    if (!exists && sdk->GetLastErrorCode() != AzureSDKCppBridge::SDK_ERR_NOT_FOUND) {
        FailWrapperCall(*this, kAutoSizeTag, VMINFO_ERR_VM_SIZE,
                        "Could not check whether VM [" + vm.name + "] exists to choose its size",
                        sdk->GetLastErrorString());
        return false;
    }
    // A VM that does not exist yet (a clone's new VM) is judged by the disks its record brings.
    const std::vector<SDisk>& disks = exists ? existing.disks : vm.disks;
    if (!exists)
        EvDebug::Debug(kAutoSizeTag, "Virtual machine [%s] does not exist yet; checking the disks of its record",
                       vm.name.c_str());

    bool premium = IsPremium(account.skuName);
    if (premium)
        EvDebug::Debug(kAutoSizeTag, "[%s] is a Premium Storage Account", account.name.c_str());
    else
        premium = std::any_of(disks.begin(), disks.end(), [](const SDisk& d) { return IsPremium(d.volumeType); });

    std::vector<SVMSizeInfo> sizes;
    if (!GetAvailableVMSizesForHost(vm.resourceGroup, sizes, 0, 0)) return false;
    SVMSizeInfo best;
    if (!GetBestMatchingVMSizeInfo(sizes, required, premium, gen2, best)) {
        const std::string text = "Failed to auto select VM Size for VM [" + vm.name + "] ";
        SetLastVMError(VMINFO_ERR_VM_SIZE, text);
        SetLastVMErrorDetails(text);
        return false;
    }
    EvDebug::Debug(kAutoSizeTag, "Auto selecting VM size [%s] for deployment", best.uuid.c_str());
    vm.vmSize = best.uuid;
    return true;
}

int CAzureInfo::RegisterBlobAsOSDisk(const std::string& storageAccount, const std::string& container,
                                     const std::string& blob, bool isWindows) {
    return GuardSlot(*this, kRegisterTag, VMINFO_ERR_DISK_CREATE, 0, [&] {
        EvDebug::Error(kRegisterTag, "Registering blob [%s] from storage account [%s] container [%s] as [%s] OS disk",
                       blob.c_str(), storageAccount.c_str(), container.c_str(), isWindows ? "Windows" : "Linux");
        if (sdk->RegisterBlobAsOSDisk(storageAccount, container, blob, isWindows)) return 1;
        FailWrapperCall(*this, kRegisterTag, VMINFO_ERR_DISK_CREATE, "Failed to register blob [" + blob + "] as OS disk",
                        sdk->GetLastErrorString());
        return 0;
    });
}
