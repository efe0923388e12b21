// Whether an interrupted prune's journal holds against the store it is to finish.
#pragma once

#include <vector>

#include "agent/store/BackupStore.h"
#include "agent/store/PrunePlan.h"

namespace vsagent {

// Throws StoreError, before anything of the plan is carried out, naming the first rule it breaks:
// it removes only jobs the policy recorded with it drops (never the newest job of the VM in its
// group); every job it keeps stays whole (builds only on kept jobs, unless the plan rebuilds it as
// a full from a chain that is all there); every image it names is there. `jobs` are the VM's.
void CheckJournalHolds(const PrunePlan& plan, const std::vector<Manifest>& jobs, const BackupStore& store);

}  // namespace vsagent
