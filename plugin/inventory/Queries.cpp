// VM, host, storage-account, VM-size and image queries.
#include <boost/algorithm/string/erase.hpp>

#include "plugin/frame/AzureInfo.h"

namespace {

// The region of a region-qualified host name ("group|Region"): everything after the first '|'.
bool RegionOfQualifiedHost(const std::string& host, std::string& region) {
    std::string::size_type bar = host.find('|');
    if (bar == std::string::npos) return false;
    region = host.substr(bar + 1);
    return true;
}

}  // namespace

int CAzureInfo::GetVMInfoListForInventoryObject(const std::string& name, EInventoryType type, UINT64 flags,
                                                int option, std::vector<SVMInfo>& out) {
    std::vector<SVMInfo> found;
    switch (type) {
        case INVENTORY_TYPE_ROOT: return GetVMInfoListForRootInventoryObject(name, type, flags, option, out);
        case INVENTORY_TYPE_REGION:
            if (!_GetVMInfoListForRegion(name, flags, option, found)) return 0;
            break;
        case INVENTORY_TYPE_HOST: {
            SHostInfo host;
            IVMInfo* self = this;
            if (!self->GetHostInfoForHost(name, flags, option, host)) return 0;
            found = host.vmList;
            break;
        }
        case INVENTORY_TYPE_STORAGE_ACCOUNT:
            if (!_GetVMInfoListForStorageAccount(name, flags, option, found)) return 0;
            break;
        default: return 0;
    }
    out.insert(out.end(), found.begin(), found.end());
    return 1;
}

int CAzureInfo::GetVMInfoListForRootInventoryObject(const std::string& /*name*/, EInventoryType /*type*/,
                                                    UINT64 flags, int option, std::vector<SVMInfo>& out) {
    static const char* tag =
        "int CAzureInfo::GetVMInfoListForRootInventoryObject(const string&, EInventoryType, UINT64, int, "
        "std::vector<SVMInfo>&)";
    if (!_RefreshHostInfoCache(flags, option)) {
        EvDebug::Error(tag, "Failed to refresh local host info cache");
        return 0;
    }
    for (const SHostInfo& host : hostInfoCache) out.insert(out.end(), host.vmList.begin(), host.vmList.end());
    return 1;
}

int CAzureInfo::GetHostInfoForHost(const std::string& name, UINT64 flags, int option, SHostInfo& host) {
    static const char* tag = "virtual int CAzureInfo::GetHostInfoForHost(const string&, UINT64, int, SHostInfo&)";
    std::string region;
    if (!RegionOfQualifiedHost(name, region)) {
        host.name = name;
        return sdk->GetHostInfoForHost(name, flags, option, host) ? 1 : 0;
    }
    boost::algorithm::erase_all(region, " ");
    SDataCenterInfo dc;
    dc.name = region;
    if (!sdk->GetDCInfoForDC(region, flags, option, dc)) {
        EvDebug::Debug(tag, "GetHostInfoForHost Failed for region [%s]", region.c_str());
        return 0;
    }
    host.securityGroups = dc.securityGroups;
    host.networks = dc.networks;
    host.datastores = dc.datastores;
    return 1;
}

int CAzureInfo::GetVMInfoForVM(const std::string& name, const std::string& guid, const std::string& host,
                               UINT64 flags, int option, SVMInfo& out) {
    return sdk->GetVMInfoForVM(name, guid, host, flags, option, out) ? 1 : 0;
}

int CAzureInfo::GetLocalVMInfo(SVMInfo& out, UINT64 flags, int option) {
    static const char* tag = "virtual int CAzureInfo::GetLocalVMInfo(SVMInfo&, UINT64, int)";
    std::string guid;
    {
        NxCriticalSectionH hold(c_localVMGuidCS);
        guid = c_localVMGuid;
    }
    if (guid.empty()) return 0;
    if (sdk->GetLocalVMInfo(std::string(), guid, flags, option, out)) return 1;
    EvDebug::Debug(tag, "GetLocalVMInfo Failed for VM [%s]. Backup agent is running on physical host", guid.c_str());
    return 0;
}

bool CAzureInfo::_GetVMInfoListForRegion(const std::string& region, UINT64 flags, int option,
                                         std::vector<SVMInfo>& out) {
    static const char* tag =
        "bool CAzureInfo::_GetVMInfoListForRegion(const string&, UINT64, int, std::vector<SVMInfo>&)";
    EvDebug::DebugLvl(tag, 2, "Fetching VMs for Region [%s]", region.c_str());
    if (sdk->GetVMInfoListForRegion(region, flags, option, out)) return true;
    EvDebug::Debug(tag, "Failed to fetch VMInfo list for Region [%s], Error [%s]", region.c_str(),
                   sdk->GetLastErrorString().c_str());
    return false;
}

