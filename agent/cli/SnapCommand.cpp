// snap: snapshot-engine jobs. backup snaps VMs together and keeps their metadata,
// copy reads a job's snapshots into the store as ordinary full backups, list
// shows the jobs, delete removes a job's snapshots.
#include <algorithm>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>

#include <nlohmann/json.hpp>

#include "agent/cli/BackupReport.h"
#include "agent/cli/Commands.h"
#include "agent/host/AgentHost.h"
#include "agent/host/CancelSignal.h"
#include "agent/job/BackupJob.h"
#include "agent/job/ErrorAdvice.h"
#include "agent/snap/PluginSnapEngine.h"
#include "agent/snap/SnapBackupJob.h"
#include "agent/snap/SnapCleanup.h"
#include "agent/snap/SnapCopy.h"
#include "agent/store/FolderLock.h"
#include "host/snap/CVMSnapUtil.h"
#include "host/snap/SnapCatalog.h"
#include "host/util/Guid.h"
#include "host/vminfo/CVMInfo.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace vsagent {

namespace {

const char* const kUsage =
    "usage: vsagent snap backup --vm NAME [--vm NAME ...] [--vm-centric] --store DIR\n"
    "       vsagent snap copy --job N [--vm NAME] --store DIR\n"
    "       vsagent snap list --store DIR\n"
    "       vsagent snap delete --job N --store DIR\n"
    "       vsagent snap revert|restore --job N --vm NAME --store DIR ... (see their --help)\n"
    "\n"
    "Snapshot-engine jobs: the snapshots themselves are the backup copy.\n"
    "backup  snaps every VM named together in one job and keeps the job's metadata\n"
    "        (the VMs, their snapshot sets and configuration files) in the store.\n"
    "copy    reads the snapshots of job N (of every VM, or of --vm NAME) into the\n"
    "        store, one ordinary full backup per VM, as of the time of the snapshot.\n"
    "list    the snapshot-engine jobs, their VMs, snapshot sets and archive files.\n"
    "delete  deletes the snapshot sets of job N and marks its archive files invalid.\n"
    "A snap job that was killed is undone by the next snap command: the snapshot\n"
    "sets that carry its mark are deleted, nothing of another job is touched.\n";

std::string Meaning(int code) { return code == 0 ? "ok" : AdviceFor(code).meaning; }

// "error 39, the VM's snapshot was not created (details)"
std::string ErrorText(int code, const std::string& details) {
    return "error " + std::to_string(code) + ", " + Meaning(code) + (details.empty() ? "" : " (" + details + ")");
}

// The values of every "--name VALUE" / "--name=VALUE" of a repeatable option.
std::vector<std::string> AllValues(int argc, char** argv, const std::string& name) {
    std::vector<std::string> out;
    const std::string flag = "--" + name;
    for (int i = 3; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == flag && i + 1 < argc) out.push_back(argv[++i]);
        else if (arg.rfind(flag + "=", 0) == 0) out.push_back(arg.substr(flag.size() + 1));
    }
    return out;
}

// Parses "vsagent snap SUB ..." as a command named "snap SUB".
int ParseSub(int argc, char** argv, const std::vector<OptionSpec>& specs, CommandLine& line, std::string& name) {
    name = std::string("snap ") + argv[2];
    std::vector<char*> args(argv, argv + argc);
    args.erase(args.begin() + 1);
    args[1] = name.data();
    return ParseCommand(static_cast<int>(args.size()), args.data(), specs, 0, kUsage, line);
}

std::map<std::uint32_t, bool> ArchiveValidity(const SnapJobRecord& record) {
    std::map<std::uint32_t, bool> out;
    for (long long job : SnapJobIds(record)) {
        std::vector<snapcatalog::ArchiveFile> files;
        std::string error;
        if (snapcatalog::ListArchiveFiles(job, files, error))
            for (const snapcatalog::ArchiveFile& f : files) out[f.id] = f.valid;
    }
    return out;
}

