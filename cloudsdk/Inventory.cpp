// Inventory of the subscription over Resource Manager: browse nodes, hosts (resource groups),
// VMs, regions, storage accounts, VM sizes, templates (the subscription's VM images) and
// marketplace images. Each operation reads each list it needs once.
#include <set>

#include <boost/algorithm/string/predicate.hpp>

#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/InventoryLists.h"
#include "cloudsdk/RecordMapping.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/rest/ApiVersions.h"
#include "cloudsdk/rest/ResourceLookup.h"

namespace AzureSDKCppBridge {

namespace {

using boost::algorithm::iequals;
using nlohmann::json;
using VMInfoStructs::SInventoryInfo;

SInventoryInfo InventoryNode(const std::string& name, const std::string& id, EInventoryType type) {
    SInventoryInfo node;
    node.name = name;
    node.id = id;
    node.type = type;
    return node;
}

// A tag query is "name" (any value) or "name:value".
bool HasTagQuery(const json& tags, const std::string& query) {
    const std::string::size_type colon = query.find(':');
    const std::string name = query.substr(0, colon);
    for (const auto& [tag, value] : tags.items()) {
        if (!iequals(tag, name)) continue;
        if (colon == std::string::npos || value == query.substr(colon + 1)) return true;
    }
    return false;
}

std::string ResourceNotFound(const std::string& kind, const std::string& name) {
    return "ResourceNotFound: The Resource '" + kind + "/" + name + "' was not found.";
}

std::string LocationNotFound(const std::string& region) {
    return "LocationNotAvailableForResourceType: '" + region + "'";
}

// The location `region` stands for; throws not found when the subscription has none such.
std::string KnownLocation(InventoryLists& lists, const std::string& region) {
    const std::string location = lists.location(region);
    if (location.empty()) throw OperationFailure(SDK_ERR_NOT_FOUND, LocationNotFound(region));
    return location;
}

// The storage account named `name` (any case); throws not found when there is none.
const json& StorageAccountNamed(InventoryLists& lists, const std::string& name) {
    for (const json& account : lists.storageAccounts())
        if (iequals(account.value("name", ""), name)) return account;
    throw OperationFailure(SDK_ERR_NOT_FOUND, ResourceNotFound("Microsoft.Storage/storageAccounts", name));
}

bool IsUnmanaged(const json& vm) {
    return vm.value("properties", json::object())
        .value("storageProfile", json::object())
        .value("osDisk", json::object())
        .contains("vhd");
}

// A marketplace image of one location: "publisher\offer\sku" and its version.
struct MarketImage {
    std::string publisher, offer, sku, version, location;
};

// The marketplace catalogue under `path` ("/providers/Microsoft.Compute/locations/x/publishers"): the names of a level.
std::vector<std::string> CatalogueNames(InventoryLists& lists, const std::string& path) {
    std::vector<std::string> names;
    for (const json& item : lists.getOrNone(path, rest::kComputeVersion)) names.push_back(item.value("name", ""));
    return names;
}

// The images of `location`, of publisher `publisher` and offer `offer` when given, and of SKU `sku` when given.
void AddMarketImages(InventoryLists& lists, const std::string& location, const std::string& publisher,
                     const std::string& offer, const std::string& sku, std::vector<MarketImage>& out) {
    const std::string base = "/providers/Microsoft.Compute/locations/" + location + "/publishers";
    const std::vector<std::string> publishers =
        publisher.empty() ? CatalogueNames(lists, base) : std::vector<std::string>{publisher};
    for (const std::string& p : publishers) {
        const std::string offers = base + "/" + p + "/artifacttypes/vmimage/offers";
        for (const std::string& o : offer.empty() ? CatalogueNames(lists, offers) : std::vector<std::string>{offer})
            for (const std::string& s : CatalogueNames(lists, offers + "/" + o + "/skus")) {
                if (!sku.empty() && !iequals(s, sku)) continue;
                for (const std::string& v : CatalogueNames(lists, offers + "/" + o + "/skus/" + s + "/versions"))
                    out.push_back({p, o, s, v, location});
            }
    }
}

}  // namespace

bool CAzureSDKCppBridge::BrowseRegions(const SInventoryInfo& parent, std::vector<SInventoryInfo>& out) try {
    if (std::optional<Refusal> refusal = impl_->begin("BrowseRegions", {{"parent", parent.name}}))
        return Fail(refusal->code, refusal->text);
    InventoryLists lists(*impl_->arm);
    for (const json& location : lists.locations())
        out.push_back(InventoryNode(location.value("displayName", location.value("name", "")),
                                    location.value("name", ""), INVENTORY_TYPE_REGION));
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::BrowseStorageAccounts(const SInventoryInfo& parent, std::vector<SInventoryInfo>& out) try {
    if (std::optional<Refusal> refusal = impl_->begin("BrowseStorageAccounts", {{"parent", parent.name}}))
        return Fail(refusal->code, refusal->text);
    InventoryLists lists(*impl_->arm);
    for (const json& account : lists.storageAccounts()) {
        const std::string name = account.value("name", "");
        out.push_back(InventoryNode(name, name, INVENTORY_TYPE_STORAGE_ACCOUNT));
    }
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::BrowseTags(const SInventoryInfo& parent, std::vector<SInventoryInfo>& out) try {
    if (std::optional<Refusal> refusal = impl_->begin("BrowseTags", {{"parent", parent.name}}))
        return Fail(refusal->code, refusal->text);
    InventoryLists lists(*impl_->arm);
    std::set<std::string> seen;
    for (const json& vm : lists.vms()) {
        const json tags = vm.value("tags", json::object());
        for (const auto& [name, value] : tags.items()) seen.insert(name + ":" + value.get<std::string>());
    }
    for (const std::string& tag : seen) out.push_back(InventoryNode(tag, tag, INVENTORY_TYPE_NONE));
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::BrowseImages(const SInventoryInfo& parent, std::vector<SInventoryInfo>& out) try {
    if (std::optional<Refusal> refusal = impl_->begin("BrowseImages", {{"parent", parent.name}}))
        return Fail(refusal->code, refusal->text);
    InventoryLists lists(*impl_->arm);
    std::vector<MarketImage> images;
    for (const json& location : lists.locations())
        AddMarketImages(lists, location.value("name", ""), "", "", "", images);
    for (const MarketImage& image : images) {
        const std::string name = image.publisher + "/" + image.offer + "/" + image.sku;
        out.push_back(InventoryNode(name, name + "/" + image.version, INVENTORY_TYPE_NONE));
    }
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetHostInfoList(UINT64 flags, int option, std::vector<VMInfoStructs::SHostInfo>& hosts) try {
    if (std::optional<Refusal> refusal = impl_->begin("GetHostInfoList", {{"flags", flags}, {"option", option}}))
        return Fail(refusal->code, refusal->text);
    InventoryLists lists(*impl_->arm);
    const rest::ArmResult groups =
        impl_->arm->list("/subscriptions/" + impl_->arm->subscriptionId() + "/resourcegroups", rest::kResourcesVersion);
    if (!groups.ok) return Fail(groups.code, groups.text);
    for (const json& group : groups.body) hosts.push_back(HostRecord(group, lists));
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetHostInfoForHost(const std::string& hostName, UINT64 flags, int option,
                                            VMInfoStructs::SHostInfo& host) try {
    nlohmann::json args = {{"hostName", hostName}, {"flags", flags}, {"option", option}};
    if (std::optional<Refusal> refusal = impl_->begin("GetHostInfoForHost", args))
        return Fail(refusal->code, refusal->text);
    InventoryLists lists(*impl_->arm);
    host = HostRecord(lists.group(hostName), lists);
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetTemplateInfoList(UINT64 flags, int option,
                                             std::vector<VMInfoStructs::SVMInfo>& templates) try {
    if (std::optional<Refusal> refusal = impl_->begin("GetTemplateInfoList", {{"flags", flags}, {"option", option}}))
        return Fail(refusal->code, refusal->text);
    const rest::ArmResult images =
        rest::ListOfType(*impl_->arm, "Microsoft.Compute/images", rest::kComputeVersion);
    if (!images.ok) return Fail(images.code, images.text);
    for (const json& image : images.body) templates.push_back(TemplateRecord(image));
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetVMInfoListForStorageAccount(const std::string& storageAccount, UINT64 flags, int option,
                                                        std::vector<VMInfoStructs::SVMInfo>& out) try {
    nlohmann::json args = {{"storageAccount", storageAccount}, {"flags", flags}, {"option", option}};
    if (std::optional<Refusal> refusal = impl_->begin("GetVMInfoListForStorageAccount", args))
        return Fail(refusal->code, refusal->text);
    InventoryLists lists(*impl_->arm);
    StorageAccountNamed(lists, storageAccount);
    for (const json& vm : lists.vms()) {
        if (!IsUnmanaged(vm)) continue;
        VMInfoStructs::SVMInfo record = VmRecord(vm, lists);
        if (iequals(record.storageAccount, storageAccount)) out.push_back(record);
    }
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetVMInfoListForTag(const std::string& tag, UINT64 flags, int option,
                                             std::vector<VMInfoStructs::SVMInfo>& out) try {
    nlohmann::json args = {{"tag", tag}, {"flags", flags}, {"option", option}};
    if (std::optional<Refusal> refusal = impl_->begin("GetVMInfoListForTag", args))
        return Fail(refusal->code, refusal->text);
    InventoryLists lists(*impl_->arm);
    for (const json& vm : lists.vms())
        if (HasTagQuery(vm.value("tags", json::object()), tag)) out.push_back(VmRecord(vm, lists));
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetVMInfoForVM(const std::string& vmName, const std::string& vmGuid,
                                        const std::string& hostName, UINT64 flags, int option,
                                        VMInfoStructs::SVMInfo& out) try {
    nlohmann::json args = {{"vmName", vmName}, {"vmGuid", vmGuid}, {"hostName", hostName}, {"flags", flags},
                           {"option", option}};
    if (std::optional<Refusal> refusal = impl_->begin("GetVMInfoForVM", args))
        return Fail(refusal->code, refusal->text);
    InventoryLists lists(*impl_->arm);
    // Named within its group, the VM is read by itself; it is taken when it is the one of the GUID given.
    if (!hostName.empty() && !vmName.empty()) {
        const json vm = lists.getOrNone("/resourceGroups/" + hostName + "/providers/Microsoft.Compute/virtualMachines/" +
                                            vmName,
                                        rest::kComputeVersion, "$expand=instanceView");
        if (vm.is_object() &&
            (vmGuid.empty() || iequals(vm.value("properties", json::object()).value("vmId", ""), vmGuid))) {
            out = VmRecord(vm, lists);
            return true;
        }
    }
    // By GUID when one is given, else by name (within the group when one is given).
    for (const json& vm : lists.vms()) {
        const bool named = !vmGuid.empty()
                               ? iequals(vm.value("properties", json::object()).value("vmId", ""), vmGuid)
                               : iequals(vm.value("name", ""), vmName);
        if (!named || (!hostName.empty() && !iequals(GroupOf(vm), hostName))) continue;
        out = VmRecord(vm, lists);
        return true;
    }
    return Fail(SDK_ERR_NOT_FOUND, ResourceNotFound("Microsoft.Compute/virtualMachines", vmName + vmGuid));
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetLocalVMInfo(const std::string& vmName, const std::string& vmGuid, UINT64 flags,
                                        int option, VMInfoStructs::SVMInfo& out) try {
    nlohmann::json args = {{"vmName", vmName}, {"vmGuid", vmGuid}, {"flags", flags}, {"option", option}};
    if (std::optional<Refusal> refusal = impl_->begin("GetLocalVMInfo", args))
        return Fail(refusal->code, refusal->text);
    InventoryLists lists(*impl_->arm);
    for (const json& vm : lists.vms())
        if (!vmGuid.empty() && iequals(vm.value("properties", json::object()).value("vmId", ""), vmGuid)) {
            out = VmRecord(vm, lists);
            return true;
        }
    return Fail(SDK_ERR_NOT_FOUND, "No virtual machine of the subscription has the id [" + vmGuid + "]");
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetDCInfoForDC(const std::string& region, UINT64 flags, int option,
                                        VMInfoStructs::SDataCenterInfo& dataCenter) try {
    nlohmann::json args = {{"region", region}, {"flags", flags}, {"option", option}};
    if (std::optional<Refusal> refusal = impl_->begin("GetDCInfoForDC", args))
        return Fail(refusal->code, refusal->text);
    InventoryLists lists(*impl_->arm);
    dataCenter = DataCenterRecord(KnownLocation(lists, region), lists,
                                  dataCenter.name.empty() ? region : dataCenter.name);
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetStorageAccountInfo(const std::string& storageAccount, UINT64 flags, int option,
                                               VMInfoStructs::SDatastoreInfo& out) try {
    nlohmann::json args = {{"storageAccount", storageAccount}, {"flags", flags}, {"option", option}};
    if (std::optional<Refusal> refusal = impl_->begin("GetStorageAccountInfo", args))
        return Fail(refusal->code, refusal->text);
    InventoryLists lists(*impl_->arm);
    out = StorageAccountRecord(StorageAccountNamed(lists, storageAccount));
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetStorageAccountInfoList(const std::string& hostName, UINT64 flags, int option,
                                                   std::vector<VMInfoStructs::SDatastoreInfo>& out,
                                                   bool forceRefresh) try {
    nlohmann::json args = {{"hostName", hostName}, {"flags", flags}, {"option", option},
                           {"forceRefresh", forceRefresh}};
    if (std::optional<Refusal> refusal = impl_->begin("GetStorageAccountInfoList", args))
        return Fail(refusal->code, refusal->text);
    const std::string group = hostName.empty() ? std::string() : "/resourceGroups/" + hostName;
    const rest::ArmResult accounts =
        impl_->arm->list("/subscriptions/" + impl_->arm->subscriptionId() + group +
                             "/providers/Microsoft.Storage/storageAccounts",
                         rest::kStorageVersion);
    if (!accounts.ok) return Fail(accounts.code, accounts.text);
    for (const json& account : accounts.body) out.push_back(StorageAccountRecord(account));
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetStorageAccountInfoListForRegion(const std::string& region, UINT64 flags, int option,
                                                            std::vector<VMInfoStructs::SDatastoreInfo>& out) try {
    nlohmann::json args = {{"region", region}, {"flags", flags}, {"option", option}};
    if (std::optional<Refusal> refusal = impl_->begin("GetStorageAccountInfoListForRegion", args))
        return Fail(refusal->code, refusal->text);
    InventoryLists lists(*impl_->arm);
    const std::string location = KnownLocation(lists, region);
    for (const json& account : lists.storageAccounts())
        if (iequals(lists.location(account.value("location", "")), location))
            out.push_back(StorageAccountRecord(account));
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetAvailableVMSizesForHost(const std::string& hostName,
                                                    std::vector<VMInfoStructs::SVMSizeInfo>& out, UINT64 flags,
                                                    int option) try {
    nlohmann::json args = {{"hostName", hostName}, {"flags", flags}, {"option", option}};
    if (std::optional<Refusal> refusal = impl_->begin("GetAvailableVMSizesForHost", args))
        return Fail(refusal->code, refusal->text);
    InventoryLists lists(*impl_->arm);
    const std::string location = lists.group(hostName).value("location", "");
    for (const json& size : lists.vmSizes(location)) out.push_back(VmSizeRecord(size, lists.vmSkus(location)));
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetAvailableVMSizesInLocation(const std::string& location,
                                                       std::vector<VMInfoStructs::SVMSizeInfo>& out, UINT64 flags,
                                                       int option) try {
    nlohmann::json args = {{"location", location}, {"flags", flags}, {"option", option}};
    if (std::optional<Refusal> refusal = impl_->begin("GetAvailableVMSizesInLocation", args))
        return Fail(refusal->code, refusal->text);
    InventoryLists lists(*impl_->arm);
    const std::string known = KnownLocation(lists, location);
    for (const json& size : lists.vmSizes(known)) out.push_back(VmSizeRecord(size, lists.vmSkus(known)));
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetVMSizeInfoForSize(const std::string& vmSize, const std::string& region,
                                              VMInfoStructs::SVMSizeInfo& out) try {
    if (std::optional<Refusal> refusal = impl_->begin("GetVMSizeInfoForSize", {{"vmSize", vmSize}, {"region", region}}))
        return Fail(refusal->code, refusal->text);
    InventoryLists lists(*impl_->arm);
    const std::string location = lists.location(region);
    if (!location.empty())
        for (const json& size : lists.vmSizes(location))
            if (iequals(size.value("name", ""), vmSize)) {
                out = VmSizeRecord(size, lists.vmSkus(location));
                return true;
            }
    return Fail(SDK_ERR_NOT_FOUND, "SkuNotAvailable: The requested size '" + vmSize +
                                       "' is not available in location '" + region + "'.");
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetVMInfoListForRegion(const std::string& region, UINT64 flags, int option,
                                                std::vector<VMInfoStructs::SVMInfo>& out) try {
    nlohmann::json args = {{"region", region}, {"flags", flags}, {"option", option}};
    if (std::optional<Refusal> refusal = impl_->begin("GetVMInfoListForRegion", args))
        return Fail(refusal->code, refusal->text);
    InventoryLists lists(*impl_->arm);
    const std::string location = KnownLocation(lists, region);
    for (const json& vm : lists.vms())
        if (iequals(lists.location(vm.value("location", "")), location)) out.push_back(VmRecord(vm, lists));
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetImages(const std::string& location, const std::string& publisherAndName,
                                   const std::string& filter, std::vector<VMInfoStructs::SVMInfo>& out) try {
    nlohmann::json args = {{"location", location}, {"publisherAndName", publisherAndName}, {"filter", filter}};
    if (std::optional<Refusal> refusal = impl_->begin("GetImages", args)) return Fail(refusal->code, refusal->text);
    InventoryLists lists(*impl_->arm);
    const std::string::size_type slash = publisherAndName.find('\\');
    const std::string publisher = publisherAndName.substr(0, slash);
    const std::string offer = slash == std::string::npos ? std::string() : publisherAndName.substr(slash + 1);
    std::vector<MarketImage> images;
    // A publisher alone names no offer, so no image; no location is every location.
    const bool named = publisherAndName.empty() || !offer.empty();
    for (const json& each : lists.locations()) {
        const std::string name = each.value("name", "");
        if (named && (location.empty() || iequals(lists.location(location), name)))
            AddMarketImages(lists, name, publisher, offer, filter, images);
    }
    if (images.empty())
        return Fail(SDK_ERR_NOT_FOUND, "PlatformImageNotFound: The platform image '" + publisherAndName +
                                           "' is not available in location '" + location + "'.");
    for (const MarketImage& image : images) {
        VMInfoStructs::SVMInfo record;
        record.name = image.publisher + "\\" + image.offer + "\\" + image.sku;
        record.secondaryName = image.version;
        record.region = image.location;
        out.push_back(record);
    }
    return true;
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
