// Checks that a restore target can take the VM before anything is deployed (OS disk, storage
// accounts, VM size, virtual networks), the storage-account look-ups with their caches, and the
// availability zones the restored VM is deployed in.
#include <boost/algorithm/string/predicate.hpp>

#include "host/settings/NXPlatformInfo.h"
#include "host/util/FXString.h"
#include "plugin/frame/AzureInfo.h"
#include "plugin/frame/SlotFailure.h"

namespace {

// Discovery flags the network look-ups pass to the wrapper.
constexpr UINT64 kNetworkDiscoveryFlags = 0x4000000;

// The account part of a disk's storage text: "account" or "account\container".
std::string AccountOf(const std::string& storageText) { return storageText.substr(0, storageText.find('\\')); }

}  // namespace

bool CAzureInfo::_ValidateVMForAzureDeployment(const RestoreCtx& ctx, bool autoSelect) {
    if (!_ValidateOSDisk(ctx) || !_ValidateStorageAccount(ctx) || !_ValidateVMSize(ctx, autoSelect)) return false;
    if (GetVSInstType() == VSINST_AZURE_RESOURCE_MANAGER || GetVSInstType() == VSINST_AZURE_STACK_HUB)
        return _ValidateVirtualNetworks(ctx);
    return true;
}

bool CAzureInfo::_ValidateOSDisk(const RestoreCtx& ctx) {
    static const char* tag = "bool CAzureInfo::_ValidateOSDisk(const RestoreCtx&)";
    EvDebug::Debug(tag, "Validating that VM has OS disk...");
    for (const SDisk& disk : ctx.disks)
        if (disk.isOsDisk) return true;
    const std::string text = "No OS disk found. Please check if OS disk was filtered as part of backup.";
    EvDebug::Error(tag, "%s", text.c_str());
    SetLastVMError(VMINFO_ERR_RESTORE_DEPLOY, text);
    return false;
}

bool CAzureInfo::_ValidateOSDisk(const std::vector<SDisk>& disks) {
    static const char* tag = "bool CAzureInfo::_ValidateOSDisk(const std::vector<SDisk>&)";
    EvDebug::Debug(tag, "Validating that VM has OS disk...");
    for (const SDisk& disk : disks)
        if (disk.isOsDisk) return true;
    const std::string text = "No OS disk found.";
    EvDebug::Error(tag, "%s", text.c_str());
    SetLastVMError(VMINFO_ERR_RESTORE_DEPLOY, text);
    return false;
}

bool CAzureInfo::_ValidateStorageAccount(const RestoreCtx& ctx) {
    static const char* tag = "bool CAzureInfo::_ValidateStorageAccount(const RestoreCtx&)";
    EvDebug::Debug(tag, "Validating if the selected storage account supports page blobs...");
    if (ctx.snapRestore && ctx.restoreAsManagedVM) {
        EvDebug::Debug(tag, "Skipping storage account validation for Managed VM snap restores");
        return true;
    }
    std::vector<SDatastoreInfo> accounts;
    if (!_GetStorageAccountInfoForVMDisks(ctx, accounts)) return false;
    for (const SDatastoreInfo& account : accounts) {
        if (account.skuName.find("ZRS") == std::string::npos) continue;
        const std::string text =
            FXString::Format("Page blobs are not supported on ZRS storage account [%s]", account.name.c_str());
        EvDebug::Debug(tag, "%s", text.c_str());
        SetLastVMError(VMINFO_ERR_VM_SIZE, text);
        return false;
    }
    return true;
}

bool CAzureInfo::_GetStorageAccountInfoForVMDisks(const RestoreCtx& ctx, std::vector<SDatastoreInfo>& out) {
    for (const SDisk& disk : ctx.disks) {
        if (disk.type != DISK_TYPE_VIRTUAL_DISK) continue;
        SDatastoreInfo account;
        if (!_GetStorageAccountInfoFromCache(AccountOf(disk.storageAccount), account)) return false;
        out.push_back(account);
    }
    return true;
}

bool CAzureInfo::_GetStorageAccountInfoFromCache(const std::string& account, SDatastoreInfo& out) {
    static const char* tag = "bool CAzureInfo::_GetStorageAccountInfoFromCache(const string&, SDatastoreInfo&)";
    const auto cached = storageAccountCache.find(account);
    if (cached != storageAccountCache.end()) {
        out = cached->second;
        return true;
    }
    SDatastoreInfo found;
    if (!sdk->GetStorageAccountInfo(account, 0, 0, found)) {
        const std::string error = sdk->GetLastErrorString();
        EvDebug::Error(tag, "Failed to get information for Storage Account [%s] - %s", account.c_str(), error.c_str());
        SetLastVMError(VMINFO_ERR_STORAGE_ACCOUNT_INFO);
        SetLastVMErrorDetails(error);
        return false;
    }
    storageAccountCache[account] = found;
    out = found;
    return true;
}

bool CAzureInfo::_ValidateVirtualNetworks(const RestoreCtx& ctx) {
    return ctx.region.empty() ? _ValidateVirtualNetworksInResourceGroup(ctx) : _ValidateVirtualNetworksInLocation(ctx);
}

bool CAzureInfo::_ValidateVirtualNetworksInLocation(const RestoreCtx& ctx) {
    static const char* tag = "bool CAzureInfo::_ValidateVirtualNetworksInLocation(const RestoreCtx&)";
    EvDebug::Debug(tag, "Validating if the selected location has any virtual networks...");
    SDataCenterInfo dc;
    if (!sdk->GetDCInfoForDC(ctx.region, kNetworkDiscoveryFlags, 0, dc)) {
        FailWrapperCall(*this, tag, VMINFO_ERR_RESTORE_DEPLOY,
                        "Failed to get the virtual networks of location [" + ctx.region + "]",
                        sdk->GetLastErrorString());
        return false;
    }
    if (!dc.networks.empty()) return true;
    const std::string text = FXString::Format("No Virtual networks found in selected location [%s]", dc.name.c_str());
    EvDebug::Error(tag, "%s", text.c_str());
    SetLastVMError(VMINFO_ERR_RESTORE_DEPLOY, text);
    return false;
}