json RecordJson(const SnapJobRecord& record) {
    const std::map<std::uint32_t, bool> archives = ArchiveValidity(record);
    json vms = json::array();
    for (const SnapVmOutcome& vm : record.vms) {
        auto archive = archives.find(vm.archiveFileId);
        vms.push_back({{"name", vm.name},
                       {"guid", vm.guid},
                       {"status", vm.status},
                       {"meaning", vm.status < 0 ? "not snapped" : Meaning(vm.status)},
                       {"details", vm.details},
                       {"snapshotGuid", vm.snapshotGuid},
                       {"childJobId", vm.childJobId},
                       {"archiveFileId", vm.archiveFileId},
                       {"archiveFileValid", archive != archives.end() && archive->second}});
    }
    return {{"jobId", record.jobId}, {"jobGuid", record.jobGuid}, {"state", record.state},
            {"vmCentric", record.vmCentric}, {"vms", vms}};
}

std::string RecordText(const json& job) {
    std::string out = "Snap job " + std::to_string(job["jobId"].get<long long>()) + " (" +
                      job["state"].get<std::string>() + ")\n";
    for (const json& vm : job["vms"]) {
        const int status = vm["status"];
        out += "  VM " + vm["name"].get<std::string>() + "  " +
               (status == 0 ? "ok" : status < 0 ? "not snapped" : ErrorText(status, vm["details"])) +
               (vm["snapshotGuid"].get<std::string>().empty() ? "" : "  snapshot set " + vm["snapshotGuid"].get<std::string>()) +
               "  archive file " + std::to_string(vm["archiveFileId"].get<std::uint32_t>()) +
               (vm["archiveFileValid"].get<bool>() ? " (valid)" : " (invalid)") + "\n";
    }
    return out;
}

std::function<void(const std::string&)> Progress(const CommandLine& line) {
    if (line.has("json")) return [](const std::string&) {};
    return [](const std::string& text) { std::cout << "  " << text << "\n" << std::flush; };
}

int ConnectFailed(const std::string& name, const ConnectFailure& failure) {
    return Fail(name.c_str(), "cannot connect to the subscription: " + ErrorText(failure.code, failure.details) +
                                  ". What to do: " + AdviceFor(48).action + ".");
}

int SnapBackup(int argc, char** argv, CancelSignal& cancel) {
    CommandLine line;
    std::string name;
    int exit = ParseSub(argc, argv, {{"vm", true}, {"vm-centric", false}, {"store", true}}, line, name);
    if (exit >= 0) return exit;
    SnapBackupRequest request;
    request.vmNames = AllValues(argc, argv, "vm");
    request.vmCentric = line.has("vm-centric");
    if (request.vmNames.empty()) return Fail(name.c_str(), "--vm NAME is required", kExitUsage);
    if (!NeedStore(line, name.c_str(), exit)) return exit;
    BackupStore store(line.value("store"));
    AgentHost host(ChooseCloud(line));
    const long long jobId = store.nextJobId();
    ConnectFailure failure;
    std::unique_ptr<IVMInfo> plugin = host.connect(jobId, failure);
    if (!plugin) return ConnectFailed(name, failure);
    cancel.watch(dynamic_cast<CVMInfo*>(plugin.get()));
    SnapBackupResult result = SnapBackupJob(*plugin, store, host.cloud().credentials(), [&cancel] { return cancel.cancelled(); },
                                            Progress(line))
                                  .run(request, jobId);
    cancel.watch(nullptr);
    plugin->Disconnect();
    if (!result.ok && result.record.vms.empty())
        return Fail(name.c_str(), "job " + std::to_string(jobId) + " failed in " + result.failedStep + ": " +
                                      ErrorText(result.errorCode, result.errorDetails));
    json job = RecordJson(result.record);
    job["notes"] = result.notes;
    if (line.has("json")) std::cout << job.dump(2) << "\n";
    else std::cout << RecordText(job);
    bool allOk = result.ok;
    if (!result.ok)
        Fail(name.c_str(), "job " + std::to_string(jobId) + " failed in " + result.failedStep + ": " +
                               ErrorText(result.errorCode, result.errorDetails));
    for (const SnapVmOutcome& vm : result.record.vms)
        if (result.ok && vm.status != 0) {
            allOk = false;
            Fail(name.c_str(), "VM [" + vm.name + "] failed: " + ErrorText(vm.status, vm.details));
        }
    return allOk ? kExitOk : kExitFailed;
}

