// Which backup jobs of a VM a retention policy keeps.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "agent/store/Manifest.h"

namespace vsagent {

struct RetentionPolicy {
    std::optional<long long> keepLast;           // the newest N jobs
    std::optional<std::int64_t> keepWithinSeconds;  // jobs started at most this long before now
};

// A duration as a user writes it: whole numbers with units s, m, h, d or w, one or
// more ("90m", "1d12h", "2w"). False with `error` set on anything else, zero, or
// more than 100 years.
bool ParseDuration(const std::string& text, std::int64_t& seconds, std::string& error);

// The ids among `jobs` (one VM's, any order) the policy keeps: a job is kept when
// any rule keeps it, and the newest job always is, since the next backup builds on
// it. A job whose start time cannot be read is kept.
std::set<long long> KeptJobs(const std::vector<Manifest>& jobs, const RetentionPolicy& policy, std::time_t now);

// The same over the jobs of one VM folder, which may hold VMs of that name in several resource
// groups: chains never cross groups (a backup builds on its own group's newest job), so each
// group's jobs are kept by the policy on their own.
std::set<long long> KeptJobsByGroup(const std::vector<Manifest>& jobs, const RetentionPolicy& policy, std::time_t now);

}  // namespace vsagent
