// vsagent snap end to end: VMs snapped together, their disks changed afterwards,
// copies, restores and reverts that hold the disks as snapped, an injected fault
// that fails one VM alone, deletion and the undoing of killed jobs that touch
// only their own job.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include <nlohmann/json.hpp>

#include "tests/agent/e2e/VsagentRun.h"
#include "tests/support/SimulatedCloud.h"

namespace fs = std::filesystem;
using nlohmann::json;
using Outcome = e2e::Run;

namespace {

class Snap : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(Agent({"browse", "VMs", "--depth", "1"}).exitCode, 0); }

    Outcome Agent(std::vector<std::string> args) {
        args.insert(args.end(), {"--cloud", cloud, "--log", dir.path() + "/job.log"});
        return e2e::Execute(VSAGENT_BINARY, args, dir.path());
    }
    Outcome Azsim(std::vector<std::string> args) {
        args.insert(args.begin() + 1, {"--state", cloud});
        return e2e::Execute(AZSIM_TOOL, args, dir.path());
    }
    json Parsed(const Outcome& run, int exit) {
        EXPECT_EQ(run.exitCode, exit) << run.err;
        return json::parse(run.out, nullptr, false);
    }
    json SnapBackup(const std::vector<std::string>& vms) {
        std::vector<std::string> args = {"snap", "backup", "--store", store, "--json"};
        for (const std::string& vm : vms) args.insert(args.end(), {"--vm", vm});
        return Parsed(Agent(args), 0);
    }
    json Copy(long long job, const std::string& vm) {
        return Parsed(Agent({"snap", "copy", "--job", std::to_string(job), "--vm", vm, "--store", store, "--json"}), 0);
    }
    json Show(const std::string& kind) { return Parsed(Azsim({"show", kind}), 0); }
    std::string DiskHash(const std::string& vm, int disk) {
        return Azsim({"hash", "--vm", vm, "--disk", std::to_string(disk)}).out.substr(0, 64);
    }
    std::vector<std::string> Hashes(const std::string& vm, int disks) {
        std::vector<std::string> out;
        for (int d = 0; d < disks; ++d) out.push_back(DiskHash(vm, d));
        return out;
    }
    void Write(const std::string& vm, int disks) {
        for (int d = 0; d < disks; ++d)
            ASSERT_EQ(Azsim({"write", "--vm", vm, "--disk", std::to_string(d), "--offset", "4096", "--random", "7",
                             "--length", "65536"}).exitCode, 0);
    }
    std::string ExportHash(long long job, int disk) {
        const std::string out = dir.path() + "/export-" + std::to_string(job) + "-" + std::to_string(disk);
        Parsed(Agent({"export", "--store", store, "--job", std::to_string(job), "--disk", std::to_string(disk), "--out", out}), 0);
        return e2e::Execute("/usr/bin/sha256sum", {out}, dir.path()).out.substr(0, 64);
    }
    // The resources of `kinds` that carry job mark `jobGuid`.
    std::size_t Marked(const std::string& jobGuid, const std::vector<std::string>& kinds) {
        std::size_t marked = 0;
        for (const std::string& kind : kinds)
            for (const json& r : Show(kind))
                marked += r.value(r.contains("tags") ? "tags" : "metadata", json::object()).value("createdByJob", "") ==
                          jobGuid;
        return marked;
    }
    std::size_t MarkedSnapshots(const std::string& jobGuid) { return Marked(jobGuid, {"snapshots", "blobSnapshots"}); }
    json Vm(const std::string& name) {
        for (const json& vm : Show("vms"))
            if (vm["name"] == name) return vm;
        return json::object();
    }
    // Exactly one line on stderr, holding `text`.
    static void ExpectOneLine(const Outcome& run, const std::string& text) {
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
        EXPECT_NE(run.err.find(text), std::string::npos) << run.err;
    }

    testsupport::TempDir dir;
    std::string cloud = dir.path() + "/cloud";
    std::string store = dir.path() + "/store";
};

const std::vector<std::pair<std::string, int>> kVms = {{"web-linux01", 3}, {"legacy-vm01", 2}};  // managed, blobs

}  // namespace

