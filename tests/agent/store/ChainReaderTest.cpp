// Reading a disk through its backup chain, and exporting it to a sparse file.
#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "agent/store/BackupStore.h"
#include "agent/store/ChainReader.h"
#include "agent/store/Integrity.h"
#include "agent/store/SparseImage.h"
#include "tests/agent/store/StoreBuilder.h"
#include "tests/support/SimulatedCloud.h"

using namespace vsagent;
using Bytes = std::vector<unsigned char>;

namespace {

// Random extents of a disk of `size` bytes, sorted and disjoint, of any byte alignment.
ExtentList RandomExtents(std::mt19937& random, std::uint64_t size, std::uint64_t longest) {
    ExtentList extents;
    std::uint64_t at = random() % (size / 4);
    while (at < size && extents.size() < 5) {
        const std::uint64_t length = std::min<std::uint64_t>(1 + random() % longest, size - at);
        extents.push_back({at, length});
        at += length + 1 + random() % (size / 4);
    }
    return extents;
}

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

TEST_F(ChainReaderTest, ImageWritesLeaveEveryZeroBlockAHole) {
    // From offset 1000: zeros to the first block boundary, one block of data, a
    // block of zeros, then data into a last, partial block.
    const std::string path = dir.path() + "/img";
    SparseImage image = SparseImage::Create(path, 65536);
    Bytes data(13000 - 1000, 0);
    std::fill(data.begin() + (4096 - 1000), data.begin() + (8192 - 1000), 5);
    std::fill(data.begin() + (12288 - 1000), data.end(), 6);
    image.write(1000, data.data(), data.size());
    image.sync();
    EXPECT_EQ(DataRuns(path), (ExtentList{{4096, 4096}, {12288, 4096}}));
    Bytes back(data.size());
    image.read(1000, back.data(), back.size());
    EXPECT_EQ(back, data);
}

class ChainExport : public ::testing::Test {
protected:
    static constexpr std::uint64_t kWindow = storetest::StoreBuilder::kWindow;

    Bytes Exported(const Manifest& job) {
        EXPECT_EQ(ExportDisk(built.store, job, 0, out), built.sha256At(job.jobId));
        std::ifstream in(out, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }

    testsupport::TempDir dir;
    storetest::StoreBuilder built{dir.path() + "/store"};
    std::string out = dir.path() + "/out.img";
};

TEST_F(ChainExport, ZeroBlocksInsideDataAndEmptyWindowsAreHoles) {
    // Window 0 holds 1s, then zeros an incremental stored over them, then 1s; window 2 one block.
    const Manifest full = built.job({{0, 12288}, {2 * kWindow + 20480, 4096}}, 1, nullptr);
    const Manifest incremental = built.job({{4096, 4096}}, 0, &full);
    EXPECT_EQ(Exported(incremental), built.bytesAt(incremental.jobId));
    EXPECT_EQ(DataRuns(out), (ExtentList{{0, 4096}, {8192, 4096}, {2 * kWindow + 20480, 4096}}));
}

TEST_F(ChainExport, ADeepChainExportsTheDiskItsJobsMadeUp) {
    constexpr std::uint64_t kDisk = storetest::StoreBuilder::kDisk;
    std::mt19937 random(5);
    std::optional<Manifest> job;
    std::vector<bool> stored(kDisk, false);
    for (int i = 0; i < 30; ++i) {
        const unsigned char fill = random() % 4 == 0 ? 0 : static_cast<unsigned char>(1 + random() % 255);
        const ExtentList extents = RandomExtents(random, kDisk, 300000);
        for (const Extent& e : extents) std::fill(stored.begin() + e.start, stored.begin() + e.end(), true);
        job = built.job(extents, fill, job ? &*job : nullptr);
    }
    const Bytes& disk = built.bytesAt(job->jobId);
    EXPECT_EQ(Exported(*job), disk);
    // Reads of any offset and length, and the data extents: every byte some job stored, in runs.
    const ChainReader reader(built.store.chain(*job, 0), kDisk);
    for (int i = 0; i < 20; ++i) {
        const std::uint64_t from = random() % kDisk;
        const std::size_t length = random() % std::min<std::uint64_t>(kDisk - from, 1 << 20);
        EXPECT_EQ(Read(reader, from, length), Bytes(&disk[from], &disk[from] + length)) << from;
    }
    ExtentList runs;
    for (std::uint64_t i = 0; i < kDisk; ++i)
        if (stored[i] && (runs.empty() || runs.back().end() != i))
            runs.push_back({i, 1});
        else if (stored[i])
            ++runs.back().length;
    EXPECT_EQ(reader.dataExtents(), runs);
}

}  // namespace
