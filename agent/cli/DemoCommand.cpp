// demo: a full backup, guest writes, an incremental backup, exports, a restore
// and comparisons with the cloud's own hashes, on a simulated subscription of its own.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <vector>

#include "agent/cli/BackupReport.h"
#include "agent/cli/Commands.h"
#include "agent/host/AgentHost.h"
#include "agent/host/CancelSignal.h"
#include "agent/job/BackupJob.h"
#include "agent/job/Progress.h"
#include "agent/restore/RestoreJob.h"
#include "agent/snap/SnapBackupJob.h"
#include "agent/snap/SnapCopy.h"
#include "agent/snap/SnapRestoreJob.h"
#include "agent/store/Integrity.h"
#include "agent/store/Sha256.h"
#include "azsim/model/SubscriptionState.h"
#include "azsim/scenarios/DiskContent.h"
#include "host/util/Guid.h"
#include "host/vminfo/CVMInfo.h"

namespace fs = std::filesystem;

namespace vsagent {

namespace {

const char* const kUsage =
    "usage: vsagent demo [--dir DIR] [--vm NAME]\n"
    "\n"
    "Runs the agent's main job end to end on a fresh simulated subscription in\n"
    "DIR/cloud (default ~/.vsagent/demo): a full backup of VM NAME (default\n"
    "app-win01) into DIR/store, writes inside the VM's disks, an incremental\n"
    "backup, an export of every disk of both jobs, a comparison with the\n"
    "cloud's own SHA-256 of each disk at the time of each backup, and a restore\n"
    "of the incremental job as a new VM whose disks must hash as the VM's did at\n"
    "that backup; then a snapshot-engine job of VM NAME and a second VM, guest\n"
    "writes, a copy of VM NAME's snapshot into the store that must verify and hash\n"
    "as the VM's disks did at the snapshot, and a revert of VM NAME to the snapshot\n"
    "after which its disks must hash so too. Exits 0 only when everything matches.\n";

constexpr std::uint64_t kMiB = 1024 * 1024;

// The cloud's side: disk hashes and guest writes, straight on the subscription's data.
class CloudDisks {
public:
    CloudDisks(const std::string& dir, const std::string& vmName) : state_(dir), vmName_(vmName) {}

    // The SHA-256 of each disk of VM `vmName` (default: the demo's VM), the OS disk first.
    std::vector<std::string> hashes(const std::string& vmName = std::string()) const {
        azsim::StateDocument doc = state_.load();
        const azsim::VirtualMachine* vm = doc.findVm(vmName.empty() ? vmName_ : vmName);
        std::vector<std::string> out;
        if (!vm) return out;
        azsim::PageBlobStore store = state_.blobs();
        std::vector<char> window(4 * kMiB);
        for (std::size_t i = 0; i < vm->disks.size(); ++i) {
            azsim::BlobKey blob = *doc.diskBlob(*vm, i);
            azsim::BlobProperties properties;
            store.properties(blob, "", properties);
            Sha256 sha;
            for (std::uint64_t at = 0; at < properties.size; at += window.size()) {
                std::int64_t got = store.read(blob, "", at, window.data(), window.size());
                if (got <= 0) break;
                sha.update(window.data(), static_cast<std::size_t>(got));
            }
            out.push_back(sha.hex());
        }
        return out;
    }

    // Seeded random data at `offset` of disk `disk`, as the guest would write it.
    void write(std::size_t disk, std::uint64_t offset, std::uint64_t length, std::uint64_t seed) const {
        azsim::StateDocument doc = state_.load();
        azsim::BlobKey blob = *doc.diskBlob(*doc.findVm(vmName_), disk);
        azsim::PageBlobStore store = state_.blobs();
        azsim::ContentFill fill;
        fill.offset = offset;
        fill.length = length;
        fill.kind = azsim::FillKind::Random;
        fill.seed = seed;
        std::string error;
        if (!azsim::WriteContent(store, blob, fill, vmName_, &error)) throw std::runtime_error(error);
    }

