// backup: one full or incremental backup of a VM into a backup store.
#include <chrono>
#include <iostream>

#include "agent/cli/BackupReport.h"
#include "agent/cli/Commands.h"
#include "agent/host/AgentHost.h"
#include "agent/host/CancelSignal.h"
#include "agent/job/BackupJob.h"
#include "agent/job/ErrorAdvice.h"
#include "host/vminfo/CVMInfo.h"

namespace vsagent {

namespace {

const char* const kUsage =
    "usage: vsagent backup --vm NAME [--group RG] [--full] [--failback] [--threads N] --store DIR\n"
    "\n"
    "Backs VM NAME up into the backup store DIR: incremental (only what changed)\n"
    "when the store holds a previous backup of the VM with a reference point, full\n"
    "otherwise or with --full.\n"
    "--failback backs up a standby VM that a replication deployed, to bring its\n"
    "data back to the source: each disk is known by the replication GUID its blob\n"
    "carries, and a disk without one fails the job.\n"
    "--threads N reads the disks with N threads (1 to 64). Without it the count is\n"
    "tuned while the job runs: 16 threads first, so that requests waiting out the\n"
    "cloud's latency overlap, then 8 more at a time, up to 32, for as long as each\n"
    "step raises the read throughput by 15% or more; the first step that does not\n"
    "is taken back. Each thread takes about 8 MiB of memory.\n"
    "Ctrl-C cancels the job: the cloud snapshots are removed and nothing is kept.\n"
    "A job that was killed is undone by the next backup of its VM: its snapshots\n"
    "and its folder are removed before that backup starts.\n";

}  // namespace

int RunBackup(int argc, char** argv, CancelSignal& cancel) {
    CommandLine line;
    int exit = ParseCommand(argc, argv,
                            {{"vm", true}, {"group", true}, {"full", false}, {"failback", false}, {"threads", true},
                             {"store", true}},
                            0, kUsage, line);
    if (exit >= 0) return exit;
    std::string error;
    if (line.value("vm").empty()) return Fail("backup", "--vm NAME is required", kExitUsage);
    if (line.value("store").empty()) return Fail("backup", "--store DIR is required", kExitUsage);
    long long threads = 0;  // tuned
    if (line.has("threads") && !line.number("threads", 1, 64, threads, error)) return Fail("backup", error, kExitUsage);

    BackupRequest request;
    request.vmName = line.value("vm");
    request.resourceGroup = line.value("group");
    request.forceFull = line.has("full");
    request.failback = line.has("failback");
    request.threads = static_cast<int>(threads);
    request.showProgress = !line.has("json");
    try {
        BackupStore store(line.value("store"));
        AgentHost host(ChooseCloud(line));
        long long jobId = store.nextJobId();
        ConnectFailure failure;
        std::unique_ptr<IVMInfo> plugin = host.connect(jobId, failure);
        if (!plugin)
            return Fail("backup", "cannot connect to the subscription: error " + std::to_string(failure.code) + " (" +
                                      failure.details + "). What to do: " + AdviceFor(48).action + ".");
        cancel.watch(dynamic_cast<CVMInfo*>(plugin.get()));
        std::uint64_t requestsBefore = host.cloud().requestsServed();
        auto start = std::chrono::steady_clock::now();
        BackupResult result =
            BackupJob(*plugin, store, [&cancel] { return cancel.cancelled(); }).run(request, jobId);
        BackupFigures figures;
        figures.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        figures.requests = host.cloud().requestsServed() - requestsBefore;
        cancel.watch(nullptr);
        plugin->Disconnect();
        if (!result.ok) {
            Fail("backup", FailureLine(request.vmName, result));
            return result.cancelled ? kExitCancelled : kExitFailed;
        }
        if (line.has("json"))
            std::cout << SummaryJson(result, figures).dump(2) << "\n";
        else
            std::cout << SummaryText(result, figures, store.jobFolder(result.manifest.vmName, jobId));
        return kExitOk;
    } catch (const std::exception& e) {
        return Fail("backup", e.what());
    }
}

}  // namespace vsagent