int SnapList(int argc, char** argv) {
    CommandLine line;
    std::string name;
    int exit = ParseSub(argc, argv, {{"store", true}}, line, name);
    if (exit >= 0) return exit;
    if (!NeedStore(line, name.c_str(), exit)) return exit;
    const BackupStore store = BackupStore::OpenExisting(line.value("store"));
    CVMSnapUtil::SetCatalogRoot(SnapCatalogRoot(store.root()));
    std::map<long long, json> jobs;
    std::vector<std::string> damaged;
    std::error_code ec;
    for (fs::directory_iterator it(SnapJobsFolder(store.root()), ec), end; !ec && it != end; it.increment(ec)) {
        std::optional<SnapJobRecord> record = SnapJobRecord::Read(it->path().string());
        if (record) jobs[record->jobId] = RecordJson(*record);
        else damaged.push_back(it->path().string());
    }
    if (!damaged.empty())
        return Fail(name.c_str(), "the record of snap job folder [" + damaged.front() +
                                      "] is missing or damaged; nothing is listed until it is repaired or removed");
    json list = json::array();
    for (auto& [id, job] : jobs) list.push_back(job);
    if (line.has("json")) {
        std::cout << list.dump(2) << "\n";
    } else {
        if (list.empty()) std::cout << "No snapshot-engine jobs in the store.\n";
        for (const json& job : list) std::cout << RecordText(job);
    }
    return kExitOk;
}

// The record of snap job --job N, which no one else is running; none with the error printed.
std::optional<SnapJobRecord> NamedJob(const CommandLine& line, const std::string& name, int& exit,
                                      std::optional<FolderLock>& lock) {
    long long job = 0;
    std::string error;
    if (!line.number("job", 1, (1LL << 62), job, error)) {
        exit = Fail(name.c_str(), line.has("job") ? error : "--job N is required", kExitUsage);
        return std::nullopt;
    }
    const std::string folder = SnapJobFolder(line.value("store"), job);
    std::optional<SnapJobRecord> record = SnapJobRecord::Read(folder);
    if (!record) {
        exit = Fail(name.c_str(), "the store holds no snapshot-engine job " + std::to_string(job) +
                                      ". What to do: see 'vsagent snap list'.");
        return std::nullopt;
    }
    lock = FolderLock::Try(folder, FolderLock::Mode::Shared);
    if (!lock) {
        exit = Fail(name.c_str(), "snap job " + std::to_string(job) + " is still running");
        return std::nullopt;
    }
    return record;
}

int SnapDelete(int argc, char** argv) {
    CommandLine line;
    std::string name;
    int exit = ParseSub(argc, argv, {{"job", true}, {"store", true}}, line, name);
    if (exit >= 0) return exit;
    if (!NeedStore(line, name.c_str(), exit)) return exit;
    std::optional<FolderLock> lock;
    std::optional<SnapJobRecord> record = NamedJob(line, name, exit, lock);
    if (!record) return exit;
    lock.reset();
    const std::string folder = SnapJobFolder(line.value("store"), record->jobId);
    lock = FolderLock::Try(folder, FolderLock::Mode::Exclusive);
    if (!lock) return Fail(name.c_str(), "snap job " + std::to_string(record->jobId) + " is in use");
    AgentHost host(ChooseCloud(line));
    ConnectFailure failure;
    // Under the job's own identity: what it deletes is what that job made.
    std::unique_ptr<IVMInfo> plugin = host.connect(record->jobId, failure, record->jobGuid);
    if (!plugin) return ConnectFailed(name, failure);
    CVMSnapUtil::SetCatalogRoot(SnapCatalogRoot(line.value("store")));
    std::vector<std::string> notes = UndoDeadSnapJobs(*plugin, line.value("store"), host.cloud().credentials());
    std::string problem;
    if (!UndoSnapJob(*plugin, *record, host.cloud().credentials(), problem))
        return Fail(name.c_str(), "job " + std::to_string(record->jobId) + ": " +
                                      ErrorText(VMINFO_ERR_SNAPSHOT_DELETE, problem));
    record->state = SnapJobRecord::kDeleted;
    record->write(folder);
    json job = RecordJson(*record);
    job["notes"] = notes;
    if (line.has("json")) std::cout << job.dump(2) << "\n";
    else std::cout << "Deleted the snapshot sets of snap job " << record->jobId << "\n" << RecordText(job);
    return kExitOk;
}

