// A running blob endpoint over a fresh state folder holding one page blob
// with recognisable, partly sparse data, and a libcurl client that reaches it
// under the cloud's own host names.
#pragma once

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "azsim/auth/AccessAuthority.h"
#include "azsim/blob/PageBlobStore.h"
#include "azsim/endpoint/BlobEndpoint.h"

struct HttpReply {
    CURLcode code = CURLE_OK;
    long status = 0;
    std::string body;
    std::map<std::string, std::string> headers;  // names in lower case

    std::string header(const std::string& lowerName) const;
    // The <Code> of an XML error body.
    std::string errorCode() const;
};

struct HttpCall {
    std::string method = "GET";
    std::string url;
    std::vector<std::string> headers;
    const std::string* body = nullptr;  // sent with PUT
};

// Bytes recognisable by their position in a blob.
std::string patternBytes(std::uint64_t offset, std::size_t length, unsigned seed = 1);

class EndpointFixture : public ::testing::Test {
protected:
    static constexpr std::uint64_t kBlobSize = 24ull << 20;
    static constexpr std::uint64_t kHoleStart = 20ull << 20;  // [20 MiB, 21 MiB) is never written
    static constexpr std::uint64_t kHoleEnd = 21ull << 20;
    static constexpr std::uint64_t k4MiB = 4ull << 20;

    void SetUp() override;
    void TearDown() override;

    std::string blobUrl(const std::string& query = std::string()) const;
    HttpReply send(const HttpCall& call) const;
    // GET of the disk blob with a bearer token and the plugin's API version, plus `headers`.
    HttpReply get(const std::string& query, std::vector<std::string> headers = {}) const;
    HttpReply put(const std::string& query, const std::string& body, std::vector<std::string> headers) const;
    std::string bearer() const;
    std::string storeBytes(std::uint64_t offset, std::uint64_t length, const std::string& snapshot = "") const;

    std::string stateDir_;
    azsim::BlobKey disk_{"myacct", "vhds", "vm0-osdisk.vhd"};
    std::unique_ptr<azsim::PageBlobStore> store_;
    std::unique_ptr<azsim::AccessAuthority> authority_;
    std::unique_ptr<azsim::BlobEndpoint> endpoint_;
    std::string token_;
};
