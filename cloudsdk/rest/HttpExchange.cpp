#include "cloudsdk/rest/HttpExchange.h"

#include <strings.h>

namespace AzureSDKCppBridge::rest {

std::string HttpReply::header(const std::string& name) const {
    std::string found;
    for (std::size_t pos = 0; pos < headers.size();) {
        std::size_t end = std::min(headers.find('\n', pos), headers.size());
        const std::string line = headers.substr(pos, end - pos);
        pos = end + 1;
        std::size_t colon = line.find(':');
        if (colon != name.size() || strncasecmp(line.c_str(), name.c_str(), name.size()) != 0) continue;
        std::size_t first = line.find_first_not_of(" \t", colon + 1);
        std::size_t last = line.find_last_not_of(" \t\r");
        // A later header block (after an interim answer) wins over an earlier one.
        found = first == std::string::npos ? std::string() : line.substr(first, last - first + 1);
    }
    return found;
}

HttpReply SendHttp(_http_req_type_ method, const std::string& url, const std::vector<std::string>& headers,
                   const std::string& body, const std::string& contentType) {
    HttpReply reply;
    NXLibCurl curl;
    if (!curl.NXLibCurlInit(contentType.empty() ? std::string() : "Content-Type: " + contentType, true, true)) {
        reply.transportError = "the HTTP client could not be set up";
        return reply;
    }
    for (const std::string& h : headers) curl.NXLibCurlAppendHeader(NX_HTTP_HDR_LINE, h);
    curl.NXLibCurlSendHttpReqLog(method, url, body, body.size(), false, false);
    reply.status = curl.GetHttpErrorCode();
    std::size_t bodyLength = 0, allLength = 0;
    const char* bodyText = curl.GetHttpResponse(bodyLength, false);
    if (bodyText) reply.body.assign(bodyText, bodyLength);
    const char* allText = curl.GetHttpResponse(allLength, true);
    if (allText && allLength >= bodyLength) reply.headers.assign(allText, allLength - bodyLength);
    if (reply.status == 0) reply.transportError = curl_easy_strerror(curl.GetCurlResult());
    return reply;
}

}  // namespace AzureSDKCppBridge::rest
