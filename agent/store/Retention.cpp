#include "agent/store/Retention.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>

namespace vsagent {

namespace {

constexpr std::int64_t kMaxDuration = 100LL * 366 * 86400;

std::int64_t UnitSeconds(char unit) {
    switch (unit) {
        case 's': return 1;
        case 'm': return 60;
        case 'h': return 3600;
        case 'd': return 86400;
        case 'w': return 7 * 86400;
        default: return 0;
    }
}

// "YYYY-MM-DDTHH:MM:SSZ" as the store writes it; none for anything else.
std::optional<std::time_t> ParseUtc(const std::string& text) {
    std::tm parts{};
    const char* end = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%SZ", &parts);
    if (!end || *end != '\0') return std::nullopt;
    return timegm(&parts);
}

}  // namespace

bool ParseDuration(const std::string& text, std::int64_t& seconds, std::string& error) {
    error = "[" + text + "] is not a duration such as 30d, 12h, 90m or 1w2d";
    std::int64_t total = 0;
    std::size_t at = 0;
    if (text.empty()) return false;
    while (at < text.size()) {
        std::size_t digits = at;
        while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
        if (digits == at || digits - at > 9 || digits == text.size()) return false;
        const std::int64_t unit = UnitSeconds(text[digits]);
        if (unit == 0) return false;
        total += std::stoll(text.substr(at, digits - at)) * unit;
        if (total > kMaxDuration) {
            error = "[" + text + "] is longer than 100 years";
            return false;
        }
        at = digits + 1;
    }
    if (total == 0) {
        error = "[" + text + "] is no time at all";
        return false;
    }
    seconds = total;
    return true;
}

std::set<long long> KeptJobs(const std::vector<Manifest>& jobs, const RetentionPolicy& policy, std::time_t now) {
    std::vector<const Manifest*> newestFirst;
    for (const Manifest& m : jobs) newestFirst.push_back(&m);
    std::sort(newestFirst.begin(), newestFirst.end(),
              [](const Manifest* a, const Manifest* b) { return a->jobId > b->jobId; });
    std::set<long long> kept;
    for (std::size_t i = 0; i < newestFirst.size(); ++i) {
        const Manifest& m = *newestFirst[i];
        const bool newest = i == 0;
        const bool last = policy.keepLast && static_cast<long long>(i) < *policy.keepLast;
        bool within = false;
        if (policy.keepWithinSeconds) {
            const std::optional<std::time_t> started = ParseUtc(m.startedAt);
            within = !started || *started >= now - *policy.keepWithinSeconds;
        }
        if (newest || last || within) kept.insert(m.jobId);
    }
    return kept;
}

std::set<long long> KeptJobsByGroup(const std::vector<Manifest>& jobs, const RetentionPolicy& policy, std::time_t now) {
    std::map<std::string, std::vector<Manifest>> groups;
    for (const Manifest& m : jobs) groups[m.resourceGroup].push_back(m);
    std::set<long long> kept;
    for (const auto& group : groups) {
        const std::set<long long> keep = KeptJobs(group.second, policy, now);
        kept.insert(keep.begin(), keep.end());
    }
    return kept;
}

}  // namespace vsagent
