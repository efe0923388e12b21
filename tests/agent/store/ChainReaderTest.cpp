// Sparse images, reading a disk through its backup chain, and exporting it to a sparse file.
#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <vector>

#include <gtest/gtest.h>

#include "agent/store/BackupStore.h"
#include "agent/store/ChainReader.h"
#include "agent/store/Integrity.h"
#include "agent/store/SparseImage.h"
#include "agent/store/StoreError.h"
#include "tests/agent/store/StoreBuilder.h"

using namespace vsagent;
using Bytes = std::vector<unsigned char>;

namespace {

// The runs of a file's bytes the file system holds as data, every other byte a hole.
ExtentList DataRuns(const std::string& path) {
    ExtentList runs;
    const int fd = ::open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0) << path;
    for (off_t at = ::lseek(fd, 0, SEEK_DATA); at >= 0; at = ::lseek(fd, at, SEEK_DATA)) {
        const off_t end = ::lseek(fd, at, SEEK_HOLE);
        runs.push_back({static_cast<std::uint64_t>(at), static_cast<std::uint64_t>(end - at)});
        at = end;
    }
    ::close(fd);
    return runs;
}

Bytes Read(const ChainReader& reader, std::uint64_t offset, std::size_t length) {
    Bytes out(length, 0xcc);
    reader.read(offset, length, out.data());
    return out;
}

class ChainReaderTest : public ::testing::Test {
protected:
    // A job's image of 64 KiB holding `fill` inside `extents` and 9s everywhere else, written as
    // plain file bytes, so that zeros inside extents are really there.
    ChainLink Layer(const ExtentList& extents, unsigned char fill) {
        Bytes image(65536, 9);
        for (const Extent& e : extents) std::fill(&image[e.start], &image[e.start] + e.length, fill);
        const std::string path = dir.path() + "/layer" + std::to_string(++layers) + ".img";
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(image.data()),
                                                    static_cast<std::streamsize>(image.size()));
        return {layers, path, extents};
    }

    testsupport::TempDir dir;
    long long layers = 0;
};

TEST_F(ChainReaderTest, EachByteComesFromTheNewestJobThatStoredItWithinTheDisk) {
    // Oldest job first; none of the 9s outside what a job stored shows, nor older bytes under a newer job's.
    const std::vector<ExtentList> stored = {{{0, 4096}, {8192, 8192}, {30000, 100}},
                                            {{4096, 8192}, {20000, 100}, {60000, 5536}},
                                            {{20050, 100}, {40000, 10}}};
    const unsigned char fills[] = {1, 0, 3};
    std::vector<ChainLink> links;
    Bytes expected(61000, 0);
    for (std::size_t i = 0; i < stored.size(); ++i) {
        links.push_back(Layer(stored[i], fills[i]));
        for (const Extent& e : stored[i])
            std::fill(&expected[e.start], &expected[0] + std::min<std::uint64_t>(e.end(), 61000), fills[i]);
    }
    const ChainReader reader(links, 61000);
    // Touching extents of different jobs join, overlapping ones merge, the disk's end clips.
    EXPECT_EQ(reader.dataExtents(),
              (ExtentList{{0, 16384}, {20000, 150}, {30000, 100}, {40000, 10}, {60000, 1000}}));
    EXPECT_EQ(Read(reader, 0, 61000), expected);
    EXPECT_EQ(Read(reader, 4000, 200), Bytes(expected.begin() + 4000, expected.begin() + 4200));
}

TEST_F(ChainReaderTest, ImageWritesLeaveEveryZeroBlockAHoleAndReadsStopAtTheEnd) {
    // From offset 1000: zeros to the first block boundary, one block of data, a
    // block of zeros, then data into a last, partial block.
    const std::string path = dir.path() + "/img";
    SparseImage image = SparseImage::Create(path, 1 << 20);
    Bytes data(13000 - 1000, 0);
    std::fill(data.begin() + (4096 - 1000), data.begin() + (8192 - 1000), 5);
    std::fill(data.begin() + (12288 - 1000), data.end(), 6);
    image.write(1000, data.data(), data.size());
    image.sync();
    EXPECT_EQ(DataRuns(path), (ExtentList{{4096, 4096}, {12288, 4096}}));
    Bytes back(data.size());
    image.read(1000, back.data(), back.size());
    EXPECT_EQ(back, data);
    // Whole aligned windows, which may bypass the page cache, are written and read back by every export and verify.
    EXPECT_THROW(image.read((1 << 20) - 10, back.data(), 20), StoreError);  // past the end
}

using ChainExport = storetest::StoreTest;

TEST_F(ChainExport, ZeroBlocksInsideDataAndEmptyWindowsAreHoles) {
    constexpr std::uint64_t kWindow = storetest::StoreBuilder::kWindow;
    const std::string out = dir.path() + "/out.img";
    // Window 0 holds 1s, then zeros an incremental stored over them, then 1s; window 2 one block.
    const Manifest full = builder.job({{0, 12288}, {2 * kWindow + 20480, 4096}}, 1, nullptr);
    const Manifest incremental = builder.job({{4096, 4096}}, 0, &full);
    EXPECT_EQ(ExportDisk(store, incremental, 0, out), builder.sha256At(incremental.jobId));
    const std::string written = storetest::Slurp(out);
    EXPECT_EQ(Bytes(written.begin(), written.end()), builder.bytesAt(incremental.jobId));
    EXPECT_EQ(DataRuns(out), (ExtentList{{0, 4096}, {8192, 4096}, {2 * kWindow + 20480, 4096}}));
}

}  // namespace
