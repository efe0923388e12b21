// A running blob endpoint over a fresh state folder holding one page blob
// with recognisable, partly sparse data, and a libcurl client that reaches it
// under the cloud's own host names.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "azsim/auth/AccessAuthority.h"
#include "azsim/blob/PageBlobStore.h"
#include "azsim/endpoint/BlobEndpoint.h"
#include "tests/azsim/endpoint/HttpsClient.h"
#include "tests/azsim/model/TempFolder.h"

// Bytes recognisable by their position in a blob.
std::string patternBytes(std::uint64_t offset, std::size_t length, unsigned seed = 1);

class EndpointFixture : public ::testing::Test {
protected:
    static constexpr std::uint64_t kBlobSize = 24ull << 20;
    static constexpr std::uint64_t kHoleStart = 20ull << 20;  // [20 MiB, 21 MiB) is never written
    static constexpr std::uint64_t kHoleEnd = 21ull << 20;
    static constexpr std::uint64_t k4MiB = 4ull << 20;
    static constexpr const char* kVersion = "x-ms-version: 2018-03-28";  // the plugin's API version

    void SetUp() override;
    void TearDown() override {
        if (endpoint_) endpoint_->stop();
    }

    std::string blobUrl(const std::string& query = std::string()) const;
    // Each on a connection of its own.
    HttpReply send(const HttpCall& call) const;
    // GET of the disk blob with a bearer token and the plugin's API version, plus `headers`.
    HttpReply get(const std::string& query, std::vector<std::string> headers = {}) const;
    HttpReply put(const std::string& query, const std::string& body, std::vector<std::string> headers) const;
    std::string bearer() const { return "Authorization: Bearer " + token_; }
    std::string storeBytes(std::uint64_t offset, std::uint64_t length, const std::string& snapshot = "") const;

    azsimtest::TempFolder folder_;
    const std::string stateDir_ = folder_.path();
    azsim::BlobKey disk_{"myacct", "vhds", "vm0-osdisk.vhd"};
    azsim::PageBlobStore store_{stateDir_};
    std::unique_ptr<azsim::AccessAuthority> authority_;
    std::unique_ptr<azsim::BlobEndpoint> endpoint_;
    std::string token_;
};
