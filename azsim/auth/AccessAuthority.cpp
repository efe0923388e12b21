#include "azsim/auth/AccessAuthority.h"

#include <chrono>
#include <nlohmann/json.hpp>

#include "azsim/auth/Crypto.h"
#include "azsim/auth/IsoTime.h"
#include "azsim/auth/KeyFile.h"

namespace azsim {

namespace {

const char* const kAudience = "https://storage.azure.com/";
const char* const kSasVersion = "2018-11-09";
// Clock skew tolerated on a token's not-before time, as identity providers allow.
constexpr double kNotBeforeSkewSeconds = 300;

double nowSeconds() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count() / 1000.0;
}

std::string blobId(const BlobKey& key) { return key.account + "/" + key.container + "/" + key.name; }

// Percent-encodes everything but RFC 3986's unreserved characters.
std::string encodeQueryValue(const std::string& value) {
    static const char* const hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : value) {
        if (isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

struct SasFields {
    std::string version, resource, permissions, start, expiry, protocol;
};

// Revocation state a signature is bound to: the blob's generation and its signed snapshot's.
struct Generations {
    std::uint64_t blob = 0;
    std::uint64_t snapshot = 0;
};

std::string snapshotId(const BlobKey& key, const std::string& snapshot) {
    return blobId(key) + "?snapshot=" + snapshot;
}

Generations generationsOf(const SigningKeys& keys, const BlobKey& key, const std::string& signedSnapshot) {
    Generations g;
    g.blob = keys.generation(blobId(key));
    if (!signedSnapshot.empty()) g.snapshot = keys.generation(snapshotId(key, signedSnapshot));
    return g;
}

// The canonical text a SAS signature covers: every signed field, the blob, the snapshot
// it is bound to, and the revocation generations.
std::string sasStringToSign(const SasFields& f, const BlobKey& key, const std::string& snapshot, Generations g) {
    return f.permissions + "\n" + f.start + "\n" + f.expiry + "\n/blob/" + blobId(key) + "\n" + f.protocol + "\n" +
           f.version + "\n" + f.resource + "\n" + snapshot + "\n" + std::to_string(g.blob) + "." +
           std::to_string(g.snapshot);
}

std::string sasSignature(const std::string& signingKey, const SasFields& f, const BlobKey& key,
                         const std::string& snapshot, Generations g) {
    return crypto::base64(crypto::hmacSha256(signingKey, sasStringToSign(f, key, snapshot, g)));
}

// True when `sig` was made under generations older than `current`: revoked since.
bool signedBefore(const std::string& sig, const std::string& signingKey, const SasFields& f, const BlobKey& key,
                  const std::string& snapshot, Generations current) {
    for (std::uint64_t b = 0; b <= current.blob; ++b)
        for (std::uint64_t s = 0; s <= current.snapshot; ++s)
            if ((b != current.blob || s != current.snapshot) &&
                crypto::equalConstantTime(sig, sasSignature(signingKey, f, key, snapshot, {b, s})))
                return true;
    return false;
}

std::string field(const std::map<std::string, std::string>& query, const char* name) {
    auto it = query.find(name);
    return it == query.end() ? std::string() : it->second;
}

}  // namespace

AccessAuthority::AccessAuthority(std::string stateDir) : stateDir_(std::move(stateDir)) {}

std::string AccessAuthority::issueToken(const std::string& subject) {
    SigningKeys keys = KeyFile(stateDir_).read();
    double now = nowSeconds();
    nlohmann::json header = {{"alg", "HS256"}, {"typ", "JWT"}};
    nlohmann::json claims = {{"aud", kAudience},
                             {"sub", subject},
                             {"iat", static_cast<std::int64_t>(now)},
                             {"nbf", static_cast<std::int64_t>(now)},
                             {"exp", now + static_cast<double>(keys.tokenLifetime)}};
    std::string signedPart = crypto::base64Url(header.dump()) + "." + crypto::base64Url(claims.dump());
    return signedPart + "." + crypto::base64Url(crypto::hmacSha256(keys.key, signedPart));
}

AccessVerdict AccessAuthority::verifyToken(const std::string& token) const {
    if (token.empty()) return AccessVerdict::Missing;
    std::size_t first = token.find('.');
    std::size_t second = first == std::string::npos ? first : token.find('.', first + 1);
    if (second == std::string::npos) return AccessVerdict::Invalid;
    std::string signature, claimsText;
    if (!crypto::unbase64Url(token.substr(second + 1), signature) ||
        !crypto::unbase64Url(token.substr(first + 1, second - first - 1), claimsText))
        return AccessVerdict::Invalid;
    SigningKeys keys = KeyFile(stateDir_).read();
    if (!crypto::equalConstantTime(signature, crypto::hmacSha256(keys.key, token.substr(0, second))))
        return AccessVerdict::Invalid;
    nlohmann::json claims = nlohmann::json::parse(claimsText, nullptr, false);
    if (!claims.is_object() || claims.value("aud", "") != kAudience || !claims.contains("exp") ||
        !claims["exp"].is_number() || !claims.contains("nbf") || !claims["nbf"].is_number())
        return AccessVerdict::Invalid;
    double now = nowSeconds();
    if (claims["nbf"].get<double>() > now + kNotBeforeSkewSeconds) return AccessVerdict::Invalid;
    if (now >= claims["exp"].get<double>()) return AccessVerdict::Expired;
    return AccessVerdict::Ok;
}

void AccessAuthority::setTokenLifetime(std::int64_t seconds) {
    KeyFile(stateDir_).update([seconds](SigningKeys& keys) { keys.tokenLifetime = seconds; });
}

std::string AccessAuthority::issueSas(const BlobKey& key, const std::string& snapshot, const std::string& permissions,
                                      std::int64_t expiry) {
    SigningKeys keys = KeyFile(stateDir_).read();
    SasFields f;
    f.version = kSasVersion;
    f.resource = snapshot.empty() ? "b" : "bs";
    f.permissions = permissions;
    // Started a little in the past, as issuers do to absorb clock skew.
    f.start = formatIsoTime(static_cast<std::int64_t>(nowSeconds()) - 300);
    f.expiry = formatIsoTime(expiry);
    f.protocol = "https";
    std::string sig = sasSignature(keys.key, f, key, snapshot, generationsOf(keys, key, snapshot));
    return "sv=" + f.version + "&sr=" + f.resource + "&sp=" + encodeQueryValue(f.permissions) +
           "&st=" + encodeQueryValue(f.start) + "&se=" + encodeQueryValue(f.expiry) + "&spr=" + f.protocol +
           "&sig=" + encodeQueryValue(sig);
}

AccessVerdict AccessAuthority::verifySas(const BlobKey& key, const std::string& snapshot,
                                         const std::map<std::string, std::string>& query, char permission) const {
    std::string sig = field(query, "sig");
    if (sig.empty()) return AccessVerdict::Missing;
    SasFields f{field(query, "sv"), field(query, "sr"), field(query, "sp"),
                field(query, "st"), field(query, "se"), field(query, "spr")};
    if (f.version.empty() || f.permissions.empty() || f.expiry.empty() || (f.resource != "b" && f.resource != "bs"))
        return AccessVerdict::Invalid;
    if (f.resource == "bs" && snapshot.empty()) return AccessVerdict::Invalid;
    if (!f.protocol.empty() && f.protocol != "https" && f.protocol != "https,http") return AccessVerdict::Invalid;
    std::optional<std::int64_t> expiry = parseIsoTime(f.expiry);
    std::optional<std::int64_t> start = f.start.empty() ? std::optional<std::int64_t>(0) : parseIsoTime(f.start);
    if (!expiry || !start) return AccessVerdict::Invalid;

    // A blob SAS covers the blob and reads of its snapshots; a snapshot SAS exactly one snapshot.
    const std::string signedSnapshot = f.resource == "bs" ? snapshot : std::string();
    SigningKeys keys = KeyFile(stateDir_).read();
    const Generations current = generationsOf(keys, key, signedSnapshot);
    if (!crypto::equalConstantTime(sig, sasSignature(keys.key, f, key, signedSnapshot, current)))
        return signedBefore(sig, keys.key, f, key, signedSnapshot, current) ? AccessVerdict::Revoked
                                                                            : AccessVerdict::Invalid;
    double now = nowSeconds();
    if (now >= static_cast<double>(*expiry) || now < static_cast<double>(*start)) return AccessVerdict::Expired;
    if (f.permissions.find(permission) == std::string::npos) return AccessVerdict::Forbidden;
    return AccessVerdict::Ok;
}

void AccessAuthority::revokeSas(const BlobKey& key, const std::string& snapshot) {
    const std::string id = snapshot.empty() ? blobId(key) : snapshotId(key, snapshot);
    KeyFile(stateDir_).update([&id](SigningKeys& keys) { ++keys.sasGenerations[id]; });
}

}  // namespace azsim
