// Tags of disks: a managed disk's resource tags, or a page blob's metadata.
#include <boost/algorithm/string/predicate.hpp>

#include "cloudsdk/BlobAddress.h"
#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/SdkErrorCodes.h"

namespace AzureSDKCppBridge {

namespace {

// The tags of the disk the record names: its managed disk, or its page blob's record (made for a blob
// the subscription holds that has none yet, when `create`). Null when the disk does not exist.
azsim::Tags* TagsOfDisk(azsim::StateDocument& doc, const azsim::PageBlobStore& store, const VMInfoStructs::SDisk& disk,
                        bool create) {
    if (disk.isManaged) {
        azsim::ManagedDisk* managed = doc.findManagedDisk(disk.managedDiskId);
        return managed ? &managed->tags : nullptr;
    }
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

std::string DiskNotFound(const VMInfoStructs::SDisk& disk) { return "The disk [" + disk.name + "] was not found."; }

nlohmann::json DiskArgs(const std::string& resourceGroup, const VMInfoStructs::SDisk& disk) {
    return {{"resourceGroup", resourceGroup},
            {"disk", disk.isManaged ? disk.managedDiskId : disk.uri},
            {"storageAccount", disk.storageAccount},
            {"name", disk.name}};
}

}  // namespace

bool CAzureSDKCppBridge::GetDiskTagInfo(const std::string& resourceGroup, const VMInfoStructs::SDisk& disk,
                                        std::vector<VMInfoStructs::SInventoryInfo>& tags) try {
    azsim::StateDocument doc;
    if (std::optional<Refusal> refusal = impl_->open("GetDiskTagInfo", DiskArgs(resourceGroup, disk), doc))
        return Fail(refusal->code, refusal->text);
    const azsim::Tags* found = TagsOfDisk(doc, impl_->subscription->blobs(), disk, false);
    if (!found) return Fail(SDK_ERR_NOT_FOUND, DiskNotFound(disk));
    std::vector<VMInfoStructs::SInventoryInfo> out;
    for (const auto& tag : *found) {
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
    const azsim::PageBlobStore store = impl_->subscription->blobs();
    impl_->subscription->mutate([&](azsim::StateDocument& doc) {
        azsim::Tags* found = TagsOfDisk(doc, store, disk, true);
        if (!found) throw OperationFailure(SDK_ERR_NOT_FOUND, DiskNotFound(disk));
        // Tag and metadata names ignore case: a name given anew replaces the value under any spelling.
        for (const VMInfoStructs::SInventoryInfo& tag : tags) {
            for (auto it = found->begin(); it != found->end();)
                it = boost::algorithm::iequals(it->first, tag.name) ? found->erase(it) : std::next(it);
            (*found)[tag.name] = tag.id;
        }
        return true;
    });
    return true;
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