TEST_F(Snap, CopiesHoldTheDisksAsSnappedAndKilledOrDeletedJobsLeaveNoMarkedSnapshot) {
    std::map<std::string, std::vector<std::string>> atSnap;
    for (const auto& [vm, disks] : kVms)
        for (int d = 0; d < disks; ++d) atSnap[vm].push_back(DiskHash(vm, d));
    json job = SnapBackup({"web-linux01", "legacy-vm01"});
    ASSERT_EQ(job["vms"].size(), 2u);
    for (const json& vm : job["vms"]) {
        EXPECT_EQ(vm["status"], 0) << vm;
        EXPECT_TRUE(vm["archiveFileValid"]) << vm;
        EXPECT_FALSE(vm["snapshotGuid"].get<std::string>().empty()) << vm;
    }
    const std::string mark = job["jobGuid"];
    EXPECT_GT(MarkedSnapshots(mark), 0u);
    for (const auto& [vm, disks] : kVms) Write(vm, 1);

    for (const auto& [vm, disks] : kVms) {
        SCOPED_TRACE(vm);
        json copy = Copy(1, vm);
        ASSERT_EQ(copy.size(), 1u);
        EXPECT_EQ(copy[0]["status"], 0);
        const long long stored = copy[0]["jobId"];
        for (int d = 0; d < disks; ++d) EXPECT_EQ(ExportHash(stored, d), atSnap[vm][d]) << "disk " << d;
        EXPECT_NE(DiskHash(vm, 0), atSnap[vm][0]);  // the copy is of the snapshot, not of the disk now
    }
    Outcome verify = Agent({"verify", "--store", store});
    EXPECT_EQ(verify.exitCode, 0) << verify.out << verify.err;
    // A backup after a copy is a full one of its own and, like the undoing below, leaves the job's snapshots alone.
    const std::size_t snapped = MarkedSnapshots(mark);
    Outcome backup = Agent({"backup", "--vm", "web-linux01", "--store", store, "--json"});
    ASSERT_EQ(backup.exitCode, 0) << backup.err;
    EXPECT_EQ(json::parse(backup.out, nullptr, false)["backupType"], "full");

    // What a job killed after its snapshots leaves: its record still running, its folder unlocked.
    const json killed = SnapBackup({"app-win01"});
    const std::string killedId = std::to_string(killed["jobId"].get<long long>());
    const std::string record = store + "/snapshots/agent-jobs/job-" + killedId + "/snap-job.json";
    json doc = json::parse(std::ifstream(record), nullptr, false);
    doc["state"] = "running";
    std::ofstream(record) << doc.dump();
    ASSERT_GT(MarkedSnapshots(killed["jobGuid"]), 0u);
    const json next = SnapBackup({"legacy-vm01", "legacy-vm01"});
    EXPECT_EQ(next["vms"].size(), 1u);  // a VM named twice is snapped once
    ASSERT_EQ(next["notes"].size(), 1u);
    EXPECT_NE(next["notes"][0].get<std::string>().find("undid snap job " + killedId), std::string::npos) << next["notes"];
    EXPECT_EQ(MarkedSnapshots(killed["jobGuid"]), 0u);
    EXPECT_EQ(MarkedSnapshots(mark), snapped);

    Outcome deleted = Agent({"snap", "delete", "--job", "1", "--store", store});
    ASSERT_EQ(deleted.exitCode, 0) << deleted.err;
    EXPECT_EQ(MarkedSnapshots(mark), 0u);
    EXPECT_GT(MarkedSnapshots(next["jobGuid"]), 0u);  // another job's snapshots stay
    const json list = json::parse(Agent({"snap", "list", "--store", store, "--json"}).out, nullptr, false);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0]["state"], "deleted");
    for (const json& vm : list[0]["vms"]) EXPECT_FALSE(vm["archiveFileValid"]) << vm;
    EXPECT_EQ(list[1]["state"], "undone");
    EXPECT_FALSE(list[1]["vms"][0]["archiveFileValid"]);
    EXPECT_EQ(list[2]["state"], "complete");
    EXPECT_TRUE(list[2]["vms"][0]["archiveFileValid"]);

    // A job that ran VM by VM: a copy of all its VMs, then of the one named, holds each VM as snapped.
    for (const auto& [vm, disks] : kVms)
        for (int d = 0; d < disks; ++d) atSnap[vm][d] = DiskHash(vm, d);
    const json byVm = Parsed(Agent({"snap", "backup", "--vm", "web-linux01", "--vm", "legacy-vm01", "--vm-centric",
                                    "--store", store, "--json"}), 0);
    for (const auto& [vm, disks] : kVms)
        ASSERT_EQ(Azsim({"write", "--vm", vm, "--disk", std::to_string(disks - 1), "--offset", "0", "--random", "9",
                         "--length", "4096"}).exitCode, 0);
    const std::string byVmJob = std::to_string(byVm["jobId"].get<long long>());
    json all = Parsed(Agent({"snap", "copy", "--job", byVmJob, "--store", store, "--json"}), 0);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_NE(all[0]["vm"], all[1]["vm"]);
    const json one = Copy(byVm["jobId"], "legacy-vm01");
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0]["vm"], "legacy-vm01");
    all.push_back(one[0]);
    const std::map<std::string, int> diskCount(kVms.begin(), kVms.end());
    for (const json& copy : all) {
        const std::string vm = copy["vm"];
        ASSERT_EQ(copy["status"], 0) << copy;
        for (int d = 0; d < diskCount.at(vm); ++d) EXPECT_EQ(ExportHash(copy["jobId"], d), atSnap[vm][d]) << vm << d;
    }
    verify = Agent({"verify", "--store", store});
    EXPECT_EQ(verify.exitCode, 0) << verify.out << verify.err;
}

