#include "host/http/NXLibCurl.h"

#include "host/http/NXCurlHandlePool.h"
#include "host/http/NXHttpClientSettings.h"
#include "host/log/EvDebug.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <strings.h>

namespace {

std::atomic<uint64_t> connectionCount{0};
std::atomic<uint64_t> requestCount{0};

const char* methodName(_http_req_type_ type) {
    switch (type) {
        case NX_HTTP_GET: return "GET";
        case NX_HTTP_POST: return "POST";
        case NX_HTTP_PUT: return "PUT";
        case NX_HTTP_DELETE: return "DELETE";
        case NX_HTTP_HEAD: return "HEAD";
    }
    return "?";
}

// Feeds a PUT body handed to the send call.
size_t readRequestBody(char* ptr, size_t size, size_t nmemb, void* userdata) {
    SCURLData* data = static_cast<SCURLData*>(userdata);
    size_t n = static_cast<size_t>(std::min<unsigned long long>(size * nmemb, data->remaining));
    std::memcpy(ptr, data->source() + data->offset, n);
    data->offset += n;
    data->remaining -= n;
    return n;
}

// A header text with a line break in it would carry further header lines of its own.
bool hasLineBreak(const std::string& text) { return text.find_first_of("\r\n") != std::string::npos; }

// Option numbers carry their value type in their thousands (curl.h).
bool isLongOption(CURLoption option) { return option < CURLOPTTYPE_OBJECTPOINT; }
bool isOffsetOption(CURLoption option) {
    return option >= CURLOPTTYPE_OFF_T && option < CURLOPTTYPE_BLOB;
}

}  // namespace

NXLibCurl::~NXLibCurl() { releaseHandle(); }

void NXLibCurl::releaseHandle() {
    if (easy_) NXCurlHandlePool::release(easy_);
    easy_ = nullptr;
    curl_slist_free_all(connectTo_);
    connectTo_ = nullptr;
}

bool NXLibCurl::NXLibCurlInit(const std::string& contentType, bool verifyPeer, bool verifyHost,
                              NXLibCurlCallback writeCallback) {
    releaseHandle();
    if (hasLineBreak(contentType)) {
        EvDebug::Error(__PRETTY_FUNCTION__, "Content type with a line break refused");
        return false;
    }
    easy_ = NXCurlHandlePool::acquire();
    if (!easy_) {
        EvDebug::Error(__PRETTY_FUNCTION__, "Failed to get a libcurl handle");
        return false;
    }
    contentType_ = contentType;
    headers_.clear();
    writeFn_ = writeCallback;
    writeData_ = nullptr;
    readFn_ = nullptr;
    readData_ = nullptr;
    curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYPEER, verifyPeer ? 1L : 0L);
    curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYHOST, verifyHost ? 2L : 0L);
    curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy_, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, errorText_);
    return applySettings();
}

bool NXLibCurl::applySettings() {
    NXHttpClientSettings settings = NXHttpClientSettings::load();
    for (const std::string& entry : settings.connectTo) {
        curl_slist* grown = curl_slist_append(connectTo_, entry.c_str());
        if (!grown) return false;
        connectTo_ = grown;
    }
    if (connectTo_ && curl_easy_setopt(easy_, CURLOPT_CONNECT_TO, connectTo_) != CURLE_OK) {
        EvDebug::Error(__PRETTY_FUNCTION__, "Failed to set connect-to entries");
        return false;
    }
    if (!settings.caBundle.empty() &&
        curl_easy_setopt(easy_, CURLOPT_CAINFO, settings.caBundle.c_str()) != CURLE_OK) {
        EvDebug::Error(__PRETTY_FUNCTION__, "Failed to set CA bundle [%s]", settings.caBundle.c_str());
        return false;
    }
    // A pooled handle keeps the options of its last use: the proxy is set, or reset, every time.
    const bool proxied = !settings.proxy.empty();
    curl_easy_setopt(easy_, CURLOPT_PROXY, proxied ? settings.proxy.c_str() : nullptr);
    curl_easy_setopt(easy_, CURLOPT_PROXYUSERNAME, proxied ? settings.proxyUser.c_str() : nullptr);
    curl_easy_setopt(easy_, CURLOPT_PROXYPASSWORD, proxied ? settings.proxyPassword.c_str() : nullptr);
    curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT, static_cast<long>(settings.connectTimeoutSeconds));
    curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_TIME, static_cast<long>(settings.lowSpeedTimeSeconds));
    return true;
}

