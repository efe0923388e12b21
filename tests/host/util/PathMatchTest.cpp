#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <regex>
#include <string>
#include <tuple>
#include <utility>

#include "host/util/CFilterTerm.h"
#include "host/util/CPathMatch.h"

namespace {

// The same grammar for delimiter '/' as a regular expression: `*` and `?` stay within a segment,
// `**` crosses segments, and a `**/` that starts a segment may also stand for no segment at all.
bool referenceMatch(const std::string& p, const std::string& t, bool noCase) {
    std::string re;
    for (std::size_t i = 0; i < p.size();) {
        const std::size_t stars = std::min(p.find_first_not_of('*', i), p.size()) - i;
        const bool wholeSegment =
            stars > 1 && (i == 0 || p[i - 1] == '/') && i + stars < p.size() && p[i + stars] == '/';
        re += stars == 0      ? (p[i] == '?' ? "[^/]" : std::string(1, p[i]))
              : wholeSegment ? "(.*/)?"
              : stars > 1    ? ".*"
                             : "[^/]*";
        i += std::max<std::size_t>(stars, 1) + (wholeSegment ? 1 : 0);
    }
    return std::regex_match(t, std::regex(re, noCase ? std::regex::icase : std::regex::ECMAScript));
}

std::string randomText(std::mt19937& random, const std::string& alphabet, std::size_t maxLength) {
    std::string text(random() % (maxLength + 1), ' ');
    for (char& c : text) {
        c = alphabet[random() % alphabet.size()];
    }
    return text;
}

}  // namespace

TEST(CPathMatchTest, AgreesWithBacktrackingReference) {
    std::mt19937 random(20240611);
    for (int round = 0; round < 3000; ++round) {
        const std::string pattern = randomText(random, "aAb/*?", 8);
        const std::string text = randomText(random, "aAb/", 10);
        const bool noCase = round % 2 == 0;
        CPathMatch matcher;
        matcher.caseInsensitive(noCase);
        matcher.initialize(pattern, true, false);
        EXPECT_EQ(referenceMatch(pattern, text, noCase) ? 1 : 0, matcher.match(text))
            << "pattern [" << pattern << "] text [" << text << "] case-insensitive " << noCase;
    }
}

// Other delimiters, no delimiter, unanchored and subtree matching, and where `**/` may stand for no segment;
// the reference above covers the grammar for '/' broadly.
TEST(CPathMatchTest, DelimitersAnchoringSubtreesAndWholeSegmentDoubleStars) {
    const struct {
        const char* delimiter;
        bool anchored, subtree;
        const char* pattern;
        const char* text;
        int expected;
    } cases[] = {{"/", true, false, "**/a.vhd", "a.vhd", 1},
                 {"/", true, false, "a**/b", "ab", 0},
                 {"\\", true, false, "C:\\*\\*.vhd", "C:\\vms\\a.vhd", 1},
                 {"\\", true, false, "C:\\*.vhd", "C:\\vms\\a.vhd", 0},
                 {"\\", true, false, "C:\\**.vhd", "C:\\vms\\a.vhd", 1},
                 {"\\", true, false, "a/*", "a/b/c", 1},
                 {".", true, false, "*.com", "www.example.com", 0},
                 {"", true, false, "a*c", "a/b.c", 1},
                 {"", true, false, "a?c", "a/c", 1},
                 {"/", false, false, "b/*.vhd", "a/b/x.vhd", 1},
                 {"/", false, false, "b/*.vhd", "b/x.vhd", 1},
                 {"/", false, false, "b/*.vhd", "ab/x.vhd", 0},
                 {"", false, false, "b?", "abc", 1},
                 {"/", true, true, "a/b", "a/b", 1},
                 {"/", true, true, "a/b", "a/b/c/d", 1},
                 {"/", true, true, "a/b", "a/bc", 0},
                 {"/", true, true, "a/b", "x/a/b", 0}};
    for (const auto& c : cases) {
        CPathMatch matcher;
        matcher.setDelimiter(c.delimiter);
        matcher.initialize(c.pattern, c.anchored, c.subtree);
        EXPECT_EQ(c.expected, matcher.match(c.text))
            << "pattern [" << c.pattern << "] text [" << c.text << "] delimiter [" << c.delimiter << "]";
    }
}

TEST(CPathMatchTest, SettingsChangedAfterInitializeApply) {
    CPathMatch matcher;
    matcher.initialize("A*");
    EXPECT_EQ(0, matcher.match("abc"));
    matcher.caseInsensitive();
    EXPECT_EQ(1, matcher.match("abc"));
    EXPECT_EQ(0, matcher.match("ab/c"));
    matcher.setDelimiter('\\');
    EXPECT_EQ(1, matcher.match("ab/c"));
}

TEST(CPathMatchTest, PathologicalPatternsFinish) {
    std::string segments;
    for (int i = 0; i < 20000; ++i) segments += "a/";
    const std::pair<const char*, std::string> cases[] = {{"**a**a**a**a**a**a**b", segments},
                                                         {"*/*/*/*/*/*/*/**b", segments},
                                                         {"a*a*a*a*a*a*a*a*a*a*b", std::string(100000, 'a')}};
    CPathMatch matcher;
    for (const auto& [pattern, text] : cases) {
        matcher.initialize(pattern);
        EXPECT_EQ(0, matcher.match(text)) << pattern;
        EXPECT_EQ(1, matcher.match(text + "b")) << pattern;
    }
}

// The grammar is the path matcher's; a filter term has no delimiter and ignores case under option one.
TEST(CFilterTermTest, WildcardsSpanWholeTextAndOptionOneIgnoresCase) {
    const std::tuple<int, const char*, const char*, bool> cases[] = {{0, "backup_*.xml", "backup_a/b.xml", true},
                                                                     {0, "backup_*.xml", "BACKUP_12.XML", false},
                                                                     {1, "backup_*.xml", "BACKUP_12.XML", true},
                                                                     {1, "Env?", "ENV1", true},
                                                                     {1, "Env?", "Env", false}};
    for (const auto& [options, pattern, text, expected] : cases) {
        CFilterTerm term{BFilterTermOptions(options)};
        term.LoadRaw(pattern);
        EXPECT_EQ(expected, term.Matches(text)) << pattern << " " << text;
    }
}
