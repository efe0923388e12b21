// Retention: removes the backup jobs a policy does not keep. A kept job that builds
// on a removed one is first rebuilt, in the store, as a full (a synthetic full),
// so that every kept job stays whole. The work of each VM is journalled before it
// starts (PrunePlan.h): a prune stopped anywhere leaves every kept job verifying
// and exporting, and the next prune finishes it before anything else.
#pragma once

#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "agent/store/BackupStore.h"
#include "agent/store/PrunePlan.h"
#include "agent/store/Retention.h"
#include "agent/store/StoreError.h"

namespace vsagent {

struct PruneRequest {
    RetentionPolicy policy;
    std::string vmName;  // only this VM's jobs; empty: every VM of the store
    bool dryRun = false;
    std::time_t now = 0;
    // Told after each step that changed the store ("journal", "image 3 0",
    // "manifest 3", "images 3", "rename 1", "remove 1", "done"), so that a test can stop there.
    std::function<void(const std::string& step)> onStep;
    StopRequested stop;
};

struct PruneReport {
    std::string vmName;
    std::optional<PrunePlan> interrupted;  // an earlier prune's work, finished first
    PrunePlan plan;                        // what this prune removed and rebuilt (or would, in a dry run)
    std::uint64_t removedBytes = 0;        // what the removed jobs took
    std::uint64_t replacedBytes = 0;       // what the images the synthetic fulls replace took
    std::uint64_t writtenBytes = 0;        // what the synthetic fulls' images take (a dry run: the data they would hold)
    long long freedBytes() const {
        return static_cast<long long>(removedBytes + replacedBytes) - static_cast<long long>(writtenBytes);
    }
};

// Prunes every VM of the store (or the one `request` names), one report per VM
// that had anything to do. A VM whose jobs a backup or another prune is using is
// refused (StoreError), as are a VM the store holds no backup of, a damaged store,
// and a journal that is damaged or does not hold against the store (PruneJournalCheck.h);
// StoreCancelled when `request.stop` says so, with the journal left for the next prune.
std::vector<PruneReport> Prune(BackupStore& store, const PruneRequest& request);

}  // namespace vsagent
