// Options of a CFilterTerm, as bit flags.
#pragma once

struct BFilterTermOptions {
    // Letters match regardless of case.
    static constexpr unsigned CaseInsensitive = 1;

    explicit BFilterTermOptions(unsigned value = 0) : flags(value) {}
    bool caseInsensitive() const { return (flags & CaseInsensitive) != 0; }

    unsigned flags;
};
