// A blob store in a temporary root, with a model of what the blob must read back.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "azsim/blob/PageBlobStore.h"
#include "tests/azsim/model/TempFolder.h"

namespace blobtest {

using Ranges = std::vector<azsim::PageRange>;
constexpr std::uint64_t kMiB = 1 << 20;

inline std::string pattern(std::uint64_t length, unsigned seed) {
    std::string bytes(length, '\0');
    for (std::uint64_t i = 0; i < length; ++i) bytes[i] = static_cast<char>((i * 31 + seed * 7 + 1) % 251);
    return bytes;
}

class BlobStoreTest : public ::testing::Test {
protected:
    azsim::PageBlobStore& store() { return store_; }

    // Creates `key` with `size` bytes and a zero model of it.
    void create(std::uint64_t size) {
        ASSERT_TRUE(store_.createPageBlob(key_, size, false, &error_)) << error_;
        model_.assign(size, '\0');
    }
    void write(std::uint64_t offset, std::uint64_t length, unsigned seed) {
        std::string bytes = pattern(length, seed);
        ASSERT_TRUE(store_.writePages(key_, offset, bytes.data(), length, &error_)) << error_;
        model_.replace(offset, length, bytes);
    }
    void clear(std::uint64_t offset, std::uint64_t length) {
        ASSERT_TRUE(store_.clearPages(key_, offset, length, &error_)) << error_;
        model_.replace(offset, length, std::string(length, '\0'));
    }
    std::string readAll(const std::string& snapshot = std::string()) {
        azsim::BlobProperties props;
        if (!store_.properties(key_, snapshot, props)) return "<missing>";
        std::string bytes(props.size, '\1');
        std::int64_t n = store_.read(key_, snapshot, 0, bytes.data(), bytes.size());
        return n == static_cast<std::int64_t>(props.size) ? bytes : "<short read>";
    }
    Ranges ranges(const std::string& snapshot = std::string()) {
        Ranges out;
        EXPECT_TRUE(store_.pageRanges(key_, snapshot, 0, UINT64_MAX, out));
        return out;
    }
    std::string snapshot() {
        std::string id = store_.createSnapshot(key_, &error_);
        EXPECT_FALSE(id.empty()) << error_;
        return id;
    }

    azsimtest::TempFolder folder_;
    const std::string root_ = folder_.path();
    azsim::PageBlobStore store_{root_};
    azsim::BlobKey key_{"acct", "vhds", "disk0.vhd"};
    std::string model_;  // what the blob must read back
    std::string error_;
};

}  // namespace blobtest

namespace azsim {
inline std::ostream& operator<<(std::ostream& os, const PageRange& r) {
    return os << "[" << r.start << ", " << r.end << ")";
}
}  // namespace azsim