bool CAzureInfo::_GetVMInfoListForStorageAccount(const std::string& account, UINT64 flags, int option,
                                                 std::vector<SVMInfo>& out) {
    static const char* tag =
        "bool CAzureInfo::_GetVMInfoListForStorageAccount(const string&, UINT64, int, std::vector<SVMInfo>&)";
    EvDebug::DebugLvl(tag, 2, "Fetching VMs for Storage Account [%s]", account.c_str());
    if (sdk->GetVMInfoListForStorageAccount(account, flags, option, out)) return true;
    EvDebug::Debug(tag, "Failed to fetch VMInfo list for StorageAccount [%s], Error [%s]", account.c_str(),
                   sdk->GetLastErrorString().c_str());
    return false;
}

int CAzureInfo::GetVMInfoListForTag(const std::string& /*category*/, const std::string& tagName,
                                    EInventoryType /*type*/, UINT64 flags, int option, std::vector<SVMInfo>& out) {
    static const char* tag =
        "virtual int CAzureInfo::GetVMInfoListForTag(const string&, const string&, EInventoryType, UINT64, int, "
        "std::vector<SVMInfo>&)";
    EvDebug::DebugLvl(tag, 2, "Fetching VMs for Tag [%s]", tagName.c_str());
    if (sdk->GetVMInfoListForTag(tagName, flags, option, out)) return 1;
    EvDebug::Debug(tag, "Failed to fetch VMInfo list for Tag [%s], Error [%s]", tagName.c_str(),
                   sdk->GetLastErrorString().c_str());
    return 0;
}

int CAzureInfo::GetDSInfoListForHost(const std::string& host, std::vector<SDatastoreInfo>& out, UINT64 flags,
                                     int option) {
    static const char* tag =
        "virtual int CAzureInfo::GetDSInfoListForHost(const string&, std::vector<SDatastoreInfo>&, UINT64, int)";
    std::string region;
    if (RegionOfQualifiedHost(host, region)) {
        if (sdk->GetStorageAccountInfoListForRegion(region, flags, option, out)) return 1;
        EvDebug::Debug(tag, "GetStorageAccountInfoListForRegion Failed for region [%s]", region.c_str());
        return 0;
    }
    if (sdk->GetStorageAccountInfoList(host, flags, option, out, false)) return 1;
    EvDebug::Debug(tag, "GetDSInfoListForHost Failed for Host [%s]", host.c_str());
    return 0;
}

int CAzureInfo::GetDSInfoForDS(const std::string& datastore, const std::string& /*host*/,
                               const std::string& /*dataCenter*/, UINT64 flags, int option, SDatastoreInfo& out) {
    static const char* tag =
        "virtual int CAzureInfo::GetDSInfoForDS(const string&, const string&, const string&, UINT64, int, "
        "SDatastoreInfo&)";
    if (sdk->GetStorageAccountInfo(datastore, flags, option, out)) return 1;
    EvDebug::Debug(tag, "GetStorageAccountInfo Failed for StorageAccount [%s]", datastore.c_str());
    return 0;
}

int CAzureInfo::GetAvailableVMSizesInLocation(const std::string& location, std::vector<SVMSizeInfo>& out,
                                              UINT64 flags, int option) {
    if (sdk->GetAvailableVMSizesInLocation(location, out, flags, option)) return 1;
    SetLastVMError(VMINFO_ERR_VM_SIZE,
                   FXString::Format("Failed to get list of available VM Sizes for Azure region [%s]", location.c_str()));
    SetLastVMErrorDetails(sdk->GetLastErrorString());
    return 0;
}

int CAzureInfo::GetAvailableVMSizesForHost(const std::string& host, std::vector<SVMSizeInfo>& out, UINT64 flags,
                                           int option) {
    std::string region;
    if (RegionOfQualifiedHost(host, region)) {
        boost::algorithm::erase_all(region, " ");
        IVMInfo* self = this;
        return self->GetAvailableVMSizesInLocation(region, out, flags, option);
    }
    if (sdk->GetAvailableVMSizesForHost(host, out, flags, option)) return 1;
    const char* kind = (GetVSInstType() == 402 || GetVSInstType() == 403) ? "ResourceGroup" : "CloudService";
    SetLastVMError(VMINFO_ERR_VM_SIZE, FXString::Format("Failed to get list of available VM Sizes for Azure %s [%s]",
                                                        kind, host.c_str()));
    SetLastVMErrorDetails(sdk->GetLastErrorString());
    return 0;
}

bool CAzureInfo::GetImageList(const std::string& location, const std::string& publisherAndName,
                              const std::string& sku, std::vector<SVMInfo>& out) {
    static const char* tag =
        "virtual bool CAzureInfo::GetImageList(const string&, const string&, const string&, std::vector<SVMInfo>&)";
    if (sdk->GetImages(location, publisherAndName, sku, out)) return true;
    EvDebug::Debug(tag, "Failed to get details of image with publisher\\name as [%s] in location [%s].",
                   publisherAndName.c_str(), location.c_str());
    SetLastVMErrorDetails(sdk->GetLastErrorString());
    return false;
}
