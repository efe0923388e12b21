#include "host/util/WildcardPattern.h"

#include <algorithm>
#include <cctype>

namespace {

char fold(char c, bool caseInsensitive) {
    return caseInsensitive ? static_cast<char>(std::tolower(static_cast<unsigned char>(c))) : c;
}

}  // namespace

WildcardPattern::WildcardPattern(const std::string& pattern, const WildcardOptions& options) : options_(options) {
    compile(pattern);
}

void WildcardPattern::compile(const std::string& pattern) {
    for (std::size_t i = 0; i < pattern.size();) {
        const char c = pattern[i];
        if (c == '*') {
            const std::size_t end = pattern.find_first_not_of('*', i);
            const std::size_t run = (end == std::string::npos ? pattern.size() : end) - i;
            tokens_.push_back({run == 1 ? Kind::Star : Kind::DoubleStar, '\0', false});
            i += run;
        } else {
            tokens_.push_back({c == '?' ? Kind::AnyOne : Kind::Literal, fold(c, options_.caseInsensitive), false});
            ++i;
        }
    }
    for (std::size_t i = 0; i < tokens_.size(); ++i) {
        const bool startsSegment = i == 0 || isDelimiterToken(i - 1);
        if (tokens_[i].kind == Kind::DoubleStar && startsSegment && isDelimiterToken(i + 1)) {
            tokens_[i].mayBeEmptySegment = true;
        }
    }
}

bool WildcardPattern::isDelimiter(char c) const {
    return options_.delimiter && c == *options_.delimiter;
}

bool WildcardPattern::isDelimiterToken(std::size_t index) const {
    return index < tokens_.size() && tokens_[index].kind == Kind::Literal && options_.delimiter &&
           tokens_[index].literal == fold(*options_.delimiter, options_.caseInsensitive);
}

// Adds every state reachable without consuming a character (stars matching an
// empty run). Those moves only go forward, so one pass in order is enough.
// A whole-segment `**` may skip its delimiter only while it has matched
// nothing, i.e. when it was entered rather than reached by its own loop.
void WildcardPattern::close(States& states) const {
    for (std::size_t i = 0; i < tokens_.size(); ++i) {
        const Token& token = tokens_[i];
        if (states[i] == Inactive || (token.kind != Kind::Star && token.kind != Kind::DoubleStar)) {
            continue;
        }
        states[i + 1] = Entered;
        if (token.mayBeEmptySegment && states[i] == Entered) {
            states[i + 2] = Entered;
        }
    }
}

void WildcardPattern::loop(States& states, std::size_t index) {
    if (states[index] == Inactive) {
        states[index] = Looped;
    }
}

void WildcardPattern::step(const States& current, char c, States& next) const {
    std::fill(next.begin(), next.end(), Inactive);
    const bool delimiter = isDelimiter(c);
    const char folded = fold(c, options_.caseInsensitive);
    for (std::size_t i = 0; i < tokens_.size(); ++i) {
        if (!current[i]) {
            continue;
        }
        const Token& token = tokens_[i];
        switch (token.kind) {
        case Kind::Literal:
            if (token.literal == folded) {
                next[i + 1] = Entered;
            }
            break;
        case Kind::AnyOne:
            if (!delimiter) {
                next[i + 1] = Entered;
            }
            break;
        case Kind::Star:
            if (!delimiter) {
                loop(next, i);
            }
            break;
        case Kind::DoubleStar:
            loop(next, i);
            break;
        }
    }
    if (!options_.anchorStart && (delimiter || !options_.delimiter)) {
        next[0] = Entered;
    }
    close(next);
}

bool WildcardPattern::matches(const std::string& text) const {
    const std::size_t accept = tokens_.size();
    States current(accept + 1, Inactive);
    States next(accept + 1, Inactive);
    current[0] = Entered;
    close(current);
    for (const char c : text) {
        if (current[accept] != Inactive && options_.matchSubtree && (isDelimiter(c) || !options_.delimiter)) {
            return true;
        }
        step(current, c, next);
        current.swap(next);
        if (options_.anchorStart && std::all_of(current.begin(), current.end(), [](char s) { return s == Inactive; })) {
            return false;
        }
    }
    return current[accept] != Inactive;
}
