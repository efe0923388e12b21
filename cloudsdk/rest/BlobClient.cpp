#include "cloudsdk/rest/BlobClient.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include <pugixml.hpp>

#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/rest/Retries.h"

namespace AzureSDKCppBridge::rest {

namespace {

// A blob name keeps its '/' as the path's separators; every segment is escaped.
std::string escapePath(const std::string& name) {
    std::string out;
    for (std::size_t start = 0;;) {
        const std::size_t slash = name.find('/', start);
        out += Escaped(name.substr(start, slash - start));
        if (slash == std::string::npos) return out;
        out += '/';
        start = slash + 1;
    }
}

std::string httpDateNow() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[64];
    std::strftime(text, sizeof(text), "%a, %d %b %Y %H:%M:%S GMT", &utc);
    return text;
}

// The service's error code ("x-ms-error-code", else the body's <Code>) and message.
std::string serviceError(const HttpReply& reply) {
    std::string code = reply.header("x-ms-error-code");
    std::string message;
    pugi::xml_document doc;
    if (!reply.body.empty() && doc.load_buffer(reply.body.data(), reply.body.size())) {
        if (code.empty()) code = doc.child("Error").child_value("Code");
        message = doc.child("Error").child_value("Message");
    }
    if (code.empty()) return "HTTP " + std::to_string(reply.status);
    return message.empty() ? code : code + ": " + message;
}

BlobResult blobResultOf(const HttpReply& reply, const std::string& url) {
    BlobResult result;
    result.reply = reply;
    if (reply.status >= 200 && reply.status < 300) {
        result.ok = true;
        return result;
    }
    if (reply.status == 0) {
        result.code = SDK_ERR_GENERAL;
        result.text = "The Blob service could not be reached at [" + WithoutQuery(url) + "]: " + reply.transportError;
        return result;
    }
    const std::string code = reply.header("x-ms-error-code");
    const bool absent = reply.status == 404 && (code == "BlobNotFound" || code == "ContainerNotFound");
    result.code = absent ? SDK_ERR_NOT_FOUND : SDK_ERR_GENERAL;
    result.text = absent ? serviceError(reply)
                         : "The Blob service could not answer (HTTP " + std::to_string(reply.status) + ") for [" +
                               WithoutQuery(url) + "]: " + serviceError(reply);
    return result;
}

// Where a ranged read puts what arrives: the caller's buffer, then (an error's body, or more than
// asked for) the spill-over.
struct Sink {
    unsigned char* buffer = nullptr;
    std::uint64_t capacity = 0;
    std::uint64_t filled = 0;
    std::string spill;

