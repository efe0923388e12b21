// Requests of the Blob service: each carries the pinned "x-ms-version" and,
// unless its URL holds a SAS of its own, a bearer token for the storage
// audience. Throttling, server errors and lost connections are asked again
// with back-off. A definite absence (404 BlobNotFound or ContainerNotFound) is
// "not found"; any other failure says the service could not be asked, with its
// HTTP status and error code.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "cloudsdk/rest/CloudEndpoints.h"
#include "cloudsdk/rest/HttpExchange.h"
#include "cloudsdk/rest/TokenClient.h"

namespace AzureSDKCppBridge::rest {

struct BlobResult {
    bool ok = false;
    int code = 0;      // wrapper error code when not ok
    std::string text;  // why, when not ok
    HttpReply reply;   // the last answer
};

class BlobClient {
public:
    static constexpr int kMaxAttempts = 4;
    static constexpr const char* kVersion = "2021-08-06";
    // The tenant tokens are asked of; false with the reason in `error` when it cannot be found.
    using TenantSource = std::function<bool(std::string& tenant, std::string& error)>;

    BlobClient(CloudEndpoints endpoints, std::string clientId, std::string secret, TenantSource tenant);

    // "https://{account}.blob.{suffix}/{container}[/{blob}]", the blob name percent-escaped.
    std::string url(const std::string& account, const std::string& container,
                    const std::string& blob = std::string()) const;

    // One request; the answer's body stays in the result's reply.
    BlobResult send(_http_req_type_ method, const std::string& url, const std::vector<std::string>& headers = {},
                    const std::string& body = std::string());
    // The same with a body of `length` bytes at `body`, sent from there (a PUT's pages, uncopied).
    BlobResult send(_http_req_type_ method, const std::string& url, const std::vector<std::string>& headers,
                    const void* body, std::size_t length);
    // A ranged read of `length` bytes at `offset` straight into `buffer` (fewer at the blob's end, the
    // rest of the buffer untouched). On failure the buffer's content is undefined.
    BlobResult read(const std::string& url, std::uint64_t offset, unsigned char* buffer, std::uint64_t length);
    // A token for the storage audience.
    bool token(std::string& token, int& code, std::string& text);

private:
    // The headers every request carries; false with the failure when no token could be had.
    bool commonHeaders(const std::string& url, std::vector<std::string>& headers, BlobResult& failure);

    std::string storageSuffix_;
    TokenClient tokens_;
    TenantSource tenant_;
};

// `url` with `parameter` ("comp=pagelist") added to its query.
std::string WithQuery(const std::string& url, const std::string& parameter);
// `text` percent-escaped for a URL's query or path segment.
std::string Escaped(const std::string& text);
// `url` without its query (which may hold a SAS), as it may show in a message.
std::string WithoutQuery(const std::string& url);
// The value of query parameter `name` of `url`, as written (still escaped); empty when absent.
std::string QueryValue(const std::string& url, const std::string& name);

// ---- Blob metadata ------------------------------------------------------------------------------
// A blob's metadata: names as the service spells them (it compares them ignoring case).
using BlobMetadata = std::map<std::string, std::string>;

// The "x-ms-meta-<name>" headers of an answer (its final header block).
BlobMetadata MetadataOf(const HttpReply& reply);
// GET {url}?comp=metadata: the metadata of the blob or snapshot `url` names.
BlobResult GetMetadata(BlobClient& blob, const std::string& url, BlobMetadata& metadata);
// PUT {url}?comp=metadata: the blob's metadata replaced by `metadata`, whole.
BlobResult SetMetadata(BlobClient& blob, const std::string& url, const BlobMetadata& metadata);

}  // namespace AzureSDKCppBridge::rest
