// Wildcard matcher for paths and names (grammar in WildcardPattern.h).
//
// Usage: set the delimiter and case behaviour, initialize() with the pattern,
// then match() any number of texts. The delimiter defaults to '/'; matching
// is case-sensitive unless caseInsensitive() is called.
#pragma once

#include <string>

#include "host/util/WildcardPattern.h"

class CPathMatch {
public:
    void setDelimiter(char delimiter);
    // Uses the first character of `delimiter`; an empty text means no delimiter,
    // so that `*` matches across everything.
    void setDelimiter(const std::string& delimiter);
    void caseInsensitive(bool on = true);

    // `anchorStart`: the pattern must match from the first character of the
    // text (otherwise from the start of any segment). `matchSubtree`: a match
    // of a leading part of the text that ends at a delimiter counts too.
    // The end of the pattern is always anchored at the end of the text or,
    // with `matchSubtree`, at a delimiter.
    void initialize(const std::string& pattern, bool anchorStart = true, bool matchSubtree = false);

    // 1 when `text` matches the pattern, else 0.
    int match(const std::string& text) const;

private:
    void rebuild();

    std::string pattern_;
    WildcardOptions options_;
    WildcardPattern compiled_;
};
