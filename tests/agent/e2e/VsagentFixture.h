// The fixture of the end-to-end tests: vsagent and azsim run as a person runs
// them, on a simulated subscription of the test's own.
#pragma once

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "azsim/model/SubscriptionState.h"
#include "tests/agent/e2e/VsagentRun.h"
#include "tests/support/SimulatedCloud.h"

namespace e2e {

using nlohmann::json;
namespace fs = std::filesystem;

class Vsagent : public ::testing::Test {
protected:
    void SetUp() override {
        // The first command seeds the subscription with the demo scenario.
        ASSERT_EQ(Agent({"browse", "VMs", "--depth", "1"}).exitCode, 0);
    }

    e2e::Run Agent(std::vector<std::string> args) {
        args.insert(args.end(), {"--cloud", cloud, "--log", dir.path() + "/job.log"});
        return e2e::Execute(VSAGENT_BINARY, args, dir.path());
    }
    e2e::Run Azsim(std::vector<std::string> args) {
        args.insert(args.begin() + 1, {"--state", cloud});
        return e2e::Execute(AZSIM_TOOL, args, dir.path());
    }
    // A successful command's JSON result.
    json Succeeds(std::vector<std::string> args) {
        args.push_back("--json");
        const e2e::Run run = Agent(args);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        return json::parse(run.out, nullptr, false);
    }
    json Backup(const std::string& vm, std::vector<std::string> extra = {}) {
        extra.insert(extra.begin(), {"backup", "--vm", vm, "--store", store});
        return Succeeds(extra);
    }
    // The cloud's SHA-256 (or, with `root`, windowed root digest) of each disk.
    std::vector<std::string> CloudHashes(const std::string& vm, int disks, bool root = false) {
        std::vector<std::string> out;
        for (int d = 0; d < disks; ++d) {
            std::vector<std::string> args = {"hash", "--vm", vm, "--disk", std::to_string(d)};
            if (root) args.push_back("--root");
            e2e::Run run = Azsim(args);
            EXPECT_EQ(run.exitCode, 0) << run.err;
            out.push_back(run.out.substr(0, 64));
        }
        return out;
    }
    // The root digest a backup job recorded for each disk.
    static std::vector<std::string> Roots(const json& job) {
        std::vector<std::string> out;
        for (const json& disk : job["disks"]) out.push_back(disk["digest"]["root"].get<std::string>());
        return out;
    }
    std::string Export(long long job, int disk) {
        std::string out = dir.path() + "/export-" + std::to_string(job) + "-" + std::to_string(disk);
        e2e::Run run = Agent({"export", "--store", store, "--job", std::to_string(job), "--disk", std::to_string(disk),
                              "--out", out});
        EXPECT_EQ(run.exitCode, 0) << run.err;
        // The exported file itself, hashed by the cloud tool's own code path for files.
        return e2e::Execute("/usr/bin/sha256sum", {out}, dir.path()).out.substr(0, 64);
    }
    // Makes the cloud fail or slow down as the arguments of "azsim fault" say.
    void Fault(std::vector<std::string> args) {
        args.insert(args.begin(), "fault");
        const e2e::Run run = Azsim(args);
        ASSERT_EQ(run.exitCode, 0) << run.err;
    }
    void GuestWrite(const std::string& vm, int disk, std::uint64_t offset, std::uint64_t length, int seed) {
        ASSERT_EQ(Azsim({"write", "--vm", vm, "--disk", std::to_string(disk), "--offset", std::to_string(offset),
                         "--random", std::to_string(seed), "--length", std::to_string(length)})
                      .exitCode,
                  0);
    }
    json List() { return json::parse(Agent({"list", "--store", store, "--json"}).out, nullptr, false); }
    std::size_t CloudSnapshots() {
        azsim::StateDocument doc = azsim::SubscriptionState(cloud).load();
        return doc.snapshots.size() + doc.blobSnapshots.size() + doc.snapshotSets.size();
    }
    std::size_t SnapshotSetsOf(const std::string& vm) {
        azsim::StateDocument doc = azsim::SubscriptionState(cloud).load();
        return static_cast<std::size_t>(std::count_if(doc.snapshotSets.begin(), doc.snapshotSets.end(),
                                                       [&](const azsim::SnapshotSet& set) { return set.vmName == vm; }));
    }
    std::string JobFolder(const std::string& vm, long long job) {
        return store + "/" + vm + "/job-" + std::to_string(job);
    }
    // `args` of vsagent run in the background, returned once `started` holds (or a minute has passed).
    std::unique_ptr<e2e::Background> StartedWhen(std::vector<std::string> args, const std::function<bool()>& started) {
        args.insert(args.end(), {"--cloud", cloud, "--log", dir.path() + "/job.log"});
        auto run = std::make_unique<e2e::Background>(VSAGENT_BINARY, args, dir.path());
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!started() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return run;
    }
    // A backup of `vm` on one thread, slowed by a delay on every read, started once
    // `disk0` of job `job` is being written.
    std::unique_ptr<e2e::Background> SlowBackupUnderWay(const std::string& vm, long long job) {
        Fault({"add-http", "--method", "GET", "--path", "*", "--kind", "delay", "--delay-ms", "400", "--times", "-1"});
        return StartedWhen({"backup", "--vm", vm, "--store", store, "--threads", "1"},
                           [&] { return fs::exists(JobFolder(vm, job) + "/disk0.img"); });
    }
    // A failed backup: one line on stderr naming the step, nothing on stdout, exit 1.
    void ExpectOneLineFailure(const e2e::Run& run, const std::string& step) {
        EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
        EXPECT_TRUE(run.out.empty()) << run.out;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
        EXPECT_NE(run.err.find("failed in " + step + ":"), std::string::npos) << run.err;
    }

    // Flips one byte of a file in place (twice restores it).
    static void FlipByte(const std::string& path, std::uint64_t at) {
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekg(static_cast<std::streamoff>(at));
        const char byte = static_cast<char>(file.get() ^ 0x5a);
        file.seekp(static_cast<std::streamoff>(at));
        file.put(byte);
    }

    testsupport::TempDir dir;
    std::string cloud = dir.path() + "/cloud";
    std::string store = dir.path() + "/store";
};

}  // namespace e2e
