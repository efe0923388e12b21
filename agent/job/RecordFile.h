// What the records jobs keep in their folders (a backup's job record, a restore's
// record) share: a bounded read of a small JSON object, the job number in the
// folder's name, and the check of names that are handed on to the cloud.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace vsagent {

// The JSON object in file `path`; none when it is missing, larger than `maxBytes` or not an object.
std::optional<nlohmann::json> ReadRecordDocument(const std::string& path, std::size_t maxBytes);
// N of a folder named "<prefix>N" (N a positive decimal number); 0 for any other name.
long long FolderNumber(const std::string& folder, const std::string& prefix);
// Text of printable ASCII, no blank, at most `maxLength` bytes; empty only when `mayBeEmpty`.
bool IsPrintableName(const nlohmann::json& value, std::size_t maxLength, bool mayBeEmpty);

}  // namespace vsagent
