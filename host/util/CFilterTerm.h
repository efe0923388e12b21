// Matcher for one term of a job's filter rules: LoadRaw() a pattern, then
// Matches() texts against it. Patterns use `*` (any run) and `?` (any one
// character) over the whole text; no character is a delimiter.
#pragma once

#include <string>

#include "host/util/BFilterTermOptions.h"

class CFilterTerm {
public:
    CFilterTerm() = default;
    explicit CFilterTerm(BFilterTermOptions termOptions) : options_(termOptions) {}

    // Takes `term` as the pattern, unchanged (no quoting or escapes).
    void LoadRaw(const std::string& term) { text_ = term; }
    // True when `candidate` as a whole matches the loaded pattern.
    bool Matches(const std::string& candidate) const;

private:
    std::string text_;
    BFilterTermOptions options_;
};
