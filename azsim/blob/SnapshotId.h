// Snapshot ids in the cloud's form, a UTC time with seven fractional digits
// ("2026-12-06T07:31:12.1234567Z"). Ids of one blob strictly increase, even
// when several snapshots fall into one clock tick; their text order is their
// time order.
#pragma once

#include <cstdint>
#include <string>

namespace azsim::blob {

// Wall-clock time in 100 ns units since the epoch.
std::int64_t nowTicks();
std::string formatSnapshotId(std::int64_t ticks);
// False unless `id` has exactly the form formatSnapshotId produces.
bool parseSnapshotId(const std::string& id, std::int64_t& ticks);
// The id for a snapshot taken now, later than `lastId` (empty: none yet).
std::string nextSnapshotId(const std::string& lastId);

}  // namespace azsim::blob
