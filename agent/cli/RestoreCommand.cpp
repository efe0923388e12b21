// restore: a backed-up VM as a VM in the cloud, from any job of its chain.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "agent/cli/Commands.h"
#include "agent/host/AgentHost.h"
#include "agent/host/CancelSignal.h"
#include "agent/job/ErrorAdvice.h"
#include "agent/job/Progress.h"
#include "agent/restore/CloudNames.h"
#include "agent/restore/RestoreCleanup.h"
#include "agent/restore/RestoreJob.h"
#include "host/settings/NXPlatformInfo.h"
#include "host/util/Guid.h"
#include "host/vminfo/CVMInfo.h"

namespace vsagent {

namespace {

const char* const kUsage =
    "usage: vsagent restore --store DIR --job ID [--name NAME] [--group RG] [--region REGION]\n"
    "                       [--size SIZE] [--managed | --unmanaged] [--direct-upload]\n"
    "                       [--storage ACCOUNT[/CONTAINER]] [--zones LIST] [--network VNET [--subnet SUBNET]]\n"
    "                       [--public-ip] [--power-off] [--overwrite] [--threads N]\n"
    "       vsagent restore --store DIR --job ID --attach-to VM [--group RG] [--disks LIST]\n"
    "                       [--storage ACCOUNT[/CONTAINER]] [--direct-upload] [--threads N]\n"
    "\n"
    "Restores the VM backed up by job ID of the store DIR as a VM in the cloud, or with\n"
    "--attach-to some of its disks as new data disks of the existing VM (on the next free\n"
    "LUNs; --disks 0,2 picks disks by their index in 'vsagent list --json', default all;\n"
    "encrypted disks are left out with a warning). An incremental job is restored through\n"
    "its chain: every disk as it was at that job. Only the ranges the backups stored are\n"
    "written; the rest of a new disk reads as zeros.\n"
    "\n"
    "  --name NAME      the new VM's name (default: the backed-up VM's name, which\n"
    "                   needs --overwrite while that VM exists)\n"
    "  --group RG       resource group (default: the backed-up VM's)\n"
    "  --region REGION  region (default: the group's)\n"
    "  --size SIZE      VM size (default: the backed-up VM's when the region offers it and it\n"
    "                   fits, else the best match)\n"
    "  --managed, --unmanaged   managed disks or page blobs (default: as the backed-up VM)\n"
    "  --direct-upload  write managed disks directly instead of staging page blobs first\n"
    "  --storage ACCOUNT[/CONTAINER]  where page blobs go (default: for an unmanaged VM\n"
    "                   the backed-up VM's account, for a managed one an account of the region;\n"
    "                   container vhds)\n"
    "  --zones LIST     availability zones, e.g. 1 or 1,2 (default: the backed-up VM's)\n"
    "  --network VNET, --subnet SUBNET  the NIC's network (default: the region's first)\n"
    "  --public-ip      give the VM a public IP address\n"
    "  --power-off      shut the VM down after its boot wait (nMinsWaitForBootTimeout minutes)\n"
    "  --overwrite      replace a VM and disks of the same names\n"
    "  --threads N      write with N threads (1 to 64; default: tuned while the job runs)\n"
    "\n"
    "Ctrl-C cancels the job: what it created in the cloud is removed. A restore that was\n"
    "killed, or that could not remove what it created, is undone by the next restore run\n"
    "against the same store. Every disk window written is checked against the backup's\n"
    "digests before the VM is made.\n";

const std::vector<OptionSpec> kOptions = {
    {"store", true},     {"job", true},        {"name", true},      {"group", true},     {"region", true},
    {"size", true},      {"managed", false},   {"unmanaged", false}, {"direct-upload", false},
    {"storage", true},   {"zones", true},      {"network", true},   {"subnet", true},    {"public-ip", false},
    {"power-off", false}, {"overwrite", false}, {"threads", true}, {"attach-to", true}, {"disks", true}};

// Options that describe a new VM, which an attach does not make.
const char* const kNewVmOnly[] = {"name", "region", "size", "managed", "unmanaged", "zones",
                                  "network", "subnet", "public-ip", "power-off", "overwrite"};

double MegabytesPerSecond(std::uint64_t bytes, double seconds) {
    return seconds > 0 ? static_cast<double>(bytes) / seconds / 1e6 : 0;
}

std::string SummaryText(const RestoreRequest& request, const RestoreResult& r, double seconds) {
    std::ostringstream out;
    if (r.attached)
        out << "Restore of job " << request.jobId << ": " << r.disks.size() << " disk(s) attached to VM [" << r.vmName
            << "] in [" << r.resourceGroup << "]\n";
    else
        out << "Restore of job " << request.jobId << " as VM [" << r.vmName << "] in [" << r.resourceGroup
            << "]: size " << r.vmSize << ", zones " << (r.zones.empty() ? "none" : r.zones) << ", GUID " << r.vmGuid
            << "\n";
    for (const RestoredDisk& d : r.disks)
        out << "  " << (d.osDisk && !r.attached ? "OS disk  " : "LUN " + std::to_string(d.lun) + "    ")
            << d.backupName << " -> " << d.restoredName
            << (d.storageAccount.empty() ? "" : (r.managed ? " staged in " : " in ") + d.storageAccount) << "  "
            << FormatBytes(d.bytes) << ", wrote " << FormatBytes(d.written) << "\n";
    char line[160];
    std::snprintf(line, sizeof(line), "  wrote %s in %llu writes, %.1f s, %.1f MB/s while writing\n",
                  FormatBytes(r.bytesWritten).c_str(), static_cast<unsigned long long>(r.writes), seconds,
                  MegabytesPerSecond(r.bytesWritten, r.writeSeconds));
    out << line;
    for (const std::string& f : r.failures) out << "  warning: " << f << "\n";
    for (const std::string& note : r.notes) out << "  note: " << note << "\n";
    return out.str();
}

nlohmann::json SummaryJson(const RestoreRequest& request, const RestoreResult& r, double seconds) {
    nlohmann::json disks = nlohmann::json::array();
    for (const RestoredDisk& d : r.disks)
        disks.push_back({{"backupName", d.backupName}, {"restoredName", d.restoredName},
                         {"storageAccount", d.storageAccount}, {"lun", d.lun}, {"osDisk", d.osDisk},
                         {"bytes", d.bytes}, {"written", d.written}});
    return {{"job", request.jobId}, {"attached", r.attached}, {"vmName", r.vmName}, {"resourceGroup", r.resourceGroup},
            {"vmGuid", r.vmGuid}, {"vmSize", r.vmSize}, {"zones", r.zones}, {"disks", disks},
            {"bytesWritten", r.bytesWritten}, {"writes", r.writes}, {"seconds", seconds},
            {"writeSeconds", r.writeSeconds}, {"writerThreads", r.writerThreads}, {"failures", r.failures},
            {"notes", r.notes}};
}

std::string FailureLine(const RestoreRequest& request, const RestoreResult& r) {
    ErrorAdvice advice = AdviceFor(r.errorCode);
    std::ostringstream out;
    out << "restore of job " << request.jobId << " " << (r.cancelled ? "cancelled" : "failed") << " in "
        << r.failedStep << ": ";
    // A failure the agent found itself has no plugin error; its details say all.
    if (r.errorCode != 0 || r.errorDetails.empty()) {
        out << "error " << r.errorCode << ", " << advice.meaning;
        if (!r.errorDetails.empty()) out << " (" << r.errorDetails << ")";
        out << ". What to do: " << advice.action << ".";
    } else {
        out << r.errorDetails << ".";
    }
    if (r.cleanupIncomplete)
        out << " Not everything the job created could be removed: of " << r.leftForLater
            << ", what carries the job's mark may remain. The job's record stays in the store, and the next "
               "restore run against it removes the rest.";
    else
        out << " What the job created was removed.";
    for (const std::string& note : r.notes) out << " Note: " << note << ".";
    return out.str();
}

// "0,2" -> {0, 2}: indexes into the job's disk list, each once.
bool ReadDiskList(const std::string& text, std::vector<std::size_t>& out, std::string& error) {
    std::stringstream items(text);
    std::string item;
    while (std::getline(items, item, ',')) {
        if (item.empty() || item.size() > 3 || item.find_first_not_of("0123456789") != std::string::npos ||
            std::find(out.begin(), out.end(), std::stoul(item)) != out.end()) {
            error = "--disks takes distinct disk indexes separated by commas, as 0,2; not [" + text + "]";
            return false;
        }
        out.push_back(std::stoul(item));
    }
    if (out.empty()) error = "--disks names no disk";
    return !out.empty();
}

// The first name given on the command line that the cloud would refuse, as an error; empty when none.
std::string NameProblems(const CommandLine& line) {
    const std::pair<const char*, CloudName> named[] = {
        {"name", CloudName::Vm}, {"attach-to", CloudName::Vm}, {"group", CloudName::ResourceGroup}};
    for (const auto& option : named)
        if (line.has(option.first)) {
            const std::string problem = CloudNameProblem(option.second, line.value(option.first));
            if (!problem.empty()) return std::string("--") + option.first + ": " + problem;
        }
    std::string storage = line.value("storage");
    std::replace(storage.begin(), storage.end(), '/', '\\');
    const std::string problem = line.has("storage") ? PlacementProblem(storage) : std::string();
    return problem.empty() ? problem : "--storage: " + problem;
}

// The request the command line asks for; false with `error` set when it is not one.
bool ReadRequest(const CommandLine& line, RestoreRequest& request, std::string& error) {
    if (!line.number("job", 1, Manifest::kMaxJobId, request.jobId, error)) return false;
    if (line.has("managed") && line.has("unmanaged")) {
        error = "--managed and --unmanaged exclude each other";
        return false;
    }
    if (line.has("managed")) request.managed = true;
    if (line.has("unmanaged")) request.managed = false;
    request.directUpload = line.has("direct-upload");
    if (request.directUpload && request.managed == std::optional<bool>(false)) {
        error = "--direct-upload writes managed disks; it cannot go with --unmanaged";
        return false;
    }
    if (line.has("subnet") && !line.has("network")) {
        error = "--subnet needs --network";
        return false;
    }
    request.attachTo = line.value("attach-to");
    if (line.has("attach-to")) {
        for (const char* option : kNewVmOnly)
            if (line.has(option)) {
                error = std::string("--") + option + " describes a new VM; it cannot go with --attach-to";
                return false;
            }
    } else if (line.has("disks")) {
        error = "--disks picks disks to attach; it needs --attach-to (a new VM gets every disk)";
        return false;
    }
    if (line.has("disks") && !ReadDiskList(line.value("disks"), request.diskIndexes, error)) return false;
    if (!(error = NameProblems(line)).empty()) return false;
    long long threads = 0;
    if (line.has("threads") && !line.number("threads", 1, 64, threads, error)) return false;
    request.threads = static_cast<int>(threads);
    request.vmName = line.value("name");
    request.resourceGroup = line.value("group");
    request.region = line.value("region");
    request.vmSize = line.value("size");
    request.storage = line.value("storage");
    // The shell-friendly "account/container" is the plugin's "account\container".
    for (char& c : request.storage)
        if (c == '/') c = '\\';
    request.zones = line.value("zones");
    request.network = line.value("network");
    request.subnet = line.value("subnet");
    request.publicIp = line.has("public-ip");
    request.powerOn = !line.has("power-off");
    request.overwrite = line.has("overwrite");
    request.showProgress = !line.has("json");
    return true;
}

}  // namespace

int RunRestore(int argc, char** argv, CancelSignal& cancel) {
    CommandLine line;
    int exit = ParseCommand(argc, argv, kOptions, 0, kUsage, line);
    if (exit >= 0) return exit;
    if (!line.has("store")) return Fail("restore", "--store DIR is required", kExitUsage);
    if (!line.has("job")) return Fail("restore", "--job ID is required", kExitUsage);
    RestoreRequest request;
    std::string error;
    if (!ReadRequest(line, request, error)) return Fail("restore", error, kExitUsage);
    try {
        BackupStore store = BackupStore::OpenExisting(line.value("store"));
        AgentHost host(ChooseCloud(line));
        std::vector<std::string> undone = CleanUpDeadRestores(store.root(), host.cloud().credentials());
        if (request.directUpload)
            NXPlatformInfo::setValue("VirtualServer", "bAzureEnableDirectUploadToManagedDisk", "1");
        const long long jobId = store.nextJobId();
        const std::string jobGuid = CreateGuid();
        ConnectFailure failure;
        std::unique_ptr<IVMInfo> plugin = host.connect(jobId, failure, jobGuid);
        if (!plugin)
            return Fail("restore", "cannot connect to the subscription: error " + std::to_string(failure.code) + " (" +
                                       failure.details + "). What to do: " + AdviceFor(48).action + ".");
        cancel.watch(dynamic_cast<CVMInfo*>(plugin.get()));
        const auto start = std::chrono::steady_clock::now();
        RestoreResult result =
            RestoreJob(*plugin, store, [&cancel] { return cancel.cancelled(); }).run(request, jobId, jobGuid);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        cancel.watch(nullptr);
        plugin->Disconnect();
        if (result.recordKept) {
            // A second remover, through the job's record: it tells whether anything the job made is left.
            UndoOutcome outcome = UndoRestoreFolder(RestoreJobFolder(store.root(), jobId), host.cloud().credentials());
            result.cleanupIncomplete = !outcome.undone;
            result.leftForLater = outcome.left.empty() ? outcome.line : outcome.left;
        }
        result.notes.insert(result.notes.begin(), undone.begin(), undone.end());
        if (!result.ok) {
            Fail("restore", FailureLine(request, result));
            return result.cancelled ? kExitCancelled : kExitFailed;
        }
        if (line.has("json"))
            std::cout << SummaryJson(request, result, seconds).dump(2) << "\n";
        else
            std::cout << SummaryText(request, result, seconds);
        return kExitOk;
    } catch (const std::exception& e) {
        return Fail("restore", e.what());
    }
}

}  // namespace vsagent
