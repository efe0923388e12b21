// Retention: which jobs a policy keeps, and prune keeping every kept job whole,
// through synthetic fulls, a journal, and a stop at any of its steps.
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <tuple>
#include <utility>

#include <gtest/gtest.h>

#include "agent/store/Integrity.h"
#include "agent/store/Prune.h"
#include "agent/store/Retention.h"
#include "tests/agent/store/StoreBuilder.h"

namespace fs = std::filesystem;
using namespace vsagent;
using storetest::ErrorOf;

namespace {

constexpr std::uint64_t kWindow = storetest::StoreBuilder::kWindow;
constexpr std::uint64_t kDisk = storetest::StoreBuilder::kDisk;

Manifest At(long long id, const std::string& startedAt) {
    Manifest m;
    m.jobId = id;
    m.startedAt = startedAt;
    return m;
}

TEST(Retention, DurationsAreWholeNumbersWithUnits) {
    std::int64_t seconds = 0;
    std::string error;
    for (const auto& [text, expected] : {std::pair{"1d12h", 36 * 3600}, {"2w", 14 * 86400}, {"90m", 5400}}) {
        ASSERT_TRUE(ParseDuration(text, seconds, error)) << text;
        EXPECT_EQ(seconds, expected);
    }
    for (const char* bad : {"", "5", "d", "5x", "1d 2h", "-3d", "0s", "0d0h", "6000w"}) {
        EXPECT_FALSE(ParseDuration(bad, seconds, error)) << bad;
        EXPECT_NE(error.find(bad), std::string::npos) << error;
    }
}

TEST(Retention, AJobIsKeptByAnyRuleAndTheNewestAlways) {
    const std::time_t now = 1796515200;  // 2026-12-06T00:00:00Z
    const std::vector<Manifest> jobs = {At(1, "2026-11-01T00:00:00Z"), At(2, "2026-11-20T00:00:00Z"),
                                        At(3, "2026-12-04T00:00:00Z"), At(5, "2026-12-05T12:00:00Z"),
                                        At(4, "not a time")};
    struct Case {
        std::optional<long long> last;
        std::optional<std::int64_t> within;
        std::set<long long> kept;
    } cases[] = {
        {2, {}, {4, 5}},
        {{}, 3 * 86400, {3, 4, 5}},  // job 3 is two days old; job 4's time cannot be read, so it stays
        {{}, 20 * 86400, {2, 3, 4, 5}},
        {1, 3 * 86400, {3, 4, 5}},
        {{}, 60, {4, 5}},  // job 5 is older than the window, yet the next backup builds on it
    };
    for (const Case& c : cases) EXPECT_EQ(KeptJobs(jobs, {c.last, c.within}, now), c.kept);
}

class PruneTest : public storetest::StoreTest {
protected:
    void SetUp() override { jobs = builder.chainOfFour(); }

    PruneRequest KeepLast(long long n) {
        PruneRequest request;
        request.policy.keepLast = n;
        request.now = 1796515200;
        return request;
    }

    // Every job of the store verifies and exports the disk it had when it was taken.
    void ExpectEveryJobWhole(const std::string& when) {
        for (const Manifest& m : store.jobs()) {
            const VerifyResult verified = VerifyJob(store, m);
            EXPECT_TRUE(verified.problems.empty()) << when << ", job " << m.jobId << ": " << verified.problems[0];
            EXPECT_EQ(ExportDisk(store, m, 0, dir.path() + "/out.img"), builder.sha256At(m.jobId))
                << when << ", job " << m.jobId;
        }
    }

    // Jobs 1 and 2 are gone, their folders too, and job 3 is a full of its own that job 4 builds on, each
    // keeping the digest and reference point it was taken with.
    void ExpectPrunedToTheLastTwo(const std::string& when) {
        EXPECT_EQ(JobIds(), (std::vector<long long>{3, 4})) << when;
        EXPECT_EQ(storetest::Names(store.vmFolder("vm1")), (std::vector<std::string>{"job-3", "job-4"})) << when;
        EXPECT_EQ(storetest::Names(store.jobFolder("vm1", 3)),
                  (std::vector<std::string>{"files", "manifest.json", "synthetic-disk0.img"})) << when;
        const Manifest synthetic = *store.job(3), newest = *store.job(4);
        EXPECT_TRUE(synthetic.syntheticFull && !synthetic.incremental && !synthetic.disks[0].parentJob) << when;
        auto digest = [](const Manifest& m) { return m.disks[0].digest ? m.disks[0].digest->root : m.disks[0].sha256; };
        EXPECT_EQ(std::make_tuple(digest(synthetic), synthetic.referencePoint, newest.parentJob, newest.referencePoint),
                  std::make_tuple(digest(jobs[2]), jobs[2].referencePoint, jobs[3].parentJob, jobs[3].referencePoint))
            << when;
        ExpectEveryJobWhole(when);
    }

