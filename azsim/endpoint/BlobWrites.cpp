#include "azsim/endpoint/BlobOperations.h"
#include "azsim/endpoint/BlobRecords.h"
#include "azsim/endpoint/HttpForms.h"

#include <algorithm>
#include <cctype>

namespace azsim {

namespace {

ServiceError badHeader(const std::string& name, const std::string& value) {
    return ServiceError::of(400, "InvalidHeaderValue").detail("HeaderName", name).detail("HeaderValue", value);
}

ServiceError missingHeader(const std::string& name) {
    return ServiceError::of(400, "MissingRequiredHeader").detail("HeaderName", name);
}

ServiceError badQuery(const std::string& name, const std::string& value) {
    return ServiceError::of(400, "InvalidQueryParameterValue")
        .detail("QueryParameterName", name)
        .detail("QueryParameterValue", value);
}

// The most one page write may carry.
constexpr std::uint64_t kMaxPageWrite = 4ull << 20;

ServiceError tooLarge() {
    return ServiceError::of(413, "RequestBodyTooLarge").detail("MaxLimit", std::to_string(kMaxPageWrite));
}

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// The largest page blob the service holds.
constexpr std::uint64_t kMaxPageBlob = 8ull << 40;

// The blob's metadata a request sets: its "x-ms-meta-<name>" headers.
Tags metadataOf(const httplib::Request& req) {
    Tags metadata;
    for (const auto& [name, value] : req.headers)
        if (name.size() > 10 && lowercase(name.substr(0, 10)) == "x-ms-meta-") metadata[name.substr(10)] = value;
    return metadata;
}

// The answer to a successful write: the blob's new properties.
void sendCreated(Exchange& ex, const PageBlobStore& store) {
    BlobProperties props;
    if (store.properties(ex.key, std::string(), props)) setPropertyHeaders(ex, props);
    ex.res.set_header("x-ms-request-server-encrypted", "true");
    sendEmpty(ex, 201);
}

}  // namespace

void putPage(Exchange& ex, PageBlobStore& store) {
    if (!ex.snapshot.empty()) return sendError(ex, badQuery("snapshot", ex.snapshot));
    const std::string mode = lowercase(ex.header("x-ms-page-write"));
    if (mode.empty()) return sendError(ex, missingHeader("x-ms-page-write"));
    if (mode != "update" && mode != "clear") return sendError(ex, badHeader("x-ms-page-write", mode));
    // A client must split larger writes; one that does not is refused whatever else the request says.
    // The HTTP server has read exactly the body its "Content-Length" announced.
    if (mode == "update" && ex.req.body.size() > kMaxPageWrite) return sendError(ex, tooLarge());

    const std::string rangeText = ex.rangeHeader();
    if (rangeText.empty()) return sendError(ex, missingHeader("Range"));
    std::optional<ByteRange> range = parseByteRange(rangeText);
    if (!range || !range->last || *range->last < range->first)
        return sendError(ex, badHeader(ex.rangeHeaderName(), rangeText));
    const std::uint64_t offset = range->first;
    const std::uint64_t length = *range->last - range->first + 1;
    if (mode == "update" && length > kMaxPageWrite) return sendError(ex, tooLarge());
    if (offset % PageBlobStore::kPageSize != 0 || length % PageBlobStore::kPageSize != 0)
        return sendError(ex, ServiceError::of(416, "InvalidPageRange"));

    const std::string contentLength = ex.header("Content-Length");
    if (mode == "update" && (contentLength != std::to_string(length) || ex.req.body.size() != length))
        return sendError(ex, badHeader("Content-Length", contentLength));
    if (mode == "clear" && !contentLength.empty() && contentLength != "0")
        return sendError(ex, badHeader("Content-Length", contentLength));

    BlobProperties props;
    if (!store.properties(ex.key, std::string(), props)) return sendError(ex, ServiceError::of(404, "BlobNotFound"));
    if (props.type != BlobType::Page) return sendError(ex, ServiceError::of(409, "InvalidBlobType"));
    if (offset + length > props.size) return sendError(ex, ServiceError::of(416, "InvalidPageRange"));

    std::string error;
    bool ok = mode == "update" ? store.writePages(ex.key, offset, ex.req.body.data(), length, &error)
                               : store.clearPages(ex.key, offset, length, &error);
    if (!ok) return sendError(ex, ServiceError::of(500, "InternalError"));
    sendCreated(ex, store);
}

void putBlob(Exchange& ex, const SubscriptionState& state) {
    if (!ex.snapshot.empty()) return sendError(ex, badQuery("snapshot", ex.snapshot));
    const std::string type = ex.header("x-ms-blob-type");
    if (type.empty()) return sendError(ex, missingHeader("x-ms-blob-type"));
    PageBlobStore store = state.blobs();
    std::string error;
    if (type == "BlockBlob") {
        if (!store.putBlockBlob(ex.key, ex.req.body, &error))
            return sendError(ex, ServiceError::of(500, "InternalError"));
        return sendCreated(ex, store);
    }
    if (type != "PageBlob") return sendError(ex, badHeader("x-ms-blob-type", type));
    const std::string sizeText = ex.header("x-ms-blob-content-length");
    if (sizeText.empty()) return sendError(ex, missingHeader("x-ms-blob-content-length"));
    std::optional<std::uint64_t> size = parseDecimal(sizeText);
    if (!size || *size % PageBlobStore::kPageSize != 0 || *size > kMaxPageBlob)
        return sendError(ex, badHeader("x-ms-blob-content-length", sizeText));
    std::optional<ServiceError> refused;
    changeRecords(state, [&](StateDocument& doc) {
        // Blobs outside the subscription's storage accounts (a managed disk's) have no records.
        const StorageAccount* account = doc.findStorageAccount(ex.key.account);
        if (account && !hasContainer(*account, ex.key.container)) refused = ServiceError::of(404, "ContainerNotFound");
        else if (account && vmLeasing(doc, ex.key)) refused = ServiceError::of(412, "LeaseIdMissing");
        else if (!store.createPageBlob(ex.key, *size, true, &error)) refused = ServiceError::of(500, "InternalError");
        if (refused || !account) return false;
        recordPageBlob(doc, *account, ex.key, *size, metadataOf(ex.req));
        return true;
    });
    if (refused) return sendError(ex, *refused);
    sendCreated(ex, store);
}

}  // namespace azsim
