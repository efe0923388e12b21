// list, verify and export run as a person runs them, on stores built by hand.
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "agent/store/BackupStore.h"
#include "agent/store/ChainReader.h"
#include "agent/store/SparseImage.h"
#include "tests/agent/e2e/VsagentRun.h"
#include "tests/support/SimulatedCloud.h"

namespace fs = std::filesystem;
using namespace vsagent;
using ::testing::HasSubstr;

namespace {

// Whether `pid` has blocked both stop signals, i.e. its signal watcher is in place.
bool StopSignalsTaken(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        unsigned long long mask = 0;
        if (std::sscanf(line.c_str(), "SigBlk: %llx", &mask) == 1) {
            const unsigned long long both = (1ull << (SIGINT - 1)) | (1ull << (SIGTERM - 1));
            return (mask & both) == both;
        }
    }
    return false;
}

// Whether `pid` has ended before `deadline`; it stays to be reaped.
bool EndsBefore(pid_t pid, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid)
            return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

class StoreCommands : public ::testing::Test {
protected:
    e2e::Run Agent(std::vector<std::string> args) {
        args.insert(args.end(), {"--log", dir.path() + "/job.log"});
        return e2e::Execute(VSAGENT_BINARY, args, dir.path());
    }

    // Job 1 of VM "vm1": one disk of `capacity` bytes holding `data` at offset 0, recorded with
    // a made-up digest of the whole disk, which only a complete verify would find wrong.
    void WriteJob(std::uint64_t capacity, const std::string& data) {
        BackupStore writer(store);
        Manifest m;
        m.format = Manifest::kWholeDiskFormat;
        m.jobId = writer.nextJobId();
        m.vmName = "vm1";
        const std::string folder = writer.createJobFolder("vm1", m.jobId);
        DiskRecord d;
        d.name = "vm1-os";
        d.capacity = capacity;
        d.imageBytes = capacity + 512;
        d.image = "disk0.img";
        d.extents = {{0, data.size()}};
        SparseImage image = SparseImage::Create(folder + "/disk0.img", d.imageBytes);
        image.write(0, reinterpret_cast<const unsigned char*>(data.data()), data.size());
        image.sync();
        d.dataSha256 = HashExtents(image, d.extents);
        d.sha256 = std::string(64, '0');
        m.disks.push_back(d);
        writer.commit(folder, m);
    }

    testsupport::TempDir dir;
    std::string store = dir.path() + "/store";
};

TEST_F(StoreCommands, AStoreThatCannotBeReadFailsTheCommandInOneLine) {
    const std::string missing = dir.path() + "/nonexistent";
    std::ofstream(dir.path() + "/plain-file") << "x";
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"list"}, {"verify"}, {"export", "--job", "1", "--disk", "0", "--out", dir.path() + "/x"}}) {
        for (const auto& [at, why] : {std::pair{missing, "there is no backup store at [" + missing + "]"},
                                      std::pair{dir.path() + "/plain-file", std::string("is not a folder")}}) {
            std::vector<std::string> args = command;
            args.insert(args.begin() + 1, {"--store", at});
            const e2e::Run run = Agent(args);
            EXPECT_EQ(run.exitCode, 1) << command[0];
            EXPECT_TRUE(run.out.empty()) << run.out;
            EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
            EXPECT_THAT(run.err, HasSubstr(why));
        }
    }

    // A store that is there but empty has no jobs, which is not an error.
    fs::create_directory(store);
    for (const char* command : {"list", "verify"}) {
        e2e::Run run = Agent({command, "--store", store});
        EXPECT_EQ(run.exitCode, 0) << command << run.err;
        EXPECT_THAT(run.out, HasSubstr("no complete backup jobs"));
    }
}

TEST_F(StoreCommands, TerminationOrInterruptStopsAVerifyOfALargeDisk) {
    // 256 GiB of holes: hours of hashing for a verify that does not stop.
    WriteJob(256ull << 30, std::string(4096, 'x'));
    for (int signal : {SIGTERM, SIGINT}) {
        e2e::Background verify(VSAGENT_BINARY, {"verify", "--store", store, "--log", dir.path() + "/job.log"},
                               dir.path());
        auto now = std::chrono::steady_clock::now;
        const auto ready = now() + std::chrono::seconds(10);
        while (!StopSignalsTaken(verify.pid()) && now() < ready)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_EQ(kill(verify.pid(), signal), 0);
        const bool ended = EndsBefore(verify.pid(), now() + std::chrono::seconds(30));
        if (!ended) kill(verify.pid(), SIGKILL);
        e2e::Run run = verify.finish();
        EXPECT_TRUE(ended) << "signal " << signal << " did not stop the verify";
        EXPECT_EQ(run.exitCode, 130) << run.err;
        EXPECT_EQ(run.err, "vsagent verify: cancelled\n");
    }
}

}  // namespace
