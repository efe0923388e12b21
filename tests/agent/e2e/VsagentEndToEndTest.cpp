// vsagent run as a person runs it, on a simulated subscription of the test's own.
#include "agent/store/Manifest.h"
#include "host/message/VMReferencePointInfo.h"
#include "tests/agent/e2e/VsagentFixture.h"

using e2e::json;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

using e2e::Vsagent;

// Full, incremental, incremental of a managed and an unmanaged VM in one store; every export equals
// the cloud's disk at its backup time, also once prune has removed the chain's base. Each job's root
// digests equal the cloud's at its time, and a full backup of the last state gets the roots the last
// incremental got.
TEST_F(Vsagent, BackupChainsOfManagedAndUnmanagedVmsExportAsTheCloudHadThemAlsoOncePruned) {
    for (const auto& [vm, disks] : {std::pair<std::string, int>{"web-linux01", 3}, {"legacy-vm01", 2}}) {
        SCOPED_TRACE(vm);
        std::vector<std::vector<std::string>> atBackup;
        std::vector<json> jobs;
        std::vector<std::vector<std::string>> rootsAtBackup;
        for (int round = 0; round < 3; ++round) {
            if (round > 0)
                for (int d = 0; d < disks; ++d) {
                    GuestWrite(vm, d, (1 + d + round) * 1048576ull, 65536, round * 10 + d);
                    GuestWrite(vm, d, 200 * 1048576ull + round * 4096, 4096, round * 10 + d + 5);
                }
            atBackup.push_back(CloudHashes(vm, disks));
            rootsAtBackup.push_back(CloudHashes(vm, disks, true));
            jobs.push_back(Backup(vm));
            EXPECT_EQ(Roots(jobs.back()), rootsAtBackup.back()) << "job " << jobs.back()["jobId"];
        }
        ASSERT_EQ(jobs[0]["backupType"], "full");
        for (int round = 1; round < 3; ++round) {
            EXPECT_EQ(jobs[round]["parentJob"], jobs[round - 1]["jobId"]);
            std::uint64_t written = static_cast<std::uint64_t>(disks) * (65536 + 4096);
            EXPECT_GE(jobs[round]["bytesRead"].get<std::uint64_t>(), written);
            EXPECT_LE(jobs[round]["bytesRead"].get<std::uint64_t>(), written * 11 / 10);
        }
        auto listed = [&](const json& job) {
            const json list = List()["jobs"];
            auto at = std::find_if(list.begin(), list.end(), [&](const json& j) { return j["jobId"] == job["jobId"]; });
            return at == list.end() ? json() : *at;
        };
        for (int round = 0; round < 3; ++round) {
            ASSERT_EQ(jobs[round]["disks"].size(), static_cast<std::size_t>(disks));
            for (int d = 0; d < disks; ++d)
                EXPECT_EQ(Export(jobs[round]["jobId"], d), atBackup[round][d]) << "job " << jobs[round]["jobId"];
            if (round > 0) continue;
            // Keeping the last two removes the base; the first incremental becomes a synthetic full.
            e2e::Run dry = Agent({"prune", "--store", store, "--vm", vm, "--keep-last", "2", "--dry-run"});
            EXPECT_THAT(dry.out, HasSubstr("jobs would be removed: " + jobs[0]["jobId"].dump() + "\n"));
            EXPECT_THAT(dry.out, HasSubstr("job " + jobs[1]["jobId"].dump() + " would become a synthetic full"));
            e2e::Run pruned = Agent({"prune", "--store", store, "--vm", vm, "--keep-last", "2"});
            EXPECT_THAT(pruned.out, HasSubstr("jobs removed: " + jobs[0]["jobId"].dump() + "\n"));
            EXPECT_THAT(pruned.out, HasSubstr("freed "));
            const json synthetic = listed(jobs[1]);
            EXPECT_EQ(json({synthetic["backupType"], synthetic["syntheticFull"], listed(jobs[2])["parentJob"]}),
                      json({"full", true, jobs[1]["jobId"]}));
            EXPECT_GT(synthetic["storedBytes"].get<std::uint64_t>(), 0u);
            EXPECT_THAT(Agent({"list", "--store", store}).out, HasSubstr(" synthetic-full "));
        }
        // The newest job's reference point still serves: the next backup is incremental.
        GuestWrite(vm, 0, 5 * 1048576ull, 4096, 9);
        const std::vector<std::string> now = CloudHashes(vm, disks, true);
        const json next = Backup(vm);
        EXPECT_EQ(next["parentJob"], jobs[2]["jobId"]);
        EXPECT_EQ(Roots(next), now);
        EXPECT_NE(now, rootsAtBackup[2]);
        EXPECT_EQ(Roots(Backup(vm, {"--full"})), now);
    }
    EXPECT_EQ(Agent({"verify", "--store", store}).exitCode, 0);
}

