#include "tests/azsim/endpoint/EndpointFixture.h"

#include <algorithm>

std::string patternBytes(std::uint64_t offset, std::size_t length, unsigned seed) {
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i) {
        std::uint64_t at = offset + i;
        bytes[i] = static_cast<char>((at * 131 + (at >> 9) * 7 + seed * 29) & 0xff);
    }
    return bytes;
}

void EndpointFixture::SetUp() {
    std::string error;
    ASSERT_TRUE(store_.createPageBlob(disk_, kBlobSize, false, &error)) << error;
    for (std::uint64_t at = 0; at < kBlobSize; at += kHoleEnd - kHoleStart) {
        if (at >= kHoleStart && at < kHoleEnd) continue;
        std::string data = patternBytes(at, std::min(at + kHoleEnd - kHoleStart, kBlobSize) - at);
        ASSERT_TRUE(store_.writePages(disk_, at, data.data(), data.size(), &error)) << error;
    }
    authority_ = std::make_unique<azsim::AccessAuthority>(stateDir_);
    token_ = authority_->issueToken("test-application");
    endpoint_ = std::make_unique<azsim::BlobEndpoint>(stateDir_);
    ASSERT_TRUE(endpoint_->start(&error)) << error;
}

std::string EndpointFixture::blobUrl(const std::string& query) const {
    return "https://" + disk_.account + ".blob.core.windows.net/" + disk_.container + "/" + disk_.name +
           (query.empty() ? "" : "?" + query);
}

HttpReply EndpointFixture::send(const HttpCall& call) const {
    return HttpsClient(endpoint_->connectToEntry(), endpoint_->caBundlePath()).send(call);
}

HttpReply EndpointFixture::get(const std::string& query, std::vector<std::string> headers) const {
    headers.insert(headers.end(), {kVersion, bearer()});
    return send({"GET", blobUrl(query), headers, nullptr});
}

HttpReply EndpointFixture::put(const std::string& query, const std::string& body,
                               std::vector<std::string> headers) const {
    headers.insert(headers.end(), {kVersion, bearer()});
    return send({"PUT", blobUrl(query), headers, &body});
}

std::string EndpointFixture::storeBytes(std::uint64_t offset, std::uint64_t length, const std::string& snapshot) const {
    std::string bytes(length, '\0');
    std::int64_t n = store_.read(disk_, snapshot, offset, &bytes[0], length);
    bytes.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    return bytes;
}
