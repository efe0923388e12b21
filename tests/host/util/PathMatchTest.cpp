#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <random>
#include <string>

#include "host/util/CFilterTerm.h"
#include "host/util/CPathMatch.h"

namespace {

// The same grammar for delimiter '/' as a slow but obviously right backtracking matcher.
bool referenceMatch(const std::string& p, std::size_t pi, const std::string& t, std::size_t ti, bool noCase) {
    if (pi == p.size()) {
        return ti == t.size();
    }
    if (p[pi] == '*') {
        const std::size_t rest = std::min(p.find_first_not_of('*', pi), p.size());
        const bool crosses = rest - pi > 1;
        const bool wholeSegment = crosses && (pi == 0 || p[pi - 1] == '/') && rest < p.size() && p[rest] == '/';
        if (wholeSegment && referenceMatch(p, rest + 1, t, ti, noCase)) {
            return true;
        }
        for (std::size_t end = ti;; ++end) {
            if (referenceMatch(p, rest, t, end, noCase)) {
                return true;
            }
            if (end == t.size() || (!crosses && t[end] == '/')) {
                return false;
            }
        }
    }
    if (ti == t.size() || (p[pi] == '?' && t[ti] == '/')) {
        return false;
    }
    const bool same = p[pi] == '?' || p[pi] == t[ti] || (noCase && std::tolower(p[pi]) == std::tolower(t[ti]));
    return same && referenceMatch(p, pi + 1, t, ti + 1, noCase);
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
        EXPECT_EQ(referenceMatch(pattern, 0, text, 0, noCase) ? 1 : 0, matcher.match(text))
            << "pattern [" << pattern << "] text [" << text << "] case-insensitive " << noCase;
    }
}

// Other delimiters, no delimiter, unanchored and subtree matching, and a leading whole-segment `**`;
// the reference above covers the grammar for '/' broadly.
TEST(CPathMatchTest, DelimitersAnchoringSubtreesAndALeadingDoubleStar) {
    const struct {
        const char* delimiter;
        bool anchored, subtree;
        const char* pattern;
        const char* text;
        int expected;
    } cases[] = {{"/", true, false, "**/a.vhd", "a.vhd", 1},
                 {"\\", true, false, "C:\\*\\*.vhd", "C:\\vms\\a.vhd", 1},
                 {"\\", true, false, "C:\\*.vhd", "C:\\vms\\a.vhd", 0},
                 {"\\", true, false, "C:\\**.vhd", "C:\\vms\\a.vhd", 1},
                 {"\\", true, false, "a/*", "a/b/c", 1},
                 {".", true, false, "*.com", "www.example.com", 0},
                 {".", true, false, "**.com", "www.example.com", 1},
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
    for (int i = 0; i < 20000; ++i) {
        segments += "a/";
    }
    CPathMatch matcher;
    for (const char* pattern : {"**a**a**a**a**a**a**b", "*/*/*/*/*/*/*/**b"}) {
        matcher.initialize(pattern);
        EXPECT_EQ(0, matcher.match(segments)) << pattern;
        EXPECT_EQ(1, matcher.match(segments + "b")) << pattern;
    }
    const std::string flat(100000, 'a');
    matcher.initialize("a*a*a*a*a*a*a*a*a*a*b");
    EXPECT_EQ(0, matcher.match(flat));
    EXPECT_EQ(1, matcher.match(flat + "b"));
}

TEST(CFilterTermTest, WildcardsSpanWholeTextAndOptionOneIgnoresCase) {
    CFilterTerm exact;
    exact.LoadRaw("backup_*.xml");
    EXPECT_TRUE(exact.Matches("backup_12.xml"));
    EXPECT_TRUE(exact.Matches("backup_a/b.xml"));
    EXPECT_FALSE(exact.Matches("BACKUP_12.XML"));
    EXPECT_FALSE(exact.Matches("backup_12.xml.bak"));

    CFilterTerm noCase(BFilterTermOptions(1));
    noCase.LoadRaw("Env?");
    EXPECT_TRUE(noCase.Matches("ENV1"));
    EXPECT_FALSE(noCase.Matches("Env"));
    noCase.LoadRaw("");
    EXPECT_TRUE(noCase.Matches(""));
    EXPECT_FALSE(noCase.Matches("x"));
}
