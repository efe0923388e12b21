// One HTTPS request over the host's HTTP client, with its answer: status
// (0 when none arrived), headers and body.
#pragma once

#include <string>
#include <vector>

#include "host/http/NXLibCurl.h"

namespace AzureSDKCppBridge::rest {

struct HttpReply {
    unsigned long status = 0;
    std::string headers;  // status line and header lines as received
    std::string body;
    std::string transportError;  // why no answer arrived, when none did

    // The value of header `name` (any case); empty when absent.
    std::string header(const std::string& name) const;
};

HttpReply SendHttp(_http_req_type_ method, const std::string& url, const std::vector<std::string>& headers,
                   const std::string& body = std::string(), const std::string& contentType = std::string());

}  // namespace AzureSDKCppBridge::rest
