// The browse tree offered to the host, and the host-information cache behind it.
#include <strings.h>

#include <algorithm>
#include <boost/tokenizer.hpp>

#include "plugin/frame/AzureInfo.h"

namespace {

const UINT64 kWithVmLists = 0x20000000;
const UINT64 kWithTemplates = 0x4000000000000000ULL;

SInventoryInfo ViewNode(const char* name) {
    SInventoryInfo node;
    node.name = name;
    return node;
}

}  // namespace

int CAzureInfo::BrowseInventory(const std::string& path, const SInventoryInfo& parent,
                                std::vector<SInventoryInfo>& out, UINT64 /*flags*/, int /*option*/) {
    static const char* tag =
        "virtual int CAzureInfo::BrowseInventory(const string&, const SInventoryInfo&, "
        "std::vector<SInventoryInfo>&, UINT64, int)";
    try {
        boost::char_separator<char> separator("\\");
        boost::tokenizer<boost::char_separator<char>> tokens(path, separator);
        std::vector<std::string> parts(tokens.begin(), tokens.end());
        if (parts.empty()) {
            BrowseViews(out);
            return 1;
        }
        const std::string& view = parts[0];
        std::string container = parts.size() > 1 ? parts[1] : std::string();
        if (view == "VMs") {
            BrowseVMList(out, 0, 0);
        } else if (view == "Cloud Services" || view == "Resource Groups") {
            BrowseHostList(container, out, 0, 0);
        } else if (view == "Images") {
            SInventoryInfo node = parent;
            sdk->BrowseImages(node, out);
        } else if (view == "Regions") {
            BrowseRegions(parent, out);
        } else if (view == "Storage Accounts") {
            BrowseStorageAccounts(parent, out);
        } else if (view == "Tags") {
            BrowseTags(parent, out);
        }
        SortInventoryList(out);
        return 1;
    } catch (...) {
        EvDebug::Error(tag, "Caught unhandled exception");
        return 0;
    }
}

void CAzureInfo::BrowseViews(std::vector<SInventoryInfo>& out) {
    bool resourceManager = GetVSInstType() == 402 || GetVSInstType() == 403;
    out.push_back(ViewNode("VMs"));
    out.push_back(ViewNode(resourceManager ? "Resource Groups" : "Cloud Services"));
    out.push_back(ViewNode("Regions"));
    out.push_back(ViewNode("Storage Accounts"));
    if (resourceManager) out.push_back(ViewNode("Tags"));
}

bool CAzureInfo::BrowseVMList(std::vector<SInventoryInfo>& out, UINT64 flags, int option) {
    static const char* tag = "bool CAzureInfo::BrowseVMList(std::vector<SInventoryInfo>&, UINT64, int)";
    if (!_RefreshHostInfoCache(flags | kWithVmLists, option)) {
        EvDebug::Error(tag, "Failed to refresh host info cache");
        return false;
    }
    for (const SHostInfo& host : hostInfoCache) CopyVMInfoListToInventoryList(host.vmList, out, nullptr);
    return true;
}

bool CAzureInfo::BrowseHostList(const std::string& hostName, std::vector<SInventoryInfo>& out, UINT64 flags,
                                int option) {
    static const char* tag =
        "bool CAzureInfo::BrowseHostList(const string&, std::vector<SInventoryInfo>&, UINT64, int)";
    if (!hostName.empty()) {
        SHostInfo host;
        if (!sdk->GetHostInfoForHost(hostName, flags | kWithVmLists, option, host)) return false;
        CopyVMInfoListToInventoryList(host.vmList, out, nullptr);
        return true;
    }
    if (!_RefreshHostInfoCache(flags, option)) {
        EvDebug::Error(tag, "Failed to refresh host info cache");
        return false;
    }
    for (const SHostInfo& host : hostInfoCache) {
        EvDebug::DebugLvl(tag, 2, "Adding host [%s]", host.name.c_str());
        SInventoryInfo node;
        node.name = host.name;
        node.id = host.name;
        node.type = INVENTORY_TYPE_HOST;
        out.push_back(node);
    }
    return true;
}