// A cancelled backup undoes itself; a killed one is undone by the next backup of its VM.
TEST_F(Vsagent, CancelledBackupLeavesNothingAndAKilledOneIsUndoneByTheNext) {
    const std::string vm = "web-linux01";
    std::size_t snapshotsBefore = CloudSnapshots();
    auto cancelled = SlowBackupUnderWay(vm, 1);
    ASSERT_EQ(kill(cancelled->pid(), SIGINT), 0);
    e2e::Run run = cancelled->finish();
    EXPECT_EQ(run.exitCode, 130) << run.out << run.err;
    EXPECT_THAT(run.err, HasSubstr("cancelled"));
    EXPECT_EQ(List(), json::parse(R"({"jobs": [], "incomplete": []})"));
    EXPECT_EQ(CloudSnapshots(), snapshotsBefore);
    Fault({"clear"});

    // Nothing of the cancelled job is taken as a base: the next backup is full.
    EXPECT_EQ(Backup(vm)["backupType"], "full");
    ASSERT_EQ(SnapshotSetsOf(vm), 1u);
    for (int d = 0; d < 3; ++d) GuestWrite(vm, d, 4 * 1048576ull, 4 * 1048576ull, 40 + d);
    auto killed = SlowBackupUnderWay(vm, 3);
    ASSERT_EQ(kill(killed->pid(), SIGKILL), 0);
    ASSERT_EQ(killed->finish().exitCode, 128 + SIGKILL);
    ASSERT_EQ(SnapshotSetsOf(vm), 2u);  // the killed job's set is left behind
    ASSERT_EQ(List()["incomplete"].size(), 1u);
    Fault({"clear"});

    // The next backup removes what the dead job recorded, and only that: the reference
    // set of job 2 stays, so the backup is still an incremental one from job 2.
    std::vector<std::string> atBackup = CloudHashes(vm, 3, true);
    json next = Backup(vm);
    EXPECT_EQ(next["parentJob"], 2);
    ASSERT_EQ(next["notes"].size(), 1u) << next["notes"];
    EXPECT_THAT(next["notes"][0].get<std::string>(), HasSubstr("job 3,"));
    EXPECT_EQ(SnapshotSetsOf(vm), 1u);
    EXPECT_TRUE(List()["incomplete"].empty());
    EXPECT_EQ(Roots(next), atBackup);
    EXPECT_EQ(Agent({"verify", "--store", store}).exitCode, 0);
}

