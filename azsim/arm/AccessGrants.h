// Time-limited access to the data of a managed disk or snapshot: a SAS URL on
// its internal page blob (a snapshot's frozen version, or a disk's live blob),
// recorded in the resource's grant so that the resource shows it is being read
// or written, and revoked together with that record.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "azsim/auth/AccessAuthority.h"
#include "azsim/model/Resources.h"

namespace azsim {

enum class AccessLevel { Read, Write };

// "Read" or "Write" as the cloud names them (any case); none for anything else.
std::optional<AccessLevel> ParseAccessLevel(const std::string& text);

// Issues a SAS on `blob` (its version `snapshot`, or the live blob when empty) valid for `seconds`
// from now, records it in `grant` and returns the URL.
std::string GrantAccess(AccessAuthority& authority, const BlobKey& blob, const std::string& snapshot,
                        AccessLevel level, std::int64_t seconds, AccessGrant& grant);

// Every SAS issued on that version stops working (with no snapshot, every SAS on the blob) and the
// grant is cleared.
void RevokeAccess(AccessAuthority& authority, const BlobKey& blob, const std::string& snapshot, AccessGrant& grant);

}  // namespace azsim