bool CAzureInfo::BrowseRegions(const SInventoryInfo& parent, std::vector<SInventoryInfo>& out) {
    static const char* tag = "bool CAzureInfo::BrowseRegions(SInventoryInfo, std::vector<SInventoryInfo>&)";
    EvDebug::DebugLvl(tag, 2, "Browsing Azure Regions for Node [%s]", parent.name.c_str());
    if (sdk->BrowseRegions(parent, out)) return true;
    EvDebug::Error(tag, "Failed to Browse Azure Regions for Node [%s], Error [%s]", parent.name.c_str(),
                   sdk->GetLastErrorString().c_str());
    return false;
}

bool CAzureInfo::BrowseStorageAccounts(const SInventoryInfo& parent, std::vector<SInventoryInfo>& out) {
    static const char* tag = "bool CAzureInfo::BrowseStorageAccounts(SInventoryInfo, std::vector<SInventoryInfo>&)";
    EvDebug::DebugLvl(tag, 2, "Browsing Azure Storage Accounts for Node [%s]", parent.name.c_str());
    if (sdk->BrowseStorageAccounts(parent, out)) return true;
    EvDebug::Error(tag, "Failed to Browse Azure StorageAccounts for Node [%s], Error [%s]", parent.name.c_str(),
                   sdk->GetLastErrorString().c_str());
    return false;
}

bool CAzureInfo::BrowseTags(const SInventoryInfo& parent, std::vector<SInventoryInfo>& out) {
    static const char* tag = "bool CAzureInfo::BrowseTags(SInventoryInfo, std::vector<SInventoryInfo>&)";
    EvDebug::DebugLvl(tag, 2, "Browsing Azure Tags for Node [%s]", parent.name.c_str());
    if (sdk->BrowseTags(parent, out)) return true;
    EvDebug::Error(tag, "Failed to Browse Azure Tags for Node [%s], Error [%s]", parent.name.c_str(),
                   sdk->GetLastErrorString().c_str());
    return false;
}

void CAzureInfo::SortInventoryList(std::vector<SInventoryInfo>& list) {
    for (SInventoryInfo& node : list)
        if (!node.children.empty()) SortInventoryList(node.children);
    std::sort(list.begin(), list.end(), [](const SInventoryInfo& a, const SInventoryInfo& b) {
        return strcasecmp(a.name.c_str(), b.name.c_str()) < 0;
    });
}

void CAzureInfo::CopyVMInfoListToInventoryList(const std::vector<SVMInfo>& vms, std::vector<SInventoryInfo>& out,
                                               std::map<std::string, SVMInfo>* byGuid) {
    static const char* tag =
        "void CAzureInfo::CopyVMInfoListToInventoryList(const std::vector<SVMInfo>&, std::vector<SInventoryInfo>&, "
        "std::map<string, SVMInfo>*)";
    for (const SVMInfo& vm : vms) {
        EvDebug::DebugLvl(tag, 2, "Adding VM [%s] VMGUID [%s]", vm.name.c_str(), vm.guid.c_str());
        SInventoryInfo node;
        node.name = vm.name;
        node.id = vm.guid;
        node.type = INVENTORY_TYPE_VM;
        node.flags = vm.powerState == 1 ? 1u : 0u;
        out.push_back(node);
        if (byGuid) (*byGuid)[vm.guid] = vm;
    }
}

int CAzureInfo::_RefreshHostInfoCache(UINT64 flags, int option) {
    static const char* tag = "virtual int CAzureInfo::_RefreshHostInfoCache(UINT64, int)";
    if (!IsNewHostDiscoveryReq(flags, option)) return 1;
    // Empties the list and marks it stale, so that a fetch failing below leaves nothing to serve.
    ResetCaches();
    if (!sdk->GetHostInfoList(flags, option, hostInfoCache)) {
        EvDebug::Debug(tag, "Failed to get host info list [%s]", sdk->GetLastErrorString().c_str());
        IVMInfo* self = this;
        self->Disconnect();
        return 0;
    }
    if ((flags & kWithTemplates) != 0 && flags != ~0ULL) {
        SHostInfo templateHost;
        if (!sdk->GetTemplateInfoList(flags, option, templateHost.vmList)) return 0;
        hostInfoCache.push_back(templateHost);
    }
    CVMInfo::_RefreshHostInfoCache(flags, option);
    return 1;
}
