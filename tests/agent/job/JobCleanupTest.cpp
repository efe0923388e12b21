// What a job leaves behind: its record, the lock that tells a live job from a dead
// one, the clean-up of dead jobs, and a failed job removing its own set and folder.
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <tuple>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "agent/job/BackupJob.h"
#include "agent/job/JobCleanup.h"
#include "agent/job/JobRecord.h"
#include "host/log/JobIdentity.h"
#include "host/vminfo/CVMInfo.h"
#include "tests/support/SimulatedCloud.h"

namespace fs = std::filesystem;
using namespace vsagent;

namespace {

// A plugin that mounts by making snapshot set "set-<job>", and can be told to fail or throw there.
class FakePlugin : public CVMInfo {
public:
    FakePlugin() : CVMInfo(VSINST_AZURE_RESOURCE_MANAGER) {}

    int GetVMInfoForVM(const std::string& name, const std::string&, const std::string&, UINT64, int,
                       SVMInfo& out) override {
        out.name = name;
        out.guid = "guid-" + name;
        out.resourceGroup = "rg";
        return 1;
    }
    int MountVM(const MountCtx& ctx) override {
        const_cast<MountCtx&>(ctx).backupSnapshotGuid = "set-" + std::to_string(ctx.jobId);
        if (mountThrows) throw std::runtime_error("invalid UTF-8 byte at index 3: 0xFF");
        return 0;  // a failed mount that could not delete its set
    }
    int UnmountVM(const MountCtx&) override {
        ++unmounts;
        return 1;
    }
    int CleanupVM(const MountCtx& ctx) override {
        removed.push_back(ctx.vmGuid + "/" + ctx.backupSnapshotGuid);
        return cleanupWorks ? 1 : 0;
    }

    bool mountThrows = false;
    bool cleanupWorks = true;
    int unmounts = 0;
    std::vector<std::string> removed;
};

class JobCleanup : public ::testing::Test {
protected:
    // A job folder as a job of VM `vm` leaves it, with a record naming `set`.
    std::string JobFolder(const std::string& vm, long long job, const std::string& set) {
        std::string folder = store.createJobFolder(vm, job);
        JobRecord{job, vm, "guid-" + vm, "rg", set, ""}.write(folder);
        return folder;
    }
    std::string Record(const std::string& folder) {
        std::ifstream in(folder + "/job-record.json");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    void Rewrite(const std::string& folder, const std::string& text) { std::ofstream(folder + "/job-record.json") << text; }

    testsupport::TempDir dir;
    BackupStore store{dir.path() + "/store"};
    FakePlugin plugin;
};

// What a sound record reads back as, the clean-up of dead jobs shows.
TEST_F(JobCleanup, RecordIsTrustedOnlyInTheFolderOfItsOwnJob) {
    const std::string folder = JobFolder("vm1", 4, "set-4");
    ASSERT_TRUE(JobRecord::Read(folder));
    const std::string good = Record(folder);
    // The record of job 4 copied to another job's folder, or to another VM's.
    for (const auto& [vm, job] : {std::pair{"vm1", 5}, std::pair{"vm2", 4}}) {
        Rewrite(store.createJobFolder(vm, job), good);
        EXPECT_FALSE(JobRecord::Read(store.jobFolder(vm, job))) << vm << " job " << job;
    }

    auto patched = [&good](const nlohmann::json& patch) {
        nlohmann::json document = nlohmann::json::parse(good);
        document.merge_patch(patch);
        return document.dump();
    };
    for (const std::string& damaged :
         {good.substr(0, good.size() / 2), std::string("[]"), patched({{"snapshotSetGuid", "set 4"}}),
          patched({{"format", 2}}), patched({{"vm", {{"guid", ""}}}}), patched({{"jobId", "4"}})}) {
        Rewrite(folder, damaged);
        EXPECT_FALSE(JobRecord::Read(folder)) << damaged;
    }
    EXPECT_FALSE(JobRecord::Read(dir.path())) << "no record at all";
}

TEST_F(JobCleanup, OnlyDeadJobsOfTheVmAreUndoneAndOnlyWhatTheyRecorded) {
    const std::string dead = JobFolder("vm1", 1, "set-1");
    const std::string deadBeforeItsSet = JobFolder("vm1", 2, "");
    const std::string live = JobFolder("vm1", 3, "set-3");
    const std::string otherVm = JobFolder("vm2", 4, "set-4");
    const std::string unrecorded = store.createJobFolder("vm1", 5);
    FolderLock held = FolderLock::Hold(live, FolderLock::Mode::Exclusive);

    // A dead job whose set cannot be removed is kept, record and all, for a later run.
    plugin.cleanupWorks = false;
    std::vector<std::string> notes = CleanUpDeadJobs(plugin, store, "guid-vm1");
    EXPECT_THAT(notes, testing::ElementsAre(testing::HasSubstr("is kept for a later run"),
                                            testing::HasSubstr("removed the folder of job 2,")));
    EXPECT_TRUE(JobRecord::Read(dead));
    EXPECT_FALSE(fs::exists(deadBeforeItsSet));

    plugin.cleanupWorks = true;
    notes = CleanUpDeadJobs(plugin, store, "guid-vm1");
    EXPECT_EQ(plugin.removed, (std::vector<std::string>{"guid-vm1/set-1", "guid-vm1/set-1"}));
    EXPECT_THAT(notes, testing::ElementsAre(testing::HasSubstr("removed snapshot set [set-1] and the folder of job 1,")));
    EXPECT_FALSE(fs::exists(dead));
    for (const std::string& kept : {live, otherVm, unrecorded}) EXPECT_TRUE(fs::exists(kept)) << kept;
}

TEST_F(JobCleanup, FailedJobRemovesTheSetItsMountLeftAndItsFolder) {
    BackupRequest request;
    request.vmName = "vm1";
    // A mount that returned its failure has unmounted itself; one that throws is unmounted by the
    // job, and its text is the job's failure.
    for (const bool throws : {false, true}) {
        plugin.mountThrows = throws;
        const long long job = throws ? 8 : 7;
        BackupResult failed = BackupJob(plugin, store, [] { return false; }).run(request, job);
        EXPECT_EQ(std::make_tuple(failed.ok, failed.failedStep, plugin.unmounts),
                  std::make_tuple(false, std::string("MountVM"), throws ? 1 : 0));
        EXPECT_EQ(failed.errorDetails.find("invalid UTF-8 byte") != std::string::npos, throws) << failed.errorDetails;
    }
    // That the folder of a failed job goes with its set, the end-to-end failed backups show.
    EXPECT_EQ(plugin.removed, (std::vector<std::string>{"guid-vm1/set-7", "guid-vm1/set-8"}));

    // A set that cannot be removed keeps the folder and the record naming it.
    // The record names the job's GUID, the mark of what it made, as the job identity gave it.
    plugin.cleanupWorks = false;
    EvEvent::setJobGuid("0c9d8e7f-6a5b-4c3d-8e1f-000000000009");
    BackupJob(plugin, store, [] { return false; }).run(request, 9);
    ASSERT_EQ(store.incompleteJobs().size(), 1u);
    const std::optional<JobRecord> record = JobRecord::Read(store.incompleteJobs().front());
    EXPECT_EQ(std::tie(record->snapshotSetGuid, record->jobGuid),
              std::make_tuple("set-9", "0c9d8e7f-6a5b-4c3d-8e1f-000000000009"));
}

}  // namespace
