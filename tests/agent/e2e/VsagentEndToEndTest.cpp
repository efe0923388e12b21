// vsagent run as a person runs it, on a simulated subscription of the test's own.
#include "agent/store/Manifest.h"
#include "host/message/VMReferencePointInfo.h"
#include "tests/agent/e2e/VsagentFixture.h"

namespace fs = std::filesystem;
using e2e::json;

namespace {

using e2e::Vsagent;

// Full, incremental, incremental of a managed and an unmanaged VM in one store; every export equals
// the cloud's disk at its backup time. Each job's root digests equal the cloud's at its time, and a
// full backup of the last state gets the roots the last incremental got.
TEST_F(Vsagent, FullThenIncrementalBackupsOfManagedAndUnmanagedVmsExportAsTheCloudHadThem) {
    for (const auto& [vm, disks] : {std::pair<std::string, int>{"web-linux01", 3}, {"legacy-vm01", 2}}) {
        SCOPED_TRACE(vm);
        std::vector<std::vector<std::string>> atBackup;
        std::vector<json> jobs;
        std::vector<std::vector<json>> rootsAtBackup;
        for (int round = 0; round < 3; ++round) {
            if (round > 0)
                for (int d = 0; d < disks; ++d) {
                    GuestWrite(vm, d, (1 + d + round) * 1048576ull, 65536, round * 10 + d);
                    GuestWrite(vm, d, 200 * 1048576ull + round * 4096, 4096, round * 10 + d + 5);
                }
            atBackup.push_back(CloudHashes(vm, disks));
            rootsAtBackup.push_back(CloudRoots(vm, disks));
            jobs.push_back(Backup(vm));
            EXPECT_EQ(Roots(jobs.back()), rootsAtBackup.back()) << "job " << jobs.back()["jobId"];
        }
        EXPECT_NE(rootsAtBackup[1], rootsAtBackup[2]);
        EXPECT_EQ(Roots(Backup(vm, {"--full"})), rootsAtBackup[2]);
        ASSERT_EQ(jobs[0]["backupType"], "full");
        for (int round = 1; round < 3; ++round) {
            EXPECT_EQ(jobs[round]["backupType"], "incremental");
            EXPECT_EQ(jobs[round]["parentJob"], jobs[round - 1]["jobId"]);
            std::uint64_t written = static_cast<std::uint64_t>(disks) * (65536 + 4096);
            EXPECT_GE(jobs[round]["bytesRead"].get<std::uint64_t>(), written);
            EXPECT_LE(jobs[round]["bytesRead"].get<std::uint64_t>(), written * 11 / 10);
        }
        for (int round = 0; round < 3; ++round) {
            ASSERT_EQ(jobs[round]["disks"].size(), static_cast<std::size_t>(disks));
            for (int d = 0; d < disks; ++d) {
                std::string exported = Export(jobs[round]["jobId"], d);
                EXPECT_EQ(exported, atBackup[round][d]) << "job " << jobs[round]["jobId"] << " disk " << d;
            }
        }
    }
    EXPECT_EQ(Agent({"verify", "--store", store}).exitCode, 0);
}

TEST_F(Vsagent, DiskWhoseChangeIdNoLongerAnswersIsReadInFullAndVerifyFindsAFlippedByte) {
    json first = Backup("app-win01");
    GuestWrite("app-win01", 0, 1048576, 65536, 5);
    ASSERT_EQ(Azsim({"fault", "add-sdk", "--op", "GetManagedDiskSnapshotIDForSnapshotGUID", "--code", "3", "--text",
                     "NotFound: no snapshot with that GUID", "--times", "-1"})
                  .exitCode,
              0);
    std::vector<json> atBackup = CloudRoots("app-win01", 2);
    json next = Backup("app-win01");
    EXPECT_EQ(next["backupType"], "full");
    EXPECT_EQ(next["parentJob"], nullptr);
    EXPECT_GE(next["bytesRead"].get<std::uint64_t>(), first["bytesRead"].get<std::uint64_t>());
    for (int d = 0; d < 2; ++d) {
        EXPECT_EQ(next["disks"][d]["parentJob"], nullptr) << "disk " << d;
        EXPECT_EQ(next["disks"][d]["digest"]["root"], atBackup[d]) << "disk " << d;
    }
    EXPECT_EQ(Agent({"verify", "--store", store}).exitCode, 0);

    // A flipped byte in a stored image: verify names the disk, export refuses it.
    const std::string folder = JobFolder("app-win01", 2);
    json manifest = json::parse(std::ifstream(folder + "/manifest.json"));
    std::uint64_t at = manifest["disks"][1]["extents"][0][0].get<std::uint64_t>() + 777;
    std::fstream image(folder + "/disk1.img", std::ios::in | std::ios::out | std::ios::binary);
    const char byte = static_cast<char>(image.seekg(at).get());
    image.seekp(at).put(static_cast<char>(byte ^ 1));
    image.close();

    e2e::Run verify = Agent({"verify", "--store", store});
    EXPECT_EQ(verify.exitCode, 1);
    EXPECT_NE(verify.out.find("DAMAGED"), std::string::npos);
    EXPECT_NE(verify.out.find("disk 1 [app-win01-data0]"), std::string::npos);
    EXPECT_EQ(Agent({"export", "--store", store, "--job", "2", "--disk", "1", "--out", dir.path() + "/x"}).exitCode, 1);
}

// A cancelled backup undoes itself; a killed one is undone by the next backup of its VM.
TEST_F(Vsagent, CancelledBackupLeavesNothingAndAKilledOneIsUndoneByTheNext) {
    const std::string vm = "web-linux01";
    std::size_t snapshotsBefore = CloudSnapshots();
    auto cancelled = SlowBackupUnderWay(vm, 1);
    ASSERT_EQ(kill(cancelled->pid(), SIGINT), 0);
    e2e::Run run = cancelled->finish();
    EXPECT_EQ(run.exitCode, 130) << run.out << run.err;
    EXPECT_NE(run.err.find("cancelled"), std::string::npos) << run.err;
    EXPECT_TRUE(List()["jobs"].empty());
    EXPECT_TRUE(List()["incomplete"].empty());
    EXPECT_EQ(CloudSnapshots(), snapshotsBefore);
    ASSERT_EQ(Azsim({"fault", "clear"}).exitCode, 0);

    // Nothing of the cancelled job is taken as a base: the next backup is full.
    EXPECT_EQ(Backup(vm)["backupType"], "full");
    ASSERT_EQ(SnapshotSetsOf(vm), 1u);
    for (int d = 0; d < 3; ++d) GuestWrite(vm, d, 4 * 1048576ull, 4 * 1048576ull, 40 + d);
    auto killed = SlowBackupUnderWay(vm, 3);
    ASSERT_EQ(kill(killed->pid(), SIGKILL), 0);
    ASSERT_EQ(killed->finish().exitCode, 128 + SIGKILL);
    ASSERT_EQ(SnapshotSetsOf(vm), 2u);  // the killed job's set is left behind
    ASSERT_EQ(List()["incomplete"].size(), 1u);
    ASSERT_EQ(Azsim({"fault", "clear"}).exitCode, 0);

    // The next backup removes what the dead job recorded, and only that: the reference
    // set of job 2 stays, so the backup is still an incremental one from job 2.
    std::vector<json> atBackup = CloudRoots(vm, 3);
    json next = Backup(vm);
    EXPECT_EQ(next["backupType"], "incremental");
    EXPECT_EQ(next["parentJob"], 2);
    ASSERT_EQ(next["notes"].size(), 1u) << next["notes"];
    EXPECT_NE(next["notes"][0].get<std::string>().find("job 3,"), std::string::npos) << next["notes"];
    EXPECT_EQ(SnapshotSetsOf(vm), 1u);
    EXPECT_FALSE(fs::exists(JobFolder(vm, 3)));
    EXPECT_TRUE(List()["incomplete"].empty());
    for (int d = 0; d < 3; ++d) EXPECT_EQ(next["disks"][d]["digest"]["root"], atBackup[d]) << "disk " << d;
    EXPECT_EQ(Agent({"verify", "--store", store}).exitCode, 0);
}

TEST_F(Vsagent, AnySequenceOfBackupsLeavesTheVmOneReferenceSet) {
    const std::string vm = "app-win01";
    Backup(vm);
    ASSERT_EQ(SnapshotSetsOf(vm), 1u);
    // The option forces a full backup although change tracking could serve an incremental.
    e2e::Run forced = Agent({"backup", "--vm", vm, "--store", store, "--full", "--group", "rg-prod", "--threads", "64"});
    ASSERT_EQ(forced.exitCode, 0) << forced.err;
    for (const char* line : {"job 2, full\n", " allocated\n", "change tracking: Enabled\n"})
        EXPECT_NE(forced.out.find(line), std::string::npos) << forced.out;
    // Ten more forced fulls: one more than the VM's snapshot limit in all.
    ASSERT_EQ(SnapshotSetsOf(vm), 1u) << "after forced full 1";
    for (int round = 2; round <= 11; ++round) {
        ASSERT_EQ(Backup(vm, {"--full"})["backupType"], "full") << "forced full " << round;
        ASSERT_EQ(SnapshotSetsOf(vm), 1u) << "after forced full " << round;
    }
    GuestWrite(vm, 1, 3 * 1048576ull, 65536, 9);
    e2e::Run incremental = Agent({"backup", "--vm", vm, "--store", store});
    ASSERT_EQ(incremental.exitCode, 0) << incremental.err;
    for (const char* line : {"job 13, incremental from job 12\n", " changed\n", "change tracking: Used\n"})
        EXPECT_NE(incremental.out.find(line), std::string::npos) << incremental.out;
    EXPECT_EQ(incremental.out.find(" allocated\n"), std::string::npos) << incremental.out;
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

// A failure before the snapshots, and one after the mount whose unmount then fails to delete the set.
TEST_F(Vsagent, InjectedFailureGivesOneClearLineAndLeavesNeitherSnapshotsNorJob) {
    const struct {
        std::vector<const char*> ops;
        const char* text;
        const char* step;
        const char* line;
    } rows[] = {
        {{"CreateDiskSnapshots"}, "OperationNotAllowed: snapshot quota reached", "MountVM", "failed in MountVM: error 17"},
        {{"GetBlobPageRanges", "DeleteDiskSnapshots"}, "InternalError: try later", "GetVmdkExtents", "failed in"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.step);
        for (const char* op : row.ops)
            ASSERT_EQ(Azsim({"fault", "add-sdk", "--op", op, "--code", "3", "--text", row.text}).exitCode, 0);
        e2e::Run run = Agent({"backup", "--vm", "app-win01", "--store", store});
        ExpectOneLineFailure(run, row.step);
        EXPECT_NE(run.err.find(row.line), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("What to do:"), std::string::npos);
        EXPECT_EQ(SnapshotSetsOf("app-win01"), 0u);
        json list = List();
        EXPECT_TRUE(list["jobs"].empty());
        EXPECT_TRUE(list["incomplete"].empty());
        EXPECT_FALSE(fs::exists(JobFolder("app-win01", 1)));
    }
}

TEST_F(Vsagent, PruningAChainsBaseKeepsTheLaterJobsExportingWhatTheCloudHad) {
    const std::string vm = "app-win01";
    std::vector<std::vector<std::string>> atBackup;
    for (int round = 0; round < 3; ++round) {
        if (round > 0) GuestWrite(vm, round - 1, round * 1048576ull, 65536, round);
        atBackup.push_back(CloudHashes(vm, 2));
        Backup(vm);
    }
    e2e::Run dry = Agent({"prune", "--store", store, "--keep-last", "2", "--dry-run"});
    ASSERT_EQ(dry.exitCode, 0) << dry.err;
    EXPECT_NE(dry.out.find("jobs would be removed: 1\n"), std::string::npos) << dry.out;
    EXPECT_NE(dry.out.find("job 2 would become a synthetic full"), std::string::npos) << dry.out;
    EXPECT_EQ(List()["jobs"].size(), 3u);

    e2e::Run pruned = Agent({"prune", "--store", store, "--keep-last", "2"});
    ASSERT_EQ(pruned.exitCode, 0) << pruned.err;
    EXPECT_NE(pruned.out.find("jobs removed: 1\n"), std::string::npos) << pruned.out;
    EXPECT_NE(pruned.out.find("freed "), std::string::npos) << pruned.out;
    json list = List();
    ASSERT_EQ(list["jobs"].size(), 2u);
    EXPECT_EQ(list["jobs"][0]["backupType"], "full");
    EXPECT_EQ(list["jobs"][0]["syntheticFull"], true);
    EXPECT_EQ(list["jobs"][1]["parentJob"], 2);
    EXPECT_GT(list["jobs"][0]["storedBytes"].get<std::uint64_t>(), 0u);
    EXPECT_NE(Agent({"list", "--store", store}).out.find(" synthetic-full "), std::string::npos);
    for (int round = 1; round < 3; ++round)
        for (int d = 0; d < 2; ++d) EXPECT_EQ(Export(round + 1, d), atBackup[round][d]) << "job " << round + 1;
    EXPECT_EQ(Agent({"verify", "--store", store}).exitCode, 0);

    // The newest job's reference point still serves: the next backup is incremental.
    GuestWrite(vm, 1, 5 * 1048576ull, 4096, 9);
    const std::vector<std::string> now = CloudHashes(vm, 2);
    json next = Backup(vm);
    EXPECT_EQ(next["backupType"], "incremental");
    EXPECT_EQ(next["parentJob"], 3);
    for (int d = 0; d < 2; ++d) EXPECT_EQ(Export(4, d), now[d]);
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
    e2e::Run missingVm = Agent({"backup", "--vm", "no-such-vm", "--store", store});
    EXPECT_EQ(missingVm.exitCode, 1);
    EXPECT_NE(missingVm.err.find("error 1,"), std::string::npos) << missingVm.err;
    e2e::Run otherGroup = Agent({"backup", "--vm", "app-win01", "--group", "rg-test", "--store", store});
    EXPECT_EQ(otherGroup.exitCode, 1);
    EXPECT_NE(otherGroup.err.find("error 1,"), std::string::npos) << otherGroup.err;
    EXPECT_EQ(Agent({"export", "--store", store, "--job", "9", "--disk", "0", "--out", dir.path() + "/x"}).exitCode, 1);
}

}  // namespace
