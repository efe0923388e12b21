// vsagent replicate and vsagent standby end to end, on a standby seeded as a replication
// leaves it ("azsim standby"): the replication stops before any cloud call and touches no
// replica; failover deploys the VM on the seeded blobs, a failback backup reads them, failback
// deletes the VM keeping them, and the failover clean-up removes the VM's configuration.
#include <gtest/gtest.h>

#include <sstream>

#include "tests/agent/e2e/VsagentRun.h"
#include "tests/support/SimulatedCloud.h"

namespace {

class StandbyCommands : public ::testing::Test {
protected:
    e2e::Run Agent(std::vector<std::string> args) {
        args.insert(args.end(), {"--cloud", cloud, "--log", dir.path() + "/job.log"});
        return e2e::Execute(VSAGENT_BINARY, args, dir.path());
    }
    e2e::Run Azsim(std::vector<std::string> args) {
        args.insert(args.begin() + 1, {"--state", cloud});
        return e2e::Execute(AZSIM_TOOL, args, dir.path());
    }
    int Standby(const std::string& sub) {
        return Agent({"standby", sub, "--name", "Standby01", "--group", "rg-legacy", "--storage", "legacystore01"})
            .exitCode;
    }
    // SHA-256 of a blob of the standby's account, or "absent".
    std::string BlobHash(const std::string& name) {
        const e2e::Run run = Azsim({"hash", "--blob", "https://legacystore01.blob.core.windows.net/vhds/" + name});
        return run.exitCode == 0 ? run.out.substr(0, 64) : "absent";
    }
    std::string Exported(int job, int disk) {
        const std::string out = dir.path() + "/disk" + std::to_string(disk);
        Agent({"export", "--store", store, "--job", std::to_string(job), "--disk", std::to_string(disk), "--out", out});
        return e2e::Execute("/usr/bin/sha256sum", {out}, dir.path()).out.substr(0, 64);
    }
    std::vector<std::string> SeededDisks() {
        return {BlobHash("rg-legacy-Standby01.vhd"), BlobHash("rg-legacy-Standby01-1.vhd")};
    }

    testsupport::TempDir dir;
    std::string cloud = dir.path() + "/cloud";
    std::string store = dir.path() + "/store";
};

// A replication stops at its first step with 186, its meaning and what to do, having made no call
// but the session's own and leaving the replica as it was; then failover, the clean-up after it
// and failback on that replica, as a new user tries them.
TEST_F(StandbyCommands, ReplicateStopsWith186ThenFailoverAndFailbackKeepTheDisks) {
    ASSERT_EQ(Agent({"backup", "--vm", "legacy-vm01", "--store", store}).exitCode, 0);
    ASSERT_EQ(Azsim({"standby", "--from", "legacy-vm01", "--name", "Standby01", "--group", "rg-legacy", "--storage",
                     "legacystore01"}).exitCode, 0);
    const std::vector<std::string> disks = SeededDisks();
    const std::string journal = Azsim({"journal"}).out;
    const e2e::Run run = Agent({"replicate", "--store", store, "--vm", "legacy-vm01", "--job", "1", "--to-group",
                                "rg-legacy", "--to-storage", "legacystore01", "--name", "Standby01"});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_NE(run.err.find("error 186, the restore needs a cloud file system"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("What to do: run replication from a Windows host"), std::string::npos) << run.err;
    std::istringstream added(Azsim({"journal"}).out.substr(journal.size()));
    for (std::string line; std::getline(added, line);)
        EXPECT_TRUE(line.find("\"op\":\"Initialize\"") != std::string::npos ||
                    line.find("\"op\":\"Connect\"") != std::string::npos) << line;
    EXPECT_EQ(SeededDisks(), disks);

    ASSERT_EQ(Standby("create"), 0);
    for (int d = 0; d < 2; ++d)
        EXPECT_EQ(Azsim({"hash", "--vm", "Standby01", "--disk", std::to_string(d)}).out.substr(0, 64), disks[d]);
    // Failback: a backup of the standby reads its disks, each known by its replication GUID.
    const std::size_t before = Azsim({"journal"}).out.size();
    ASSERT_EQ(Agent({"backup", "--vm", "Standby01", "--failback", "--store", store}).exitCode, 0);
    EXPECT_NE(Azsim({"journal"}).out.find("\"op\":\"GetDiskTagInfo\"", before), std::string::npos);
    for (int d = 0; d < 2; ++d) EXPECT_EQ(Exported(3, d), disks[d]) << d;  // job 2 was the replication
    ASSERT_EQ(Standby("failover-cleanup"), 0);
    EXPECT_EQ(BlobHash("rg-legacy-standby01.json"), "absent");
    ASSERT_EQ(Standby("delete"), 0);
    EXPECT_EQ(SeededDisks(), disks);
    EXPECT_EQ(Azsim({"show", "vms"}).out.find("Standby01"), std::string::npos);
}

}  // namespace