// A disk whose change id no longer answers is read in full, and verify finds a flipped byte of it;
// whatever the sequence of backups, the VM is left one reference set.
TEST_F(Vsagent, AnySequenceOfBackupsLeavesTheVmOneReferenceSet) {
    const std::string vm = "app-win01";
    const json first = Backup(vm);
    ASSERT_EQ(SnapshotSetsOf(vm), 1u);
    GuestWrite(vm, 0, 1048576, 65536, 5);
    Fault({"add-sdk", "--op", "GetManagedDiskSnapshotIDForSnapshotGUID", "--code", "3", "--text",
           "NotFound: no snapshot with that GUID", "--times", "-1"});
    const std::vector<std::string> atBackup = CloudHashes(vm, 2, true);
    const json second = Backup(vm);
    EXPECT_EQ(second["backupType"], "full");
    EXPECT_GE(second["bytesRead"].get<std::uint64_t>(), first["bytesRead"].get<std::uint64_t>());
    EXPECT_EQ(Roots(second), atBackup);
    Fault({"clear"});
    ASSERT_EQ(SnapshotSetsOf(vm), 1u);

    // A flipped byte in a stored image: verify names the disk, export refuses it.
    const std::string image = JobFolder(vm, 2) + "/disk1.img";
    const json stored = json::parse(std::ifstream(JobFolder(vm, 2) + "/manifest.json"));
    const std::uint64_t at = stored["disks"][1]["extents"][0][0].get<std::uint64_t>() + 777;
    FlipByte(image, at);
    e2e::Run verify = Agent({"verify", "--store", store});
    EXPECT_EQ(verify.exitCode, 1);
    EXPECT_THAT(verify.out, HasSubstr("DAMAGED"));
    EXPECT_THAT(verify.out, HasSubstr("disk 1 [app-win01-data0]"));
    EXPECT_EQ(Agent({"export", "--store", store, "--job", "2", "--disk", "1", "--out", dir.path() + "/x"}).exitCode, 1);
    FlipByte(image, at);
    // The option forces a full backup although change tracking could serve an incremental.
    e2e::Run forced = Agent({"backup", "--vm", vm, "--store", store, "--full", "--group", "rg-prod", "--threads", "64"});
    ASSERT_EQ(forced.exitCode, 0) << forced.err;
    for (const char* line : {"job 3, full\n", " allocated\n", "change tracking: Enabled\n"})
        EXPECT_THAT(forced.out, HasSubstr(line));
    // Ten more forced fulls: one more than the VM's snapshot limit in all.
    ASSERT_EQ(SnapshotSetsOf(vm), 1u) << "after forced full 1";
    for (int round = 2; round <= 11; ++round) {
        ASSERT_EQ(Backup(vm, {"--full"})["backupType"], "full") << "forced full " << round;
        ASSERT_EQ(SnapshotSetsOf(vm), 1u) << "after forced full " << round;
    }
    GuestWrite(vm, 1, 3 * 1048576ull, 65536, 9);
    e2e::Run incremental = Agent({"backup", "--vm", vm, "--store", store});
    ASSERT_EQ(incremental.exitCode, 0) << incremental.err;
    for (const char* line : {"job 14, incremental from job 13\n", " changed\n", "change tracking: Used\n"})
        EXPECT_THAT(incremental.out, HasSubstr(line));
    EXPECT_THAT(incremental.out, Not(HasSubstr(" allocated\n")));
    EXPECT_EQ(SnapshotSetsOf(vm), 1u);
    json last = Backup(vm, {"--full"});
    EXPECT_EQ(SnapshotSetsOf(vm), 1u);

    // The one set left is the newest job's reference: the next incremental reads only what changed.
    GuestWrite(vm, 0, 5 * 1048576ull, 65536, 10);
    json next = Backup(vm);
    EXPECT_EQ(next["parentJob"], last["jobId"]);
    EXPECT_LE(next["bytesRead"].get<std::uint64_t>(), 2 * 65536u);

    // The newest reference point now names a change id and a snapshot set with a byte that is not UTF-8.
    const std::string manifestPath = JobFolder(vm, next["jobId"]) + "/manifest.json";
    json manifest = json::parse(std::ifstream(manifestPath));
    VirtualServer::VMReferencePointInfo reference;
    const std::string hostile = next["disks"][0]["changeId"].get<std::string>() + "\xff\xfe";
    reference.setstring(1, 1, 0x1aeef26a, 0xe4072f, hostile);
    reference.setstring(3, 9, 0x1aeef26a, 0x2e1faf, hostile);
    std::string bytes;
    ASSERT_EQ(reference.serialize(bytes, false), 0);
    manifest["referencePoint"] = vsagent::Base64Encode(bytes);
    std::ofstream(manifestPath) << manifest.dump(2);

    for (int run = 0; run < 2; ++run) {
        e2e::Run backup = Agent({"backup", "--vm", vm, "--store", store});
        if (backup.exitCode != 0) ExpectOneLineFailure(backup, "MountVM");
        EXPECT_EQ(SnapshotSetsOf(vm), 1u) << "run " << run << ": " << backup.err;
        EXPECT_TRUE(List()["incomplete"].empty()) << "run " << run;
    }
    EXPECT_EQ(Agent({"verify", "--store", store}).exitCode, 0);
}

