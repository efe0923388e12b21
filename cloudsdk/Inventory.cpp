// Inventory of the subscription: browse nodes, hosts (resource groups), VMs, regions,
// storage accounts, VM sizes and images.
#include <boost/algorithm/string/predicate.hpp>

#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/RecordMapping.h"
#include "cloudsdk/SdkErrorCodes.h"

namespace AzureSDKCppBridge {

namespace {

using boost::algorithm::iequals;
using VMInfoStructs::SInventoryInfo;

SInventoryInfo Node(const std::string& name, const std::string& id, EInventoryType type) {
    SInventoryInfo node;
    node.name = name;
    node.id = id;
    node.type = type;
    return node;
}

// A tag query is "name" (any value) or "name:value".
bool HasTag(const azsim::Tags& tags, const std::string& query) {
    std::string::size_type colon = query.find(':');
    std::string name = query.substr(0, colon);
    for (const auto& tag : tags) {
        if (!iequals(tag.first, name)) continue;
        if (colon == std::string::npos || tag.second == query.substr(colon + 1)) return true;
    }
    return false;
}

std::string NotFound(const std::string& kind, const std::string& name) {
    return "ResourceNotFound: The Resource '" + kind + "/" + name + "' was not found.";
}

}  // namespace

bool CAzureSDKCppBridge::BrowseRegions(const SInventoryInfo& parent, std::vector<SInventoryInfo>& out) try {
    azsim::StateDocument doc;
    if (std::optional<Refusal> refusal = impl_->open("BrowseRegions", {{"parent", parent.name}}, doc))
        return Fail(refusal->code, refusal->text);
    for (const azsim::Region& region : doc.regions)
        out.push_back(Node(region.displayName.empty() ? region.name : region.displayName, region.name,
                           INVENTORY_TYPE_REGION));
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::BrowseStorageAccounts(const SInventoryInfo& parent, std::vector<SInventoryInfo>& out) try {
    azsim::StateDocument doc;
    if (std::optional<Refusal> refusal = impl_->open("BrowseStorageAccounts", {{"parent", parent.name}}, doc))
        return Fail(refusal->code, refusal->text);
    for (const azsim::StorageAccount& account : doc.storageAccounts)
        out.push_back(Node(account.name, account.name, INVENTORY_TYPE_STORAGE_ACCOUNT));
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::BrowseTags(const SInventoryInfo& parent, std::vector<SInventoryInfo>& out) try {
    azsim::StateDocument doc;
    if (std::optional<Refusal> refusal = impl_->open("BrowseTags", {{"parent", parent.name}}, doc))
        return Fail(refusal->code, refusal->text);
    std::map<std::string, bool> seen;
    for (const azsim::VirtualMachine& vm : doc.vms)
        for (const auto& tag : vm.tags) seen[tag.first + ":" + tag.second] = true;
    for (const auto& tag : seen) out.push_back(Node(tag.first, tag.first, INVENTORY_TYPE_NONE));
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::BrowseImages(const SInventoryInfo& parent, std::vector<SInventoryInfo>& out) try {
    azsim::StateDocument doc;
    if (std::optional<Refusal> refusal = impl_->open("BrowseImages", {{"parent", parent.name}}, doc))
        return Fail(refusal->code, refusal->text);
    for (const azsim::MarketplaceImage& image : doc.images) {
        std::string name = image.publisher + "/" + image.offer + "/" + image.sku;
        out.push_back(Node(name, name + "/" + image.version, INVENTORY_TYPE_NONE));
    }
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetHostInfoList(UINT64 flags, int option, std::vector<VMInfoStructs::SHostInfo>& hosts) try {
    azsim::StateDocument doc;
    if (std::optional<Refusal> refusal = impl_->open("GetHostInfoList", {{"flags", flags}, {"option", option}}, doc))
        return Fail(refusal->code, refusal->text);
    for (const azsim::ResourceGroup& group : doc.resourceGroups) hosts.push_back(HostRecord(doc, group));
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetHostInfoForHost(const std::string& hostName, UINT64 flags, int option,
                                            VMInfoStructs::SHostInfo& host) try {
    azsim::StateDocument doc;
    nlohmann::json args = {{"hostName", hostName}, {"flags", flags}, {"option", option}};
    if (std::optional<Refusal> refusal = impl_->open("GetHostInfoForHost", args, doc))
        return Fail(refusal->code, refusal->text);
    const azsim::ResourceGroup* group = doc.findResourceGroup(hostName);
    if (!group)
        return Fail(SDK_ERR_NOT_FOUND, "ResourceGroupNotFound: Resource group '" + hostName + "' could not be found.");
    host = HostRecord(doc, *group);
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetTemplateInfoList(UINT64 flags, int option,
                                             std::vector<VMInfoStructs::SVMInfo>& templates) try {
    azsim::StateDocument doc;
    if (std::optional<Refusal> refusal = impl_->open("GetTemplateInfoList", {{"flags", flags}, {"option", option}}, doc))
        return Fail(refusal->code, refusal->text);
    for (const azsim::VirtualMachine& vm : doc.templates) templates.push_back(VmRecord(doc, vm));
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetVMInfoListForStorageAccount(const std::string& storageAccount, UINT64 flags, int option,
                                                        std::vector<VMInfoStructs::SVMInfo>& out) try {
    nlohmann::json args = {{"storageAccount", storageAccount}, {"flags", flags}, {"option", option}};
    azsim::StateDocument doc;
    if (std::optional<Refusal> refusal = impl_->open("GetVMInfoListForStorageAccount", args, doc))
        return Fail(refusal->code, refusal->text);
    if (!doc.findStorageAccount(storageAccount))
        return Fail(SDK_ERR_NOT_FOUND, NotFound("Microsoft.Storage/storageAccounts", storageAccount));
    for (const azsim::VirtualMachine& vm : doc.vms)
        if (!vm.managed && iequals(vm.storageAccount, storageAccount)) out.push_back(VmRecord(doc, vm));
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetVMInfoListForTag(const std::string& tag, UINT64 flags, int option,
                                             std::vector<VMInfoStructs::SVMInfo>& out) try {
    nlohmann::json args = {{"tag", tag}, {"flags", flags}, {"option", option}};
    azsim::StateDocument doc;
    if (std::optional<Refusal> refusal = impl_->open("GetVMInfoListForTag", args, doc))
        return Fail(refusal->code, refusal->text);
    for (const azsim::VirtualMachine& vm : doc.vms)
        if (HasTag(vm.tags, tag)) out.push_back(VmRecord(doc, vm));
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetVMInfoForVM(const std::string& vmName, const std::string& vmGuid,
                                        const std::string& hostName, UINT64 flags, int option,
                                        VMInfoStructs::SVMInfo& out) try {
    nlohmann::json args = {{"vmName", vmName}, {"vmGuid", vmGuid}, {"hostName", hostName}, {"flags", flags},
                           {"option", option}};
    azsim::StateDocument doc;
    if (std::optional<Refusal> refusal = impl_->open("GetVMInfoForVM", args, doc))
        return Fail(refusal->code, refusal->text);
    const azsim::VirtualMachine* vm = !vmGuid.empty() ? doc.findVmByGuid(vmGuid) : doc.findVm(vmName, hostName);
    if (vm && !hostName.empty() && !iequals(vm->resourceGroup, hostName)) vm = nullptr;
    if (!vm) return Fail(SDK_ERR_NOT_FOUND, NotFound("Microsoft.Compute/virtualMachines", vmName + vmGuid));
    out = VmRecord(doc, *vm);
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetLocalVMInfo(const std::string& vmName, const std::string& vmGuid, UINT64 flags,
                                        int option, VMInfoStructs::SVMInfo& out) try {
    nlohmann::json args = {{"vmName", vmName}, {"vmGuid", vmGuid}, {"flags", flags}, {"option", option}};
    azsim::StateDocument doc;
    if (std::optional<Refusal> refusal = impl_->open("GetLocalVMInfo", args, doc))
        return Fail(refusal->code, refusal->text);
    const azsim::VirtualMachine* vm = doc.findVmByGuid(vmGuid);
    if (!vm) return Fail(SDK_ERR_NOT_FOUND, "No virtual machine of the subscription has the id [" + vmGuid + "]");
    out = VmRecord(doc, *vm);
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetDCInfoForDC(const std::string& region, UINT64 flags, int option,
                                        VMInfoStructs::SDataCenterInfo& dataCenter) try {
    nlohmann::json args = {{"region", region}, {"flags", flags}, {"option", option}};
    azsim::StateDocument doc;
    if (std::optional<Refusal> refusal = impl_->open("GetDCInfoForDC", args, doc))
        return Fail(refusal->code, refusal->text);
    const azsim::Region* found = doc.findRegion(region);
    if (!found) return Fail(SDK_ERR_NOT_FOUND, "LocationNotAvailableForResourceType: '" + region + "'");
    dataCenter = DataCenterRecord(doc, *found, dataCenter.name.empty() ? region : dataCenter.name);
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetStorageAccountInfo(const std::string& storageAccount, UINT64 flags, int option,
                                               VMInfoStructs::SDatastoreInfo& out) try {
    nlohmann::json args = {{"storageAccount", storageAccount}, {"flags", flags}, {"option", option}};
    azsim::StateDocument doc;
    if (std::optional<Refusal> refusal = impl_->open("GetStorageAccountInfo", args, doc))
        return Fail(refusal->code, refusal->text);
    const azsim::StorageAccount* account = doc.findStorageAccount(storageAccount);
    if (!account) return Fail(SDK_ERR_NOT_FOUND, NotFound("Microsoft.Storage/storageAccounts", storageAccount));
    out = StorageAccountRecord(*account);
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetStorageAccountInfoList(const std::string& hostName, UINT64 flags, int option,
                                                   std::vector<VMInfoStructs::SDatastoreInfo>& out,
                                                   bool forceRefresh) try {
    nlohmann::json args = {{"hostName", hostName}, {"flags", flags}, {"option", option},
                           {"forceRefresh", forceRefresh}};
    azsim::StateDocument doc;
    if (std::optional<Refusal> refusal = impl_->open("GetStorageAccountInfoList", args, doc))
        return Fail(refusal->code, refusal->text);
    if (!hostName.empty() && !doc.findResourceGroup(hostName))
        return Fail(SDK_ERR_NOT_FOUND, "ResourceGroupNotFound: Resource group '" + hostName +
                                           "' could not be found.");
    for (const azsim::StorageAccount& account : doc.storageAccounts)
        if (hostName.empty() || iequals(account.resourceGroup, hostName))
            out.push_back(StorageAccountRecord(account));
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetStorageAccountInfoListForRegion(const std::string& region, UINT64 flags, int option,
                                                            std::vector<VMInfoStructs::SDatastoreInfo>& out) try {
    nlohmann::json args = {{"region", region}, {"flags", flags}, {"option", option}};
    azsim::StateDocument doc;
    if (std::optional<Refusal> refusal = impl_->open("GetStorageAccountInfoListForRegion", args, doc))
        return Fail(refusal->code, refusal->text);
    const azsim::Region* wanted = doc.findRegion(region);
    if (!wanted) return Fail(SDK_ERR_NOT_FOUND, "LocationNotAvailableForResourceType: '" + region + "'");
    for (const azsim::StorageAccount& account : doc.storageAccounts)
        if (doc.findRegion(account.region) == wanted) out.push_back(StorageAccountRecord(account));
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetAvailableVMSizesForHost(const std::string& hostName,
                                                    std::vector<VMInfoStructs::SVMSizeInfo>& out, UINT64 flags,
                                                    int option) try {
    nlohmann::json args = {{"hostName", hostName}, {"flags", flags}, {"option", option}};
    azsim::StateDocument doc;
    if (std::optional<Refusal> refusal = impl_->open("GetAvailableVMSizesForHost", args, doc))
        return Fail(refusal->code, refusal->text);
    const azsim::ResourceGroup* group = doc.findResourceGroup(hostName);
    const azsim::Region* region = group ? doc.findRegion(group->region) : nullptr;
    if (!region) return Fail(SDK_ERR_NOT_FOUND, "ResourceGroupNotFound: Resource group '" + hostName +
                                                    "' could not be found.");
    for (const azsim::VmSize& size : region->vmSizes) out.push_back(VmSizeRecord(size));
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetAvailableVMSizesInLocation(const std::string& location,
                                                       std::vector<VMInfoStructs::SVMSizeInfo>& out, UINT64 flags,
                                                       int option) try {
    nlohmann::json args = {{"location", location}, {"flags", flags}, {"option", option}};
    azsim::StateDocument doc;
    if (std::optional<Refusal> refusal = impl_->open("GetAvailableVMSizesInLocation", args, doc))
        return Fail(refusal->code, refusal->text);
    const azsim::Region* region = doc.findRegion(location);
    if (!region) return Fail(SDK_ERR_NOT_FOUND, "LocationNotAvailableForResourceType: '" + location + "'");
    for (const azsim::VmSize& size : region->vmSizes) out.push_back(VmSizeRecord(size));
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetVMSizeInfoForSize(const std::string& vmSize, const std::string& region,
                                              VMInfoStructs::SVMSizeInfo& out) try {
    azsim::StateDocument doc;
    if (std::optional<Refusal> refusal = impl_->open("GetVMSizeInfoForSize", {{"vmSize", vmSize}, {"region", region}}, doc))
        return Fail(refusal->code, refusal->text);
    if (const azsim::Region* found = doc.findRegion(region)) {
        for (const azsim::VmSize& size : found->vmSizes) {
            if (!iequals(size.name, vmSize)) continue;
            out = VmSizeRecord(size);
            return true;
        }
    }
    return Fail(SDK_ERR_NOT_FOUND, "SkuNotAvailable: The requested size '" + vmSize +
                                       "' is not available in location '" + region + "'.");
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetVMInfoListForRegion(const std::string& region, UINT64 flags, int option,
                                                std::vector<VMInfoStructs::SVMInfo>& out) try {
    azsim::StateDocument doc;
    nlohmann::json args = {{"region", region}, {"flags", flags}, {"option", option}};
    if (std::optional<Refusal> refusal = impl_->open("GetVMInfoListForRegion", args, doc))
        return Fail(refusal->code, refusal->text);
    const azsim::Region* wanted = doc.findRegion(region);
    if (!wanted) return Fail(SDK_ERR_NOT_FOUND, "LocationNotAvailableForResourceType: '" + region + "'");
    for (const azsim::VirtualMachine& vm : doc.vms)
        if (doc.findRegion(vm.region) == wanted) out.push_back(VmRecord(doc, vm));
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetImages(const std::string& location, const std::string& publisherAndName,
                                   const std::string& filter, std::vector<VMInfoStructs::SVMInfo>& out) try {
    azsim::StateDocument doc;
    nlohmann::json args = {{"location", location}, {"publisherAndName", publisherAndName}, {"filter", filter}};
    if (std::optional<Refusal> refusal = impl_->open("GetImages", args, doc)) return Fail(refusal->code, refusal->text);
    std::vector<VMInfoStructs::SVMInfo> found;
    for (const azsim::MarketplaceImage& image : doc.images) {
        std::string name = image.publisher + "\\" + image.offer;
        if (!location.empty() && doc.findRegion(image.location) != doc.findRegion(location)) continue;
        if (!publisherAndName.empty() && !iequals(name, publisherAndName)) continue;
        if (!filter.empty() && !iequals(image.sku, filter)) continue;
        VMInfoStructs::SVMInfo record;
        record.name = name + "\\" + image.sku;
        record.secondaryName = image.version;
        record.region = image.location;
        found.push_back(record);
    }
    if (found.empty())
        return Fail(SDK_ERR_NOT_FOUND, "PlatformImageNotFound: The platform image '" + publisherAndName +
                                           "' is not available in location '" + location + "'.");
    out.insert(out.end(), found.begin(), found.end());
    return true;
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
