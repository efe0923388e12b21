// HTTP client of the host framework, over libcurl.
//
// One object per request: NXLibCurlInit, headers and options, callbacks,
// then NXLibCurlSendHttpReqLog; status and response text are read afterwards.
// The libcurl handle underneath belongs to the calling thread and outlives
// the object, so consecutive requests reuse their connections (see
// NXCurlHandlePool). Every request applies the settings of section
// "HttpClient" (see NXHttpClientSettings): connect-to mappings, CA bundle,
// connect timeout, and a low-speed timeout that ends a stalled transfer.
#pragma once

#include "host/http/SCURLData.h"

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// How NXLibCurlAppendHeader reads its text.
enum _http_hdr_type_ {
    NX_HTTP_HDR_LINE = 0,  // a complete header line, "Name: value"
};

enum _http_req_type_ {
    NX_HTTP_GET = 0,
    NX_HTTP_POST = 1,
    NX_HTTP_PUT = 2,
    NX_HTTP_DELETE = 3,
    NX_HTTP_HEAD = 4,
};

// libcurl's option 54 (PUT), which its headers mark deprecated in favour of
// CURLOPT_UPLOAD; this name lets callers set it without a deprecation warning.
constexpr CURLoption NX_CURLOPT_PUT = static_cast<CURLoption>(54);

// libcurl read/write callback: (data, size, count, user pointer) -> bytes handled.
typedef size_t (*NXLibCurlCallback)(char* ptr, size_t size, size_t nmemb, void* userdata);

// Process-wide counters since start.
struct NXLibCurlStats {
    uint64_t connections = 0;  // connections opened
    uint64_t requests = 0;     // requests sent
};

class NXLibCurl {
public:
    NXLibCurl() = default;
    ~NXLibCurl();
    NXLibCurl(const NXLibCurl&) = delete;
    NXLibCurl& operator=(const NXLibCurl&) = delete;

    // Takes the thread's handle and readies it. `contentType` is a full header
    // line ("Content-Type: ..."), sent unless the header list names its own;
    // empty sends none; one with a line break is refused (false, no handle).
    // The flags switch TLS peer and host-name verification.
    // `writeCallback` receives the response body; none: the wrapper keeps it.
    bool NXLibCurlInit(const std::string& contentType, bool verifyPeer, bool verifyHost,
                       NXLibCurlCallback writeCallback = nullptr);

    // Empties the list of request headers (the content type of Init stays).
    void NXLibCurlFreeHttpHeaderList();
    // Adds one header line; false for an empty line or one with a line break in it.
    bool NXLibCurlAppendHeader(_http_hdr_type_ type, const std::string& header);

    // Sets a number-valued libcurl option (long or curl_off_t, by option).
    bool NXLibCurlSetAdditionalOptionsIntValue(CURLoption option, const int& value);
    // Switches a long-valued libcurl option on (value 1).
    bool NXLibCurlSetAdditionalOptions(CURLoption option);

    // Body callbacks and their user pointers. libcurl_callback as write
    // function always gets this wrapper as its pointer.
    bool NXLibCurlSetCallbackWriteFunction(NXLibCurlCallback fn);
    bool NXLibCurlSetWriteData(void* data);
    bool NXLibCurlSetCallbackReadFunction(NXLibCurlCallback fn);
    bool NXLibCurlSetReadData(void* data);

    // Sends the request and waits for its end. The first `length` bytes of
    // `body` are the body of POST, PUT and DELETE unless a read callback is
    // installed (then the callback supplies it, sized by CURLOPT_INFILESIZE_LARGE).
    // `logRequest` logs method, URL and `logText` (or the body when no text is
    // given); `logResponse` logs status and response text.
    // True only for a completed transfer with a 2xx status.
    bool NXLibCurlSendHttpReqLog(_http_req_type_ type, const std::string& url, const std::string& body,
                                 size_t length, bool logRequest, bool logResponse,
                                 const char* logText = nullptr);

    // HTTP status of the last request; 0 when no response arrived.
    unsigned long GetHttpErrorCode() const;
    // libcurl's result of the last request.
    CURLcode GetCurlResult() const;
    // Response text kept by the wrapper (body, preceded by the status line and
    // headers when `withHeaders`); null and length 0 when there is none.
    const char* GetHttpResponse(size_t& length, bool withHeaders = false);

    // Write callback that keeps the response text in the wrapper passed as `userdata`.
    static size_t libcurl_callback(char* ptr, size_t size, size_t nmemb, void* userdata);

    static NXLibCurlStats stats();

private:
    bool applySettings();
    bool applyMethod(_http_req_type_ type, const std::string& body, size_t length);
    curl_slist* buildHeaderList() const;
    bool hasHeader(const std::string& name) const;
    void installCallbacks();
    void logResult(_http_req_type_ type, const std::string& url, bool logResponse) const;
    void releaseHandle();
    static size_t keepHeader(char* ptr, size_t size, size_t nmemb, void* userdata);

    CURL* easy_ = nullptr;
    curl_slist* connectTo_ = nullptr;
    std::string contentType_;
    std::vector<std::string> headers_;
    NXLibCurlCallback writeFn_ = nullptr;
    void* writeData_ = nullptr;
    NXLibCurlCallback readFn_ = nullptr;
    void* readData_ = nullptr;
    SCURLData requestBody_;  // PUT body given to the send call
    std::string responseBody_;
    std::string responseHeaders_;
    std::string responseWithHeaders_;
    unsigned long httpCode_ = 0;
    CURLcode curlResult_ = CURLE_OK;
    char errorText_[CURL_ERROR_SIZE] = {};
};