TEST_F(Snap, RestoresAndRevertsBuildEveryDiskAsSnappedAndLeaveTheSnapshots) {
    const json job = SnapBackup({"web-linux01", "legacy-vm01"});
    const json byVm = Parsed(Agent({"snap", "backup", "--vm", "app-win01", "--vm-centric", "--store", store, "--json"}),
                             0);  // a job taken VM by VM
    const std::size_t snapped = MarkedSnapshots(job["jobGuid"]) + MarkedSnapshots(byVm["jobGuid"]);
    for (const auto& [vm, disks, from] : std::vector<std::tuple<std::string, int, std::string>>{
             {"web-linux01", 3, "1"}, {"legacy-vm01", 2, "1"}, {"app-win01", 2, byVm["jobId"].dump()}}) {
        SCOPED_TRACE(vm + " from job " + from);
        const std::vector<std::string> atSnap = Hashes(vm, disks);
        Write(vm, disks);
        const std::vector<std::string> changed = Hashes(vm, disks);
        const json ownDisks = Vm(vm)["disks"];
        json run = Parsed(Agent({"snap", "restore", "--job", from, "--vm", vm, "--name", vm + "-copy", "--store", store,
                                 "--json"}), 0);
        EXPECT_EQ(std::make_tuple(run["vmName"], run["inPlace"]), std::make_tuple(vm + "-copy", false));
        EXPECT_EQ(Hashes(vm + "-copy", disks), atSnap);
        EXPECT_EQ(Hashes(vm, disks), changed);  // the source keeps its bytes
        run = Parsed(Agent({"snap", "revert", "--job", from, "--vm", vm, "--store", store, "--json"}), 0);
        EXPECT_EQ(std::make_tuple(run["vmName"], run["inPlace"]), std::make_tuple(vm, true));
        for (const json& disk : ownDisks) {  // the replaced VM's disks are kept, and said to be
            const std::string id = disk["id"];
            EXPECT_NE(run["notes"].dump().find("[" + id.substr(id.rfind('/') + 1) + "]"), std::string::npos) << id;
        }
        EXPECT_EQ(Hashes(vm, disks), atSnap);
        EXPECT_NE(atSnap, changed);
        EXPECT_EQ(Hashes(vm + "-copy", disks), atSnap);  // another VM is untouched
    }
    EXPECT_EQ(MarkedSnapshots(job["jobGuid"]) + MarkedSnapshots(byVm["jobGuid"]), snapped);
    EXPECT_TRUE(fs::is_empty(store + "/snapshots/agent-restores"));
}

