// The backup store: job ids, atomic manifests, sparse images, chains, verify and export.
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "agent/store/AlignedBuffer.h"
#include "agent/store/BackupStore.h"
#include "agent/store/ChainReader.h"
#include "agent/store/Integrity.h"
#include "agent/store/Sha256.h"
#include "agent/store/SparseImage.h"
#include "agent/store/StoreError.h"
#include "tests/support/SimulatedCloud.h"

namespace fs = std::filesystem;
using namespace vsagent;

namespace {

constexpr std::uint64_t kDisk = 1 << 20;

class BackupStoreTest : public ::testing::Test {
protected:
    // A job of VM "vm1" whose disk 0 holds `fill` over `extents`, optionally over `parent`.
    Manifest StoreJob(const ExtentList& extents, unsigned char fill, std::optional<long long> parent) {
        long long id = store.nextJobId();
        std::string folder = store.createJobFolder("vm1", id);
        SparseImage image = SparseImage::Create(folder + "/disk0.img", kDisk);
        for (const Extent& e : extents) {
            std::vector<unsigned char> data(e.length, fill);
            image.write(e.start, data.data(), data.size());
        }
        for (const Extent& e : extents)
            for (std::uint64_t i = e.start; i < e.end(); ++i) expected[i] = fill;
        Manifest m;
        m.jobId = id;
        m.vmName = "vm1";
        m.resourceGroup = "rg";
        m.incremental = parent.has_value();
        m.parentJob = parent;
        m.referencePoint = std::string("\x01\x00\xffref", 6);
        DiskRecord d;
        d.name = "vm1-os";
        d.imageBytes = kDisk;
        d.image = "disk0.img";
        d.extents = extents;
        d.parentJob = parent;
        d.dataSha256 = HashExtents(image, extents);
        Sha256 sha;
        sha.update(expected.data(), expected.size());
        d.sha256 = sha.hex();
        m.disks.push_back(d);
        store.commit(folder, m);
        return m;
    }

    testsupport::TempDir dir;
    BackupStore store{dir.path() + "/store"};
    std::vector<unsigned char> expected = std::vector<unsigned char>(kDisk, 0);
};

TEST_F(BackupStoreTest, JobIdsAreASequenceSharedByConcurrentWriters) {
    std::vector<long long> ids(40);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            BackupStore own(dir.path() + "/store");
            for (int i = 0; i < 10; ++i) ids[static_cast<std::size_t>(t * 10 + i)] = own.nextJobId();
        });
    for (std::thread& t : threads) t.join();
    std::sort(ids.begin(), ids.end());
    for (std::size_t i = 0; i < ids.size(); ++i) EXPECT_EQ(ids[i], static_cast<long long>(i + 1));
}

TEST_F(BackupStoreTest, OnlyJobsWithAManifestAreComplete) {
    Manifest full = StoreJob({{0, 4096}}, 7, std::nullopt);
    long long unfinished = store.nextJobId();
    std::string folder = store.createJobFolder("vm1", unfinished);
    std::ofstream(folder + "/manifest.json.tmp") << "{";  // a write cut short before the rename

    std::vector<Manifest> jobs = store.jobs();
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0].jobId, full.jobId);
    EXPECT_EQ(jobs[0].referencePoint, full.referencePoint);  // binary bytes survive the JSON
    EXPECT_EQ(store.incompleteJobs(), std::vector<std::string>{folder});
    EXPECT_FALSE(store.job(unfinished).has_value());
    EXPECT_EQ(store.latestJob("vm1", "")->jobId, full.jobId);
    EXPECT_FALSE(store.latestJob("vm1", "other-group").has_value());
    EXPECT_FALSE(fs::exists(folder + "/manifest.json"));

    store.discard(folder);
    EXPECT_TRUE(store.incompleteJobs().empty());
}

TEST_F(BackupStoreTest, ImagesStaySparseAndSkipZeroBlocks) {
    std::string path = dir.path() + "/img";
    SparseImage image = SparseImage::Create(path, 64ull << 20);
    std::vector<unsigned char> zeros(1 << 20, 0);
    std::vector<unsigned char> data(4096, 0x5a);
    image.write(0, zeros.data(), zeros.size());
    image.write(32ull << 20, data.data(), data.size());
    image.sync();
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), 64ull << 20);
    EXPECT_LE(st.st_blocks * 512, 64 * 1024);

    std::vector<unsigned char> back(8192, 1);
    SparseImage::Open(path).read((32ull << 20) - 4096, back.data(), back.size());
    EXPECT_EQ(back[4095], 0);
    EXPECT_EQ(back[4096], 0x5a);
    EXPECT_THROW(SparseImage::Open(path).read((64ull << 20) - 10, back.data(), 20), StoreError);
}

