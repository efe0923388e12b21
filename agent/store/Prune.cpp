#include "agent/store/Prune.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <set>

#include "agent/store/AtomicFile.h"
#include "agent/store/ChainReader.h"
#include "agent/store/PruneJournalCheck.h"
#include "agent/store/SyntheticFull.h"

namespace fs = std::filesystem;

namespace vsagent {

namespace {

constexpr const char* kParkedPrefix = ".pruned-job-";

void SyncFolder(const std::string& folder) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) ThrowSystemError("cannot open folder", folder);
    ::fsync(fd);
    ::close(fd);
}

// The jobs a policy drops from one VM's, and the kept jobs that build on them.
PrunePlan PlanFor(const std::string& vm, const std::vector<Manifest>& jobs, const PruneRequest& request) {
    const std::set<long long> kept = KeptJobsByGroup(jobs, request.policy, request.now);
    PrunePlan plan;
    plan.vmName = vm;
    plan.policy = request.policy;
    plan.now = request.now;
    for (const Manifest& m : jobs)
        if (!kept.count(m.jobId)) plan.remove.push_back(m.jobId);
    const std::set<long long> removed(plan.remove.begin(), plan.remove.end());
    for (const Manifest& m : jobs) {
        if (!kept.count(m.jobId) || !m.parentJob || !removed.count(*m.parentJob)) continue;
        SyntheticJob job{m.jobId, {}};
        for (std::size_t i = 0; i < m.disks.size(); ++i)
            if (m.disks[i].parentJob)
                job.images.push_back({i, m.disks[i].image, SyntheticImageName(m.disks[i].image)});
        plan.synthesize.push_back(job);
    }
    return plan;
}

// Carries out one VM's plan, journalled; every step can be run again after a stop.
class VmPrune {
public:
    VmPrune(BackupStore& store, const PruneRequest& request, PruneReport& report)
        : store_(store), request_(request), report_(report), vmFolder_(store.vmFolder(report.vmName)) {}

    void run(const PrunePlan& plan, bool journalled) {
        const std::string journal = (fs::path(vmFolder_) / PrunePlan::kJournalName).string();
        if (!journalled) {
            WriteFileAtomically(journal, plan.toJson().dump(2) + "\n");
            step("journal");
        }
        for (const SyntheticJob& job : plan.synthesize) synthesize(job);
        checkNothingBuildsOnRemoved(plan);
        // Newest first: a job goes before the jobs it builds on, so that every job still listed stays whole.
        for (auto id = plan.remove.rbegin(); id != plan.remove.rend(); ++id) remove(*id);
        if (::unlink(journal.c_str()) != 0) ThrowSystemError("cannot remove", journal);
        SyncFolder(vmFolder_);
        step("done");
    }

    // What the plan would free, measured without changing anything.
    void estimate(const PrunePlan& plan) {
        for (long long id : plan.remove) report_.removedBytes += AllocatedBytes(store_.jobFolder(report_.vmName, id));
        for (const SyntheticJob& job : plan.synthesize) {
            const Manifest m = existing(job.jobId);
            for (const ReplacedImage& r : job.images) {
                report_.replacedBytes += AllocatedBytes(imagePath(job.jobId, r.image));
                const ChainReader chain(store_.chain(m, r.disk), m.disks[r.disk].imageBytes);
                report_.writtenBytes += TotalBytes(chain.dataExtents());
            }
        }
    }

private:
    void step(const std::string& name) {
        if (request_.onStep) request_.onStep(name);
    }

    std::string imagePath(long long job, const std::string& image) const {
        return (fs::path(store_.jobFolder(report_.vmName, job)) / image).string();
    }

    Manifest existing(long long id) const {
        std::optional<Manifest> m = store_.job(id);
        if (!m || m->vmName != report_.vmName)
            throw StoreError("job " + std::to_string(id) + ", which prune keeps and rebuilds as a full, is missing from the store");
        return *m;
    }

    // The job's new images and manifest, unless an earlier run committed them; then the images they replace.
    void synthesize(const SyntheticJob& job) {
        const Manifest m = existing(job.jobId);
        const std::string id = std::to_string(job.jobId);
        auto imageIs = [&m](const ReplacedImage& r, const std::string& name) {
            return r.disk < m.disks.size() && m.disks[r.disk].image == name;
        };
        const bool committed = std::all_of(job.images.begin(), job.images.end(),
                                           [&](const ReplacedImage& r) { return imageIs(r, r.newImage); });
        if (!committed) {
            Manifest next = m;
            for (const ReplacedImage& r : job.images) {
                if (!imageIs(r, r.image))
                    throw StoreError("disk " + std::to_string(r.disk) + " of job " + id + " is not the image [" + r.image +
                                     "] the prune journal replaces; the journal does not belong to this store");
                next.disks[r.disk] = BuildSyntheticDisk(store_, m, r.disk, imagePath(job.jobId, r.newImage), request_.stop);
                step("image " + id + " " + std::to_string(r.disk));
            }
            next.incremental = false;
            next.parentJob.reset();
            next.syntheticFull = true;
            store_.commit(store_.jobFolder(report_.vmName, job.jobId), next);
            step("manifest " + id);
        }
        for (const ReplacedImage& r : job.images) {
            const std::string old = imagePath(job.jobId, r.image);
            report_.replacedBytes += AllocatedBytes(old);
            report_.writtenBytes += AllocatedBytes(imagePath(job.jobId, r.newImage));
            if (::unlink(old.c_str()) != 0 && errno != ENOENT) ThrowSystemError("cannot remove", old);
        }
        step("images " + id);
    }

