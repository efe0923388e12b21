// The VM size a restored VM is deployed with: validation of the requested size against what the
// destination offers and what the VM needs, and the choice of the smallest fitting size when the
// requested one is missing or unsuitable.
#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <algorithm>
#include <climits>

#include "host/util/FXString.h"
#include "plugin/frame/AzureInfo.h"

namespace {

const char* const kValidateTag = "bool CAzureInfo::_ValidateVMSize(const RestoreCtx&, bool)";

bool HasZones(const std::string& zones) { return !zones.empty() && !boost::algorithm::iequals(zones, "None"); }

// What the restored VM needs from its size. The OS disk does not count against a size's data-disk
// limit, so only data disks are counted: a VM always fits the size it was backed up with.
SVMSizeInfo RequirementOf(const RestoreCtx& ctx) {
    SVMSizeInfo required;
    for (const SDisk& disk : ctx.disks)
        if (disk.type == DISK_TYPE_VIRTUAL_DISK && !disk.isOsDisk) ++required.maxDataDisks;
    for (const SVMNetworkCard& nic : ctx.nics) {
        if (nic.networkName.empty() && nic.subnetId.empty()) {
            EvDebug::Debug(kValidateTag, "Skipping NIC [%s] as Network name or Subnet ID is not assigned",
                           nic.name.c_str());
            continue;
        }
        ++required.maxNics;
    }
    // Counts beyond the signed range the sizes use are clamped, never wrapped to a negative need.
    required.numCpus = static_cast<std::int32_t>(std::min<std::uint32_t>(ctx.vmInfo.numCpus, INT_MAX));
    required.memoryMB = static_cast<std::int32_t>(std::min<std::uint32_t>(ctx.vmInfo.memoryMB, INT_MAX));
    required.gen2Supported = CAzureInfo::IsGen2Firmware(ctx.originalInfo.firmware);
    required.availabilityZones = ctx.vmInfo.availabilityZones;
    return required;
}

}  // namespace

