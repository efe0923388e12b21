// prune: retention of the backup store.
#include <ctime>
#include <iostream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "agent/cli/Commands.h"
#include "agent/job/Progress.h"
#include "agent/store/Prune.h"

namespace vsagent {

namespace {

const char* const kPruneUsage =
    "usage: vsagent prune --store DIR (--keep-last N | --keep-within DURATION) [--vm NAME] [--dry-run]\n"
    "\n"
    "Removes the backup jobs of each VM (or of VM NAME only) that no rule keeps:\n"
    "  --keep-last N            keeps the newest N jobs of each VM\n"
    "  --keep-within DURATION   keeps the jobs started within DURATION before now\n"
    "                           (whole numbers with s, m, h, d or w: 30d, 12h, 1w2d)\n"
    "A job is kept when any rule keeps it; the newest job of a VM always is, so the\n"
    "next backup stays incremental. A kept job that builds on a removed one is first\n"
    "rebuilt in the store as a full (a synthetic full), without reading the cloud.\n"
    "--dry-run shows what would be removed and freed, and changes nothing.\n"
    "A prune that is stopped (Ctrl-C, a crash) is finished by the next prune; every\n"
    "kept job stays usable in between.\n";

std::string JobList(const std::vector<long long>& ids) {
    std::ostringstream out;
    for (std::size_t i = 0; i < ids.size(); ++i) out << (i ? ", " : "") << ids[i];
    return out.str();
}

std::string Freed(long long bytes) {
    return bytes >= 0 ? FormatBytes(static_cast<std::uint64_t>(bytes))
                      : "-" + FormatBytes(static_cast<std::uint64_t>(-bytes));
}

void PrintPlan(const PrunePlan& plan, bool dryRun) {
    const std::string will = dryRun ? "would be " : "";
    if (!plan.remove.empty()) std::cout << "  jobs " << will << "removed: " << JobList(plan.remove) << "\n";
    for (const SyntheticJob& job : plan.synthesize)
        std::cout << "  job " << job.jobId << " " << (dryRun ? "would become" : "became")
                  << " a synthetic full (" << job.images.size() << " disk image(s) rebuilt)\n";
}

void PrintReport(const PruneReport& report, bool dryRun) {
    std::cout << "VM [" << report.vmName << "]:\n";
    if (report.interrupted) {
        std::cout << "  " << (dryRun ? "an interrupted prune is pending; the next prune finishes it first:"
                                     : "finished an interrupted prune:") << "\n";
        PrintPlan(*report.interrupted, dryRun);
    }
    PrintPlan(report.plan, dryRun);
    std::cout << "  " << (dryRun ? "would free about " : "freed ") << Freed(report.freedBytes()) << " (removed jobs "
              << FormatBytes(report.removedBytes) << ", replaced images " << FormatBytes(report.replacedBytes)
              << ", synthetic fulls " << FormatBytes(report.writtenBytes) << ")\n";
}

nlohmann::json ReportJson(const PruneReport& report) {
    nlohmann::json j = {{"vm", report.vmName},
                        {"plan", report.plan.toJson()},
                        {"removedBytes", report.removedBytes},
                        {"replacedBytes", report.replacedBytes},
                        {"writtenBytes", report.writtenBytes},
                        {"freedBytes", report.freedBytes()}};
    j["interrupted"] = report.interrupted ? report.interrupted->toJson() : nlohmann::json(nullptr);
    return j;
}

// The policy from the command line; false with `error` set when it is missing or wrong.
bool ReadPolicy(const CommandLine& line, RetentionPolicy& policy, std::string& error) {
    if (!line.has("keep-last") && !line.has("keep-within")) {
        error = "say what to keep: --keep-last N and/or --keep-within DURATION";
        return false;
    }
    long long last = 0;
    if (line.has("keep-last")) {
        if (!line.number("keep-last", 1, 1000000, last, error)) return false;
        policy.keepLast = last;
    }
    std::int64_t seconds = 0;
    if (line.has("keep-within")) {
        if (!ParseDuration(line.value("keep-within"), seconds, error)) {
            error = "--keep-within: " + error;
            return false;
        }
        policy.keepWithinSeconds = seconds;
    }
    return true;
}

}  // namespace

int RunPrune(int argc, char** argv, const CancelSignal& cancel) {
    CommandLine line;
    int exit = ParseCommand(argc, argv,
                            {{"store", true}, {"keep-last", true}, {"keep-within", true}, {"vm", true}, {"dry-run", false}},
                            0, kPruneUsage, line);
    if (exit >= 0 || !NeedStore(line, "prune", exit)) return exit;
    PruneRequest request;
    std::string error;
    if (!ReadPolicy(line, request.policy, error)) return Fail("prune", error, kExitUsage);
    request.vmName = line.value("vm");
    request.dryRun = line.has("dry-run");
    request.now = std::time(nullptr);
    request.stop = StopOn(cancel);
    try {
        BackupStore store = BackupStore::OpenExisting(line.value("store"));
        const std::vector<PruneReport> reports = Prune(store, request);
        if (line.has("json")) {
            nlohmann::json out = nlohmann::json::array();
            for (const PruneReport& r : reports) out.push_back(ReportJson(r));
            std::cout << nlohmann::json({{"dryRun", request.dryRun}, {"vms", out}}).dump(2) << "\n";
        } else if (reports.empty()) {
            std::cout << "nothing to prune" << (request.vmName.empty() ? "" : " for VM [" + request.vmName + "]") << "\n";
        }
        if (!line.has("json"))
            for (const PruneReport& r : reports) PrintReport(r, request.dryRun);
        return kExitOk;
    } catch (const StoreCancelled&) {
        return Fail("prune", "stopped; run prune again to finish it", kExitCancelled);
    } catch (const std::exception& e) {
        return Fail("prune", e.what());
    }
}

}  // namespace vsagent
