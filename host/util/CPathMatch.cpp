#include "host/util/CPathMatch.h"

void CPathMatch::setDelimiter(char delimiter) {
    options_.delimiter = delimiter;
    rebuild();
}

void CPathMatch::setDelimiter(const std::string& delimiter) {
    if (delimiter.empty()) {
        options_.delimiter.reset();
    } else {
        options_.delimiter = delimiter.front();
    }
    rebuild();
}

void CPathMatch::caseInsensitive(bool on) {
    options_.caseInsensitive = on;
    rebuild();
}

void CPathMatch::initialize(const std::string& pattern, bool anchorStart, bool matchSubtree) {
    pattern_ = pattern;
    options_.anchorStart = anchorStart;
    options_.matchSubtree = matchSubtree;
    rebuild();
}

int CPathMatch::match(const std::string& text) const {
    return compiled_.matches(text) ? 1 : 0;
}

void CPathMatch::rebuild() {
    compiled_ = WildcardPattern(pattern_, options_);
}