    static size_t write(char* data, size_t size, size_t count, void* self) {
        Sink& sink = *static_cast<Sink*>(self);
        const std::uint64_t bytes = static_cast<std::uint64_t>(size) * count;
        const std::uint64_t fit = std::min(bytes, sink.capacity - sink.filled);
        std::memcpy(sink.buffer + sink.filled, data, fit);
        sink.filled += fit;
        sink.spill.append(data + fit, bytes - fit);
        return bytes;
    }
    // What arrived, as text, for an error answer.
    std::string text() const { return std::string(reinterpret_cast<const char*>(buffer), filled) + spill; }
};

// A request body sent from where the caller holds it, uncopied.
size_t sendBorrowed(char* out, size_t size, size_t count, void* data) {
    SCURLData& body = *static_cast<SCURLData*>(data);
    const std::size_t bytes = static_cast<std::size_t>(std::min<unsigned long long>(size * count, body.remaining));
    std::memcpy(out, body.source() + body.offset, bytes);
    body.offset += bytes;
    body.remaining -= bytes;
    return bytes;
}

// One request: a PUT's body of `length` bytes at `body`; with a `sink`, the answer's body goes there. A
// transfer that ended early counts as no answer, so that it is asked again.
HttpReply performOnce(_http_req_type_ method, const std::string& url, const std::vector<std::string>& headers,
                      const char* body, std::size_t length, Sink* sink) {
    HttpReply reply;
    NXLibCurl curl;
    SCURLData upload = SCURLData::Borrowed(body, length);
    const std::string contentType = length > 0 ? "Content-Type: application/octet-stream" : std::string();
    if (!curl.NXLibCurlInit(contentType, true, true, sink ? &Sink::write : nullptr) ||
        (sink && !curl.NXLibCurlSetWriteData(sink)) ||
        (method == NX_HTTP_PUT &&
         (!curl.NXLibCurlSetCallbackReadFunction(&sendBorrowed) || !curl.NXLibCurlSetReadData(&upload) ||
          !curl.NXLibCurlSetAdditionalOptionsIntValue(CURLOPT_INFILESIZE_LARGE, static_cast<int>(length))))) {
        reply.transportError = "the HTTP client could not be set up";
        return reply;
    }
    if (sink) {
        sink->filled = 0;
        sink->spill.clear();
    }
    for (const std::string& h : headers) curl.NXLibCurlAppendHeader(NX_HTTP_HDR_LINE, h);
    curl.NXLibCurlSendHttpReqLog(method, url, std::string(), 0, false, false);
    reply.status = curl.GetHttpErrorCode();
    std::size_t bodyLength = 0, allLength = 0;
    const char* text = curl.GetHttpResponse(bodyLength, false);
    if (text) reply.body.assign(text, bodyLength);
    const char* all = curl.GetHttpResponse(allLength, true);
    if (all && allLength >= bodyLength) reply.headers.assign(all, allLength - bodyLength);
    if (curl.GetCurlResult() != CURLE_OK) {
        reply.status = 0;
        reply.transportError = curl_easy_strerror(curl.GetCurlResult());
    } else if (sink && (reply.status < 200 || reply.status >= 300)) {
        reply.body = sink->text();
    }
    return reply;
}

}  // namespace

std::string WithQuery(const std::string& url, const std::string& parameter) {
    return url + (url.find('?') == std::string::npos ? "?" : "&") + parameter;
}

std::string Escaped(const std::string& text) {
    char* escaped = curl_easy_escape(nullptr, text.c_str(), static_cast<int>(text.size()));
    std::string out = escaped ? escaped : "";
    curl_free(escaped);
    return out;
}

std::string WithoutQuery(const std::string& url) { return url.substr(0, url.find('?')); }

std::string QueryValue(const std::string& url, const std::string& name) {
    const std::size_t query = url.find('?');
    if (query == std::string::npos) return std::string();
    for (std::size_t start = query + 1; start <= url.size();) {
        const std::size_t end = std::min(url.find('&', start), url.size());
        const std::string pair = url.substr(start, end - start);
        if (pair.compare(0, name.size() + 1, name + "=") == 0) return pair.substr(name.size() + 1);
        start = end + 1;
    }
    return std::string();
}

BlobClient::BlobClient(CloudEndpoints endpoints, std::string clientId, std::string secret, TenantSource tenant)
    : storageSuffix_(endpoints.storageSuffix),
      tokens_(std::move(endpoints), std::move(clientId), std::move(secret), TokenClient::kStorageAudience),
      tenant_(std::move(tenant)) {}

std::string BlobClient::url(const std::string& account, const std::string& container,
                            const std::string& blob) const {
    std::string out = "https://" + account + ".blob." + storageSuffix_ + "/" + container;
    return blob.empty() ? out : out + "/" + escapePath(blob);
}

bool BlobClient::token(std::string& token, int& code, std::string& text) {
    std::string tenant;
    if (!tenant_(tenant, text)) {
        code = SDK_ERR_GENERAL;
        return false;
    }
    bool refused = false;
    if (tokens_.token(tenant, token, text, refused)) return true;
    code = refused ? SDK_ERR_AUTHENTICATION : SDK_ERR_GENERAL;
    return false;
}

