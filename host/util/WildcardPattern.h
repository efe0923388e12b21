// Wildcard matching shared by CPathMatch and CFilterTerm.
//
// Grammar: `?` matches one character other than the delimiter, `*` any run of
// characters within one path segment, `**` any run including delimiters; a
// `**` that forms a whole segment ("a/**/b", "**/b") also matches zero
// segments. Three or more stars act as `**`. Every other character matches
// itself (ASCII letters ignoring case when asked). Without a delimiter `*` and
// `**` are the same.
//
// Matching simulates the pattern as a state machine over all positions at
// once, so it takes time proportional to text length times pattern length
// whatever the pattern; no backtracking.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct WildcardOptions {
    std::optional<char> delimiter = '/';
    bool caseInsensitive = false;
    // The match must begin at the start of the text; otherwise it may begin at
    // the start of any segment (anywhere, when there is no delimiter).
    bool anchorStart = true;
    // A match may also end just before a delimiter, so that a pattern naming a
    // folder matches everything beneath it.
    bool matchSubtree = false;
};

class WildcardPattern {
public:
    WildcardPattern() : WildcardPattern(std::string(), WildcardOptions()) {}
    WildcardPattern(const std::string& pattern, const WildcardOptions& options);

    bool matches(const std::string& text) const;

private:
    enum class Kind { Literal, AnyOne, Star, DoubleStar };
    struct Token {
        Kind kind;
        char literal;
        bool mayBeEmptySegment;  // a whole-segment `**`: may also skip the delimiter after it
    };
    // Per pattern position: not reached, reached by entering it, or reached
    // only by a star looping on itself.
    enum : char { Inactive, Entered, Looped };
    using States = std::vector<char>;

    void compile(const std::string& pattern);
    bool isDelimiter(char c) const;
    bool isDelimiterToken(std::size_t index) const;
    void close(States& states) const;
    static void loop(States& states, std::size_t index);
    void step(const States& current, char c, States& next) const;

    WildcardOptions options_;
    std::vector<Token> tokens_;
};
