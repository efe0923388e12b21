#include "host/util/CFilterTerm.h"

#include "host/util/WildcardPattern.h"

bool CFilterTerm::Matches(const std::string& candidate) const {
    WildcardOptions wildcard;
    wildcard.delimiter.reset();
    wildcard.caseInsensitive = options_.caseInsensitive();
    return WildcardPattern(text_, wildcard).matches(candidate);
}
