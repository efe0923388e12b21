// azsim write --file: an image put on a disk page by page.
#include <fstream>

#include "azsim/model/SubscriptionState.h"
#include "tests/azsim/tool/ToolFixture.h"

namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr std::uint64_t kDiskSize = 4 * kMiB;  // vm1's data disk

// Writes `parts` (offset, bytes) into a new file of `size` bytes; what lies between stays a hole.
void MakeImage(const std::string& path, std::uint64_t size,
               const std::vector<std::pair<std::uint64_t, std::string>>& parts) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (const auto& [offset, bytes] : parts) {
        out.seekp(static_cast<std::streamoff>(offset));
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    out.close();
    std::filesystem::resize_file(path, size);
}

class WriteFile : public ToolTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(init());
        azsim::StateDocument doc = azsim::SubscriptionState(state()).load();
        disk_ = *doc.diskBlob(*doc.findVm("vm1"), 1);
        // The whole data disk holds data, but for a hole at [1.5 MiB, 1.75 MiB).
        ASSERT_EQ(0, write({"--offset", "0", "--random", "5", "--length", std::to_string(kDiskSize)}).exitCode);
        ASSERT_EQ(
            0,
            write({"--offset", std::to_string(kMiB * 3 / 2), "--zero", "--length", std::to_string(kMiB / 4)}).exitCode);
    }

    ToolResult write(std::vector<std::string> args) {
        args.insert(args.begin(), {"--vm", "vm1", "--disk", "1"});
        return onState("write", args);
    }
    std::string diskBytes() const {
        std::string bytes(kDiskSize, '\0');
        EXPECT_EQ(static_cast<std::int64_t>(kDiskSize), store().read(disk_, "", 0, &bytes[0], kDiskSize));
        return bytes;
    }
    azsim::PageBlobStore store() const { return azsim::SubscriptionState(state()).blobs(); }

    azsim::BlobKey disk_;
};

TEST_F(WriteFile, DiskReadsAsTheImageAndOnlyItsDataAndTheDisksDataAreTouched) {
    // Data, explicit zero pages, a zero page between two data pages, sparse holes inside and at the end.
    const std::string image = scratch_.sub("fs.img");
    const std::uint64_t imageSize = kMiB + 64 * 1024;
    MakeImage(image, imageSize,
              {{0, std::string(4096, 'A')},
               {4096, std::string(4096, '\0')},
               {8192, std::string(512, 'B') + std::string(512, '\0') + std::string(512, 'C')},
               {kMiB, std::string(1024, 'D')}});
    const std::string imageBytes = ReadFile(image);

    std::string expected = diskBytes();
    expected.replace(kMiB, imageBytes.size(), imageBytes);
    std::string error;
    const std::string before = store().createSnapshot(disk_, &error);
    ASSERT_FALSE(before.empty()) << error;

    ToolResult r = write({"--file", image, "--offset", std::to_string(kMiB)});
    ASSERT_EQ(0, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("6144 bytes of data written, 845824 bytes cleared")) << r.out;
    EXPECT_EQ(Sha256Hex(expected), hash({"--vm", "vm1", "--disk", "1"}));

    // Zero pages were cleared, not written, and only where the disk held data.
    azsim::PageRangeDiff diff;
    ASSERT_TRUE(store().pageRangesDiff(disk_, "", before, diff));
    const std::uint64_t w = kMiB;
    std::vector<azsim::PageRange> written = {
        {w, w + 4096}, {w + 8192, w + 8704}, {w + 9216, w + 9728}, {w + kMiB, w + kMiB + 1024}};
    std::vector<azsim::PageRange> cleared = {{w + 4096, w + 8192},
                                             {w + 8704, w + 9216},
                                             {w + 9728, kMiB * 3 / 2},
                                             {kMiB * 7 / 4, w + kMiB},
                                             {w + kMiB + 1024, w + imageSize}};
    EXPECT_EQ(written, diff.written);
    EXPECT_EQ(cleared, diff.cleared);
}

TEST_F(WriteFile, ImagesThatDoNotFitAreRefusedAndChangeNothing) {
    // Two pages, the second partial: it reads as padded with zeros.
    const std::string image = scratch_.sub("small.img");
    MakeImage(image, 1000, {{0, std::string(1000, 'E')}});
    const std::string padded = std::string(1000, 'E') + std::string(24, '\0');
    const std::string before = hash({"--vm", "vm1", "--disk", "1"});

    const struct { std::vector<std::string> args; const char* reason; } refused[] = {
        {{"--file", image, "--offset", "1000"}, "offset 1000 is not a multiple of 512"},
        {{"--file", image, "--offset", std::to_string(kDiskSize - 512)},
         "reaches past the end of the disk (4194304 bytes)"},
        {{"--file", scratch_.sub("nosuch.img")}, "nosuch.img] cannot be opened: No such file"}};
    for (const auto& c : refused) {
        ToolResult r = write(c.args);
        EXPECT_EQ(1, r.exitCode) << c.reason;
        EXPECT_NE(std::string::npos, r.err.find(c.reason)) << r.err;
    }
    EXPECT_EQ(2, write({"--file", image, "--length", "1024"}).exitCode);
    EXPECT_EQ(2, write({"--file", image, "--text", "x"}).exitCode);
    EXPECT_EQ(before, hash({"--vm", "vm1", "--disk", "1"}));

    // The last pages of the disk, and without --offset its first ones.
    ASSERT_EQ(0, write({"--file", image, "--offset", std::to_string(kDiskSize - 1024)}).exitCode);
    ASSERT_EQ(0, write({"--file", image}).exitCode);
    const std::string bytes = diskBytes();
    EXPECT_TRUE(padded == bytes.substr(kDiskSize - 1024));
    EXPECT_TRUE(padded == bytes.substr(0, 1024));
}

}  // namespace
