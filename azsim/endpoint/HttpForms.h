// The textual forms of the blob service's HTTP surface: where the account,
// container and blob of a request come from, byte ranges, API versions,
// dates, request ids and entity tags.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "azsim/blob/PageBlobStore.h"

namespace azsim {

// The blob a request names. The account is the first label of `host`
// ("acct.blob.core.windows.net[:port]"); for "localhost" or an IP address the
// path carries it first ("/acct/container/blob"), as local emulators do.
// False when the path does not name a blob, or names one the service could not hold (a container
// name outside its form, a blob name with an empty, "." or ".." segment or a control character).
// `path` is already percent-decoded.
bool blobTarget(const std::string& host, const std::string& path, BlobKey& key);

// The container a request names ("/container", account as for blobTarget; `key.name` empty). Any name
// of printable characters: whether the service could hold it is the operation's to judge.
bool containerTarget(const std::string& host, const std::string& path, BlobKey& key);

// "https://host[:port]/container/blob?snapshot=...": the blob and snapshot of a full URL.
bool blobUrl(const std::string& url, BlobKey& key, std::string& snapshot);

// A snapshot id in the exact form the service issues ("2026-12-06T07:31:12.1234567Z"). Nothing else
// names a snapshot, so nothing else may reach the file names of the blob store.
bool isSnapshotId(const std::string& text);

// "bytes=first-last" or "bytes=first-" (a single range, inclusive end).
struct ByteRange {
    std::uint64_t first = 0;
    std::optional<std::uint64_t> last;
};
std::optional<ByteRange> parseByteRange(const std::string& text);
// A plain decimal number (as in "x-ms-blob-content-length").
std::optional<std::uint64_t> parseDecimal(const std::string& text);

// An "x-ms-version" the service answers: a real date, no earlier than 2015-04-05 and not in the future.
bool isKnownVersion(const std::string& version);

std::string httpDate(std::int64_t epochSeconds);  // "Tue, 06 Dec 2026 07:31:12 GMT"
std::string serviceTimeNow();                     // "2026-12-06T07:31:12.1234567Z"
std::string newRequestId();                       // a random GUID
std::string quotedEtag(const std::string& etag);

}  // namespace azsim
