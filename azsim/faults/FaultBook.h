// Fault injection of a simulated subscription. Rules live in the state folder
// ("faults.json"), so that a test, the azsim tool and a running endpoint in
// another process all see the same rules. Each rule fires a given number of
// times (or always) and is used up atomically across processes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace azsim {

// Makes a named SDK operation fail with a wrapper error code and text.
struct SdkFault {
    std::string operation;  // exact operation name, e.g. "CreateDiskSnapshots"
    int code = 0;
    std::string text;
    int times = 1;          // -1: always
};

enum class HttpFaultKind {
    Status,     // answer `status` with an error body in the service's XML form
    Delay,      // wait `delayMs`, then serve normally
    Drop,       // close the connection without an answer
    ShortBody,  // announce the full length (one byte for an answer without a body), send only `bodyBytes`, close
};

// Makes matching HTTP requests of the blob endpoint misbehave.
struct HttpFault {
    std::string method;        // "GET", "PUT", "HEAD", ...; empty matches any
    std::string pathPattern;   // wildcard (`*`, `?`) over "/account/container/blob" of the request; empty matches any
    HttpFaultKind kind = HttpFaultKind::Status;
    int status = 500;
    std::string errorCode = "InternalError";  // service error code in the XML body
    int delayMs = 0;
    std::uint64_t bodyBytes = 0;
    int times = 1;             // -1: always
};

class FaultBook {
public:
    explicit FaultBook(std::string stateDir);

    void addSdkFault(const SdkFault& fault);
    void addHttpFault(const HttpFault& fault);
    void clear();
    std::vector<SdkFault> sdkFaults() const;
    std::vector<HttpFault> httpFaults() const;

    // Takes one use of the first rule matching the operation; nothing when none matches.
    std::optional<SdkFault> takeSdkFault(const std::string& operation);
    // `path` is "/account/container/blob" (no query). Cheap when there are no rules.
    std::optional<HttpFault> takeHttpFault(const std::string& method, const std::string& path);

private:
    std::string path_;
};

}  // namespace azsim
