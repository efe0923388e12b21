// VM names and GUIDs become parts of metadata file paths in snapshot-engine
// jobs; one that could climb out of its folder or split into two parts is refused.
#pragma once

#include <string>

inline bool IsSafePathPart(const std::string& name) {
    return !name.empty() && name != "." && name.find('/') == std::string::npos &&
           name.find('\\') == std::string::npos && name.find("..") == std::string::npos;
}
