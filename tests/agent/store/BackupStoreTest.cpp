// The backup store: job ids, atomic manifests, chains, verify and export.
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <thread>
#include <tuple>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "agent/store/BackupStore.h"
#include "agent/store/ChainReader.h"
#include "agent/store/Integrity.h"
#include "agent/store/SparseImage.h"
#include "agent/store/StoreError.h"
#include "tests/agent/store/StoreBuilder.h"

namespace fs = std::filesystem;
using namespace vsagent;
using storetest::ErrorOf;
using storetest::FlipByte;
using storetest::Names;
using storetest::Slurp;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

constexpr std::uint64_t kDisk = storetest::StoreBuilder::kDisk;

class BackupStoreTest : public storetest::StoreTest {
protected:
    // Why the store refuses to list its jobs; empty when it lists them.
    std::string Refusal() {
        return ErrorOf([this] { store.jobs(); });
    }

    // Jobs of the older format, whose manifest records a digest of the whole disk.
    BackupStoreTest() { builder.format = Manifest::kWholeDiskFormat; }
};

TEST_F(BackupStoreTest, OnlyJobsWithAManifestAreCompleteAndComeOldestFirstByNumberAcrossVms) {
    // Eleven jobs, so that the order by number and the order by name part at 10.
    for (int i = 1; i <= 11; ++i) builder.job({{0, 512}}, 1, nullptr, i % 3 == 0 ? "vm2" : "vm1");
    const long long unfinished = store.nextJobId();
    const std::string folder = store.createJobFolder("vm1", unfinished);
    std::ofstream(folder + "/manifest.json.tmp") << "{";  // a write cut short before the rename
    // Only folders named for a job are jobs: not a copy kept beside them, nor a file.
    fs::copy(store.jobFolder("vm1", 1), dir.path() + "/store/vm1/kept", fs::copy_options::recursive);
    std::ofstream(dir.path() + "/store/vm1/job-99") << "{}";

    EXPECT_EQ(JobIds(), (std::vector<long long>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
    const Manifest first = *store.job(1);
    // That a reference point of bytes that are not text reads back whole, every incremental end-to-end backup shows.
    // The older format reads back without a digest.
    EXPECT_EQ(std::make_pair(first.format, first.disks[0].digest.has_value()),
              std::make_pair(Manifest::kWholeDiskFormat, false));
    EXPECT_EQ(std::make_tuple(store.latestJob("vm1", "")->jobId, store.latestJob("vm2", "rg")->jobId,
                              store.latestJob("vm3", "").has_value(), store.job(unfinished).has_value()),
              std::make_tuple(11LL, 9LL, false, false));
    EXPECT_EQ(store.incompleteJobs(), std::vector<std::string>{folder});
}

TEST_F(BackupStoreTest, JobSequenceIsSharedByConcurrentWritersCheckedAndNeverHandsOutAFolderInUse) {
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

    Manifest job = builder.job({{0, 4096}}, 7, nullptr);
    ASSERT_EQ(job.jobId, 41);
    const std::string sequence = store.root() + "/job-sequence";
    for (const char* damaged : {"abc\n", "12", "-3\n", "0\n", "12\nx", "99999999999999999999\n"}) {
        std::ofstream(sequence, std::ios::trunc) << damaged;
        EXPECT_THROW(store.nextJobId(), StoreError) << damaged;
    }
    std::ofstream(sequence, std::ios::trunc) << "41\n";
    EXPECT_EQ(store.nextJobId(), 42);
    // A sequence set back (say, restored from an old copy) must not let a new job write over job 41.
    std::ofstream(sequence, std::ios::trunc) << "40\n";
    EXPECT_EQ(store.nextJobId(), 41);
    EXPECT_THROW(store.createJobFolder("vm1", 41), StoreError);
    EXPECT_TRUE(VerifyJob(store, *store.job(41)).problems.empty());
    EXPECT_NO_THROW(store.createJobFolder("vm2", 41));
}

// A write cut short (as on a full disk, the file-size limit stops it) and a rename that fails
// each leave the previous manifest whole and no temporary file.
TEST_F(BackupStoreTest, AFailedCommitLeavesThePreviousManifestWholeAndNoTemporaryFile) {
    Manifest job = builder.job({{0, 4096}}, 7, nullptr);
    const std::string folder = store.jobFolder("vm1", job.jobId);
    job.cbtStatus = "second";
    rlimit previous{};
    getrlimit(RLIMIT_FSIZE, &previous);
    const sighandler_t handler = signal(SIGXFSZ, SIG_IGN);
    const rlimit cut{64, previous.rlim_max};
    setrlimit(RLIMIT_FSIZE, &cut);
    const std::string why = ErrorOf([&] { store.commit(folder, job); });
    setrlimit(RLIMIT_FSIZE, &previous);
    signal(SIGXFSZ, handler);
    EXPECT_EQ(why.rfind("cannot write [" + folder + "/manifest.json.tmp]", 0), 0u) << why;
    ASSERT_EQ(Refusal(), "");
    EXPECT_EQ(store.job(job.jobId)->cbtStatus, "");
    EXPECT_EQ(Names(folder), (std::vector<std::string>{"disk0.img", "files", "manifest.json"}));

    const std::string taken = store.createJobFolder("vm2", store.nextJobId());
    fs::create_directories(taken + "/manifest.json/inside");
    EXPECT_THROW(store.commit(taken, job), StoreError);
    EXPECT_EQ(Names(taken + "/manifest.json"), std::vector<std::string>{"inside"});
    EXPECT_EQ(Names(taken), (std::vector<std::string>{"files", "manifest.json"}));
    fs::remove_all(taken);

    store.commit(folder, job);
    EXPECT_EQ(store.job(job.jobId)->cbtStatus, "second");
}

TEST_F(BackupStoreTest, ManifestMustMatchItsFolderAndItsImage) {
    Manifest job = builder.job({{0, 4096}}, 7, nullptr);
    const std::string folder = store.jobFolder("vm1", job.jobId);
    const std::string image = folder + "/disk0.img";
    const std::string manifest = "damaged manifest [" + folder + "/manifest.json]: job 1: ";
    for (std::uint64_t bytes : {kDisk - 1, kDisk + 1}) {
        fs::resize_file(image, bytes);
        EXPECT_EQ(Refusal(), manifest + "disks[0].imageBytes is " + std::to_string(kDisk) + " but the image [disk0.img] holds " +
                                 std::to_string(bytes) + " bytes");
    }
    fs::resize_file(image, kDisk);
    EXPECT_EQ(Refusal(), "");

    // The image must be a file of the job's own: not a link, not missing.
    fs::rename(image, folder + "/elsewhere.img");
    fs::create_symlink("elsewhere.img", image);
    EXPECT_EQ(Refusal(), manifest + "disks[0].image [disk0.img] is not a file in the job's folder");
    fs::remove(image);
    EXPECT_EQ(Refusal(), manifest + "disks[0].image [disk0.img] is not a file in the job's folder");
    fs::rename(folder + "/elsewhere.img", image);

    // A manifest copied under another job's or another VM's folder.
    fs::rename(folder, store.jobFolder("vm1", 5));
    EXPECT_NE(Refusal().find("job 1: jobId does not match the job's folder job-5"), std::string::npos) << Refusal();
    fs::create_directories(store.root() + "/vm2");
    fs::rename(store.jobFolder("vm1", 5), store.jobFolder("vm2", 1));
    EXPECT_NE(Refusal().find("job 1: vm.name [vm1] does not match the VM's folder vm2"), std::string::npos);
    fs::rename(store.jobFolder("vm2", 1), folder);
    EXPECT_EQ(Refusal(), "");
    std::ofstream(folder + "/manifest.json") << R"({"format": 1, "jobId": )";
    EXPECT_EQ(Refusal(), "damaged manifest [" + folder + "/manifest.json]: not JSON");
}

// Export replaces its output only with the disk the job recorded, and leaves nothing else behind.
TEST_F(BackupStoreTest, ChainOverlaysIncrementalsAndVerifyAndExportFindWhatDiffers) {
    Manifest full = builder.job({{0, 65536}, {524288, 8192}}, 1, nullptr);
    Manifest second = builder.job({{4096, 4096}, {524288, 512}}, 2, &full);
    Manifest third = builder.job({{0, 512}, {1000448, 4096}}, 3, &second);
    const std::string out = dir.path() + "/out.img";
    EXPECT_EQ(ExportDisk(store, third, 0, out), third.disks[0].sha256);  // the digest of the overlaid bytes
    EXPECT_THROW(ExportDisk(store, second, 1, out), StoreError);
    const std::string file = store.jobFolder("vm1", third.jobId) + "/files/vm1.json";
    std::ofstream(file) << "{}";
    third.files.push_back({"vm1.json", 2, HashFile(file)});
    store.commit(store.jobFolder("vm1", third.jobId), third);
    for (const Manifest& job : {full, second, third}) EXPECT_TRUE(VerifyJob(store, job).problems.empty());
    // A stop ends an export, which leaves nothing (that a stop ends a verify, the end-to-end store commands show).
    EXPECT_THROW(ExportDisk(store, third, 0, dir.path() + "/x.img", [] { return true; }), StoreCancelled);
    EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"out.img", "store"}));

    // The chain follows only older jobs holding the same disk.
    Manifest newerParent = second;  // as a caller might build one in memory
    newerParent.disks[0].parentJob = third.jobId;
    EXPECT_THROW(store.chain(newerParent, 0), StoreError);
    Manifest renamed = second;
    renamed.disks[0].name = "vm1-data";
    EXPECT_EQ(ErrorOf([&] { store.chain(renamed, 0); }), "job 1 holds no disk [vm1-data]");

    std::ofstream(file) << "{ }";
    EXPECT_EQ(VerifyJob(store, third).problems, std::vector<std::string>{"file [vm1.json] has changed"});
    fs::remove(file);
    EXPECT_EQ(VerifyJob(store, third).problems, std::vector<std::string>{"cannot read [" + file + "]"});

    FlipByte(store.jobFolder("vm1", full.jobId) + "/disk0.img", 30000);
    EXPECT_THAT(VerifyJob(store, full).problems, ElementsAre(HasSubstr("disk 0 [vm1-os]: the stored image disk0.img"),
                                                             HasSubstr("disk 0 [vm1-os]: the disk assembled")));
    // The incremental's own data is intact, but the disk it assembles to is not.
    EXPECT_THAT(VerifyJob(store, second).problems, ElementsAre(HasSubstr("disk 0 [vm1-os]: the disk assembled")));
    std::ofstream(out) << "previous";
    EXPECT_THROW(ExportDisk(store, second, 0, out), StoreError);
    EXPECT_EQ(Slurp(out), "previous");
    fs::remove(out);
    EXPECT_THROW(ExportDisk(store, second, 0, out), StoreError);
    EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"store"});  // no output, no temporary file

    store.discard(store.jobFolder("vm1", full.jobId));
    EXPECT_THAT(VerifyJob(store, second).problems, ElementsAre(HasSubstr("missing from the store")));
}

}  // namespace
