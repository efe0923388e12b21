#include "azsim/blob/SnapshotId.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace azsim::blob {

namespace {

constexpr std::int64_t kTicksPerSecond = 10000000;

bool digits(const std::string& s, std::size_t pos, std::size_t count, int& value) {
    value = 0;
    for (std::size_t i = pos; i < pos + count; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        value = value * 10 + (s[i] - '0');
    }
    return true;
}

}  // namespace

std::int64_t nowTicks() {
    auto since = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100;
}

std::string formatSnapshotId(std::int64_t ticks) {
    std::time_t seconds = static_cast<std::time_t>(ticks / kTicksPerSecond);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%07lldZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<long long>(ticks % kTicksPerSecond));
    return text;
}

bool parseSnapshotId(const std::string& id, std::int64_t& ticks) {
    // 2026-12-06T07:31:12.1234567Z
    if (id.size() != 28 || id[4] != '-' || id[7] != '-' || id[10] != 'T' || id[13] != ':' || id[16] != ':' ||
        id[19] != '.' || id[27] != 'Z')
        return false;
    int year, month, day, hour, minute, second, fraction;
    if (!digits(id, 0, 4, year) || !digits(id, 5, 2, month) || !digits(id, 8, 2, day) ||
        !digits(id, 11, 2, hour) || !digits(id, 14, 2, minute) || !digits(id, 17, 2, second) ||
        !digits(id, 20, 7, fraction))
        return false;
    std::tm utc{};
    utc.tm_year = year - 1900;
    utc.tm_mon = month - 1;
    utc.tm_mday = day;
    utc.tm_hour = hour;
    utc.tm_min = minute;
    utc.tm_sec = second;
    std::time_t seconds = timegm(&utc);
    ticks = static_cast<std::int64_t>(seconds) * kTicksPerSecond + fraction;
    return formatSnapshotId(ticks) == id;
}

std::string nextSnapshotId(const std::string& lastId) {
    std::int64_t ticks = nowTicks();
    std::int64_t last = 0;
    if (parseSnapshotId(lastId, last) && ticks <= last) ticks = last + 1;
    return formatSnapshotId(ticks);
}

}  // namespace azsim::blob