    std::vector<Manifest> jobs;
};

// The next backup builds on the newest job, so its reference point stays.
TEST_F(PruneTest, PruningTheBaseOfAChainRebuildsTheOldestKeptJobAsAFullEvenWhenStoppedAtAnyStep) {
    const std::string pristine = dir.path() + "/pristine";
    fs::copy(store.root(), pristine, fs::copy_options::recursive);
    PruneRequest dry = KeepLast(2);
    dry.dryRun = true;
    EXPECT_GT(Prune(store, dry).at(0).removedBytes, 0u);  // estimated before anything goes

    std::vector<std::string> steps;
    PruneRequest counting = KeepLast(2);
    counting.onStep = [&steps](const std::string& step) { steps.push_back(step); };
    EXPECT_EQ(Prune(store, counting).size(), 1u);
    ASSERT_EQ(steps, (std::vector<std::string>{"journal", "image 3 0", "manifest 3", "images 3", "rename 2",
                                                "remove 2", "rename 1", "remove 1", "done"}));
    ExpectPrunedToTheLastTwo("after prune");
    EXPECT_TRUE(Prune(store, KeepLast(2)).empty());  // nothing more to do

    for (std::size_t stopAt = 0; stopAt + 1 < steps.size(); ++stopAt) {
        fs::remove_all(store.root());
        fs::copy(pristine, store.root(), fs::copy_options::recursive);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            PruneRequest killed = KeepLast(2);
            std::size_t seen = 0;
            killed.onStep = [&](const std::string&) {
                if (seen++ == stopAt) _exit(0);  // as a kill would: no clean-up, no destructors
            };
            try {
                Prune(store, killed);
            } catch (...) {
            }
            _exit(1);
        }
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "stopped after " << steps[stopAt];
        ExpectEveryJobWhole("stopped after " + steps[stopAt]);

        const std::vector<PruneReport> rerun = Prune(store, KeepLast(2));
        ASSERT_EQ(rerun.size(), 1u);
        EXPECT_TRUE(rerun[0].interrupted.has_value()) << steps[stopAt];
        ExpectPrunedToTheLastTwo("finished after a stop after " + steps[stopAt]);
    }
}

class PruneOfEitherFormat : public PruneTest, public ::testing::WithParamInterface<int> {
protected:
    void SetUp() override {
        builder.format = GetParam();
        PruneTest::SetUp();
    }
};

// A byte that differs in the chain stops the prune before any job goes; once mended, the next prune finishes.
TEST_P(PruneOfEitherFormat, ADamagedChainIsNotMergedAndOnceMendedTheNextPruneFinishesIt) {
    const std::string image = store.jobFolder("vm1", 2) + "/disk0.img";
    storetest::FlipByte(image, 2 * kWindow + 100);
    const std::string why = ErrorOf([&] { Prune(store, KeepLast(2)); });
    EXPECT_NE(why.find(GetParam() == Manifest::kFormat
                           ? "job 3, disk [vm1-os]: window 2 (bytes 8388608-12582911)"
                           : "job 3, disk [vm1-os]: the disk assembled from its chain does not match"),
              std::string::npos)
        << why;
    EXPECT_EQ(JobIds(), (std::vector<long long>{1, 2, 3, 4}));
    EXPECT_TRUE(store.job(3)->incremental);
    EXPECT_FALSE(fs::exists(store.jobFolder("vm1", 3) + "/synthetic-disk0.img"));

    storetest::FlipByte(image, 2 * kWindow + 100);
    const std::vector<PruneReport> reports = Prune(store, KeepLast(2));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_TRUE(reports[0].interrupted.has_value());
    EXPECT_EQ(store.job(3)->format, GetParam());
    ExpectPrunedToTheLastTwo("once mended");
}

INSTANTIATE_TEST_SUITE_P(Formats, PruneOfEitherFormat, ::testing::Values(Manifest::kFormat, Manifest::kWholeDiskFormat));

// Every file of the store with its size, to show that a refusal changed nothing.
std::map<std::string, std::uintmax_t> Files(const std::string& root) {
    std::map<std::string, std::uintmax_t> files;
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file()) files[e.path().string()] = e.file_size();
    return files;
}