int SnapCopy(int argc, char** argv, CancelSignal& cancel) {
    CommandLine line;
    std::string name;
    int exit = ParseSub(argc, argv, {{"job", true}, {"vm", true}, {"store", true}}, line, name);
    if (exit >= 0) return exit;
    if (!NeedStore(line, name.c_str(), exit)) return exit;
    std::optional<FolderLock> lock;
    std::optional<SnapJobRecord> record = NamedJob(line, name, exit, lock);
    if (!record) return exit;
    if (record->state != SnapJobRecord::kComplete)
        return Fail(name.c_str(), "snap job " + std::to_string(record->jobId) + " has no snapshots to copy (it is " +
                                      record->state + ")");
    BackupStore store(line.value("store"));
    AgentHost host(ChooseCloud(line));
    CVMSnapUtil::SetCatalogRoot(SnapCatalogRoot(store.root()));
    ConnectFailure failure;
    std::unique_ptr<IVMInfo> reader = host.connect(record->jobId, failure);
    if (!reader) return ConnectFailed(name, failure);
    for (const std::string& note : UndoDeadSnapJobs(*reader, store.root(), host.cloud().credentials()))
        Progress(line)(note);
    std::vector<SnapCopySource> vms;
    JobOutcome listed;
    const ScratchFolder work((fs::path(SnapJobFolder(store.root(), record->jobId)) / ("copy-" + CreateGuid())).string());
    if (!SnapJobVms(*reader, *record, work.path(), vms, listed))
        return Fail(name.c_str(), "the VMs of snap job " + std::to_string(record->jobId) + " cannot be read in " +
                                      listed.failedStep + ": " + ErrorText(listed.errorCode, listed.errorDetails));
    if (line.has("vm"))
        vms.erase(std::remove_if(vms.begin(), vms.end(),
                                 [&](const SnapCopySource& vm) { return vm.vm.name != line.value("vm"); }),
                  vms.end());
    if (vms.empty())
        return Fail(name.c_str(), "snap job " + std::to_string(record->jobId) + " holds no VM [" + line.value("vm") + "]");
    std::vector<std::pair<std::string, SnapCopyResult>> outcomes;
    for (const SnapCopySource& vm : vms) {
        Progress(line)("copying VM [" + vm.vm.name + "] of snap job " + std::to_string(record->jobId));
        outcomes.emplace_back(vm.vm.name,
                              CopySnapVm(host, store, vm, !line.has("json"), [&cancel] { return cancel.cancelled(); },
                                         [&cancel](IVMInfo* p) { cancel.watch(dynamic_cast<CVMInfo*>(p)); }));
        if (cancel.cancelled()) break;
    }
    json out = json::array();
    bool allOk = true;
    for (const auto& [vm, copy] : outcomes) {
        const BackupResult& r = copy.result;
        json entry = {{"vm", vm}, {"jobId", copy.jobId}, {"status", r.ok ? 0 : r.errorCode}};
        if (r.ok) {
            if (!line.has("json")) std::cout << "VM " << vm << "  ok  stored as job " << copy.jobId << "\n";
        } else {
            allOk = false;
            entry["meaning"] = Meaning(r.errorCode);
            entry["details"] = r.errorDetails;
            Fail(name.c_str(), FailureLine(vm, r));
        }
        out.push_back(entry);
    }
    if (line.has("json")) std::cout << out.dump(2) << "\n";
    if (cancel.cancelled()) return kExitCancelled;
    return allOk ? kExitOk : kExitFailed;
}

}  // namespace

int RunSnap(int argc, char** argv, CancelSignal& cancel) {
    const std::string sub = argc > 2 ? argv[2] : "";
    try {
        if (sub == "backup") return SnapBackup(argc, argv, cancel);
        if (sub == "copy") return SnapCopy(argc, argv, cancel);
        if (sub == "list") return SnapList(argc, argv);
        if (sub == "delete") return SnapDelete(argc, argv);
        if (sub == "revert" || sub == "restore") return RunSnapRestore(argc, argv, cancel);
    } catch (const std::exception& e) {
        return Fail(("snap " + sub).c_str(), e.what());
    }
    if (sub == "--help" || sub == "help") {
        std::cout << kUsage;
        return kExitOk;
    }
    const bool none = sub.empty() || sub[0] == '-';
    std::cerr << "vsagent snap: " << (none ? "a subcommand is required" : "unknown subcommand [" + sub + "]")
              << "\n\n" << kUsage;
    return kExitUsage;
}

}  // namespace vsagent
