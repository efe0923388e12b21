// Access to the blob data plane of a simulated subscription: bearer tokens
// for the storage service and SAS query strings for single blobs or
// snapshots. Both are signed with a key kept in the state folder
// ("keys.json", created on first use), so the SDK wrapper that issues them and
// an endpoint in another process that checks them agree without talking.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "azsim/blob/PageBlobStore.h"

namespace azsim {

enum class AccessVerdict {
    Ok,
    Missing,    // no credential presented
    Invalid,    // malformed, or the signature does not verify
    Expired,
    Revoked,
    Forbidden,  // valid, but does not grant this operation or resource
};

class AccessAuthority {
public:
    explicit AccessAuthority(std::string stateDir);

    // Bearer tokens, valid for every blob of the subscription until they expire.
    std::string issueToken(const std::string& subject);
    AccessVerdict verifyToken(const std::string& token) const;
    // Lifetime of tokens issued from now on (default 3600 s); tests shorten it.
    void setTokenLifetime(std::int64_t seconds);

    // SAS query string (no leading '?', the cloud's parameter names: sv, sr, sp, se, sig, ...)
    // granting `permissions` (letters of "rw") on one blob version until `expiry` (epoch seconds).
    std::string issueSas(const BlobKey& key, const std::string& snapshot, const std::string& permissions,
                         std::int64_t expiry);
    // Checks the SAS parameters of a request for `key`/`snapshot` needing `permission` ('r' or 'w').
    AccessVerdict verifySas(const BlobKey& key, const std::string& snapshot,
                            const std::map<std::string, std::string>& query, char permission) const;
    // Every SAS issued so far for this blob (any version) stops working; with a `snapshot`,
    // only those bound to that snapshot.
    void revokeSas(const BlobKey& key, const std::string& snapshot = std::string());

private:
    std::string stateDir_;
};

}  // namespace azsim
