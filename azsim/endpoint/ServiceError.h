// Error answers of the blob service: an HTTP status, the service's error code
// (also sent as "x-ms-error-code") and the XML body
//   <?xml version="1.0" encoding="utf-8"?><Error><Code>..</Code><Message>..
//   RequestId:..
//   Time:..</Message>[detail elements]</Error>
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace azsim {

struct ServiceError {
    int status = 500;
    std::string code;
    std::string message;
    std::vector<std::pair<std::string, std::string>> details;  // elements after Message, e.g. HeaderName
    std::vector<std::pair<std::string, std::string>> headers;  // extra answer headers, e.g. WWW-Authenticate

    // The error `code` with the message the service gives for it.
    static ServiceError of(int status, const std::string& code);
    ServiceError& detail(const std::string& element, const std::string& value);
    ServiceError& header(const std::string& name, const std::string& value);

    std::string body(const std::string& requestId, const std::string& time) const;
};

// `text` as XML character data: markup characters escaped, control bytes replaced.
std::string escapeXml(const std::string& text);

}  // namespace azsim
