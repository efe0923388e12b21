// Comparison of a JSON document with the part of it a test names.
#pragma once

#include <algorithm>

#include <nlohmann/json.hpp>

namespace azsimtest {

// Whether every member of `part`, at any depth, is in `whole` with the same value; arrays match element by element.
inline bool JsonContains(const nlohmann::json& whole, const nlohmann::json& part) {
    if (part.is_array())
        return whole.is_array() && whole.size() == part.size() &&
               std::equal(part.begin(), part.end(), whole.begin(),
                          [](const nlohmann::json& p, const nlohmann::json& w) { return JsonContains(w, p); });
    if (!part.is_object()) return whole == part;
    for (const auto& member : part.items())
        if (!whole.is_object() || !whole.contains(member.key()) || !JsonContains(whole[member.key()], member.value()))
            return false;
    return true;
}

}  // namespace azsimtest