    void clear(std::size_t disk, std::uint64_t offset, std::uint64_t length) const {
        azsim::StateDocument doc = state_.load();
        azsim::BlobKey blob = *doc.diskBlob(*doc.findVm(vmName_), disk);
        azsim::PageBlobStore store = state_.blobs();
        std::string error;
        if (!store.clearPages(blob, offset, length, &error)) throw std::runtime_error(error);
    }

private:
    azsim::SubscriptionState state_;
    std::string vmName_;
};

std::string DefaultDemoDir() {
    const char* home = getenv("HOME");
    return home && *home ? (fs::path(home) / ".vsagent" / "demo").string() : "vsagent-demo";
}

class Demo {
public:
    Demo(const std::string& dir, const std::string& vmName, CancelSignal& cancel)
        : dir_(dir), vmName_(vmName), cancel_(cancel), store_((fs::path(dir) / "store").string()) {}

    int run() {
        std::cout << "vsagent demo: simulated subscription in " << dir_ << "/cloud, backups in " << store_.root()
                  << "\n";
        AgentHost host(CloudChoice::Simulated((fs::path(dir_) / "cloud").string()));
        CloudDisks cloud(host.cloud().dir(), vmName_);

        std::vector<std::string> before = cloud.hashes();
        if (before.empty()) return Fail("demo", "the subscription has no VM [" + vmName_ + "]");
        std::cout << "\n1. full backup of " << vmName_ << "\n";
        std::optional<Manifest> full = backup(host);
        if (!full) return kExitFailed;

        std::cout << "\n2. the guest writes: 3 scattered ranges on every disk, one range cleared\n";
        for (std::size_t disk = 0; disk < before.size(); ++disk) {
            cloud.write(disk, (3 + disk) * kMiB, 64 * 1024, 11 + disk);
            cloud.write(disk, 40 * kMiB + 4096, 512 * 1024, 23 + disk);
            cloud.write(disk, 100 * kMiB, 1 * kMiB, 37 + disk);
        }
        cloud.clear(0, 0, 64 * 1024);
        std::vector<std::string> after = cloud.hashes();

        std::cout << "\n3. incremental backup of " << vmName_ << "\n";
        std::optional<Manifest> incremental = backup(host);
        if (!incremental) return kExitFailed;

        std::cout << "\n4. export every disk of both jobs and compare with the cloud's SHA-256 at backup time\n";
        bool match = compare(*full, before) & compare(*incremental, after);
        bool chained = incremental->incremental;
        if (!chained) std::cout << "   the second backup was not incremental\n";

        std::cout << "\n5. verify the store\n";
        bool sound = true;
        for (const Manifest& job : {*full, *incremental}) {
            VerifyResult result = VerifyJob(store_, job);
            sound = sound && result.problems.empty();
            std::cout << "   job " << job.jobId << ": " << (result.problems.empty() ? "ok" : "DAMAGED") << "\n";
        }
        std::cout << "\n6. restore the incremental job as a new VM and compare its disks with the cloud's at backup time\n";
        const std::string restored = vmName_ + "-restored";
        bool restoredMatch = restore(host, incremental->jobId, restored);
        std::vector<std::string> restoredHashes = restoredMatch ? cloud.hashes(restored) : std::vector<std::string>();
        restoredMatch = restoredMatch && restoredHashes == after;
        for (std::size_t i = 0; i < restoredHashes.size() && i < after.size(); ++i)
            std::cout << "   disk " << i << "  restored " << restoredHashes[i].substr(0, 16) << "  cloud at backup "
                      << after[i].substr(0, 16) << "  " << (restoredHashes[i] == after[i] ? "match" : "DIFFERENT")
                      << "\n";

        std::cout << "\n7. snapshot engine: snap " << vmName_ << " and " << OtherVm()
                  << " together, the guest writes, copy " << vmName_
                  << "'s snapshot into the store and verify it, revert the VM to it\n";
        const bool snapMatch = snapEngine(host, cloud);

        bool passed = match && chained && sound && restoredMatch && snapMatch;
        std::cout << "\n" << (passed ? "demo passed: every exported and restored disk equals the cloud's disk at its "
                                       "backup time"
                                     : "demo FAILED")
                  << "\n";
        return passed ? kExitOk : kExitFailed;
    }

private:
    std::optional<Manifest> backup(AgentHost& host) {
        long long jobId = store_.nextJobId();
        ConnectFailure failure;
        std::unique_ptr<IVMInfo> plugin = host.connect(jobId, failure);
        if (!plugin) {
            Fail("demo", "cannot connect: error " + std::to_string(failure.code) + " (" + failure.details + ")");
            return std::nullopt;
        }
        cancel_.watch(dynamic_cast<CVMInfo*>(plugin.get()));
        BackupRequest request;
        request.vmName = vmName_;
        request.showProgress = true;
        std::uint64_t requestsBefore = host.cloud().requestsServed();
        auto start = std::chrono::steady_clock::now();
        BackupResult result = BackupJob(*plugin, store_, [this] { return cancel_.cancelled(); }).run(request, jobId);
        BackupFigures figures;
        figures.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        figures.requests = host.cloud().requestsServed() - requestsBefore;
        cancel_.watch(nullptr);
        if (!result.ok) {
            Fail("demo", FailureLine(vmName_, result));
            return std::nullopt;
        }
        std::cout << SummaryText(result, figures, store_.jobFolder(vmName_, jobId));
        return result.manifest;
    }

