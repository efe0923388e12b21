// UTC times in the ISO 8601 forms that signed access strings use
// ("2026-12-06T07:31:12Z"; also accepted: a date alone, minutes without
// seconds, and fractional seconds).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace azsim {

std::string formatIsoTime(std::int64_t epochSeconds);
std::optional<std::int64_t> parseIsoTime(const std::string& text);

}  // namespace azsim