    // A last check before anything is removed: no job that stays builds on one that goes.
    void checkNothingBuildsOnRemoved(const PrunePlan& plan) const {
        const std::set<long long> removed(plan.remove.begin(), plan.remove.end());
        for (const Manifest& m : store_.jobs())
            if (m.vmName == report_.vmName && !removed.count(m.jobId) && m.parentJob && removed.count(*m.parentJob))
                throw StoreError("job " + std::to_string(m.jobId) + " still builds on job " +
                                 std::to_string(*m.parentJob) + ", which prune was to remove; nothing was removed");
    }

    // The job's folder is first renamed out of the store's sight, then deleted.
    void remove(long long id) {
        const std::string folder = store_.jobFolder(report_.vmName, id);
        const std::string parked = (fs::path(vmFolder_) / (kParkedPrefix + std::to_string(id))).string();
        std::error_code ec;
        if (fs::exists(fs::path(folder) / "manifest.json", ec)) {
            fs::remove_all(parked, ec);
            report_.removedBytes += AllocatedBytes(folder);
            if (::rename(folder.c_str(), parked.c_str()) != 0) ThrowSystemError("cannot rename", folder);
            SyncFolder(vmFolder_);
            step("rename " + std::to_string(id));
        } else if (fs::exists(parked, ec)) {
            report_.removedBytes += AllocatedBytes(parked);
        }
        fs::remove_all(parked, ec);
        if (ec) throw StoreError("cannot remove [" + parked + "]: " + ec.message());
        step("remove " + std::to_string(id));
    }

    BackupStore& store_;
    const PruneRequest& request_;
    PruneReport& report_;
    std::string vmFolder_;
};

std::vector<Manifest> JobsOf(const BackupStore& store, const std::string& vm) {
    std::vector<Manifest> jobs;
    for (Manifest& m : store.jobs())
        if (m.vmName == vm) jobs.push_back(std::move(m));
    return jobs;
}

// The VMs to look at: those with jobs, and those whose folder holds a journal.
std::set<std::string> VmNames(const BackupStore& store, const std::string& only) {
    std::set<std::string> names;
    for (const Manifest& m : store.jobs()) names.insert(m.vmName);
    std::error_code ec;
    for (fs::directory_iterator it(store.root(), ec), end; !ec && it != end; it.increment(ec))
        if (it->is_directory() && fs::exists(it->path() / PrunePlan::kJournalName))
            names.insert(it->path().filename().string());
    if (only.empty()) return names;
    if (!names.count(only)) throw StoreError("the store holds no backup of VM [" + only + "]");
    return {only};
}

// The VM's journal, when it has one that holds against the store.
std::optional<PrunePlan> ReadCheckedJournal(const BackupStore& store, const std::string& vm) {
    std::optional<PrunePlan> plan = ReadJournal(store.vmFolder(vm), vm);
    if (plan) CheckJournalHolds(*plan, JobsOf(store, vm), store);
    return plan;
}

PruneReport PruneVm(BackupStore& store, const PruneRequest& request, const std::string& vm) {
    PruneReport report;
    report.vmName = vm;
    VmPrune prune(store, request, report);
    if (request.dryRun) {
        report.interrupted = ReadCheckedJournal(store, vm);
        if (!report.interrupted) report.plan = PlanFor(vm, JobsOf(store, vm), request);
        prune.estimate(report.interrupted ? *report.interrupted : report.plan);
        return report;
    }
    std::optional<FolderLock> lock = store.lockVm(vm, FolderLock::Mode::Exclusive, false);
    if (!lock)
        throw StoreError("the jobs of VM [" + vm + "] are in use by a backup or another prune; run prune again once it has finished");
    report.interrupted = ReadCheckedJournal(store, vm);
    if (report.interrupted) prune.run(*report.interrupted, true);
    report.plan = PlanFor(vm, JobsOf(store, vm), request);
    if (!report.plan.empty()) prune.run(report.plan, false);
    return report;
}

}  // namespace

std::vector<PruneReport> Prune(BackupStore& store, const PruneRequest& request) {
    std::vector<PruneReport> reports;
    for (const std::string& vm : VmNames(store, request.vmName)) {
        PruneReport report = PruneVm(store, request, vm);
        if (report.interrupted || !report.plan.empty()) reports.push_back(std::move(report));
    }
    return reports;
}

}  // namespace vsagent