bool CAzureInfo::_ValidateVirtualNetworksInResourceGroup(const RestoreCtx& ctx) {
    static const char* tag = "bool CAzureInfo::_ValidateVirtualNetworksInResourceGroup(const RestoreCtx&)";
    EvDebug::Debug(tag, "Validating if the selected Resource Group's location has any virtual networks...");
    SHostInfo host;
    if (!sdk->GetHostInfoForHost(ctx.resourceGroup, kNetworkDiscoveryFlags, 0, host)) {
        FailWrapperCall(*this, tag, VMINFO_ERR_RESTORE_DEPLOY,
                        "Failed to get the virtual networks of resource group [" + ctx.resourceGroup + "]",
                        sdk->GetLastErrorString());
        return false;
    }
    if (!host.networks.empty()) return true;
    const std::string text =
        FXString::Format("No Virtual networks found in selected resource group's location [%s]", host.location.c_str());
    EvDebug::Error(tag, "%s", text.c_str());
    SetLastVMError(VMINFO_ERR_RESTORE_DEPLOY, text);
    return false;
}

// Managed-disk names ("md-...") and resource ids can stand where a storage account is expected;
// neither names an account that can hold staging blobs.
bool CAzureInfo::_IsValidStorageAccount(const std::string& text) {
    return !text.empty() && !boost::algorithm::istarts_with(text, "md-") &&
           !boost::algorithm::istarts_with(text, "/subscriptions/");
}

bool CAzureInfo::_GetStagingStorageAccountInfo(const std::string& region, SDatastoreInfo& out) {
    static const char* tag = "bool CAzureInfo::_GetStagingStorageAccountInfo(const string&, SDatastoreInfo&)";
    const auto cached = stagingStorageCache.find(region);
    if (cached != stagingStorageCache.end() && !cached->second.empty()) {
        out = cached->second.front();
        return true;
    }
    std::string hostText;
    if (GetVSInstType() == VSINST_AZURE_STACK_HUB) {
        EvDebug::Debug(tag, "Fetching all Storage Accounts from Azure Stack Hub");
    } else {
        EvDebug::DebugLvl(tag, 2, "Fetching Storage Accounts in destination Region [%s]", region.c_str());
        hostText = "|" + region;
    }
    std::vector<SDatastoreInfo> listed;
    IVMInfo* self = this;
    if (!self->GetDSInfoListForHost(hostText, listed, 0, 0)) {
        FailWrapperCall(*this, tag, VMINFO_ERR_STORAGE_ACCOUNT_INFO,
                        "Failed to get Storage Accounts in destination Region [" + region + "]",
                        sdk->GetLastErrorString());
        return false;
    }
    std::vector<SDatastoreInfo> named;
    for (const SDatastoreInfo& account : listed)
        if (!account.name.empty()) named.push_back(account);
    if (named.empty()) {
        FailSlot(*this, tag, VMINFO_ERR_STORAGE_ACCOUNT_INFO,
                 "No Storage Account is available in Region [" + region + "] to stage the disks in");
        return false;
    }
    stagingStorageCache[region] = named;
    out = named.front();
    return true;
}

bool CAzureInfo::IsAvailabilityZoneRestoreEnabled() {
    bool enabled = true;
    NXPlatformInfo::getBoolean("VirtualServer", "bRestoreAzureAvailabilityZone", &enabled);
    return enabled;
}

void CAzureInfo::UpdateAvailabilityZoneForRestoreVM(const RestoreCtx& ctx) {
    static const char* tag = "void CAzureInfo::UpdateAvailabilityZoneForRestoreVM(const RestoreCtx&)";
    if (!ctx.restoreAsManagedVM || ctx.restoreType == RESTORE_TYPE_DISK_ATTACH) return;
    std::string& zones = _Writable(ctx).vmInfo.availabilityZones;
    if (!IsAvailabilityZoneRestoreEnabled()) {
        zones = "None";
        EvDebug::Debug(tag,
                       "Availability Zone restores are disabled.  Setting restore VM [%s] availability zones list to "
                       "[None]",
                       ctx.vmName.c_str());
        return;
    }
    if (!ctx.inPlaceRestore) {
        if (ctx.availabilityZones.empty()) {
            zones = ctx.originalInfo.availabilityZones;
            EvDebug::Debug(tag,
                           "Availability zone restore setting not found, defaulting restore VM [%s] availability "
                           "zones list to original VM setting [%s]",
                           ctx.vmName.c_str(), zones.c_str());
        } else {
            zones = ctx.availabilityZones;
            EvDebug::Debug(tag, "Setting restore VM [%s] availability zones list to user supplied restore setting [%s]",
                           ctx.vmName.c_str(), zones.c_str());
        }
        return;
    }
    if (!ctx.originalInfo.availabilityZones.empty()) {
        zones = ctx.originalInfo.availabilityZones;
        EvDebug::Debug(tag,
                       "Setting restore VM [%s] availability zones list to original VM setting [%s] for in place "
                       "restore",
                       ctx.vmName.c_str(), zones.c_str());
    } else {
        EvDebug::Debug(tag,
                       "No availabilityZones value in VM [%s] original settings.  Restoring VM without availability "
                       "zone",
                       ctx.vmName.c_str());
    }
}
