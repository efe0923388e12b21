// One term of a job's filter rules, and the matcher for it.
//
// A backup job carries a list of terms; the disk-filter walk dispatches on
// `kind` and hands `text` (and `tagValue` for a tag rule) to the matching
// IsDiskFilteredBy... slot. The same type is the wildcard matcher the slots
// use: LoadRaw() a pattern, then Matches() texts against it. Patterns use `*`
// (any run) and `?` (any one character) over the whole text; no character
// is a delimiter.
#pragma once

#include <string>
#include <utility>

#include "host/util/BFilterTermOptions.h"

enum class EFilterTermKind {
    Path,       // `text`: disk path or URI pattern
    Pattern,    // `text`: disk or blob name pattern
    Datastore,  // `text`: datastore (storage account) name
    Type,       // `text`: disk type, e.g. "OS Disk"
    Tag,        // `text`: tag name, `tagValue`: tag value
};

struct CFilterTerm {
    CFilterTerm() = default;
    explicit CFilterTerm(BFilterTermOptions termOptions) : options(termOptions) {}
    CFilterTerm(EFilterTermKind termKind, std::string termText, std::string termTagValue = std::string())
        : kind(termKind), text(std::move(termText)), tagValue(std::move(termTagValue)) {}

    // Takes `term` as the pattern, unchanged (no quoting or escapes).
    void LoadRaw(const std::string& term) { text = term; }
    // True when `candidate` as a whole matches the pattern in `text`.
    bool Matches(const std::string& candidate) const;

    EFilterTermKind kind = EFilterTermKind::Pattern;
    std::string text;
    std::string tagValue;
    BFilterTermOptions options;
};
