// replicate: one replication run of a backed-up VM onto its standby, kept as page blobs and a
// configuration blob in a storage account ('vsagent standby' deploys it at failover).
#include <iostream>

#include <nlohmann/json.hpp>

#include "agent/cli/Commands.h"
#include "agent/host/AgentHost.h"
#include "agent/host/CancelSignal.h"
#include "agent/job/ErrorAdvice.h"
#include "agent/restore/CloudNames.h"
#include "agent/restore/RestoreJob.h"
#include "host/util/Guid.h"
#include "host/vminfo/CVMInfo.h"

namespace vsagent {

namespace {

const char* const kUsage =
    "usage: vsagent replicate --store DIR --vm SOURCE --job ID --to-group RG --to-storage ACCOUNT\n"
    "                         [--name VM] [--threads N]\n"
    "\n"
    "Replicates backup job ID of VM SOURCE from the store DIR onto the standby VM (default:\n"
    "SOURCE's name) in group RG: its disks become page blobs in the \"vhds\" container of\n"
    "ACCOUNT with an integrity snapshot each, and its configuration blob is kept there, so that\n"
    "'vsagent standby create' can deploy it at failover. A later run over the same standby writes\n"
    "only what changed. A failed run runs no clean-up: the standby stays as the run left it.\n"
    "\n"
    "Replication needs the cloud file system, which exists only on Windows hosts; on this\n"
    "platform every run stops at its first step with error 186, before any cloud call.\n";

const std::vector<OptionSpec> kOptions = {{"store", true},    {"vm", true},         {"job", true},
                                          {"to-group", true}, {"to-storage", true}, {"name", true},
                                          {"threads", true}};

// What to do about a failed run: the general advice, except where replication has its own.
std::string Action(int code) {
    if (code == VMINFO_ERR_CLOUDFS_UNAVAILABLE)
        return "run replication from a Windows host, which has the cloud file system; from this host, "
               "'vsagent restore' restores the job as a new VM";
    return AdviceFor(code).action;
}

std::string FailureLine(const RestoreRequest& request, const RestoreResult& r) {
    std::string line = "replication of job " + std::to_string(request.jobId) + " to VM [" + r.vmName + "] " +
                       (r.cancelled ? "cancelled" : "failed") + " in " + r.failedStep + ": ";
    if (r.errorCode != 0 || r.errorDetails.empty())
        line += "error " + std::to_string(r.errorCode) + ", " + AdviceFor(r.errorCode).meaning +
                (r.errorDetails.empty() ? "" : " (" + r.errorDetails + ")") + ". What to do: " +
                Action(r.errorCode) + ".";
    else
        line += r.errorDetails + ".";
    return line + " No clean-up ran: the standby in [" + r.resourceGroup + "] stays as the run left it.";
}

nlohmann::json Summary(const RestoreRequest& request, const RestoreResult& r) {
    nlohmann::json disks = nlohmann::json::array();
    for (const RestoredDisk& d : r.disks)
        disks.push_back({{"backupName", d.backupName}, {"blob", d.restoredName}, {"storageAccount", d.storageAccount},
                         {"bytes", d.bytes}, {"written", d.written}});
    return {{"job", request.jobId}, {"vmName", r.vmName}, {"resourceGroup", r.resourceGroup}, {"disks", disks},
            {"bytesWritten", r.bytesWritten}, {"failures", r.failures}, {"notes", r.notes}};
}

bool ReadRequest(const CommandLine& line, const BackupStore& store, RestoreRequest& request, std::string& error) {
    for (const char* option : {"vm", "job", "to-group", "to-storage"})
        if (line.value(option).empty()) {
            error = std::string("--") + option + " is required";
            return false;
        }
    if (!line.number("job", 1, Manifest::kMaxJobId, request.jobId, error)) return false;
    for (const auto& [option, kind] : {std::make_pair("name", CloudName::Vm), std::make_pair("vm", CloudName::Vm),
                                       std::make_pair("to-group", CloudName::ResourceGroup),
                                       std::make_pair("to-storage", CloudName::StorageAccount)})
        if (!(error = CloudNameProblem(kind, line.value(option, line.value("vm")))).empty()) {
            error = std::string("--") + option + ": " + error;
            return false;
        }
    long long threads = 0;
    if (line.has("threads") && !line.number("threads", 1, 64, threads, error)) return false;
    std::optional<Manifest> job = store.job(request.jobId);
    if (job && job->vmName != line.value("vm")) {
        error = "job " + std::to_string(request.jobId) + " is a backup of VM [" + job->vmName + "], not of [" +
                line.value("vm") + "]";
        return false;
    }
    request.replicate = true;
    request.vmName = line.value("name", line.value("vm"));
    request.resourceGroup = line.value("to-group");
    request.storage = line.value("to-storage");
    request.threads = static_cast<int>(threads);
    request.powerOn = false;
    request.showProgress = !line.has("json");
    return true;
}

}  // namespace

int RunReplicate(int argc, char** argv, CancelSignal& cancel) {
    CommandLine line;
    int exit = ParseCommand(argc, argv, kOptions, 0, kUsage, line);
    if (exit >= 0) return exit;
    if (!line.has("store")) return Fail("replicate", "--store DIR is required", kExitUsage);
    try {
        BackupStore store = BackupStore::OpenExisting(line.value("store"));
        RestoreRequest request;
        std::string error;
        if (!ReadRequest(line, store, request, error)) return Fail("replicate", error, kExitUsage);
        AgentHost host(ChooseCloud(line));
        const long long jobId = store.nextJobId();
        const std::string jobGuid = CreateGuid();
        ConnectFailure failure;
        std::unique_ptr<IVMInfo> plugin = host.connect(jobId, failure, jobGuid);
        if (!plugin)
            return Fail("replicate", "cannot connect to the subscription: error " + std::to_string(failure.code) +
                                         " (" + failure.details + "). What to do: " + AdviceFor(48).action + ".");
        cancel.watch(dynamic_cast<CVMInfo*>(plugin.get()));
        RestoreResult result =
            RestoreJob(*plugin, store, [&cancel] { return cancel.cancelled(); }).run(request, jobId, jobGuid);
        cancel.watch(nullptr);
        plugin->Disconnect();
        if (!result.ok) {
            Fail("replicate", FailureLine(request, result));
            return result.cancelled ? kExitCancelled : kExitFailed;
        }
        std::cout << Summary(request, result).dump(2) << "\n";
        return kExitOk;
    } catch (const std::exception& e) {
        return Fail("replicate", e.what());
    }
}

}  // namespace vsagent