// A failure before the snapshots, one after the mount whose unmount then fails to delete the set, and a VM
// that is not there or not in the group given.
TEST_F(Vsagent, FailedBackupGivesOneClearLineAndLeavesNeitherSnapshotsNorJob) {
    const struct {
        std::vector<const char*> ops;
        const char* text;
        std::vector<std::string> vm;
        const char* step;
        const char* line;
    } rows[] = {
        {{"CreateDiskSnapshots"}, "OperationNotAllowed: snapshot quota reached", {"app-win01"}, "MountVM",
         "failed in MountVM: error 17"},
        {{"GetBlobPageRanges", "DeleteDiskSnapshots"}, "InternalError: try later", {"app-win01"}, "GetVmdkExtents",
         "failed in"},
        {{}, "", {"no-such-vm"}, "GetVMInfoForVM", "error 1,"},
        {{}, "", {"app-win01", "--group", "rg-test"}, "GetVMInfoForVM", "error 1,"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.vm.back());
        for (const char* op : row.ops) Fault({"add-sdk", "--op", op, "--code", "3", "--text", row.text});
        std::vector<std::string> args = {"backup", "--store", store, "--vm"};
        args.insert(args.end(), row.vm.begin(), row.vm.end());
        e2e::Run run = Agent(args);
        ExpectOneLineFailure(run, row.step);
        EXPECT_THAT(run.err, HasSubstr(row.line));
        EXPECT_THAT(run.err, HasSubstr("What to do:"));
        EXPECT_EQ(SnapshotSetsOf("app-win01"), 0u);
        EXPECT_EQ(List(), json::parse(R"({"jobs": [], "incomplete": []})"));
    }
}

TEST_F(Vsagent, EveryCommandHasHelpAndRefusesBadInput) {
    for (const char* command : {"browse", "backup", "list", "verify", "export", "prune", "demo"}) {
        e2e::Run help = Agent({command, "--help"});
        EXPECT_EQ(help.exitCode, 0) << command;
        EXPECT_EQ(help.out.rfind(std::string("usage: vsagent ") + command, 0), 0u) << help.out;
    }
    const std::vector<std::vector<std::string>> bad = {
        {"backup", "--store", store},
        {"backup", "--vm", "app-win01"},
        {"backup", "--vm", "app-win01", "--store", store, "--threads", "4x"},
        {"backup", "--vm", "app-win01", "--store", store, "--threads", "65"},
        {"backup", "--vm", "app-win01", "--store", store, "--bogus"},
        {"export", "--store", store, "--job", "1", "--disk", "-1", "--out", "x"},
        {"export", "--store", store, "--job", "1", "--disk", "0"},
        {"verify", "--store", store, "--job", "zero"},
        {"list", "--store", store, "extra"},
        {"prune", "--store", store},
        {"prune", "--store", store, "--keep-last", "0"},
        {"prune", "--store", store, "--keep-within", "5"},
        {"prune", "--keep-last", "3"},
        {"frobnicate"},
    };
    for (const auto& args : bad) {
        e2e::Run run = Agent(args);
        EXPECT_EQ(run.exitCode, 2) << args[0] << " " << run.err;
        EXPECT_FALSE(run.err.empty());
    }
    EXPECT_EQ(Agent({"export", "--store", store, "--job", "9", "--disk", "0", "--out", dir.path() + "/x"}).exitCode, 1);
}

}  // namespace
