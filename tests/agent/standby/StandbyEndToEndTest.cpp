// vsagent replicate and vsagent standby end to end, on a standby seeded as a replication
// leaves it ("azsim standby"): the replication stops before any cloud call and touches no
// replica; failover deploys the VM on the seeded blobs, failback deletes it keeping them, and
// the failover clean-up removes only that VM's configuration.
#include <gtest/gtest.h>

#include <sstream>

#include <nlohmann/json.hpp>

#include "tests/agent/e2e/VsagentRun.h"
#include "tests/support/SimulatedCloud.h"

namespace {

using nlohmann::json;

const char* const kBlobs = "https://legacystore01.blob.core.windows.net/vhds/";

class StandbyCommands : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(Agent({"browse", "VMs", "--depth", "1"}).exitCode, 0);
        for (const char* name : {"Standby01", "other01"})
            ASSERT_EQ(Azsim({"standby", "--from", "legacy-vm01", "--name", name, "--group", "rg-legacy", "--storage",
                             "legacystore01"})
                          .exitCode,
                      0);
    }
    e2e::Run Agent(std::vector<std::string> args) {
        args.insert(args.end(), {"--cloud", cloud, "--log", dir.path() + "/job.log"});
        return e2e::Execute(VSAGENT_BINARY, args, dir.path());
    }
    e2e::Run Azsim(std::vector<std::string> args) {
        args.insert(args.begin() + 1, {"--state", cloud});
        return e2e::Execute(AZSIM_TOOL, args, dir.path());
    }
    e2e::Run Run(const std::string& sub, const std::string& vm = "Standby01") {
        return Agent({"standby", sub, "--name", vm, "--group", "rg-legacy", "--storage", "legacystore01", "--json"});
    }
    // SHA-256 of a blob of the standby's account, or "absent".
    std::string BlobHash(const std::string& name) {
        const e2e::Run run = Azsim({"hash", "--blob", kBlobs + name});
        return run.exitCode == 0 ? run.out.substr(0, 64) : "absent";
    }
    std::vector<std::string> SeededDisks() { return {BlobHash("rg-legacy-Standby01.vhd"), BlobHash("rg-legacy-Standby01-1.vhd")}; }
    json Show(const std::string& kind) { return json::parse(Azsim({"show", kind}).out, nullptr, false); }
    std::vector<std::string> JournalOps() {
        std::vector<std::string> ops;
        std::istringstream lines(Azsim({"journal"}).out);
        for (std::string line; std::getline(lines, line);)
            if (!line.empty()) ops.push_back(json::parse(line)["op"].get<std::string>());
        return ops;
    }

    testsupport::TempDir dir;
    std::string cloud = dir.path() + "/cloud";
    std::string store = dir.path() + "/store";
};

// On this platform a replication stops at its first step with 186, its meaning and what to do;
// the journal shows only the session's own calls, and the replica already there is untouched.
TEST_F(StandbyCommands, ReplicateStopsWith186BeforeAnyCloudCall) {
    ASSERT_EQ(Agent({"backup", "--vm", "legacy-vm01", "--store", store}).exitCode, 0);
    const std::vector<std::string> disks = SeededDisks();
    const std::size_t before = JournalOps().size();
    const e2e::Run run = Agent({"replicate", "--store", store, "--vm", "legacy-vm01", "--job", "1", "--to-group",
                                "rg-legacy", "--to-storage", "legacystore01", "--name", "Standby01"});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_NE(run.err.find("error 186, the restore needs a cloud file system"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("What to do: run replication from a Windows host"), std::string::npos) << run.err;
    const std::vector<std::string> ops = JournalOps();
    for (std::size_t i = before; i < ops.size(); ++i) EXPECT_TRUE(ops[i] == "Initialize" || ops[i] == "Connect") << ops[i];
    EXPECT_EQ(SeededDisks(), disks);
    EXPECT_NE(BlobHash("rg-legacy-standby01.json"), "absent");

    // A job of another VM, or a missing destination, is refused before anything runs.
    EXPECT_EQ(Agent({"replicate", "--store", store, "--vm", "web01", "--job", "1", "--to-group", "rg-legacy",
                     "--to-storage", "legacystore01"}).exitCode, 2);
    EXPECT_EQ(Agent({"replicate", "--store", store, "--vm", "legacy-vm01", "--job", "1", "--to-group", "rg-legacy"})
                  .exitCode, 2);
}

// Failover, clean-up after it and failback, as a new user tries them on the seeded standby.
TEST_F(StandbyCommands, FailoverCleanupAndFailbackKeepTheDisks) {
    const std::vector<std::string> disks = SeededDisks();
    const std::size_t snapshots = Show("blobSnapshots").size();
    // Before the VM exists its configuration is the only way to deploy it: it stays.
    EXPECT_EQ(Run("failover-cleanup").exitCode, 1);
    EXPECT_NE(BlobHash("rg-legacy-standby01.json"), "absent");

    const e2e::Run created = Run("create");
    ASSERT_EQ(created.exitCode, 0) << created.err;
    EXPECT_FALSE(json::parse(created.out)["guid"].get<std::string>().empty());
    for (int d = 0; d < 2; ++d)
        EXPECT_EQ(Azsim({"hash", "--vm", "Standby01", "--disk", std::to_string(d)}).out.substr(0, 64), disks[d]);

    ASSERT_EQ(Run("failover-cleanup").exitCode, 0);
    EXPECT_EQ(BlobHash("rg-legacy-standby01.json"), "absent");
    EXPECT_NE(BlobHash("rg-legacy-other01.json"), "absent");
    EXPECT_EQ(Show("blobSnapshots").size(), snapshots);

    const e2e::Run deleted = Run("delete");
    ASSERT_EQ(deleted.exitCode, 0) << deleted.err;
    EXPECT_EQ(SeededDisks(), disks);
    for (const json& vm : Show("vms")) EXPECT_NE(vm["name"], "Standby01");
    const e2e::Run again = Run("delete");
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_NE(again.err.find("error 1, the VM was not found"), std::string::npos) << again.err;
}

}  // namespace
