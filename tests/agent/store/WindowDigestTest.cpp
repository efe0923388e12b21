// The windowed disk digest: its zero constant, its windows, and what verify makes of it. That an
// incremental's digest is the one a full digest of the same disk gets, every export of one shows.
#include <algorithm>
#include <fstream>
#include <map>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "agent/store/BackupStore.h"
#include "agent/store/Integrity.h"
#include "agent/store/WindowDigest.h"
#include "tests/agent/store/StoreBuilder.h"

using namespace vsagent;
using ::testing::AllOf;
using ::testing::Contains;
using ::testing::HasSubstr;

namespace {

constexpr std::uint64_t kWindow = storetest::StoreBuilder::kWindow;
constexpr std::uint64_t kDisk = storetest::StoreBuilder::kDisk;

// Only windows that are not zeros are listed. The end-to-end tests check the root, over all windows and the
// digest of a whole window of zeros, against the cloud's; the store's tests catch a wrong count or length of windows.
TEST(WindowDigest, ZeroWindowsAreNotListedAndAnExtentTouchesEveryWindowItReaches) {
    EXPECT_EQ(ZeroWindowDigest(512), storetest::Sha256Of(std::vector<unsigned char>(512, 0)));  // the short last window
    DiskDigest digest;
    digest.diskBytes = kDisk;
    digest.setWindow(3, ZeroWindowDigest(512));
    digest.setWindow(1, std::string(64, '1'));
    EXPECT_EQ(digest.windows, (std::map<std::uint64_t, std::string>{{1, std::string(64, '1')}}));
    EXPECT_EQ(digest.windowDigest(3), ZeroWindowDigest(512));

    EXPECT_EQ(TouchedWindows({{0, 1}, {kWindow - 1, 2}, {3 * kWindow, 512}}), (std::vector<std::uint64_t>{0, 1, 3}));
    EXPECT_EQ(TouchedWindows({{kWindow, kWindow}}), (std::vector<std::uint64_t>{1}));
}

using WindowDigestStore = storetest::StoreTest;

// How verify names `window` of disk 0 of `job`, with the window's bytes.
std::string WindowOf(long long job, std::uint64_t window) {
    return "job " + std::to_string(job) + ", disk 0 [vm1-os]: window " + std::to_string(window) + " (bytes " +
           std::to_string(window * kWindow) + "-" + std::to_string(std::min(kDisk, (window + 1) * kWindow) - 1) + ")";
}

TEST_F(WindowDigestStore, AFlippedByteInAnyJobOfAChainOrItsManifestIsNamedByJobDiskAndRange) {
    for (const Manifest& job : builder.chainOfFour()) {
        const std::string folder = store.jobFolder("vm1", job.jobId);
        // A byte of every extent the job stored.
        for (const Extent& e : job.disks[0].extents) {
            const std::uint64_t at = e.start + e.length / 2;
            storetest::FlipByte(folder + "/disk0.img", at);
            EXPECT_THAT(VerifyJob(store, job).problems, Contains(HasSubstr(WindowOf(job.jobId, at / kWindow)))) << at;
            storetest::FlipByte(folder + "/disk0.img", at);
        }
        // Every window digest its manifest lists, whether the job hashed it or took it from its parent.
        const std::string path = folder + "/manifest.json";
        const std::string original = storetest::Slurp(path);
        for (std::size_t i = 0; i < job.disks[0].digest->windows.size(); ++i) {
            nlohmann::json manifest = nlohmann::json::parse(original);
            nlohmann::json& entry = manifest["disks"][0]["digest"]["windows"][i];
            std::string hex = entry[1];
            hex[10] = hex[10] == '0' ? '1' : '0';
            entry[1] = hex;
            std::ofstream(path) << manifest.dump();
            EXPECT_THAT(VerifyJob(store, *store.job(job.jobId)).problems,
                        AllOf(Contains(HasSubstr(WindowOf(job.jobId, entry[0]))),
                              Contains(AllOf(HasSubstr("the recorded window digests make up the root "),
                                             HasSubstr(", not the recorded root " + job.disks[0].digest->root)))));
        }
        std::ofstream(path) << original;
        EXPECT_TRUE(VerifyJob(store, job).problems.empty());
    }
}

}  // namespace