bool CAzureInfo::_ValidateVMSize(const RestoreCtx& ctx, bool autoSelect) {
    std::string& size = _Writable(ctx).m_vmSize;
    const std::string::size_type blank = size.find(' ');
    if (blank != std::string::npos) size.erase(blank);
    EvDebug::Debug(kValidateTag, "Performing VM Size validation, VMSize [%s], AutoSelect Option [%d]", size.c_str(),
                   autoSelect ? 1 : 0);

    const bool gen2 = IsGen2Firmware(ctx.originalInfo.firmware);
    const bool sizeWasEmpty = size.empty();
    if (sizeWasEmpty) {
        if (!autoSelect) {
            EvDebug::Debug(kValidateTag,
                           "The VM Size is empty. The user has probably selected auto VM Size configuration. Skipping "
                           "validation");
            return true;
        }
        size = ctx.originalInfo.m_InstanceSize;
        if (size.empty()) size = (gen2 || HasZones(ctx.vmInfo.availabilityZones)) ? "Standard_B1s" : "Standard_A1";
        EvDebug::Debug(kValidateTag, "Setting VM Size to [%s] as no size has been selected by user", size.c_str());
    }

    std::vector<SVMSizeInfo> sizes;
    IVMInfo* self = this;
    const int listed = ctx.region.empty() ? self->GetAvailableVMSizesForHost(ctx.resourceGroup, sizes, 0, 0)
                                          : self->GetAvailableVMSizesInLocation(ctx.region, sizes, 0, 0);
    if (!listed) return false;

    SVMSizeInfo required = RequirementOf(ctx);
    EvDebug::Debug(kValidateTag, "VM Restore Info - Num Disks [%d], Num NICs [%d], Num CPU [%d], Memory in MB [%d]%s",
                   required.maxDataDisks, required.maxNics, required.numCpus, required.memoryMB, gen2 ? ", Gen 2" : "");

    // A size the destination does not offer can never be deployed: it always goes to auto-selection,
    // even when the empty record below happens to pass every limit.
    SVMSizeInfo selected;
    bool failed = false;
    if (!_GetVMSizeInfoForVMSizeString(size, sizes, selected)) {
        if (!sizeWasEmpty && !ctx.restoreWithoutConfig) {
            const std::string text = FXString::Format(
                "Requested VM size [%s] was not available in the destination location/resource group [%s][%s]. VM "
                "[%s] will be restored with best available size match",
                size.c_str(), ctx.region.c_str(), ctx.resourceGroup.c_str(), ctx.vmName.c_str());
            EvDebug::Error(kValidateTag, "%s", text.c_str());
            AddRestoreFailure(ctx, ctx.vmName, text, true);
        }
        autoSelect = true;
        failed = true;
    }

    if (!_CheckPremiumStorageAccount(ctx, sizes)) {
        if (!autoSelect) return false;
        failed = true;
    }
    if (!_CheckVMSizeDeviceLimits(required, selected, gen2)) {
        if (!autoSelect) return false;
        failed = true;
    }
    std::string& zones = _Writable(ctx).vmInfo.availabilityZones;
    if (!_CheckVMSizeAvailabilityZoneCompatibility(selected, zones)) {
        if (!ctx.availabilityZones.empty()) {
            if (!autoSelect) {
                const std::string text =
                    FXString::Format("Selected VM Size [%s] does not supports Azure Availability Zones [%s]",
                                     size.c_str(), zones.c_str());
                EvDebug::Debug(kValidateTag, "%s", text.c_str());
                SetLastVMError(VMINFO_ERR_VM_SIZE, text);
                return false;
            }
            failed = true;
        } else {
            EvDebug::Debug(kValidateTag,
                           "Availability Zone check failed for size [%s] with original VM availability zones [%s].  "
                           "The user selected [Auto] zone so the VM will be restored with no availability zone",
                           size.c_str(), zones.c_str());
            zones.clear();
        }
    }

    if (!failed) {
        if (autoSelect)
            EvDebug::Debug(kValidateTag, "Using VM size [%s] for deployment", size.c_str());
        else
            EvDebug::Debug(kValidateTag, "User selected VM Size [%s] satisfies all conditions for deployment",
                           size.c_str());
        return true;
    }

    // The search is told that the disks are in premium storage when a disk's storage account is
    // premium, as for a clone: such page blobs, attached or imported into managed disks, need a
    // premium-capable size. A disk whose account text names no account (none given, or a managed
    // disk) is not looked up, so no look-up error is left behind by a successful selection.
    bool premiumStorage = false;
    for (const SDisk& disk : ctx.disks) {
        const std::string account = disk.storageAccount.substr(0, disk.storageAccount.find('\\'));
        SDatastoreInfo info;
        if (disk.type == DISK_TYPE_VIRTUAL_DISK && _IsValidStorageAccount(account) &&
            _GetStorageAccountInfoFromCache(account, info) && info.skuName.find("Premium") != std::string::npos)
            premiumStorage = true;
    }
    required.availabilityZones = zones;
    SVMSizeInfo best;
    if (!GetBestMatchingVMSizeInfo(sizes, required, premiumStorage, gen2, best)) {
        const std::string text = FXString::Format("Failed to auto select VM Size for VM [%s] ", ctx.vmName.c_str());
        EvDebug::Error(kValidateTag, "%s", text.c_str());
        SetLastVMError(VMINFO_ERR_VM_SIZE, text);
        return false;
    }
    EvDebug::Debug(kValidateTag, "Auto selecting VM size [%s] for deployment", best.uuid.c_str());
    size = best.uuid;
    return true;
}

bool CAzureInfo::_GetVMSizeInfoForVMSizeString(const std::string& size, const std::vector<SVMSizeInfo>& sizes,
                                               SVMSizeInfo& out) {
    for (const SVMSizeInfo& candidate : sizes) {
        if (!boost::algorithm::iequals(candidate.uuid, size)) continue;
        out = candidate;
        return true;
    }
    return false;
}