bool BlobClient::commonHeaders(const std::string& url, std::vector<std::string>& headers, BlobResult& failure) {
    // Not asked again: a URL that names no blob endpoint reaches nothing however often it is tried.
    const std::size_t host = url.find("://");
    const std::string scheme = host == std::string::npos ? std::string() : url.substr(0, host);
    if ((scheme != "https" && scheme != "http") || url.size() == host + 3 || url[host + 3] == '/') {
        failure.code = SDK_ERR_GENERAL;
        failure.text = "InvalidUri: [" + WithoutQuery(url) + "] is not the URL of a blob service";
        return false;
    }
    headers.push_back(std::string("x-ms-version: ") + kVersion);
    headers.push_back("x-ms-date: " + httpDateNow());
    if (!QueryValue(url, "sig").empty()) return true;
    std::string bearer;
    if (!token(bearer, failure.code, failure.text)) return false;
    headers.push_back("Authorization: Bearer " + bearer);
    return true;
}

BlobResult BlobClient::send(_http_req_type_ method, const std::string& url, const std::vector<std::string>& headers,
                            const std::string& body) {
    return send(method, url, headers, body.data(), body.size());
}

BlobResult BlobClient::send(_http_req_type_ method, const std::string& url, const std::vector<std::string>& headers,
                            const void* body, std::size_t length) {
    BlobResult failure;
    const HttpReply reply = SendWithRetries(kMaxAttempts, [&](bool& stop) {
        std::vector<std::string> all = headers;
        stop = !commonHeaders(url, all, failure);
        return stop ? HttpReply()
                    : performOnce(method, url, all, static_cast<const char*>(body), length, nullptr);
    });
    return failure.text.empty() ? blobResultOf(reply, url) : failure;
}

BlobResult BlobClient::read(const std::string& url, std::uint64_t offset, unsigned char* buffer,
                            std::uint64_t length) {
    BlobResult failure;
    Sink sink;
    sink.buffer = buffer;
    sink.capacity = length;
    const HttpReply reply = SendWithRetries(kMaxAttempts, [&](bool& stop) {
        std::vector<std::string> headers = {"x-ms-range: bytes=" + std::to_string(offset) + "-" +
                                            std::to_string(offset + length - 1)};
        stop = !commonHeaders(url, headers, failure);
        return stop ? HttpReply() : performOnce(NX_HTTP_GET, url, headers, nullptr, 0, &sink);
    });
    return failure.text.empty() ? blobResultOf(reply, url) : failure;
}

// ---- Blob metadata ------------------------------------------------------------------------------

BlobMetadata MetadataOf(const HttpReply& reply) {
    static const std::string prefix = "x-ms-meta-";
    BlobMetadata metadata;
    for (std::size_t pos = 0; pos < reply.headers.size();) {
        const std::size_t end = std::min(reply.headers.find('\n', pos), reply.headers.size());
        const std::string line = reply.headers.substr(pos, end - pos);
        pos = end + 1;
        // An interim answer's headers are not the blob's: a later status line starts afresh.
        if (line.compare(0, 5, "HTTP/") == 0) metadata.clear();
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos || colon <= prefix.size() ||
            !curl_strnequal(line.c_str(), prefix.c_str(), prefix.size()))
            continue;
        const std::size_t first = line.find_first_not_of(" \t", colon + 1);
        const std::size_t last = line.find_last_not_of(" \t\r");
        metadata[line.substr(prefix.size(), colon - prefix.size())] =
            first == std::string::npos || last < first ? std::string() : line.substr(first, last - first + 1);
    }
    return metadata;
}

BlobResult GetMetadata(BlobClient& blob, const std::string& url, BlobMetadata& metadata) {
    BlobResult result = blob.send(NX_HTTP_GET, WithQuery(url, "comp=metadata"));
    if (result.ok) metadata = MetadataOf(result.reply);
    return result;
}

BlobResult SetMetadata(BlobClient& blob, const std::string& url, const BlobMetadata& metadata) {
    std::vector<std::string> headers;
    for (const auto& [name, value] : metadata) headers.push_back("x-ms-meta-" + name + ": " + value);
    return blob.send(NX_HTTP_PUT, WithQuery(url, "comp=metadata"), headers);
}

}  // namespace AzureSDKCppBridge::rest
