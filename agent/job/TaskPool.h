// Runs independent pieces of work (the digests of a job's disks, say) on a few
// threads at once.
#pragma once

#include <functional>
#include <vector>

namespace vsagent {

// Runs every task once, on at most `threads` threads (<= 0: one per processor of
// the machine), and returns when all have ended. When tasks throw, the others
// still run to their end and the first exception is then rethrown.
void RunTasks(const std::vector<std::function<void()>>& tasks, int threads);

}  // namespace vsagent
