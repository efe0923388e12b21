// What one prune does to the jobs of one VM folder, and the journal that keeps it
// ("prune-journal.json" in the VM's folder) from before the first change until the
// last, so that a prune stopped anywhere is finished by the next one.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent/store/Retention.h"

namespace vsagent {

// A disk image a synthetic full replaces, and the image that replaces it.
struct ReplacedImage {
    std::size_t disk = 0;
    std::string image;
    std::string newImage;
};

// A kept job whose parent is removed: it becomes a full built from its chain.
struct SyntheticJob {
    long long jobId = 0;
    std::vector<ReplacedImage> images;
};

struct PrunePlan {
    static constexpr const char* kJournalName = "prune-journal.json";

    std::string vmName;                    // the VM's folder in the store
    std::vector<long long> remove;         // ascending
    std::vector<SyntheticJob> synthesize;  // ascending by job
    // The policy the plan was made by, and the time it was made at: an interrupted plan is held
    // against them before the next prune finishes it.
    RetentionPolicy policy;
    std::time_t now = 0;

    bool empty() const { return remove.empty() && synthesize.empty(); }
    nlohmann::json toJson() const;
    // A journal checked for form before it is trusted: ids, plain image names each replaced
    // by its own "synthetic-" name, no job both removed and kept, a policy. Throws StoreError
    // naming what is wrong. Whether it holds against the store is the prune's to check.
    static PrunePlan FromJson(const nlohmann::json& document, const std::string& vmName);
};

// The name of the image that replaces `image` in a synthetic full.
std::string SyntheticImageName(const std::string& image);

// The journal of VM folder `vmFolder`; none when there is none. Throws StoreError when it is damaged.
std::optional<PrunePlan> ReadJournal(const std::string& vmFolder, const std::string& vmName);

}  // namespace vsagent
