#include "tests/azsim/endpoint/EndpointFixture.h"

#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

namespace {

size_t collectBody(char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

size_t collectHeader(char* data, size_t size, size_t count, void* out) {
    std::string line(data, size * count);
    std::size_t colon = line.find(':');
    if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        value.erase(value.find_last_not_of("\r\n") + 1);
        (*static_cast<std::map<std::string, std::string>*>(out))[name] = value;
    }
    return size * count;
}

}  // namespace

std::string HttpReply::header(const std::string& lowerName) const {
    auto it = headers.find(lowerName);
    return it == headers.end() ? std::string() : it->second;
}

std::string HttpReply::errorCode() const {
    std::size_t start = body.find("<Code>");
    std::size_t end = body.find("</Code>");
    return start == std::string::npos || end < start ? std::string() : body.substr(start + 6, end - start - 6);
}

std::string patternBytes(std::uint64_t offset, std::size_t length, unsigned seed) {
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i) {
        std::uint64_t at = offset + i;
        bytes[i] = static_cast<char>((at * 131 + (at >> 9) * 7 + seed * 29) & 0xff);
    }
    return bytes;
}

void EndpointFixture::SetUp() {
    std::string pattern = (std::filesystem::temp_directory_path() / "azsim-endpoint-XXXXXX").string();
    ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
    stateDir_ = pattern;
    store_ = std::make_unique<azsim::PageBlobStore>(stateDir_);
    std::string error;
    ASSERT_TRUE(store_->createPageBlob(disk_, kBlobSize, false, &error)) << error;
    for (std::uint64_t at = 0; at < kBlobSize; at += kHoleEnd - kHoleStart) {
        std::uint64_t end = std::min(at + kHoleEnd - kHoleStart, kBlobSize);
        if (at >= kHoleStart && at < kHoleEnd) continue;
        std::string data = patternBytes(at, end - at);
        ASSERT_TRUE(store_->writePages(disk_, at, data.data(), data.size(), &error)) << error;
    }
    authority_ = std::make_unique<azsim::AccessAuthority>(stateDir_);
    token_ = authority_->issueToken("test-application");
    endpoint_ = std::make_unique<azsim::BlobEndpoint>(stateDir_);
    ASSERT_TRUE(endpoint_->start(&error)) << error;
}

void EndpointFixture::TearDown() {
    if (endpoint_) endpoint_->stop();
    std::error_code ec;
    std::filesystem::remove_all(stateDir_, ec);
}

std::string EndpointFixture::blobUrl(const std::string& query) const {
    return "https://" + disk_.account + ".blob.core.windows.net/" + disk_.container + "/" + disk_.name +
           (query.empty() ? "" : "?" + query);
}

HttpReply EndpointFixture::send(const HttpCall& call) const {
    HttpReply reply;
    CURL* curl = curl_easy_init();
    curl_slist* connectTo = curl_slist_append(nullptr, endpoint_->connectToEntry().c_str());
    curl_slist* headers = nullptr;
    for (const std::string& h : call.headers) headers = curl_slist_append(headers, h.c_str());
    curl_easy_setopt(curl, CURLOPT_URL, call.url.c_str());
    curl_easy_setopt(curl, CURLOPT_CONNECT_TO, connectTo);
    curl_easy_setopt(curl, CURLOPT_CAINFO, endpoint_->caBundlePath().c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collectBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.body);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, collectHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &reply.headers);
    if (call.method == "HEAD") {
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    } else if (call.method != "GET") {
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, call.method.c_str());
        const std::string empty;
        const std::string& body = call.body ? *call.body : empty;
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        curl_easy_setopt(curl, CURLOPT_COPYPOSTFIELDS, body.c_str());
    }
    reply.code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
    curl_slist_free_all(headers);
    curl_slist_free_all(connectTo);
    curl_easy_cleanup(curl);
    return reply;
}

HttpReply EndpointFixture::get(const std::string& query, std::vector<std::string> headers) const {
    headers.push_back("x-ms-version: 2018-03-28");
    headers.push_back(bearer());
    return send({"GET", blobUrl(query), headers, nullptr});
}

HttpReply EndpointFixture::put(const std::string& query, const std::string& body,
                               std::vector<std::string> headers) const {
    headers.push_back("x-ms-version: 2018-03-28");
    headers.push_back(bearer());
    return send({"PUT", blobUrl(query), headers, &body});
}

std::string EndpointFixture::bearer() const { return "Authorization: Bearer " + token_; }

std::string EndpointFixture::storeBytes(std::uint64_t offset, std::uint64_t length, const std::string& snapshot) const {
    std::string bytes(length, '\0');
    std::int64_t n = store_->read(disk_, snapshot, offset, &bytes[0], length);
    bytes.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    return bytes;
}
