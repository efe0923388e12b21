#include "azsim/arm/AccessGrants.h"

#include <boost/algorithm/string/predicate.hpp>

#include <chrono>

#include "azsim/model/ResourceIds.h"

namespace azsim {

std::optional<AccessLevel> ParseAccessLevel(const std::string& text) {
    if (boost::algorithm::iequals(text, "Read")) return AccessLevel::Read;
    if (boost::algorithm::iequals(text, "Write")) return AccessLevel::Write;
    return std::nullopt;
}

std::string GrantAccess(AccessAuthority& authority, const BlobKey& blob, const std::string& snapshot,
                        AccessLevel level, std::int64_t seconds, AccessGrant& grant) {
    const std::int64_t now =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    const std::int64_t expiry = now + seconds;
    const std::string sas = authority.issueSas(blob, snapshot, level == AccessLevel::Write ? "rw" : "r", expiry);
    grant.active = true;
    grant.accessUrl = ManagedDiskAccessUrl(blob) + (snapshot.empty() ? "?" : "?snapshot=" + snapshot + "&") + sas;
    grant.expiresAt = expiry;
    return grant.accessUrl;
}

void RevokeAccess(AccessAuthority& authority, const BlobKey& blob, const std::string& snapshot, AccessGrant& grant) {
    authority.revokeSas(blob, snapshot);
    grant = AccessGrant();
}

}  // namespace azsim
