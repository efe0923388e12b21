#include "azsim/endpoint/BlobMetadata.h"

#include <cctype>
#include <optional>

#include <boost/algorithm/string/predicate.hpp>

#include "azsim/endpoint/BlobOperations.h"
#include "azsim/endpoint/BlobRecords.h"
#include "azsim/endpoint/HttpForms.h"

namespace azsim {

namespace {

constexpr const char* kMetaPrefix = "x-ms-meta-";

void setMetadataHeaders(Exchange& ex, const Tags& metadata) {
    for (const auto& [name, value] : metadata) ex.res.set_header(kMetaPrefix + name, value);
}

bool isIdentifier(const std::string& name) {
    if (name.empty() || std::isdigit(static_cast<unsigned char>(name[0]))) return false;
    for (const char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
    return true;
}

// The metadata a request sets; none once a name outside the rules (or given twice) has been answered.
std::optional<Tags> requestedMetadata(Exchange& ex) {
    Tags metadata;
    const std::size_t prefix = std::char_traits<char>::length(kMetaPrefix);
    for (const auto& [header, value] : ex.req.headers) {
        if (header.size() <= prefix || !boost::algorithm::istarts_with(header, kMetaPrefix)) continue;
        const std::string name = header.substr(prefix);
        bool repeated = false;
        for (const auto& given : metadata) repeated = repeated || boost::algorithm::iequals(given.first, name);
        if (!isIdentifier(name) || repeated) {
            sendError(ex, ServiceError::of(400, "InvalidMetadata").detail("MetadataName", name));
            return std::nullopt;
        }
        metadata[name] = value;
    }
    return metadata;
}

}  // namespace

void getBlobMetadata(Exchange& ex, const SubscriptionState& state) {
    const PageBlobStore store = state.blobs();
    BlobProperties props;
    if (!store.properties(ex.key, ex.snapshot, props)) return sendError(ex, ServiceError::of(404, "BlobNotFound"));
    setMetadataHeaders(ex, storedMetadata(loadRecords(state), ex.key, ex.snapshot));
    ex.res.set_header("ETag", quotedEtag(props.etag));
    ex.res.set_header("Last-Modified", httpDate(props.lastModified));
    sendEmpty(ex, 200);
}

void setBlobMetadata(Exchange& ex, const SubscriptionState& state) {
    if (!ex.snapshot.empty())
        return sendError(ex, ServiceError::of(400, "InvalidQueryParameterValue")
                                 .detail("QueryParameterName", "snapshot")
                                 .detail("QueryParameterValue", ex.snapshot));
    const std::optional<Tags> metadata = requestedMetadata(ex);
    if (!metadata) return;
    // Blob data served without a subscription has no records to keep metadata in.
    if (!state.exists()) return sendError(ex, ServiceError::of(501, "NotImplemented"));
    const PageBlobStore store = state.blobs();
    BlobProperties props;
    std::optional<ServiceError> refused;
    changeRecords(state, [&](StateDocument& doc) {
        if (!store.properties(ex.key, std::string(), props)) refused = ServiceError::of(404, "BlobNotFound");
        // Only page blobs have records here: a block blob's metadata has nowhere to be kept.
        else if (props.type != BlobType::Page) refused = ServiceError::of(409, "InvalidBlobType");
        if (refused) return false;
        UnmanagedDisk* record = doc.findUnmanagedDisk(ex.key);
        if (!record) {
            // A page blob written without records (its data alone) gets one now.
            UnmanagedDisk disk;
            disk.name = ex.key.name;
            disk.sizeBytes = props.size;
            disk.blob = ex.key;
            if (const StorageAccount* account = doc.findStorageAccount(ex.key.account)) {
                disk.resourceGroup = account->resourceGroup;
                disk.region = account->region;
            }
            doc.unmanagedDisks.push_back(disk);
            record = &doc.unmanagedDisks.back();
        }
        record->tags = *metadata;
        return true;
    });
    if (refused) return sendError(ex, *refused);
    ex.res.set_header("ETag", quotedEtag(props.etag));
    ex.res.set_header("Last-Modified", httpDate(props.lastModified));
    ex.res.set_header("x-ms-request-server-encrypted", "true");
    sendEmpty(ex, 200);
}

void getBlobWithMetadata(Exchange& ex, const SubscriptionState& state, const PageBlobStore& store) {
    // A ranged read is the data path: it is served from the blob data alone, without the records.
    const bool ranged = !ex.rangeHeader().empty();
    if (!ranged && store.exists(ex.key, ex.snapshot))
        setMetadataHeaders(ex, storedMetadata(loadRecords(state), ex.key, ex.snapshot));
    getBlob(ex, store);
}

}  // namespace azsim
