#include "azsim/auth/IsoTime.h"

#include <cstdio>
#include <ctime>
#include <cctype>

namespace azsim {

std::string formatIsoTime(std::int64_t epochSeconds) {
    time_t t = static_cast<time_t>(epochSeconds);
    struct tm parts;
    gmtime_r(&t, &parts);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

namespace {

// Reads exactly `count` digits at `pos`.
bool digits(const std::string& text, std::size_t& pos, std::size_t count, int& value) {
    if (pos + count > text.size()) return false;
    value = 0;
    for (std::size_t end = pos + count; pos < end; ++pos) {
        if (!isdigit(static_cast<unsigned char>(text[pos]))) return false;
        value = value * 10 + (text[pos] - '0');
    }
    return true;
}

// Skips `c` when it comes next.
bool literal(const std::string& text, std::size_t& pos, char c) {
    if (pos >= text.size() || text[pos] != c) return false;
    ++pos;
    return true;
}

// "hh:mm[:ss[.fffffff]]Z" after the date.
bool timeOfDay(const std::string& text, std::size_t& pos, struct tm& parts) {
    if (!literal(text, pos, 'T') || !digits(text, pos, 2, parts.tm_hour) || !literal(text, pos, ':') ||
        !digits(text, pos, 2, parts.tm_min))
        return false;
    if (literal(text, pos, ':')) {
        if (!digits(text, pos, 2, parts.tm_sec)) return false;
        if (literal(text, pos, '.')) {
            std::size_t start = pos;
            while (pos < text.size() && isdigit(static_cast<unsigned char>(text[pos]))) ++pos;
            if (pos == start || pos - start > 7) return false;
        }
    }
    return literal(text, pos, 'Z') && pos == text.size();
}

}  // namespace

std::optional<std::int64_t> parseIsoTime(const std::string& text) {
    struct tm parts = {};
    std::size_t pos = 0;
    int year = 0;
    int month = 0;
    if (!digits(text, pos, 4, year) || !literal(text, pos, '-') || !digits(text, pos, 2, month) ||
        !literal(text, pos, '-') || !digits(text, pos, 2, parts.tm_mday))
        return std::nullopt;
    if (pos < text.size() && !timeOfDay(text, pos, parts)) return std::nullopt;
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    struct tm asGiven = parts;
    time_t t = timegm(&parts);
    // timegm normalises out-of-range fields; a real date comes back unchanged.
    if (parts.tm_mon != asGiven.tm_mon || parts.tm_mday != asGiven.tm_mday || parts.tm_hour != asGiven.tm_hour ||
        parts.tm_min != asGiven.tm_min || parts.tm_sec != asGiven.tm_sec)
        return std::nullopt;
    return static_cast<std::int64_t>(t);
}

}  // namespace azsim