TEST_F(PruneTest, AVmInUseAnUnknownVmOrAJournalThatDoesNotHoldIsRefused) {
    {
        std::optional<FolderLock> backup = store.lockVm("vm1", FolderLock::Mode::Shared, true);
        EXPECT_THROW(Prune(store, KeepLast(1)), StoreError);
        PruneRequest dry = KeepLast(1);
        dry.dryRun = true;
        EXPECT_EQ(Prune(store, dry).size(), 1u);
    }
    const std::string journal = store.vmFolder("vm1") + "/prune-journal.json";
    const std::string keep3 = R"("policy": {"now": 1796515200, "keepLast": 3})";
    struct Case {
        std::string body;  // the journal less its format and VM, or a whole document
        const char* text;
    } cases[] = {
        {"{", "not JSON"},
        {R"({"format": 2, "vm": "vm2", "remove": [1], "synthesize": [], "policy": {"now": 1, "keepLast": 1}})", "another VM"},
        {R"({"format": 1, "vm": "vm1", "remove": [1], "synthesize": []})", "format must be 2"},
        {R"("remove": [1], "synthesize": [{"job": 2, "images": [{"disk": 0, "image": "disk0.img", "newImage": "manifest.json"}]}], )" + keep3, "newImage must be"},
        {R"("remove": [2], "synthesize": [{"job": 2, "images": []}], )" + keep3, "both removed and kept"},
        {R"("remove": [1], "synthesize": [])", "policy is missing"},
        {R"("remove": [1], "synthesize": [], "policy": {"now": 1})", "keeps nothing"},
        {R"("remove": [4], "synthesize": [], "policy": {"now": 1796515200, "keepLast": 5})", "removes job 4, the newest"},
        {R"("remove": [1, 2, 3, 4], "synthesize": [], )" + keep3, "removes job 4, the newest"},
        {R"("remove": [1, 2], "synthesize": [{"job": 3, "images": []}], )" + keep3, "removes job 2, which the policy"},
        {R"("remove": [1], "synthesize": [], )" + keep3, "job 2, which it keeps, builds on job 1"},
        {R"("remove": [1], "synthesize": [{"job": 9, "images": []}], )" + keep3, "job 9, which it rebuilds"},
        {R"("remove": [1], "synthesize": [{"job": 2, "images": [{"disk": 1, "image": "disk0.img", "newImage": "synthetic-disk0.img"}]}], )" + keep3, "disk 1 of job 2 does not exist"},
        {R"("remove": [1], "synthesize": [{"job": 2, "images": [{"disk": 0, "image": "disk1.img", "newImage": "synthetic-disk1.img"}]}], )" + keep3, "is the image [disk0.img], neither"},
    };
    const std::map<std::string, std::uintmax_t> before = Files(store.root());
    for (const Case& c : cases) {
        const std::string document = c.body[0] == '{' ? c.body : R"({"format": 2, "vm": "vm1", )" + c.body + "}";
        std::ofstream(journal) << document;
        const std::string why = ErrorOf([&] { Prune(store, KeepLast(1)); });
        EXPECT_NE(why.find(c.text), std::string::npos) << c.text << " / " << why << " / " << document;
        fs::remove(journal);
        EXPECT_EQ(Files(store.root()), before) << document;
    }
    PruneRequest unknown = KeepLast(1);
    unknown.vmName = "vm9";
    EXPECT_EQ(ErrorOf([&] { Prune(store, unknown); }), "the store holds no backup of VM [vm9]");
    // A sound journal is finished before the new policy applies.
    std::ofstream(journal) << R"({"format": 2, "vm": "vm1", "remove": [], "synthesize": [{"job": 2, "images": [{"disk": 0, )"
                              R"("image": "disk0.img", "newImage": "synthetic-disk0.img"}]}], )" + keep3 + "}";
    const PruneReport finished = Prune(store, KeepLast(3)).at(0);
    EXPECT_EQ(std::make_tuple(finished.interrupted.has_value(), store.job(2)->syntheticFull, finished.plan.remove,
                              finished.plan.synthesize.size()),
              std::make_tuple(true, true, std::vector<long long>{1}, std::size_t{0}));
    ExpectEveryJobWhole("after a journal and a policy");
}

// Each VM of a folder's name in its own resource group, and each VM of a group, keeps its own jobs;
// a kept job that builds on kept ones stays as it is.
TEST_F(PruneTest, ThePolicyKeepsTheJobsOfEachVmInEachGroup) {
    const Manifest other = builder.job({{0, 4096}}, 5, nullptr, "vm1", "rg2");
    builder.job({{4096, 4096}}, 6, &other, "vm1", "rg2");
    const Manifest vm2 = builder.job({{0, 512}}, 7, nullptr, "vm2");
    builder.job({{512, 512}}, 8, &vm2, "vm2");
    PruneRequest onlyVm2 = KeepLast(1);
    onlyVm2.vmName = "vm2";
    ASSERT_EQ(Prune(store, onlyVm2).size(), 1u);
    EXPECT_EQ(JobIds(), (std::vector<long long>{1, 2, 3, 4, 5, 6, 8}));
    ASSERT_EQ(Prune(store, KeepLast(3)).size(), 1u);
    EXPECT_EQ(JobIds(), (std::vector<long long>{2, 3, 4, 5, 6, 8}));
    EXPECT_EQ(std::make_pair(store.job(2)->syntheticFull, store.job(3)->incremental), std::make_pair(true, true));
    ExpectEveryJobWhole("after keeping three of each");
}

}  // namespace
