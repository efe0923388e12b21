#include <gtest/gtest.h>

#include "host/util/CKaPath.h"
#include "host/util/FXPath.h"
#include "host/util/FXString.h"

TEST(FXStringTest, FormatLowerFindCompareAndTrim) {
    EXPECT_EQ("20240102-030405000_QD_BACKUP42.vhd",
              FXString::Format("%04d%02d%02d-%02d%02d%02d%03d_QD_BACKUP%lld.vhd", 2024, 1, 2, 3, 4, 5, 0, 42LL));
    EXPECT_EQ("web01-rg.json\xC3\x89", FXString::ToLower("Web01-RG.JSON\xC3\x89"));

    EXPECT_EQ(6u, FXString::FindString("osdisk_qdmd_snap", "_QDMD_", FXString::IgnoreCase));
    EXPECT_EQ(std::string::npos, FXString::FindString("osdisk_qdmd_snap", "_QDMD_"));
    EXPECT_EQ(std::string::npos, FXString::FindString("ab", "abc", FXString::IgnoreCase));
    EXPECT_EQ(0u, FXString::FindString("", "", FXString::IgnoreCase));
    EXPECT_EQ(1u, FXString::FindString("xAaB", "aab", FXString::IgnoreCase));

    // Compared as lower case.
    EXPECT_EQ(0, FXString::CompareNoCase("OS Disk", "os disk"));
    EXPECT_LT(FXString::CompareNoCase("os", "OS Disk"), 0);
    EXPECT_GT(FXString::CompareNoCase("OS Disk", "os"), 0);
    EXPECT_LT(FXString::CompareNoCase("_", "A"), 0);  // compared as lower case: '_' sorts before 'a'
    EXPECT_GT(FXString::CompareNoCase("\xC3", "a"), 0);

    // One suffix, or white space.
    EXPECT_EQ("a.vhd", FXString::TrimRight("a.vhd.vhd", ".vhd"));
    EXPECT_EQ("a.VHD", FXString::TrimRight("a.VHD", ".vhd"));
    EXPECT_EQ("", FXString::TrimRight(".vhd", ".vhd"));
    EXPECT_EQ("abc", FXString::TrimRight("abc", ""));
    EXPECT_EQ("  a b", FXString::TrimRight("  a b \t\r\n"));
    EXPECT_EQ("", FXString::TrimRight(" \t"));
}

TEST(FXPathTest, JoinsWithOneDelimiterAndChecksExtensions) {
    EXPECT_EQ("acct/vhds/disk.vhd", FXPath::Append("acct", "vhds", "disk.vhd"));
    EXPECT_EQ("/m/a", FXPath::Append("/m/", "/a"));
    EXPECT_EQ("/x", FXPath::Append("", "/x"));
    EXPECT_EQ("m/", FXPath::Append("m", ""));
    EXPECT_EQ("/meta/", FXPath::AppendTrailingDelimiter("/meta"));
    EXPECT_EQ("/meta/", FXPath::AppendTrailingDelimiter("/meta/"));
    EXPECT_EQ("", FXPath::AppendTrailingDelimiter(""));

    EXPECT_TRUE(FXPath::IsFileExtnMatching("/staging/web01.JSON", ".json"));
    EXPECT_TRUE(FXPath::IsFileExtnMatching("web01.json", "json"));
    EXPECT_FALSE(FXPath::IsFileExtnMatching("web01.json.bak", ".json"));
    EXPECT_FALSE(FXPath::IsFileExtnMatching("dir.json/file", ".json"));
    EXPECT_FALSE(FXPath::IsFileExtnMatching("json", ""));
    EXPECT_EQ("vhd", CKaPath("acct").Append("vhds").Append("os.disk.vhd").GetExt());
    EXPECT_EQ("", CKaPath("vhds.d/.profile").GetExt());
    EXPECT_EQ("", CKaPath("noext").GetExt());
}
