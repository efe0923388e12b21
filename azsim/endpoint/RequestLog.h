// The request record of the blob endpoint: one JSON line per HTTP request it
// answers, in "requests.jsonl" of the state folder, so that tests can assert
// what a writer or reader actually sent (ranges, body sizes, credentials) and
// what it was answered.
//
// A line is appended before its answer goes out, so a client that has its
// answer finds the request in the record. Values are kept as received, with
// bytes that are not UTF-8 written as "\xHH" (as the call journal does).
//
// The record is bounded: once "requests.jsonl" passes the size limit it
// becomes "requests.1.jsonl" (replacing the previous one) and a new file
// starts, so at most about twice the limit is kept; Read returns both, oldest
// first.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace azsim {

struct RequestRecord {
    std::string time;       // when it was answered, "2026-12-06T07:31:12.1234567Z"
    std::string requestId;  // the x-ms-request-id answered; empty when refused before reaching the blob service
    std::string method;     // "GET", "HEAD", "PUT", ...
    // The blob named ("/container/blob" under the account's host); all empty when the request names none.
    std::string account;
    std::string container;
    std::string blob;
    std::string path;          // the request path as received, percent-decoded
    std::string comp;          // query "comp", e.g. "page", "pagelist"
    std::string snapshot;      // query "snapshot"
    std::string prevSnapshot;  // query "prevsnapshot"
    std::string range;         // "x-ms-range" when sent, else "Range", as sent
    std::uint64_t bodyBytes = 0;  // request body received
    std::string version;  // "x-ms-version" sent (a SAS's "sv" when none), which tells the clients apart
    std::string auth;  // credential presented: "none", "bearer", "sas", "sharedkey" or "other"
    int status = 0;    // status answered; 0 when the connection was dropped without an answer
    std::string errorCode;  // "x-ms-error-code" answered, if any
    std::string fault;      // fault rule applied: "status", "delay", "drop" or "short"; empty when none

    nlohmann::json toJson() const;
    static RequestRecord fromJson(const nlohmann::json& line);
};

class RequestLog {
public:
    static constexpr std::uint64_t kDefaultLimitBytes = 64ull << 20;

    explicit RequestLog(const std::string& stateDir, std::uint64_t limitBytes = kDefaultLimitBytes);

    // Appends one line with a single write to the file opened for appending, so lines of
    // concurrent writers (threads or processes) stay whole; never throws.
    void append(const RequestRecord& record) const;

    // Every record kept for the state folder, oldest first; unreadable lines are skipped.
    static std::vector<RequestRecord> Read(const std::string& stateDir);
    // The file the endpoint appends to.
    static std::string Path(const std::string& stateDir);

private:
    void rotateIfFull(int fd) const;

    std::string path_;
    std::string previousPath_;
    std::uint64_t limitBytes_;
};

}  // namespace azsim
