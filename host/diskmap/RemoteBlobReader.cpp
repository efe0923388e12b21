#include "host/diskmap/RemoteBlobReader.h"

#include <strings.h>

#include <cstdlib>

#include "host/http/NXLibCurl.h"

namespace {

const char* const kVersionHeader = "x-ms-version: 2018-03-28";

struct Response {
    bool ok = false;
    unsigned long status = 0;
    std::string text;
};

Response Send(_http_req_type_ method, const std::string& url, const std::string& token,
              const std::vector<std::string>& extraHeaders, bool withHeaders) {
    Response r;
    NXLibCurl curl;
    if (!curl.NXLibCurlInit("", true, true)) return r;
    curl.NXLibCurlAppendHeader(NX_HTTP_HDR_LINE, kVersionHeader);
    if (!token.empty()) curl.NXLibCurlAppendHeader(NX_HTTP_HDR_LINE, "Authorization: Bearer " + token);
    for (const std::string& h : extraHeaders) curl.NXLibCurlAppendHeader(NX_HTTP_HDR_LINE, h);
    r.ok = curl.NXLibCurlSendHttpReqLog(method, url, std::string(), 0, false, false);
    r.status = curl.GetHttpErrorCode();
    size_t length = 0;
    const char* text = curl.GetHttpResponse(length, withHeaders);
    if (text) r.text.assign(text, length);
    return r;
}

std::string Describe(const std::string& what, const Response& r) {
    return what + " failed with HTTP status " + std::to_string(r.status);
}

// Value of header `name` in a response's header block, ignoring case; empty when absent.
std::string HeaderValue(const std::string& headers, const std::string& name) {
    size_t pos = 0;
    while (pos < headers.size()) {
        size_t end = headers.find('\n', pos);
        if (end == std::string::npos) end = headers.size();
        std::string line = headers.substr(pos, end - pos);
        pos = end + 1;
        size_t colon = line.find(':');
        if (colon == std::string::npos || colon != name.size()) continue;
        if (strncasecmp(line.c_str(), name.c_str(), name.size()) != 0) continue;
        size_t first = line.find_first_not_of(" \t", colon + 1);
        size_t last = line.find_last_not_of(" \t\r");
        return first == std::string::npos ? std::string() : line.substr(first, last - first + 1);
    }
    return std::string();
}

// Text between <tag> and </tag> starting at `from`; advances `from` past it.
bool NextElement(const std::string& xml, const std::string& tag, size_t& from, std::string& value) {
    const std::string open = "<" + tag + ">";
    const std::string close = "</" + tag + ">";
    size_t start = xml.find(open, from);
    if (start == std::string::npos) return false;
    start += open.size();
    size_t end = xml.find(close, start);
    if (end == std::string::npos) return false;
    value = xml.substr(start, end - start);
    from = end + close.size();
    return true;
}

}  // namespace

bool RemoteBlobReader::Size(std::uint64_t& size, std::string& error) const {
    Response r = Send(NX_HTTP_HEAD, url_, token_, {}, true);
    if (!r.ok) {
        error = Describe("Reading the blob's properties", r);
        return false;
    }
    std::string value = HeaderValue(r.text, "x-ms-blob-content-length");
    if (value.empty()) value = HeaderValue(r.text, "Content-Length");
    if (value.empty()) {
        error = "The blob's properties name no length";
        return false;
    }
    size = std::strtoull(value.c_str(), nullptr, 10);
    return true;
}

bool RemoteBlobReader::AllocatedRanges(std::vector<std::pair<std::uint64_t, std::uint64_t>>& ranges,
                                       std::string& error) const {
    const std::string url = url_ + (url_.find('?') == std::string::npos ? "?" : "&") + "comp=pagelist";
    Response r = Send(NX_HTTP_GET, url, token_, {}, false);
    if (!r.ok) {
        error = Describe("Listing the blob's page ranges", r);
        return false;
    }
    ranges.clear();
    size_t from = 0;
    std::string range;
    while (NextElement(r.text, "PageRange", from, range)) {
        size_t inner = 0;
        std::string start, end;
        if (!NextElement(range, "Start", inner, start) || !NextElement(range, "End", inner, end)) {
            error = "Malformed page range list";
            return false;
        }
        ranges.emplace_back(std::strtoull(start.c_str(), nullptr, 10), std::strtoull(end.c_str(), nullptr, 10) + 1);
    }
    return true;
}

bool RemoteBlobReader::Read(std::uint64_t offset, std::uint64_t length, std::string& out, std::string& error) const {
    const std::string range =
        "x-ms-range: bytes=" + std::to_string(offset) + "-" + std::to_string(offset + length - 1);
    Response r = Send(NX_HTTP_GET, url_, token_, {range}, false);
    if (!r.ok || r.text.size() != length) {
        error = Describe("Reading " + std::to_string(length) + " bytes at " + std::to_string(offset), r);
        return false;
    }
    out.swap(r.text);
    return true;
}
