// Blob questions: existence, size, page ranges and diffs, and storage endpoint suffixes.
#include <algorithm>

#include <boost/algorithm/string/predicate.hpp>

#include "azsim/model/ResourceIds.h"
#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/SdkErrorCodes.h"

namespace AzureSDKCppBridge {

namespace {

std::vector<VMInfoStructs::SectorRange> ToSectorRanges(const std::vector<azsim::PageRange>& ranges) {
    std::vector<VMInfoStructs::SectorRange> out;
    out.reserve(ranges.size());
    for (const azsim::PageRange& r : ranges) {
        VMInfoStructs::SectorRange s;
        s.start = r.start;
        s.end = r.end;
        out.push_back(s);
    }
    return out;
}

// Written and cleared pages as one sorted list of merged ranges.
std::vector<azsim::PageRange> Changed(const azsim::PageRangeDiff& diff) {
    std::vector<azsim::PageRange> all = diff.written;
    all.insert(all.end(), diff.cleared.begin(), diff.cleared.end());
    std::sort(all.begin(), all.end(), [](const azsim::PageRange& a, const azsim::PageRange& b) {
        return a.start < b.start;
    });
    std::vector<azsim::PageRange> merged;
    for (const azsim::PageRange& r : all) {
        if (!merged.empty() && r.start <= merged.back().end)
            merged.back().end = std::max(merged.back().end, r.end);
        else
            merged.push_back(r);
    }
    return merged;
}

const char* const kNoSuchBlob = "BlobNotFound: The specified blob does not exist.";

}  // namespace

bool CAzureSDKCppBridge::GetBlobStorageSuffixForAzureEndpoint(const std::string& endpointName,
                                                               std::string& suffix) try {
    if (std::optional<Refusal> refusal =
            impl_->begin("GetBlobStorageSuffixForAzureEndpoint", {{"endpointName", endpointName}}))
        return Fail(refusal->code, refusal->text);
    static const std::pair<const char*, const char*> clouds[] = {
        {"Global", "blob.core.windows.net"},          {"AzureCloud", "blob.core.windows.net"},
        {"China", "blob.core.chinacloudapi.cn"},      {"AzureChinaCloud", "blob.core.chinacloudapi.cn"},
        {"USGovernment", "blob.core.usgovcloudapi.net"}, {"AzureUSGovernment", "blob.core.usgovcloudapi.net"},
        {"Germany", "blob.core.cloudapi.de"},         {"AzureGermanCloud", "blob.core.cloudapi.de"}};
    for (const auto& cloud : clouds) {
        if (boost::algorithm::iequals(endpointName, cloud.first)) {
            suffix = cloud.second;
            return true;
        }
    }
    return Fail(SDK_ERR_GENERAL, "Unknown Azure cloud environment [" + endpointName + "]");
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::DoesBlobExist(const std::string& resourceGroup, const std::string& storageAccount,
                                       const std::string& container, const std::string& blobName) try {
    nlohmann::json args = {{"resourceGroup", resourceGroup}, {"storageAccount", storageAccount},
                           {"container", container}, {"blobName", blobName}};
    if (std::optional<Refusal> refusal = impl_->begin("DoesBlobExist", args)) return Fail(refusal->code, refusal->text);
    if (impl_->subscription->blobs().exists(azsim::BlobKey{storageAccount, container, blobName})) return true;
    return Fail(SDK_ERR_NOT_FOUND, kNoSuchBlob);
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetBlobSizeInBytes(const std::string& blobUrl, UINT64& sizeBytes) try {
    if (std::optional<Refusal> refusal = impl_->begin("GetBlobSizeInBytes", {{"blobUrl", blobUrl}}))
        return Fail(refusal->code, refusal->text);
    std::optional<azsim::BlobUri> uri = azsim::ParseBlobUri(blobUrl);
    azsim::BlobProperties properties;
    if (!uri || !impl_->subscription->blobs().properties(uri->key(), uri->snapshot, properties))
        return Fail(SDK_ERR_NOT_FOUND, kNoSuchBlob);
    sizeBytes = properties.size;
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetBlobInfo(const std::string& storageAccount, const std::string& container,
                                     const std::string& blobName, VMInfoStructs::SDisk& info) try {
    nlohmann::json args = {{"storageAccount", storageAccount}, {"container", container}, {"blobName", blobName}};
    azsim::StateDocument doc;
    if (std::optional<Refusal> refusal = impl_->open("GetBlobInfo", args, doc))
        return Fail(refusal->code, refusal->text);
    const azsim::StorageAccount* account = doc.findStorageAccount(storageAccount);
    const azsim::BlobKey key{account ? account->name : storageAccount, container, blobName};
    azsim::BlobProperties properties;
    if (!account || !impl_->subscription->blobs().properties(key, std::string(), properties) ||
        properties.type != azsim::BlobType::Page)
        return Fail(SDK_ERR_NOT_FOUND, kNoSuchBlob);
    VMInfoStructs::SDisk out;
    out.name = out.originalName = out.indexName = blobName;
    out.uri = azsim::PageBlobUri(key);
    out.storageAccount = key.account;
    out.resourceGroup = account->resourceGroup;
    out.capacity = static_cast<long long>(properties.size);
    out.volumeType = account->sku;
    out.isManaged = false;
    info = out;
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetBlobPageRanges(const std::string& blobUri, std::vector<VMInfoStructs::SectorRange>& ranges,
                                           bool isManaged) try {
    if (std::optional<Refusal> refusal =
            impl_->begin("GetBlobPageRanges", {{"blobUri", blobUri}, {"isManaged", isManaged}}))
        return Fail(refusal->code, refusal->text);
    std::optional<azsim::BlobUri> uri = azsim::ParseBlobUri(blobUri);
    std::vector<azsim::PageRange> found;
    if (!uri || !impl_->subscription->blobs().pageRanges(uri->key(), uri->snapshot, 0, UINT64_MAX, found))
        return Fail(SDK_ERR_NOT_FOUND, kNoSuchBlob);
    ranges = ToSectorRanges(found);
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetBlobPageRanges(const std::string& diskUri, const std::string& resourceGroup,
                                           const std::string& snapshotName,
                                           std::vector<VMInfoStructs::SectorRange>& ranges, bool isManaged) try {
    nlohmann::json args = {{"diskUri", diskUri}, {"resourceGroup", resourceGroup}, {"snapshotName", snapshotName},
                           {"isManaged", isManaged}};
    if (std::optional<Refusal> refusal = impl_->begin("GetBlobPageRanges", args))
        return Fail(refusal->code, refusal->text);
    std::vector<azsim::PageRange> found;
    try {
        azsim::StateDocument doc = impl_->subscription->load();
        const azsim::ManagedSnapshot* snap = doc.findSnapshotByName(snapshotName, resourceGroup);
        if (!snap || !impl_->subscription->blobs().pageRanges(snap->blob, snap->storeSnapshot, 0, UINT64_MAX, found))
            return Fail(SDK_ERR_NOT_FOUND, "ResourceNotFound: The Resource 'Microsoft.Compute/snapshots/" +
                                               snapshotName + "' was not found.");
    } catch (const azsim::Error& e) {
        return Fail(SDK_ERR_GENERAL, e.what());
    }
    ranges = ToSectorRanges(found);
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetBlobPageRangesDiff(const std::string& blobUri, const std::string& previousSnapshotUri,
                                               std::vector<VMInfoStructs::SectorRange>& ranges) try {
    if (std::optional<Refusal> refusal = impl_->begin(
            "GetBlobPageRangesDiff", {{"blobUri", blobUri}, {"previousSnapshotUri", previousSnapshotUri}}))
        return Fail(refusal->code, refusal->text);
    return DiffPageRanges(blobUri, previousSnapshotUri, ranges);
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetBlobPageRangesDiffForManagedDiskURIs(const std::string& currentSasUri,
                                                                 const std::string& previousSasUri,
                                                                 std::vector<VMInfoStructs::SectorRange>& ranges) try {
    if (std::optional<Refusal> refusal = impl_->begin(
            "GetBlobPageRangesDiffForManagedDiskURIs", {{"currentSasUri", currentSasUri}, {"previousSasUri", previousSasUri}}))
        return Fail(refusal->code, refusal->text);
    return DiffPageRanges(currentSasUri, previousSasUri, ranges);
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::DiffPageRanges(const std::string& currentUri, const std::string& previousUri,
                                        std::vector<VMInfoStructs::SectorRange>& ranges) {
    std::optional<azsim::BlobUri> current = azsim::ParseBlobUri(currentUri);
    std::optional<azsim::BlobUri> previous = azsim::ParseBlobUri(previousUri);
    if (!current || !previous || previous->snapshot.empty() || !(current->key() == previous->key()))
        return Fail(SDK_ERR_GENERAL, "InvalidQueryParameterValue: the previous snapshot does not belong to [" +
                                         currentUri + "]");
    azsim::PageRangeDiff diff;
    if (!impl_->subscription->blobs().pageRangesDiff(current->key(), current->snapshot, previous->snapshot, diff))
        return Fail(SDK_ERR_NOT_FOUND, "PreviousSnapshotNotFound: The previous snapshot is not found.");
    ranges = ToSectorRanges(Changed(diff));
    return true;
}

}  // namespace AzureSDKCppBridge
