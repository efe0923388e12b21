// Tags of disks: a managed disk's resource tags, read and written through Resource
// Manager, or a page blob's metadata, which the subscription's blob records hold.
#include <boost/algorithm/string/predicate.hpp>

#include "cloudsdk/BlobAddress.h"
#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/rest/ApiVersions.h"

namespace AzureSDKCppBridge {

namespace {

using DiskTagMap = std::map<std::string, std::string>;

// The metadata of the page blob the record names (its record made for a blob the subscription
// holds that has none yet, when `create`). Null when the blob does not exist.
azsim::Tags* MetadataOfBlob(azsim::StateDocument& doc, const azsim::PageBlobStore& store,
                            const VMInfoStructs::SDisk& disk, bool create) {
    const std::optional<azsim::BlobKey> key = PageBlobOf(doc, disk);
    if (!key) return nullptr;
    if (azsim::UnmanagedDisk* record = doc.findUnmanagedDisk(*key)) return &record->tags;
    azsim::BlobProperties properties;
    if (!create || !store.properties(*key, std::string(), properties) || properties.type != azsim::BlobType::Page)
        return nullptr;
    azsim::UnmanagedDisk record;
    record.name = key->name;
    record.sizeBytes = properties.size;
    record.blob = *key;
    if (const azsim::StorageAccount* account = doc.findStorageAccount(key->account)) {
        record.resourceGroup = account->resourceGroup;
        record.region = account->region;
    }
    doc.unmanagedDisks.push_back(record);
    return &doc.unmanagedDisks.back().tags;
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
        azsim::StateDocument doc = impl_->localState().load();
        const azsim::Tags* metadata = MetadataOfBlob(doc, impl_->localState().blobs(), disk, false);
        if (!metadata) return Fail(SDK_ERR_NOT_FOUND, DiskNotFound(disk));
        found = *metadata;
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
    const azsim::PageBlobStore store = impl_->localState().blobs();
    impl_->localState().mutate([&](azsim::StateDocument& doc) {
        azsim::Tags* found = MetadataOfBlob(doc, store, disk, true);
        if (!found) throw OperationFailure(SDK_ERR_NOT_FOUND, DiskNotFound(disk));
        MergeTags(*found, tags);
        return true;
    });
    return true;
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