TEST_F(Snap, KilledOrCancelledRevertIsUndoneKeepingTheVmsDisksAndSnapshots) {
    std::map<std::string, std::vector<std::string>> atSnap;
    for (const auto& [vm, disks] : kVms) atSnap[vm] = Hashes(vm, disks);
    const json job = SnapBackup({"web-linux01", "legacy-vm01"});
    const std::size_t snapped = MarkedSnapshots(job["jobGuid"]);
    const std::string settings = dir.path() + "/settings.ini";
    std::ofstream(settings) << "[VirtualServer]\nnMinsWaitForBootTimeout=30\n";
    // A disk of a VM by its attachment: a managed disk id or a page blob URL.
    auto present = [&](const std::string& id) {
        const json managed = Show("managedDisks"), blobs = Show("unmanagedDisks");
        return std::any_of(managed.begin(), managed.end(), [&](const json& d) { return d["id"] == id; }) ||
               std::any_of(blobs.begin(), blobs.end(),
                           [&](const json& b) { return id.substr(id.rfind('/') + 1) == b["blob"]["name"]; });
    };
    // Killed outright, it is undone by the next run; cancelled, it undoes itself.
    const std::tuple<std::string, int, int> rows[] = {
        {"web-linux01", 3, SIGKILL}, {"legacy-vm01", 2, SIGKILL}, {"web-linux01", 3, SIGINT}};
    for (const auto& [vm, disks, signal] : rows) {
        SCOPED_TRACE(vm + " " + std::to_string(signal));
        Write(vm, disks);
        const json ownDisks = Vm(vm)["disks"];
        const std::string before = Vm(vm)["tags"].value("createdByJob", "");
        // Stopped in the boot wait before the power-off, once the VM is built: it and its disks carry the job's mark.
        e2e::Background killed(VSAGENT_BINARY, {"snap", "revert", "--job", "1", "--vm", vm, "--store", store,
                                                "--power-off", "--settings", settings, "--cloud", cloud}, dir.path());
        std::string mark;
        for (int i = 0; i < 300 && (mark.empty() || mark == before); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            mark = Vm(vm).value("tags", json::object()).value("createdByJob", "");
        }
        kill(killed.pid(), signal);
        const e2e::Run stopped = killed.finish();
        EXPECT_EQ(stopped.exitCode, signal == SIGKILL ? 128 + SIGKILL : 130) << stopped.err;
        const std::vector<std::string> resources = {"vms", "managedDisks", "unmanagedDisks", "networkInterfaces"};
        ASSERT_FALSE(mark.empty());
        EXPECT_EQ(Marked(mark, resources) > 1u, signal == SIGKILL);

        const json next = Parsed(Agent({"snap", "revert", "--job", "1", "--vm", vm, "--store", store, "--json"}), 0);
        EXPECT_EQ(next["notes"].dump().find("undid snap restore job") != std::string::npos, signal == SIGKILL)
            << next["notes"];
        EXPECT_EQ(Marked(mark, resources), 0u);
        for (const json& disk : ownDisks) EXPECT_TRUE(present(disk["id"])) << disk;
        EXPECT_EQ(MarkedSnapshots(job["jobGuid"]), snapped);
        EXPECT_EQ(Hashes(vm, disks), atSnap[vm]);
    }
}

