#include "azsim/endpoint/HttpForms.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <algorithm>
#include <cctype>

#include "azsim/auth/Crypto.h"
#include "azsim/auth/IsoTime.h"
#include "azsim/blob/SnapshotId.h"

namespace azsim {

namespace {

bool isAddressOrLocal(const std::string& host) {
    return host == "localhost" || host.find_first_not_of("0123456789.") == std::string::npos ||
           (!host.empty() && host.front() == '[');
}

std::string withoutPort(const std::string& host) {
    if (!host.empty() && host.front() == '[') return host.substr(0, host.find(']') + 1);
    return host.substr(0, host.find(':'));
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string percentDecode(const std::string& text, bool plusIsSpace) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += plusIsSpace && text[i] == '+' ? ' ' : text[i];
        }
    }
    return out;
}

// As the service allows them: lowercase letters, digits and hyphens ('$' begins its own containers).
bool isContainerName(const std::string& name) {
    return !name.empty() && name.size() <= 63 &&
           name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-$") == std::string::npos;
}

// Printable text in '/'-separated segments, none of them empty, "." or "..".
bool isBlobName(const std::string& name) {
    if (name.empty() || name.size() > 1024) return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7f) return false;
    for (std::size_t start = 0; start <= name.size();) {
        std::size_t end = std::min(name.find('/', start), name.size());
        const std::string segment = name.substr(start, end - start);
        if (segment.empty() || segment == "." || segment == "..") return false;
        start = end + 1;
    }
    return true;
}

}  // namespace

namespace {

// The account of a request and the path after it: the host's first label (as the service reads host
// names: in lower case), or for a local address the path's first segment.
bool accountAndRest(const std::string& host, const std::string& path, std::string& account, std::string& rest) {
    rest = path;
    std::string bareHost = withoutPort(host);
    if (isAddressOrLocal(bareHost)) {
        std::size_t slash = rest.find('/', 1);
        if (rest.size() < 2 || rest[0] != '/' || slash == std::string::npos) return false;
        account = rest.substr(1, slash - 1);
        rest = rest.substr(slash);
    } else {
        account = bareHost.substr(0, bareHost.find('.'));
        std::transform(account.begin(), account.end(), account.begin(),
                       [](unsigned char c) { return std::tolower(c); });
    }
    return !account.empty() && rest.size() >= 2 && rest[0] == '/';
}

}  // namespace

bool blobTarget(const std::string& host, const std::string& path, BlobKey& key) {
    std::string rest;
    if (!accountAndRest(host, path, key.account, rest)) return false;
    std::size_t slash = rest.find('/', 1);
    if (slash == std::string::npos || slash + 1 >= rest.size()) return false;
    key.container = rest.substr(1, slash - 1);
    key.name = rest.substr(slash + 1);
    return isContainerName(key.container) && isBlobName(key.name);
}

bool containerTarget(const std::string& host, const std::string& path, BlobKey& key) {
    std::string rest;
    if (!accountAndRest(host, path, key.account, rest) || rest.find('/', 1) != std::string::npos) return false;
    key.container = rest.substr(1);
    key.name.clear();
    return std::all_of(key.container.begin(), key.container.end(),
                       [](unsigned char c) { return c >= 0x20 && c != 0x7f; });
}

bool blobUrl(const std::string& url, BlobKey& key, std::string& snapshot) {
    std::size_t scheme = url.find("://");
    if (scheme == std::string::npos) return false;
    std::string schemeName = url.substr(0, scheme);
    std::transform(schemeName.begin(), schemeName.end(), schemeName.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    if (schemeName != "https" && schemeName != "http") return false;
    std::string rest = url.substr(scheme + 3, url.find('#') - scheme - 3);
    std::size_t pathStart = rest.find('/');
    if (pathStart == std::string::npos || rest.find('?') < pathStart) return false;
    std::size_t queryStart = std::min(rest.find('?'), rest.size());
    if (!blobTarget(rest.substr(0, pathStart), percentDecode(rest.substr(pathStart, queryStart - pathStart), false),
                    key))
        return false;
    snapshot.clear();
    for (std::size_t start = queryStart + 1; start < rest.size();) {
        std::size_t end = std::min(rest.find('&', start), rest.size());
        if (rest.compare(start, 9, "snapshot=") == 0)
            snapshot = percentDecode(rest.substr(start + 9, end - start - 9), true);
        start = end + 1;
    }
    return true;
}

bool isSnapshotId(const std::string& text) {
    std::int64_t ticks = 0;
    return blob::parseSnapshotId(text, ticks);
}

std::optional<std::uint64_t> parseDecimal(const std::string& text) {
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return std::stoull(text);
}

std::optional<ByteRange> parseByteRange(const std::string& text) {
    std::string compact;
    for (char c : text)
        if (c != ' ') compact += c;
    std::size_t dash = compact.find('-');
    if (compact.compare(0, 6, "bytes=") != 0 || dash == std::string::npos) return std::nullopt;
    std::optional<std::uint64_t> first = parseDecimal(compact.substr(6, dash - 6));
    if (!first) return std::nullopt;
    ByteRange range;
    range.first = *first;
    if (dash + 1 < compact.size()) {
        range.last = parseDecimal(compact.substr(dash + 1));
        if (!range.last) return std::nullopt;
    }
    return range;
}

bool isKnownVersion(const std::string& version) {
    if (version.size() != 10 || !parseIsoTime(version)) return false;
    std::time_t now = std::time(nullptr);
    struct tm today;
    gmtime_r(&now, &today);
    char todayText[16];
    strftime(todayText, sizeof todayText, "%Y-%m-%d", &today);
    return version >= "2015-04-05" && version <= todayText;
}

std::string httpDate(std::int64_t epochSeconds) {
    time_t t = static_cast<time_t>(epochSeconds);
    struct tm parts;
    gmtime_r(&t, &parts);
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char text[40];
    snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[parts.tm_wday], parts.tm_mday,
             months[parts.tm_mon], parts.tm_year + 1900, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return text;
}

std::string serviceTimeNow() {
    using namespace std::chrono;
    auto since = system_clock::now().time_since_epoch();
    auto seconds = duration_cast<std::chrono::seconds>(since);
    long ticks = static_cast<long>(duration_cast<nanoseconds>(since - seconds).count() / 100);
    std::string text = formatIsoTime(seconds.count());
    char fraction[24];
    snprintf(fraction, sizeof fraction, ".%07ldZ", ticks);
    return text.substr(0, text.size() - 1) + fraction;
}

std::string newRequestId() {
    std::string bytes = crypto::randomBytes(16);
    char text[40];
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
    snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
             b[2], b[3], b[4], b[5], (b[6] & 0x0f) | 0x40, b[7], (b[8] & 0x3f) | 0x80, b[9], b[10], b[11], b[12], b[13],
             b[14], b[15]);
    return text;
}

std::string quotedEtag(const std::string& etag) {
    if (!etag.empty() && etag.front() == '"') return etag;
    return "\"" + etag + "\"";
}

}  // namespace azsim