void NXLibCurl::NXLibCurlFreeHttpHeaderList() { headers_.clear(); }

bool NXLibCurl::NXLibCurlAppendHeader(_http_hdr_type_ type, const std::string& header) {
    if (type != NX_HTTP_HDR_LINE || header.empty() || hasLineBreak(header)) return false;
    headers_.push_back(header);
    return true;
}

bool NXLibCurl::NXLibCurlSetAdditionalOptionsIntValue(CURLoption option, const int& value) {
    if (!easy_) return false;
    if (isLongOption(option)) return curl_easy_setopt(easy_, option, static_cast<long>(value)) == CURLE_OK;
    if (isOffsetOption(option))
        return curl_easy_setopt(easy_, option, static_cast<curl_off_t>(value)) == CURLE_OK;
    return false;
}

bool NXLibCurl::NXLibCurlSetAdditionalOptions(CURLoption option) {
    return easy_ && isLongOption(option) && curl_easy_setopt(easy_, option, 1L) == CURLE_OK;
}

bool NXLibCurl::NXLibCurlSetCallbackWriteFunction(NXLibCurlCallback fn) {
    if (!easy_ || !fn) return false;
    writeFn_ = fn;
    return true;
}

bool NXLibCurl::NXLibCurlSetWriteData(void* data) {
    if (!easy_) return false;
    writeData_ = data;
    return true;
}

bool NXLibCurl::NXLibCurlSetCallbackReadFunction(NXLibCurlCallback fn) {
    if (!easy_ || !fn) return false;
    readFn_ = fn;
    return true;
}

bool NXLibCurl::NXLibCurlSetReadData(void* data) {
    if (!easy_) return false;
    readData_ = data;
    return true;
}

bool NXLibCurl::hasHeader(const std::string& name) const {
    for (const std::string& line : headers_) {
        if (line.size() > name.size() && strncasecmp(line.c_str(), name.c_str(), name.size()) == 0 &&
            (line[name.size()] == ':' || line[name.size()] == ';'))
            return true;
    }
    return false;
}

curl_slist* NXLibCurl::buildHeaderList() const {
    std::vector<std::string> lines;
    if (!contentType_.empty() && !hasHeader("Content-Type")) lines.push_back(contentType_);
    // Bodies go out at once instead of waiting for a "100 Continue" first.
    if (!hasHeader("Expect")) lines.push_back("Expect:");
    lines.insert(lines.end(), headers_.begin(), headers_.end());
    curl_slist* list = nullptr;
    for (const std::string& line : lines) {
        curl_slist* grown = curl_slist_append(list, line.c_str());
        if (!grown) {
            curl_slist_free_all(list);
            return nullptr;
        }
        list = grown;
    }
    return list;
}

bool NXLibCurl::applyMethod(_http_req_type_ type, const std::string& body, size_t length) {
    size_t bodySize = std::min(length, body.size());
    switch (type) {
        case NX_HTTP_GET:
            return curl_easy_setopt(easy_, CURLOPT_HTTPGET, 1L) == CURLE_OK;
        case NX_HTTP_HEAD:
            return curl_easy_setopt(easy_, CURLOPT_NOBODY, 1L) == CURLE_OK;
        case NX_HTTP_PUT:
            if (!readFn_) {
                requestBody_ = SCURLData(body.data(), bodySize);
                curl_easy_setopt(easy_, CURLOPT_READFUNCTION, &readRequestBody);
                curl_easy_setopt(easy_, CURLOPT_READDATA, &requestBody_);
                curl_easy_setopt(easy_, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(bodySize));
            }
            return curl_easy_setopt(easy_, CURLOPT_UPLOAD, 1L) == CURLE_OK;
        case NX_HTTP_DELETE:
            if (curl_easy_setopt(easy_, CURLOPT_CUSTOMREQUEST, "DELETE") != CURLE_OK) return false;
            if (bodySize == 0) return true;
            [[fallthrough]];  // a DELETE with a body sends it like a POST
        case NX_HTTP_POST:
            if (curl_easy_setopt(easy_, CURLOPT_POST, 1L) != CURLE_OK) return false;
            if (readFn_) return true;
            curl_easy_setopt(easy_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(bodySize));
            return curl_easy_setopt(easy_, CURLOPT_COPYPOSTFIELDS, body.data()) == CURLE_OK;
    }
    return false;
}