    std::string OtherVm() const { return vmName_ == "web-linux01" ? "app-win01" : "web-linux01"; }

    // A snapshot-engine job of two VMs, writes after it, and a copy of the first VM that
    // must hold its disks as they were at the snapshot.
    bool snapEngine(AgentHost& host, const CloudDisks& cloud) {
        const std::vector<std::string> atSnap = cloud.hashes();
        const long long snapJob = store_.nextJobId();
        ConnectFailure failure;
        std::unique_ptr<IVMInfo> plugin = host.connect(snapJob, failure);
        if (!plugin) {
            Fail("demo", "cannot connect: error " + std::to_string(failure.code) + " (" + failure.details + ")");
            return false;
        }
        const auto cancelled = [this] { return cancel_.cancelled(); };
        SnapBackupResult snapped =
            SnapBackupJob(*plugin, store_, host.cloud().credentials(), cancelled,
                          [](const std::string& text) { std::cout << "   " << text << "\n"; })
                .run({{vmName_, OtherVm()}, false}, snapJob);
        if (!snapped.ok) {
            Fail("demo", "snap job failed in " + snapped.failedStep + ": error " + std::to_string(snapped.errorCode) +
                             " (" + snapped.errorDetails + ")");
            return false;
        }
        cloud.write(0, 5 * kMiB, 256 * 1024, 51);
        std::vector<SnapCopySource> vms;
        JobOutcome listed;
        const std::string work = (fs::path(dir_) / "snap-metadata").string();
        if (!SnapJobVms(*plugin, snapped.record, work, vms, listed)) {
            Fail("demo", "the VMs of the snap job cannot be read: error " + std::to_string(listed.errorCode) + " (" +
                             listed.errorDetails + ")");
            return false;
        }
        plugin->Disconnect();
        auto vm = std::find_if(vms.begin(), vms.end(), [this](const SnapCopySource& v) { return v.vm.name == vmName_; });
        if (vm == vms.end()) {
            Fail("demo", "the snap job holds no VM [" + vmName_ + "]");
            return false;
        }
        SnapCopyResult copy = CopySnapVm(host, store_, *vm, true, cancelled,
                                         [this](IVMInfo* p) { cancel_.watch(dynamic_cast<CVMInfo*>(p)); });
        if (!copy.result.ok) {
            Fail("demo", FailureLine(vmName_, copy.result));
            return false;
        }
        std::cout << "   copied into job " << copy.jobId << "\n";
        const bool sound = VerifyJob(store_, copy.result.manifest).problems.empty();
        std::cout << "   job " << copy.jobId << ": " << (sound ? "ok" : "DAMAGED") << "\n";
        return compare(copy.result.manifest, atSnap) && sound && revert(host, snapJob, cloud, atSnap);
    }

