// Splits resource ids and URL paths at "/", keeping empty parts (a leading "/" gives an empty first part).
#pragma once

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <string>
#include <vector>

inline std::vector<std::string> SplitAtSlash(const std::string& text) {
    std::vector<std::string> parts;
    boost::algorithm::split(parts, text, boost::algorithm::is_any_of("/"));
    return parts;
}
