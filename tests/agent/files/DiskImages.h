// Disk images for the file tests: made by the system's own partitioning and
// file-system tools, held in memory as a source that notes any read outside it.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent/files/ByteSource.h"
#include "agent/store/StoreError.h"
#include "tests/agent/e2e/VsagentRun.h"
#include "tests/agent/store/StoreBuilder.h"

namespace filestest {

using Bytes = std::vector<unsigned char>;

class MemoryDisk : public vsagent::ByteSource {
public:
    explicit MemoryDisk(const Bytes& bytes) : bytes_(bytes) {}
    std::uint64_t size() const override { return bytes_.size(); }
    void read(std::uint64_t offset, std::size_t length, unsigned char* out) const override {
        if (offset > bytes_.size() || length > bytes_.size() - offset) {
            outside = true;
            throw vsagent::StoreError("outside the image");
        }
        std::copy(bytes_.begin() + static_cast<long>(offset), bytes_.begin() + static_cast<long>(offset + length), out);
    }
    mutable bool outside = false;

private:
    const Bytes& bytes_;
};

// Runs a shell command line in `scratch`; fails the test when it does not exit 0.
inline std::string Shell(const std::string& command, const std::string& scratch) {
    const e2e::Run run = e2e::Execute("/bin/sh", {"-c", command}, scratch);
    EXPECT_EQ(run.exitCode, 0) << command << "\n" << run.err;
    return run.out;
}

// A sparse image of `bytes` partitioned by sfdisk as `script` says.
inline Bytes Partitioned(const std::string& script, std::uint64_t bytes, const std::string& scratch) {
    const std::string image = scratch + "/table.img";
    Shell("rm -f " + image + " && truncate -s " + std::to_string(bytes) + " " + image + " && printf '" + script +
              "' | sfdisk -q " + image,
          scratch);
    const std::string text = vsagent::storetest::Slurp(image);
    return Bytes(text.begin(), text.end());
}

}  // namespace filestest
