#include "agent/store/PruneJournalCheck.h"

#include <filesystem>
#include <map>
#include <set>

#include "agent/store/StoreError.h"

namespace fs = std::filesystem;

namespace vsagent {

namespace {

[[noreturn]] void Refuse(const PrunePlan& plan, const std::string& problem) {
    throw StoreError("the prune journal of VM [" + plan.vmName + "] does not hold against the store: " + problem +
                     "; nothing was changed (delete " + PrunePlan::kJournalName +
                     " from the VM's folder only if no prune of it was stopped)");
}

std::string Job(long long id) { return "job " + std::to_string(id); }

void CheckRemovals(const PrunePlan& plan, const std::vector<Manifest>& jobs) {
    const std::set<long long> newest = KeptJobsByGroup(jobs, RetentionPolicy{}, plan.now);
    const std::set<long long> kept = KeptJobsByGroup(jobs, plan.policy, plan.now);
    for (long long id : plan.remove)
        if (newest.count(id)) Refuse(plan, "it removes " + Job(id) + ", the newest of the VM, which the next backup builds on");
    for (long long id : plan.remove)
        if (kept.count(id)) Refuse(plan, "it removes " + Job(id) + ", which the policy recorded with it keeps");
}

// A kept job that the plan does not rebuild must build on kept jobs only.
void CheckKeptJobsStayWhole(const PrunePlan& plan, const std::vector<Manifest>& jobs) {
    const std::set<long long> removed(plan.remove.begin(), plan.remove.end());
    std::set<long long> rebuilt;
    for (const SyntheticJob& job : plan.synthesize) rebuilt.insert(job.jobId);
    for (const Manifest& m : jobs) {
        if (removed.count(m.jobId) || rebuilt.count(m.jobId)) continue;
        std::set<long long> parents;
        if (m.parentJob) parents.insert(*m.parentJob);
        for (const DiskRecord& d : m.disks)
            if (d.parentJob) parents.insert(*d.parentJob);
        for (long long parent : parents)
            if (removed.count(parent))
                Refuse(plan, Job(m.jobId) + ", which it keeps, builds on " + Job(parent) +
                                 ", which it removes, and is not rebuilt as a full");
    }
}

// Each rebuilt disk is either still the image the plan replaces, with its whole chain there, or
// already the image that replaces it.
void CheckRebuiltImages(const PrunePlan& plan, const std::vector<Manifest>& jobs, const BackupStore& store) {
    std::map<long long, const Manifest*> byId;
    for (const Manifest& m : jobs) byId[m.jobId] = &m;
    for (const SyntheticJob& job : plan.synthesize) {
        auto found = byId.find(job.jobId);
        if (found == byId.end()) Refuse(plan, Job(job.jobId) + ", which it rebuilds as a full, is not in the store");
        const Manifest& m = *found->second;
        for (const ReplacedImage& r : job.images) {
            const std::string disk = "disk " + std::to_string(r.disk) + " of " + Job(job.jobId);
            if (r.disk >= m.disks.size()) Refuse(plan, disk + " does not exist");
            const std::string& image = m.disks[r.disk].image;
            if (image != r.image && image != r.newImage)
                Refuse(plan, disk + " is the image [" + image + "], neither [" + r.image + "] nor [" + r.newImage + "]");
            const fs::path path = fs::path(store.jobFolder(plan.vmName, job.jobId)) / image;
            std::error_code ec;
            if (!fs::is_regular_file(path, ec)) Refuse(plan, "the image [" + path.string() + "] of " + disk + " is missing");
            if (image != r.image) continue;
            std::vector<ChainLink> links;
            try {
                links = store.chain(m, r.disk);
            } catch (const StoreError& e) {
                Refuse(plan, disk + " cannot be rebuilt: " + e.what());
            }
            for (const ChainLink& link : links)
                if (!fs::is_regular_file(link.imagePath, ec))
                    Refuse(plan, "the image [" + link.imagePath + "] that " + disk + " is rebuilt from is missing");
        }
    }
}

}  // namespace

void CheckJournalHolds(const PrunePlan& plan, const std::vector<Manifest>& jobs, const BackupStore& store) {
    CheckRemovals(plan, jobs);
    CheckRebuiltImages(plan, jobs, store);
    CheckKeptJobsStayWhole(plan, jobs);
}

}  // namespace vsagent