TEST_F(BackupStoreTest, AlignedAndUnalignedTransfersSeeEachOthersBytes) {
    // Aligned transfers may bypass the page cache and others go through it; both
    // must always see the same file.
    std::string path = dir.path() + "/img";
    SparseImage image = SparseImage::Create(path, 1 << 20);
    AlignedBuffer block = MakeAlignedBuffer(16384);
    std::memset(block.get(), 0x11, 16384);
    image.write(4096, block.get(), 16384);         // aligned
    std::vector<unsigned char> odd(1024, 0x22);
    image.write(4096 + 512, odd.data(), odd.size());  // inside the aligned range, unaligned
    std::memset(block.get(), 0x33, 4096);
    image.write(8192, block.get(), 4096);          // aligned, over a page the unaligned write did not touch

    std::vector<unsigned char> expected(16384, 0x11);
    std::fill(expected.begin() + 512, expected.begin() + 1536, 0x22);
    std::fill(expected.begin() + 4096, expected.begin() + 8192, 0x33);
    AlignedBuffer back = MakeAlignedBuffer(16384);
    image.read(4096, back.get(), 16384);  // aligned read
    EXPECT_EQ(0, std::memcmp(back.get(), expected.data(), expected.size()));
    std::vector<unsigned char> unaligned(16384 - 100);
    SparseImage::Open(path).read(4096 + 100, unaligned.data(), unaligned.size());
    EXPECT_EQ(0, std::memcmp(unaligned.data(), expected.data() + 100, unaligned.size()));
}

TEST_F(BackupStoreTest, ChainOverlaysIncrementalsOnTheFullBackupForExport) {
    Manifest full = StoreJob({{0, 65536}, {524288, 8192}}, 1, std::nullopt);
    Manifest second = StoreJob({{4096, 4096}, {524288, 512}}, 2, full.jobId);
    Manifest third = StoreJob({{0, 512}, {1000448, 4096}}, 3, second.jobId);

    std::vector<ChainLink> links = store.chain(third, 0);
    ASSERT_EQ(links.size(), 3u);
    EXPECT_EQ(links.front().jobId, full.jobId);
    EXPECT_EQ(links.back().jobId, third.jobId);

    std::string out = dir.path() + "/export.img";
    EXPECT_EQ(ExportDisk(store, third, 0, out), third.disks[0].sha256);
    std::vector<char> bytes(kDisk);
    std::ifstream(out, std::ios::binary).read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    EXPECT_EQ(bytes[0], 3);
    EXPECT_EQ(bytes[512], 1);
    EXPECT_EQ(bytes[4096], 2);
    EXPECT_EQ(bytes[524288 + 512], 1);
    EXPECT_EQ(bytes[524288], 2);
    EXPECT_EQ(bytes[1000448 + 4095], 3);
    EXPECT_EQ(bytes[900000], 0);

    // The middle job, exported on its own, does not see the third job's writes.
    EXPECT_EQ(ExportDisk(store, second, 0, out), second.disks[0].sha256);
    EXPECT_THROW(ExportDisk(store, second, 1, out), StoreError);
}

TEST_F(BackupStoreTest, VerifyFindsAFlippedByteAndAMissingParent) {
    Manifest full = StoreJob({{0, 65536}}, 9, std::nullopt);
    Manifest incremental = StoreJob({{8192, 4096}}, 4, full.jobId);
    EXPECT_TRUE(VerifyJob(store, full).problems.empty());
    EXPECT_TRUE(VerifyJob(store, incremental).problems.empty());

    std::string image = store.jobFolder("vm1", full.jobId) + "/disk0.img";
    std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(30000);
    f.put(static_cast<char>(9 ^ 0x10));
    f.close();
    VerifyResult damaged = VerifyJob(store, full);
    ASSERT_EQ(damaged.problems.size(), 2u);  // the stored data and the assembled disk
    EXPECT_NE(damaged.problems[0].find("disk 0 [vm1-os]"), std::string::npos);
    // The incremental's own data is intact, but the disk it assembles to is not.
    EXPECT_EQ(VerifyJob(store, incremental).problems.size(), 1u);
    EXPECT_THROW(ExportDisk(store, incremental, 0, dir.path() + "/x.img"), StoreError);

    store.discard(store.jobFolder("vm1", full.jobId));
    VerifyResult orphan = VerifyJob(store, incremental);
    ASSERT_EQ(orphan.problems.size(), 1u);
    EXPECT_NE(orphan.problems[0].find("missing from the store"), std::string::npos);
}

TEST_F(BackupStoreTest, DamagedManifestIsReportedNotTrusted) {
    StoreJob({{0, 512}}, 1, std::nullopt);
    std::ofstream(store.jobFolder("vm1", 1) + "/manifest.json") << R"({"format": 1, "jobId": 1})";
    EXPECT_THROW(store.jobs(), StoreError);
    EXPECT_THROW(Base64Decode("abc"), StoreError);
}

}  // namespace