    // The VM put back as snap job `snapJob` snapped it: its disks must hash as `atSnap`.
    bool revert(AgentHost& host, long long snapJob, const CloudDisks& cloud, const std::vector<std::string>& atSnap) {
        SnapRestoreRequest request;
        request.snapJobId = snapJob;
        request.vmName = vmName_;
        request.revert = true;
        const SnapRestoreResult result =
            SnapRestoreJob(host, store_, [this] { return cancel_.cancelled(); },
                           [this](IVMInfo* p) { cancel_.watch(dynamic_cast<CVMInfo*>(p)); },
                           [](const std::string& text) { std::cout << "   " << text << "\n"; })
                .run(request);
        if (!result.ok) {
            Fail("demo", "revert failed in " + result.failedStep + ": error " + std::to_string(result.errorCode) +
                             " (" + result.errorDetails + ")");
            return false;
        }
        const std::vector<std::string> now = cloud.hashes();
        for (std::size_t i = 0; i < now.size() && i < atSnap.size(); ++i)
            std::cout << "   disk " << i << "  reverted " << now[i].substr(0, 16) << "  cloud at snapshot "
                      << atSnap[i].substr(0, 16) << "  " << (now[i] == atSnap[i] ? "match" : "DIFFERENT") << "\n";
        return now == atSnap;
    }

    bool restore(AgentHost& host, long long backupJob, const std::string& name) {
        long long jobId = store_.nextJobId();
        const std::string jobGuid = CreateGuid();
        ConnectFailure failure;
        std::unique_ptr<IVMInfo> plugin = host.connect(jobId, failure, jobGuid);
        if (!plugin) {
            Fail("demo", "cannot connect: error " + std::to_string(failure.code) + " (" + failure.details + ")");
            return false;
        }
        cancel_.watch(dynamic_cast<CVMInfo*>(plugin.get()));
        RestoreRequest request;
        request.jobId = backupJob;
        request.vmName = name;
        request.showProgress = true;
        RestoreResult result =
            RestoreJob(*plugin, store_, [this] { return cancel_.cancelled(); }).run(request, jobId, jobGuid);
        cancel_.watch(nullptr);
        if (!result.ok) {
            Fail("demo", "restore failed in " + result.failedStep + ": error " + std::to_string(result.errorCode) +
                             " (" + result.errorDetails + ")");
            return false;
        }
        std::cout << "   VM [" << result.vmName << "] size " << result.vmSize << ", " << result.disks.size()
                  << " disks, wrote " << FormatBytes(result.bytesWritten) << "\n";
        return true;
    }

    bool compare(const Manifest& job, const std::vector<std::string>& cloudHashes) {
        bool all = job.disks.size() == cloudHashes.size();
        fs::path exports = fs::path(dir_) / "exports";
        fs::create_directories(exports);
        for (std::size_t i = 0; i < job.disks.size(); ++i) {
            std::string out = (exports / ("job" + std::to_string(job.jobId) + "-disk" + std::to_string(i) + ".img")).string();
            std::string sha = ExportDisk(store_, job, i, out);
            bool same = i < cloudHashes.size() && sha == cloudHashes[i];
            all = all && same;
            std::cout << "   job " << job.jobId << " disk " << i << "  " << job.disks[i].name << "  export "
                      << sha.substr(0, 16) << "  cloud " << (i < cloudHashes.size() ? cloudHashes[i].substr(0, 16) : "-")
                      << "  " << (same ? "match" : "DIFFERENT") << "\n";
        }
        return all;
    }

    std::string dir_;
    std::string vmName_;
    CancelSignal& cancel_;
    BackupStore store_;
};

}  // namespace

int RunDemo(int argc, char** argv, CancelSignal& cancel) {
    CommandLine line;
    int exit = ParseCommand(argc, argv, {{"dir", true}, {"vm", true}}, 0, kUsage, line);
    if (exit >= 0) return exit;
    std::string dir = line.value("dir", DefaultDemoDir());
    try {
        // Every run starts from the demo subscription as seeded, so the demo always shows the same story.
        for (const char* part : {"cloud", "store", "exports", "snap-metadata"}) fs::remove_all(fs::path(dir) / part);
        return Demo(dir, line.value("vm", "app-win01"), cancel).run();
    } catch (const std::exception& e) {
        return Fail("demo", e.what());
    }
}

}  // namespace vsagent