TEST_F(Snap, InjectedFaultFailsItsVmAloneInBackupAndCopyAndRefusesItsRestore) {
    const std::string settings = dir.path() + "/settings.ini";
    std::string guid;
    for (const json& vm : Show("vms")) guid = vm["name"] == "app-win01" ? vm["guid"].get<std::string>() : guid;
    std::ofstream(settings) << "[VirtualServer]\nInjectFaultForVM=" << guid << "\n";
    Outcome run = Agent({"snap", "backup", "--vm", "web-linux01", "--vm", "app-win01", "--store", store, "--json",
                     "--settings", settings});
    EXPECT_EQ(run.exitCode, 1);
    ExpectOneLine(run, "vsagent snap backup: VM [app-win01] failed: error 39, ");
    json job = json::parse(run.out, nullptr, false);
    EXPECT_EQ(job["vms"][0]["status"], 0);
    EXPECT_EQ(job["vms"][1]["status"], 39);
    EXPECT_FALSE(job["vms"][1]["archiveFileValid"]);

    run = Agent({"snap", "copy", "--job", "1", "--store", store});
    EXPECT_EQ(run.exitCode, 1);
    ExpectOneLine(run, "VM [app-win01] failed in MountVM: error 39, ");
    EXPECT_NE(run.out.find("VM web-linux01  ok  stored as job 2"), std::string::npos) << run.out;
    EXPECT_EQ(Agent({"verify", "--store", store, "--job", "2"}).exitCode, 0);

    // VM by VM, each under a child job with an archive file of its own, voided for the VM that failed.
    run = Agent({"snap", "backup", "--vm", "web-linux01", "--vm", "app-win01", "--vm-centric", "--store", store,
                 "--json", "--settings", settings});
    EXPECT_EQ(run.exitCode, 1);
    ExpectOneLine(run, "vsagent snap backup: VM [app-win01] failed: error ");
    job = json::parse(run.out, nullptr, false);
    EXPECT_EQ(job["vms"][0]["status"], 0);
    EXPECT_TRUE(job["vms"][0]["archiveFileValid"]);
    EXPECT_NE(job["vms"][1]["status"], 0);
    EXPECT_FALSE(job["vms"][1]["archiveFileValid"]);
    EXPECT_NE(job["vms"][0]["childJobId"], job["vms"][1]["childJobId"]);
    run = Agent({"snap", "copy", "--job", std::to_string(job["jobId"].get<long long>()), "--store", store});
    EXPECT_EQ(run.exitCode, 1);
    ExpectOneLine(run, "VM [app-win01] failed in snap backup: error " + std::to_string(job["vms"][1]["status"].get<int>()));
    EXPECT_NE(run.out.find("VM web-linux01  ok"), std::string::npos) << run.out;
    // Reverts and restores that cannot be done are refused with the reason, and make nothing.
    auto resources = [&] { return json{Show("vms"), Show("managedDisks"), Show("unmanagedDisks")}; };
    const json before = resources();
    const std::pair<std::vector<std::string>, std::string> refused[] = {
        {{"revert", "--job", "99", "--vm", "web-linux01"}, "the store holds no snapshot-engine job 99"},
        {{"revert", "--job", "1", "--vm", "legacy-vm01"}, "snap job 1 holds no VM [legacy-vm01]"},
        {{"restore", "--job", "1", "--vm", "app-win01"}, "failed in store: error 39, "},
        {{"restore", "--job", "1", "--vm", "web-linux01", "--unmanaged"}, "VM [web-linux01] has managed disks"},
    };
    for (const auto& [args, text] : refused) {
        std::vector<std::string> command = {"snap"};
        command.insert(command.end(), args.begin(), args.end());
        command.insert(command.end(), {"--store", store});
        run = Agent(command);
        EXPECT_EQ(run.exitCode, 1) << text;
        ExpectOneLine(run, text);
    }
    EXPECT_EQ(resources(), before);
    EXPECT_TRUE(fs::is_empty(store + "/snapshots/agent-restores"));
}

TEST_F(Snap, RefusalsSayWhyAndMakeNothing) {
    struct Case {
        std::vector<std::string> args;
        int exit;
        std::string text;
    } cases[] = {
        {{"snap"}, 2, "vsagent snap: a subcommand is required"},
        {{"snap", "backup", "--store", store}, 2, "vsagent snap backup: --vm NAME is required"},
        {{"snap", "backup", "--vm", "web-linux01"}, 2, "vsagent snap backup: --store DIR is required"},
        {{"snap", "backup", "--vm", "web-linux01", "--vm", "no-such-vm", "--store", store}, 1,
         "vsagent snap backup: job 1 failed in GetVMInfoForVM: error 1, the VM was not found (VM [no-such-vm]"},
        {{"snap", "copy", "--job", "7", "--store", store}, 1, "vsagent snap copy: the store holds no snapshot-engine job 7"},
        {{"snap", "delete", "--store", store}, 2, "vsagent snap delete: --job N is required"},
        {{"snap", "revert", "--job", "1", "--store", store}, 2, "vsagent snap revert: --vm NAME is required"},
        {{"snap", "restore", "--job", "1", "--vm", "a", "--managed", "--unmanaged", "--store", store}, 2,
         "vsagent snap restore: --managed and --unmanaged exclude each other"},
        {{"snap", "list", "--store", store + "/none"}, 1, "vsagent snap list: "},
        {{"snap", "list", "--store", store}, 1, "snap job folder [" + store + "/snapshots/agent-jobs/job-9] is missing"},
    };
    fs::create_directories(store + "/snapshots/agent-jobs/job-9");  // a folder without its record
    for (const Case& c : cases) {
        Outcome run = Agent(c.args);
        EXPECT_EQ(run.exitCode, c.exit) << c.text;
        EXPECT_NE(run.err.find(c.text), std::string::npos) << run.err;
    }
    EXPECT_FALSE(fs::exists(store + "/snapshots/agent-jobs/job-1"));  // a VM missing stops the job before it starts
    EXPECT_TRUE(Show("snapshotSets").empty());
}
