// snap revert and snap restore: a VM built from the snapshots of a snapshot-engine
// job, put back in place (revert) or as a new VM (restore).
#include <iostream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "agent/cli/Commands.h"
#include "agent/host/AgentHost.h"
#include "agent/host/CancelSignal.h"
#include "agent/job/ErrorAdvice.h"
#include "agent/restore/CloudNames.h"
#include "agent/snap/SnapRestoreJob.h"
#include "host/vminfo/CVMInfo.h"

using nlohmann::json;

namespace vsagent {

namespace {

const char* const kRevertUsage =
    "usage: vsagent snap revert --job N --vm NAME --store DIR [--power-off]\n"
    "\n"
    "Puts VM NAME back as it was when snap job N snapped it: the VM is replaced, in\n"
    "place (same name and group), by one whose disks are created from the job's\n"
    "snapshots. Its disks, size and placement come from what the snap job recorded,\n"
    "not from the VM as it is now. The snapshots stay.\n"
    "\n"
    "  --power-off      shut the VM down after its boot wait (nMinsWaitForBootTimeout minutes)\n"
    "\n"
    "Ctrl-C cancels the job: what it created in the cloud is removed. A revert or restore\n"
    "that was killed is undone by the next one run against the same store; the VM's\n"
    "disks and the job's snapshots are never removed.\n";

const char* const kRestoreUsage =
    "usage: vsagent snap restore --job N --vm NAME --store DIR [--name NEW] [--group RG]\n"
    "                            [--managed | --unmanaged] [--overwrite] [--power-off]\n"
    "\n"
    "Builds a VM from the snapshots snap job N took of VM NAME; the VM NAME keeps its\n"
    "current disks. Its disks, size and placement come from what the snap job recorded.\n"
    "\n"
    "  --name NEW       the new VM's name (default: NAME, which needs --overwrite while it exists)\n"
    "  --group RG       resource group (default: the snapped VM's)\n"
    "  --managed, --unmanaged   managed disks or page blobs (default: as the snapped VM;\n"
    "                   a VM with managed disks cannot become an unmanaged one)\n"
    "  --overwrite      replace a VM of the same name\n"
    "  --power-off      shut the VM down after its boot wait (nMinsWaitForBootTimeout minutes)\n"
    "\n"
    "Ctrl-C cancels the job: what it created in the cloud is removed. A revert or restore\n"
    "that was killed is undone by the next one run against the same store.\n";

// Parses "vsagent snap SUB ..." as a command named "snap SUB".
int ParseSub(int argc, char** argv, const std::vector<OptionSpec>& specs, const char* usage, CommandLine& line,
             std::string& name) {
    name = std::string("snap ") + argv[2];
    std::vector<char*> args(argv, argv + argc);
    args.erase(args.begin() + 1);
    args[1] = name.data();
    return ParseCommand(static_cast<int>(args.size()), args.data(), specs, 0, usage, line);
}

// The request the command line asks for; false with `error` set when it is not one.
bool ReadRequest(const CommandLine& line, bool revert, SnapRestoreRequest& request, std::string& error) {
    if (!line.has("job")) error = "--job N is required";
    else if (!line.has("vm")) error = "--vm NAME is required";
    else if (!line.has("store")) error = "--store DIR is required";
    else if (line.has("managed") && line.has("unmanaged")) error = "--managed and --unmanaged exclude each other";
    if (!error.empty() || !line.number("job", 1, (1LL << 62), request.snapJobId, error)) return false;
    const std::pair<const char*, CloudName> named[] = {{"name", CloudName::Vm}, {"group", CloudName::ResourceGroup}};
    for (const auto& [option, kind] : named)
        if (line.has(option) && !(error = CloudNameProblem(kind, line.value(option))).empty()) {
            error = std::string("--") + option + ": " + error;
            return false;
        }
    request.vmName = line.value("vm");
    request.revert = revert;
    request.newName = line.value("name");
    request.resourceGroup = line.value("group");
    if (line.has("managed")) request.managed = true;
    if (line.has("unmanaged")) request.managed = false;
    request.overwrite = line.has("overwrite");
    request.powerOn = !line.has("power-off");
    return true;
}

std::string FailureLine(const std::string& action, const SnapRestoreRequest& request, const SnapRestoreResult& r) {
    std::ostringstream out;
    out << action << " of VM [" << request.vmName << "] from snap job " << request.snapJobId << " "
        << (r.cancelled ? "cancelled" : "failed") << " in " << r.failedStep << ": ";
    if (r.errorCode != 0) {
        const ErrorAdvice advice = AdviceFor(r.errorCode);
        out << "error " << r.errorCode << ", " << advice.meaning
            << (r.errorDetails.empty() ? "" : " (" + r.errorDetails + ")") << ". What to do: " << advice.action << ".";
    } else {
        out << r.errorDetails << ".";
    }
    if (r.cleanupIncomplete)
        out << " Not everything the job created could be removed (" << r.leftForLater
            << "); its record stays in the store, and the next revert or restore removes the rest.";
    for (const std::string& note : r.notes) out << " Note: " << note << ".";
    return out.str();
}

json SummaryJson(const std::string& action, const SnapRestoreRequest& request, const SnapRestoreResult& r) {
    return {{"action", action},          {"jobId", r.jobId},         {"snapJob", request.snapJobId},
            {"sourceVm", request.vmName}, {"vmName", r.vmName},      {"resourceGroup", r.resourceGroup},
            {"vmGuid", r.vmGuid},        {"snapshotGuid", r.snapshotGuid}, {"managed", r.managed},
            {"inPlace", r.inPlace},      {"disks", r.disks},         {"failures", r.failures},
            {"notes", r.notes}};
}

std::string SummaryText(const std::string& action, const SnapRestoreRequest& request, const SnapRestoreResult& r) {
    std::ostringstream out;
    out << (action == "revert" ? "Reverted VM [" : "Restored VM [") << request.vmName << "] of snap job "
        << request.snapJobId << " as VM [" << r.vmName << "] in [" << r.resourceGroup << "]"
        << (r.inPlace ? ", in place" : "") << ", GUID " << r.vmGuid << ", from snapshot set " << r.snapshotGuid << "\n";
    for (std::size_t i = 0; i < r.disks.size(); ++i)
        out << (i == 0 ? "  OS disk  " : "  disk     ") << r.disks[i] << "\n";
    for (const std::string& f : r.failures) out << "  warning: " << f << "\n";
    for (const std::string& note : r.notes) out << "  note: " << note << "\n";
    return out.str();
}

}  // namespace

int RunSnapRestore(int argc, char** argv, CancelSignal& cancel) {
    const bool revert = std::string(argv[2]) == "revert";
    const std::string action = revert ? "revert" : "restore";
    std::vector<OptionSpec> specs = {{"job", true}, {"vm", true}, {"store", true}, {"power-off", false}};
    if (!revert)
        specs.insert(specs.end(), {{"name", true}, {"group", true}, {"managed", false}, {"unmanaged", false},
                                   {"overwrite", false}});
    CommandLine line;
    std::string name;
    int exit = ParseSub(argc, argv, specs, revert ? kRevertUsage : kRestoreUsage, line, name);
    if (exit >= 0) return exit;
    SnapRestoreRequest request;
    std::string error;
    if (!ReadRequest(line, revert, request, error)) return Fail(name.c_str(), error, kExitUsage);
    BackupStore store = BackupStore::OpenExisting(line.value("store"));
    AgentHost host(ChooseCloud(line));
    const bool quiet = line.has("json");
    SnapRestoreResult result =
        SnapRestoreJob(host, store, [&cancel] { return cancel.cancelled(); },
                       [&cancel](IVMInfo* p) { cancel.watch(dynamic_cast<CVMInfo*>(p)); },
                       [quiet](const std::string& text) {
                           if (!quiet) std::cout << "  " << text << "\n" << std::flush;
                       })
            .run(request);
    if (!result.ok) {
        Fail(name.c_str(), FailureLine(action, request, result));
        return result.cancelled ? kExitCancelled : kExitFailed;
    }
    if (quiet) std::cout << SummaryJson(action, request, result).dump(2) << "\n";
    else std::cout << SummaryText(action, request, result);
    return kExitOk;
}

}  // namespace vsagent