bool CAzureInfo::GetBestMatchingVMSizeInfo(const std::vector<SVMSizeInfo>& sizes, SVMSizeInfo& required,
                                           bool premiumStorage, bool gen2, SVMSizeInfo& best) {
    static const char* tag =
        "bool CAzureInfo::GetBestMatchingVMSizeInfo(const std::vector<SVMSizeInfo>&, SVMSizeInfo&, bool, bool, "
        "SVMSizeInfo&)";
    std::vector<SVMSizeInfo> premium, standard;
    _GetPremiumStorageCompatibleVMSizes(sizes, gen2, premium, standard);
    if (!premiumStorage) {
        EvDebug::DebugLvl(tag, 2, "Enumerating standard VM sizes...");
        _GetBestMatchingVMSizeInfo(standard, required, gen2, best);
    }
    if (best.uuid.empty()) {
        EvDebug::DebugLvl(tag, 2, "Enumerating premium storage compatible VM sizes...");
        _GetBestMatchingVMSizeInfo(premium, required, gen2, best);
    }
    return !best.uuid.empty();
}

bool CAzureInfo::_GetBestMatchingVMSizeInfo(const std::vector<SVMSizeInfo>& sizes, SVMSizeInfo& required, bool gen2,
                                            SVMSizeInfo& best) {
    static const char* tag =
        "bool CAzureInfo::_GetBestMatchingVMSizeInfo(const std::vector<SVMSizeInfo>&, SVMSizeInfo&, bool, "
        "SVMSizeInfo&)";
    const bool countNics = GetVSInstType() != VSINST_AZURE_STACK_HUB;
    if (!countNics) EvDebug::DebugLvl(tag, 2, "Skipping NIC count comparison while selecting best VM size...");
    std::int32_t bestDisks = INT_MAX, bestNics = INT_MAX, bestCpus = INT_MAX, bestMemory = INT_MAX;
    for (const SVMSizeInfo& c : sizes) {
        if (!_CheckVMSizeAvailabilityZoneCompatibility(c, required.availabilityZones)) {
            EvDebug::DebugLvl(tag, 2,
                              "Skipping VM Size [%s] for auto selection because it does not support the given "
                              "availability zone list [%s]",
                              c.uuid.c_str(), required.availabilityZones.c_str());
            continue;
        }
        const bool fits = c.maxDataDisks >= required.maxDataDisks && (!countNics || c.maxNics >= required.maxNics) &&
                          c.numCpus >= required.numCpus && c.memoryMB >= required.memoryMB &&
                          (!gen2 || c.gen2Supported);
        if (!fits) continue;
        // Only a candidate no larger in any of the four values replaces the best so far.
        const bool notLarger = c.maxDataDisks <= bestDisks && (!countNics || c.maxNics <= bestNics) &&
                               c.numCpus <= bestCpus && c.memoryMB <= bestMemory;
        if (!notLarger) continue;
        if (c.uuid.find("_DC") != std::string::npos) {
            EvDebug::DebugLvl(tag, 2, "Skipping VM Size [%s] for auto selection since this supports only UEFI boot",
                              c.uuid.c_str());
            continue;
        }
        EvDebug::DebugLvl(tag, 2,
                          "Candidate VM Size for auto selection : [%s], Num Disks [%d], Num NICs [%d], Num CPUs [%d], "
                          "MemoryInMB [%d]",
                          c.uuid.c_str(), c.maxDataDisks, c.maxNics, c.numCpus, c.memoryMB);
        best = c;
        bestDisks = c.maxDataDisks;
        bestNics = c.maxNics;
        bestCpus = c.numCpus;
        bestMemory = c.memoryMB;
    }
    return true;
}

bool CAzureInfo::_CheckVMSizeDeviceLimits(const SVMSizeInfo& required, const SVMSizeInfo& selected, bool gen2) {
    static const char* tag = "bool CAzureInfo::_CheckVMSizeDeviceLimits(const SVMSizeInfo&, const SVMSizeInfo&, bool)";
    EvDebug::Debug(tag, "Performing Azure VMSize device limit checks");
    std::string text;
    if (selected.maxDataDisks < required.maxDataDisks)
        text = FXString::Format("Selected VM Size [%s] only supports [%d] disks", selected.uuid.c_str(),
                                selected.maxDataDisks);
    else if (selected.maxNics < required.maxNics)
        text =
            FXString::Format("Selected VM Size [%s] only supports [%d] NICs", selected.uuid.c_str(), selected.maxNics);
    else if (gen2 && !selected.gen2Supported)
        text = FXString::Format("Selected VM Size [%s] does not support Gen 2 VMs", selected.uuid.c_str());
    else
        return true;
    EvDebug::Debug(tag, "%s", text.c_str());
    SetLastVMError(VMINFO_ERR_VM_SIZE, text);
    return false;
}

