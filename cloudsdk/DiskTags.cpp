// Tags of disks: a managed disk's resource tags, read and written through Resource
// Manager, or a page blob's metadata, read and written through the Blob service.
#include <boost/algorithm/string/predicate.hpp>

#include "cloudsdk/BlobAddress.h"
#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/rest/ApiVersions.h"

namespace AzureSDKCppBridge {

namespace {

using DiskTagMap = std::map<std::string, std::string>;

// The URL of the page blob the record names; not found when it names none.
std::string PageBlobUrl(const rest::BlobClient& blob, const VMInfoStructs::SDisk& disk) {
    std::string error;
    const std::optional<BlobAddress> address = BlobAddressOf(blob, disk, error);
    if (!address) throw OperationFailure(SDK_ERR_NOT_FOUND, error);
    return address->url;
}

// A managed disk is named by its resource id; anything else names no disk.
bool IsResourceId(const std::string& id) { return boost::algorithm::istarts_with(id, "/subscriptions/"); }

std::string DiskNotFound(const VMInfoStructs::SDisk& disk) { return "The disk [" + disk.name + "] was not found."; }

nlohmann::json DiskArgs(const std::string& resourceGroup, const VMInfoStructs::SDisk& disk) {
    return {{"resourceGroup", resourceGroup},
            {"disk", disk.isManaged ? disk.managedDiskId : disk.uri},
            {"storageAccount", disk.storageAccount},
            {"name", disk.name}};
}

// Tag and metadata names ignore case: a name given anew replaces the value under any spelling.
void MergeTags(DiskTagMap& into, const std::vector<VMInfoStructs::SInventoryInfo>& tags) {
    for (const VMInfoStructs::SInventoryInfo& tag : tags) {
        for (auto it = into.begin(); it != into.end();)
            it = boost::algorithm::iequals(it->first, tag.name) ? into.erase(it) : std::next(it);
        into[tag.name] = tag.id;
    }
}

DiskTagMap TagsOfResource(const nlohmann::json& resource) {
    DiskTagMap tags;
    const nlohmann::json given = resource.value("tags", nlohmann::json::object());
    for (const auto& [name, value] : given.items())
        if (value.is_string()) tags[name] = value.get<std::string>();
    return tags;
}

}  // namespace

bool CAzureSDKCppBridge::GetDiskTagInfo(const std::string& resourceGroup, const VMInfoStructs::SDisk& disk,
                                        std::vector<VMInfoStructs::SInventoryInfo>& tags) try {
    if (std::optional<Refusal> refusal = impl_->begin("GetDiskTagInfo", DiskArgs(resourceGroup, disk)))
        return Fail(refusal->code, refusal->text);
    DiskTagMap found;
    if (disk.isManaged) {
        if (!IsResourceId(disk.managedDiskId)) return Fail(SDK_ERR_NOT_FOUND, DiskNotFound(disk));
        const rest::ArmResult read = impl_->arm->get(disk.managedDiskId, rest::kDiskVersion);
        if (!read.ok) return Fail(read.code, read.text);
        found = TagsOfResource(read.body);
    } else {
        const rest::BlobResult read = rest::GetMetadata(*impl_->blob, PageBlobUrl(*impl_->blob, disk), found);
        if (!read.ok) return Fail(read.code, read.code == SDK_ERR_NOT_FOUND ? DiskNotFound(disk) : read.text);
    }
    std::vector<VMInfoStructs::SInventoryInfo> out;
    for (const auto& tag : found) {
        VMInfoStructs::SInventoryInfo node;
        node.name = tag.first;
        node.id = tag.second;
        out.push_back(node);
    }
    tags = out;
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::SetDiskTagInfo(const std::string& resourceGroup, const VMInfoStructs::SDisk& disk,
                                        const std::vector<VMInfoStructs::SInventoryInfo>& tags) try {
    nlohmann::json args = DiskArgs(resourceGroup, disk);
    for (const VMInfoStructs::SInventoryInfo& tag : tags) args["tags"][tag.name] = tag.id;
    if (std::optional<Refusal> refusal = impl_->begin("SetDiskTagInfo", args))
        return Fail(refusal->code, refusal->text);
    if (disk.isManaged) {
        if (!IsResourceId(disk.managedDiskId)) return Fail(SDK_ERR_NOT_FOUND, DiskNotFound(disk));
        // The disk is written back whole, with its tags merged into the ones it has.
        rest::ArmResult result = impl_->arm->get(disk.managedDiskId, rest::kDiskVersion);
        if (!result.ok) return Fail(result.code, result.text);
        DiskTagMap merged = TagsOfResource(result.body);
        MergeTags(merged, tags);
        nlohmann::json body = result.body;
        body["tags"] = merged;
        result = impl_->arm->put(disk.managedDiskId, rest::kDiskVersion, body);
        return result.ok || Fail(result.code, result.text);
    }
    // A blob's metadata is written whole: the names given merged into what it has.
    const std::string url = PageBlobUrl(*impl_->blob, disk);
    DiskTagMap merged;
    rest::BlobResult result = rest::GetMetadata(*impl_->blob, url, merged);
    if (result.ok) {
        MergeTags(merged, tags);
        result = rest::SetMetadata(*impl_->blob, url, merged);
    }
    return result.ok || Fail(result.code, result.code == SDK_ERR_NOT_FOUND ? DiskNotFound(disk) : result.text);
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
