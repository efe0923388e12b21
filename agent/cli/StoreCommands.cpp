// list, verify and export: the backup store without the cloud.
#include <cstdio>
#include <iostream>

#include <nlohmann/json.hpp>

#include "agent/cli/Commands.h"
#include "agent/host/CancelSignal.h"
#include "agent/job/Progress.h"
#include "agent/store/Integrity.h"
#include "agent/store/StoreError.h"

namespace vsagent {

namespace {

const char* const kListUsage =
    "usage: vsagent list --store DIR\n"
    "\n"
    "Lists the complete backup jobs of the store, oldest first, and the folders of\n"
    "jobs that never completed (failed or cancelled before their manifest was written).\n"
    "TYPE is full, incremental (built on job PARENT) or synthetic-full (rebuilt in the\n"
    "store from its chain when prune removed the jobs it built on); READ is what the\n"
    "job read from the cloud, STORED what its folder takes on disk.\n";

const char* const kVerifyUsage =
    "usage: vsagent verify --store DIR [--job ID]\n"
    "\n"
    "Re-hashes what the manifests promise: the data each job stored, every disk as\n"
    "assembled from its chain of backups, and the configuration files. All jobs, or\n"
    "job ID only. Exits 1 when anything differs. Ctrl-C or a termination request stops it.\n";

const char* const kExportUsage =
    "usage: vsagent export --store DIR --job ID --disk N --out FILE\n"
    "\n"
    "Writes disk N (0 = the first disk of the job) as it was at job ID, assembled\n"
    "from the chain of full and incremental backups, to FILE, and checks it against\n"
    "the digest the job recorded. FILE is sparse: every 4 KiB block of zeros is a\n"
    "hole, and only the ranges some job stored are read, whatever the chain's depth.\n"
    "Prints the SHA-256 of the whole disk (as sha256sum FILE gives it). FILE appears\n"
    "only when it matches; a failed or stopped export leaves an existing FILE as it was.\n";

}  // namespace

int RunList(int argc, char** argv) {
    CommandLine line;
    int exit = ParseCommand(argc, argv, {{"store", true}}, 0, kListUsage, line);
    if (exit >= 0 || !NeedStore(line, "list", exit)) return exit;
    try {
        BackupStore store = BackupStore::OpenExisting(line.value("store"));
        std::vector<Manifest> jobs = store.jobs();
        std::vector<std::string> incomplete = store.incompleteJobs();
        if (line.has("json")) {
            nlohmann::json out = {{"jobs", nlohmann::json::array()}, {"incomplete", incomplete}};
            for (const Manifest& m : jobs) {
                nlohmann::json j = m.toJson();
                j.erase("referencePoint");
                for (nlohmann::json& disk : j["disks"]) disk.erase("extents");
                j["storedBytes"] = AllocatedBytes(store.jobFolder(m.vmName, m.jobId));
                out["jobs"].push_back(j);
            }
            std::cout << out.dump(2) << "\n";
            return kExitOk;
        }
        if (jobs.empty()) std::cout << "no complete backup jobs in " << store.root() << "\n";
        else std::printf("%-5s %-16s %-10s %-14s %6s %5s %10s %10s  %s\n", "JOB", "VM", "GROUP", "TYPE", "PARENT",
                         "DISKS", "READ", "STORED", "FINISHED");
        for (const Manifest& m : jobs) {
            const char* type = m.incremental ? "incremental" : m.syntheticFull ? "synthetic-full" : "full";
            const std::string parent = m.parentJob ? std::to_string(*m.parentJob) : "-";
            std::printf("%-5lld %-16s %-10s %-14s %6s %5zu %10s %10s  %s\n", m.jobId, m.vmName.c_str(),
                        m.resourceGroup.c_str(), type, parent.c_str(), m.disks.size(), FormatBytes(m.bytesRead).c_str(),
                        FormatBytes(AllocatedBytes(store.jobFolder(m.vmName, m.jobId))).c_str(), m.finishedAt.c_str());
        }
        for (const std::string& folder : incomplete) std::cout << "incomplete (not usable): " << folder << "\n";
        return kExitOk;
    } catch (const std::exception& e) {
        return Fail("list", e.what());
    }
}

int RunVerify(int argc, char** argv, const CancelSignal& cancel) {
    CommandLine line;
    int exit = ParseCommand(argc, argv, {{"store", true}, {"job", true}}, 0, kVerifyUsage, line);
    if (exit >= 0 || !NeedStore(line, "verify", exit)) return exit;
    std::string error;
    long long jobId = 0;
    if (line.has("job") && !line.number("job", 1, Manifest::kMaxJobId, jobId, error))
        return Fail("verify", error, kExitUsage);
    try {
        BackupStore store = BackupStore::OpenExisting(line.value("store"));
        std::vector<Manifest> jobs;
        if (line.has("job")) {
            std::optional<Manifest> job = store.job(jobId);
            if (!job) return Fail("verify", "the store holds no complete job " + std::to_string(jobId));
            jobs.push_back(*job);
        } else {
            jobs = store.jobs();
        }
        bool sound = true;
        nlohmann::json out = nlohmann::json::array();
        for (const Manifest& job : jobs) {
            VerifyResult result = VerifyJob(store, job, StopOn(cancel));
            sound = sound && result.problems.empty();
            out.push_back({{"jobId", job.jobId}, {"ok", result.problems.empty()}, {"problems", result.problems}});
            if (line.has("json")) continue;
            std::cout << "job " << job.jobId << " (" << job.vmName << "): "
                      << (result.problems.empty() ? "ok, " + FormatBytes(result.bytesChecked) + " checked" : "DAMAGED")
                      << "\n";
            for (const std::string& problem : result.problems) std::cout << "  " << problem << "\n";
        }
        if (line.has("json")) std::cout << nlohmann::json({{"ok", sound}, {"jobs", out}}).dump(2) << "\n";
        if (jobs.empty() && !line.has("json")) std::cout << "no complete backup jobs to verify\n";
        return sound ? kExitOk : kExitFailed;
    } catch (const StoreCancelled& e) {
        return Fail("verify", e.what(), kExitCancelled);
    } catch (const std::exception& e) {
        return Fail("verify", e.what());
    }
}

int RunExport(int argc, char** argv, const CancelSignal& cancel) {
    CommandLine line;
    int exit = ParseCommand(argc, argv, {{"store", true}, {"job", true}, {"disk", true}, {"out", true}}, 0,
                            kExportUsage, line);
    if (exit >= 0 || !NeedStore(line, "export", exit)) return exit;
    std::string error;
    long long jobId = 0;
    long long disk = 0;
    if (!line.has("job") || !line.number("job", 1, Manifest::kMaxJobId, jobId, error))
        return Fail("export", error.empty() ? "--job ID is required" : error, kExitUsage);
    if (!line.has("disk") || !line.number("disk", 0, 1000, disk, error))
        return Fail("export", error.empty() ? "--disk N is required" : error, kExitUsage);
    if (line.value("out").empty()) return Fail("export", "--out FILE is required", kExitUsage);
    try {
        BackupStore store = BackupStore::OpenExisting(line.value("store"));
        std::optional<Manifest> job = store.job(jobId);
        if (!job) return Fail("export", "the store holds no complete job " + std::to_string(jobId));
        std::string sha = ExportDisk(store, *job, static_cast<std::size_t>(disk), line.value("out"), StopOn(cancel));
        const DiskRecord& record = job->disks[static_cast<std::size_t>(disk)];
        if (line.has("json"))
            std::cout << nlohmann::json({{"jobId", jobId}, {"disk", disk}, {"name", record.name}, {"bytes", record.imageBytes},
                                         {"sha256", sha}, {"out", line.value("out")}}).dump(2) << "\n";
        else
            std::cout << "exported disk " << disk << " [" << record.name << "] of job " << jobId << ": "
                      << FormatBytes(record.imageBytes) << " to " << line.value("out") << "\nsha256 " << sha << "\n";
        return kExitOk;
    } catch (const StoreCancelled& e) {
        return Fail("export", e.what(), kExitCancelled);
    } catch (const std::exception& e) {
        return Fail("export", e.what());
    }
}

}  // namespace vsagent
