// One request of the blob endpoint and the answer being built for it, with
// the ways an answer goes out: an error in the service's form, a text body,
// or blob data streamed from its data file. Every body honours the send limit
// a short-body fault sets: the full length is announced, the body stops there.
#pragma once

#include <httplib.h>

#include <cstdint>
#include <limits>
#include <string>

#include "azsim/blob/PageBlobStore.h"
#include "azsim/endpoint/ServiceError.h"

namespace azsim {

struct Exchange {
    Exchange(const httplib::Request& request, httplib::Response& response) : req(request), res(response) {}

    const httplib::Request& req;
    httplib::Response& res;
    BlobKey key;
    std::string snapshot;
    std::string requestId;
    std::uint64_t sendLimit = std::numeric_limits<std::uint64_t>::max();
    bool named = false;           // `key` holds the blob the request names
    bool container = false;       // `key` holds the container the request names (no blob)
    const char* fault = nullptr;  // the kind of fault rule applied, for the request record

    bool isHead() const { return req.method == "HEAD"; }
    std::string header(const char* name) const { return req.get_header_value(name); }
    std::string param(const char* name) const { return req.get_param_value(name); }
    // The byte range of the request: "x-ms-range" wins over "Range", as with the service.
    std::string rangeHeaderName() const { return req.has_header("x-ms-range") ? "x-ms-range" : "Range"; }
    std::string rangeHeader() const { return header(rangeHeaderName().c_str()); }
};

void sendError(Exchange& ex, const ServiceError& error);
void sendBody(Exchange& ex, int status, const std::string& body, const char* contentType);
// An answer without body (status only, "Content-Length: 0").
void sendEmpty(Exchange& ex, int status);
// Announces `length` bytes of content for a HEAD answer.
void sendHeadLength(Exchange& ex, std::uint64_t length);
// `length` bytes of a blob version from `offset`, read from its data file in chunks straight into the
// connection (bytes past the file's end read as zeros). False when the data file cannot be opened.
bool sendBlobData(Exchange& ex, int status, const PageBlobStore& store, std::uint64_t offset, std::uint64_t length);
// ETag, Last-Modified and the blob's type headers.
void setPropertyHeaders(Exchange& ex, const BlobProperties& properties);

}  // namespace azsim