void NXLibCurl::installCallbacks() {
    if (!writeFn_ || writeFn_ == &NXLibCurl::libcurl_callback) {
        curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &NXLibCurl::libcurl_callback);
        curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
    } else {
        curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, writeFn_);
        curl_easy_setopt(easy_, CURLOPT_WRITEDATA, writeData_);
    }
    curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &NXLibCurl::keepHeader);
    curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this);
    if (readFn_) {
        curl_easy_setopt(easy_, CURLOPT_READFUNCTION, readFn_);
        curl_easy_setopt(easy_, CURLOPT_READDATA, readData_);
    }
}

bool NXLibCurl::NXLibCurlSendHttpReqLog(_http_req_type_ type, const std::string& url, const std::string& body,
                                         size_t length, bool logRequest, bool logResponse, const char* logText) {
    if (!easy_) {
        EvDebug::Error(__PRETTY_FUNCTION__, "HTTP request to [%s] sent before initialization", url.c_str());
        return false;
    }
    responseBody_.clear();
    responseHeaders_.clear();
    httpCode_ = 0;
    errorText_[0] = '\0';
    if (logRequest) {
        std::string shown = logText ? logText : body.substr(0, std::min(length, body.size()));
        EvDebug::Debug(__PRETTY_FUNCTION__, "HTTP %s [%s] Request [%s]", methodName(type), url.c_str(), shown.c_str());
    }
    curl_slist* headers = buildHeaderList();
    if (!applyMethod(type, body, length) || curl_easy_setopt(easy_, CURLOPT_URL, url.c_str()) != CURLE_OK ||
        curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headers) != CURLE_OK) {
        curl_slist_free_all(headers);
        EvDebug::Error(__PRETTY_FUNCTION__, "Failed to prepare HTTP %s [%s]", methodName(type), url.c_str());
        return false;
    }
    installCallbacks();

    curlResult_ = curl_easy_perform(easy_);
    requestCount++;
    long code = 0;
    curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &code);
    httpCode_ = static_cast<unsigned long>(code);
    long connects = 0;
    curl_easy_getinfo(easy_, CURLINFO_NUM_CONNECTS, &connects);
    connectionCount += static_cast<uint64_t>(connects);
    curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(headers);

    logResult(type, url, logResponse);
    return curlResult_ == CURLE_OK && httpCode_ >= 200 && httpCode_ < 300;
}

void NXLibCurl::logResult(_http_req_type_ type, const std::string& url, bool logResponse) const {
    if (curlResult_ != CURLE_OK) {
        EvDebug::Error(__PRETTY_FUNCTION__, "HTTP %s [%s] failed: %s (%d), HTTP status [%lu]", methodName(type),
                       url.c_str(), errorText_[0] ? errorText_ : curl_easy_strerror(curlResult_),
                       static_cast<int>(curlResult_), httpCode_);
    } else if (logResponse) {
        EvDebug::Debug(__PRETTY_FUNCTION__, "HTTP %s [%s] status [%lu] Response [%s]", methodName(type),
                       url.c_str(), httpCode_, responseBody_.c_str());
    }
}

unsigned long NXLibCurl::GetHttpErrorCode() const { return httpCode_; }

CURLcode NXLibCurl::GetCurlResult() const { return curlResult_; }

const char* NXLibCurl::GetHttpResponse(size_t& length, bool withHeaders) {
    const std::string* text = &responseBody_;
    if (withHeaders) {
        responseWithHeaders_ = responseHeaders_ + responseBody_;
        text = &responseWithHeaders_;
    }
    length = text->size();
    return text->empty() ? nullptr : text->c_str();
}

size_t NXLibCurl::libcurl_callback(char* ptr, size_t size, size_t nmemb, void* userdata) {
    size_t bytes = size * nmemb;
    if (userdata && ptr) static_cast<NXLibCurl*>(userdata)->responseBody_.append(ptr, bytes);
    return bytes;
}

size_t NXLibCurl::keepHeader(char* ptr, size_t size, size_t nmemb, void* userdata) {
    size_t bytes = size * nmemb;
    NXLibCurl* self = static_cast<NXLibCurl*>(userdata);
    // A status line starts a new response (after a redirect or an interim 1xx answer).
    if (bytes >= 5 && std::strncmp(ptr, "HTTP/", 5) == 0) self->responseHeaders_.clear();
    self->responseHeaders_.append(ptr, bytes);
    return bytes;
}

NXLibCurlStats NXLibCurl::stats() {
    NXLibCurlStats s;
    s.connections = connectionCount.load();
    s.requests = requestCount.load();
    return s;
}