bool CAzureInfo::_CheckVMSizeAvailabilityZoneCompatibility(const SVMSizeInfo& size, const std::string& zones) {
    if (!HasZones(zones)) return true;
    std::vector<std::string> tokens;
    boost::algorithm::split(tokens, zones, boost::algorithm::is_any_of(","));
    for (std::string& zone : tokens) {
        boost::algorithm::trim(zone);
        if (!zone.empty() && size.availabilityZones.find(zone) == std::string::npos) return false;
    }
    return true;
}

bool CAzureInfo::_GetPremiumStorageCompatibleVMSizes(const std::vector<SVMSizeInfo>& sizes, bool gen2,
                                                     std::vector<SVMSizeInfo>& premium,
                                                     std::vector<SVMSizeInfo>& standard) {
    static const char* tag =
        "bool CAzureInfo::_GetPremiumStorageCompatibleVMSizes(const std::vector<SVMSizeInfo>&, bool, "
        "std::vector<SVMSizeInfo>&, std::vector<SVMSizeInfo>&)";
    for (const SVMSizeInfo& size : sizes) {
        if (gen2 && !size.gen2Supported) {
            EvDebug::DebugLvl(tag, 2, "Skipping Instance Size UUID [%s], Name [%s] because it is not Gen 2 compatible",
                              size.uuid.c_str(), size.name.c_str());
        } else if (size.premiumIO) {
            EvDebug::DebugLvl(tag, 2, "Premium Storage Compatible VM Instance Size UUID [%s], Name [%s]",
                              size.uuid.c_str(), size.name.c_str());
            premium.push_back(size);
        } else {
            standard.push_back(size);
        }
    }
    return true;
}

bool CAzureInfo::_CheckPremiumStorageAccount(const RestoreCtx& ctx, const std::vector<SVMSizeInfo>& sizes) {
    static const char* tag =
        "bool CAzureInfo::_CheckPremiumStorageAccount(const RestoreCtx&, const std::vector<SVMSizeInfo>&)";
    if (ctx.restoreAsManagedVM || ctx.m_vmSize.empty()) return true;
    EvDebug::Debug(tag, "Performing PREMIUM storage account checks");
    std::vector<SDatastoreInfo> accounts;
    if (!_GetStorageAccountInfoForVMDisks(ctx, accounts)) return false;
    const SDatastoreInfo* premiumAccount = nullptr;
    for (const SDatastoreInfo& account : accounts) {
        if (account.skuName.find("Premium") == std::string::npos) continue;
        premiumAccount = &account;
        break;
    }
    if (!premiumAccount) return true;
    if (ctx.restoreType == RESTORE_TYPE_REPLICATION && !ctx.createVm) {
        SetLastVMError(VMINFO_ERR_PREMIUM_DEPLOY_AT_FAILOVER,
                       "Premium storage accounts are not supported if the Deploy virtual machine only during failover "
                       "option is enabled.");
        EvDebug::Error(tag, "%s", GetLastVMErrorDetails().c_str());
        return false;
    }
    EvDebug::Debug(tag, "VM Instance Size [%s], Premium Storage Account [%s]", ctx.m_vmSize.c_str(),
                   premiumAccount->name.c_str());
    std::vector<SVMSizeInfo> premium, standard;
    _GetPremiumStorageCompatibleVMSizes(sizes, IsGen2Firmware(ctx.vmInfo.firmware), premium, standard);
    for (const SVMSizeInfo& size : premium)
        if (boost::algorithm::iequals(size.uuid, ctx.m_vmSize)) return true;
    const std::string text =
        FXString::Format("Selected VM Size [%s] could not be deployed in a premium storage account [%s]",
                         ctx.m_vmSize.c_str(), premiumAccount->name.c_str());
    EvDebug::Debug(tag, "%s", text.c_str());
    SetLastVMError(VMINFO_ERR_VM_SIZE, text);
    return false;
}
