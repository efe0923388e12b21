// Blob questions: existence, size, page ranges and diffs, and storage endpoint suffixes.
#include <algorithm>

#include <boost/algorithm/string/predicate.hpp>
#include <pugixml.hpp>

#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/RecordMapping.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/SnapshotReadAccess.h"
#include "cloudsdk/rest/ApiVersions.h"
#include "cloudsdk/rest/ResourceLookup.h"

namespace AzureSDKCppBridge {

namespace {

const char* const kNoSuchBlob = "BlobNotFound: The specified blob does not exist.";

// Every range (written or cleared) a page list names, appended with exclusive ends.
void AddRanges(const pugi::xml_node& list, std::vector<VMInfoStructs::SectorRange>& out) {
    for (const pugi::xml_node& range : list.children()) {
        const std::string name = range.name();
        if (name != "PageRange" && name != "ClearRange") continue;
        VMInfoStructs::SectorRange r;
        r.start = std::stoull(range.child_value("Start"));
        r.end = std::stoull(range.child_value("End")) + 1;
        out.push_back(r);
    }
}

// Sorted, with touching and overlapping ranges merged.
std::vector<VMInfoStructs::SectorRange> Merged(std::vector<VMInfoStructs::SectorRange> ranges) {
    std::sort(ranges.begin(), ranges.end(), [](const VMInfoStructs::SectorRange& a,
                                               const VMInfoStructs::SectorRange& b) { return a.start < b.start; });
    std::vector<VMInfoStructs::SectorRange> merged;
    for (const VMInfoStructs::SectorRange& r : ranges) {
        if (!merged.empty() && r.start <= merged.back().end)
            merged.back().end = std::max(merged.back().end, r.end);
        else
            merged.push_back(r);
    }
    return merged;
}

// The page list `url` answers (GET ?comp=pagelist), every part of it when the service splits it.
rest::BlobResult PageList(rest::BlobClient& blob, const std::string& url, const std::vector<std::string>& headers,
                          std::vector<VMInfoStructs::SectorRange>& ranges) {
    std::vector<VMInfoStructs::SectorRange> found;
    for (std::string marker;;) {
        const std::string query =
            "comp=pagelist" + (marker.empty() ? std::string() : "&marker=" + rest::Escaped(marker));
        rest::BlobResult result = blob.send(NX_HTTP_GET, rest::WithQuery(url, query), headers);
        if (!result.ok) return result;
        pugi::xml_document doc;
        if (!doc.load_buffer(result.reply.body.data(), result.reply.body.size()) || !doc.child("PageList")) {
            result.ok = false;
            result.code = SDK_ERR_GENERAL;
            result.text = "The page list of [" + rest::WithoutQuery(url) + "] could not be read";
            return result;
        }
        AddRanges(doc.child("PageList"), found);
        marker = doc.child("PageList").child_value("NextMarker");
        if (marker.empty()) {
            ranges = Merged(found);
            return result;
        }
    }
}

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
    const rest::BlobResult found =
        impl_->blob->send(NX_HTTP_HEAD, impl_->blob->url(storageAccount, container, blobName));
    return found.ok || Fail(found.code, found.text);
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetBlobSizeInBytes(const std::string& blobUrl, UINT64& sizeBytes) try {
    if (std::optional<Refusal> refusal = impl_->begin("GetBlobSizeInBytes", {{"blobUrl", blobUrl}}))
        return Fail(refusal->code, refusal->text);
    const rest::BlobResult found = impl_->blob->send(NX_HTTP_HEAD, blobUrl);
    if (!found.ok) return Fail(found.code, found.text);
    const std::string length = found.reply.header("Content-Length");
    if (length.empty() || length.find_first_not_of("0123456789") != std::string::npos)
        return Fail(SDK_ERR_GENERAL, "The Blob service gave no size for [" + rest::WithoutQuery(blobUrl) + "]");
    sizeBytes = std::stoull(length);
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::GetBlobInfo(const std::string& storageAccount, const std::string& container,
                                     const std::string& blobName, VMInfoStructs::SDisk& info) try {
    nlohmann::json args = {{"storageAccount", storageAccount}, {"container", container}, {"blobName", blobName}};
    if (std::optional<Refusal> refusal = impl_->begin("GetBlobInfo", args)) return Fail(refusal->code, refusal->text);
    const rest::ArmResult account = rest::FindByName(*impl_->arm, "Microsoft.Storage/storageAccounts",
                                                     rest::kStorageVersion, storageAccount, "storage account");
    if (!account.ok) return Fail(account.code, account.code == SDK_ERR_NOT_FOUND ? kNoSuchBlob : account.text);
    const std::string accountName = account.body.value("name", storageAccount);
    const std::string url = impl_->blob->url(accountName, container, blobName);
    const rest::BlobResult found = impl_->blob->send(NX_HTTP_HEAD, url);
    if (!found.ok) return Fail(found.code, found.text);
    const std::string length = found.reply.header("Content-Length");
    if (found.reply.header("x-ms-blob-type") != "PageBlob") return Fail(SDK_ERR_NOT_FOUND, kNoSuchBlob);
    if (length.empty() || length.find_first_not_of("0123456789") != std::string::npos)
        return Fail(SDK_ERR_GENERAL, "The Blob service gave no size for [" + url + "]");
    VMInfoStructs::SDisk out;
    out.name = out.originalName = out.indexName = blobName;
    out.uri = url;
    out.storageAccount = accountName;
    out.resourceGroup = GroupOf(account.body);
    out.capacity = std::stoll(length);
    out.volumeType = account.body.value("sku", nlohmann::json::object()).value("name", "");
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
    const rest::BlobResult listed = PageList(*impl_->blob, blobUri, {}, ranges);
    return listed.ok || Fail(listed.code, listed.text);
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
    rest::ArmClient& arm = *impl_->arm;
    const rest::ArmResult snapshot =
        arm.get("/subscriptions/" + arm.subscriptionId() + "/resourceGroups/" + resourceGroup +
                    "/providers/Microsoft.Compute/snapshots/" + snapshotName,
                rest::kDiskVersion);
    if (!snapshot.ok) return Fail(snapshot.code, snapshot.text);
    // The snapshot's data is read through its SAS: the one the caller holds, else one granted for this call.
    if (!rest::QueryValue(diskUri, "sig").empty()) {
        const rest::BlobResult listed = PageList(*impl_->blob, diskUri, {}, ranges);
        return listed.ok || Fail(listed.code, listed.text);
    }
    SnapshotReadAccess access(arm, snapshot.body);
    const rest::BlobResult listed = PageList(*impl_->blob, access.url(), {}, ranges);
    if (!listed.ok) return Fail(listed.code, listed.text);
    const rest::ArmResult ended = access.end();
    return ended.ok || Fail(ended.code, ended.text);
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
    const std::string previousSnapshot = rest::QueryValue(previousUri, "snapshot");
    if (previousSnapshot.empty())
        return Fail(SDK_ERR_GENERAL, "InvalidQueryParameterValue: [" + rest::WithoutQuery(previousUri) +
                                         "] names no snapshot to compare with");
    // A disk's snapshots are read through their own SAS URLs, each a blob of its own; a storage
    // account's blob is compared with one of its own snapshots.
    rest::BlobResult listed;
    if (!rest::QueryValue(previousUri, "sig").empty()) {
        listed = PageList(*impl_->blob, currentUri, {"x-ms-previous-snapshot-url: " + previousUri}, ranges);
    } else {
        if (rest::WithoutQuery(currentUri) != rest::WithoutQuery(previousUri))
            return Fail(SDK_ERR_GENERAL, "InvalidQueryParameterValue: the previous snapshot does not belong to [" +
                                             rest::WithoutQuery(currentUri) + "]");
        listed = PageList(*impl_->blob, rest::WithQuery(currentUri, "prevsnapshot=" + previousSnapshot), {}, ranges);
    }
    return listed.ok || Fail(listed.code, listed.text);
}

}  // namespace AzureSDKCppBridge
