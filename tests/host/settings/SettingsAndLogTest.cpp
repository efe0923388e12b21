// Settings store and job log of the host framework.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <vector>

#include "host/log/EvDebug.h"
#include "host/settings/NXPlatformInfo.h"
#include "tests/support/SimulatedCloud.h"

namespace {

// The value read, or nothing when the read fails; a failed read must leave the default alone.
std::optional<unsigned long> number(const char* key, const char* section = "VirtualServer") {
    unsigned long value = 12345;
    if (NXPlatformInfo::getNumber(section, key, &value)) return value;
    EXPECT_EQ(12345u, value) << key;
    return std::nullopt;
}

std::optional<bool> boolean(const char* key, bool initial) {
    bool value = initial;
    if (NXPlatformInfo::getBoolean("VirtualServer", key, &value)) return value;
    EXPECT_EQ(initial, value) << key;
    return std::nullopt;
}

TEST(Settings, FileValuesCodeOverridesAcceptedFormsAndUnparsableValuesKeepTheDefault) {
    testsupport::TempDir dir;
    std::string path = dir.path() + "/settings.ini";
    std::ofstream(path) << "# comment\n[VirtualServer]\n nAzureMaxBlobDownloadAttempts = 5 \n"
                           "bSkipDataDisksForBackup=true\nAzureRegion=West Europe\nnBad=12abc\n"
                           "[Other]\nnAzureMaxBlobDownloadAttempts=9\n";
    ASSERT_TRUE(NXPlatformInfo::loadFile(path));

    EXPECT_EQ(5u, number("nAzureMaxBlobDownloadAttempts"));
    EXPECT_EQ(true, boolean("bSkipDataDisksForBackup", false));
    std::string region;
    EXPECT_TRUE(NXPlatformInfo::getString("VirtualServer", "AzureRegion", &region));
    EXPECT_EQ(region, "West Europe");
    EXPECT_EQ(std::nullopt, number("nBad"));
    EXPECT_EQ(std::nullopt, number("nMissing"));
    EXPECT_EQ(9u, number("nAzureMaxBlobDownloadAttempts", "Other"));  // keys belong to their own section

    NXPlatformInfo::setValue("VirtualServer", "nAzureMaxBlobDownloadAttempts", "2");
    EXPECT_EQ(2u, number("nAzureMaxBlobDownloadAttempts"));
    NXPlatformInfo::removeValue("VirtualServer", "nAzureMaxBlobDownloadAttempts");
    EXPECT_EQ(5u, number("nAzureMaxBlobDownloadAttempts"));
    EXPECT_FALSE(NXPlatformInfo::loadFile(dir.path() + "/absent.ini"));

    // Switches count as on for any non-zero number; numbers take C notation; anything else keeps the default.
    const std::vector<std::pair<const char*, std::optional<bool>>> switches = {
        {"yes", true}, {"ON", true},  {"2", true},         {"-1", true},         {"no", false},
        {"off", false}, {"0", false}, {"", std::nullopt}, {"maybe", std::nullopt}, {"1x", std::nullopt}};
    for (const auto& [text, expected] : switches) {
        NXPlatformInfo::setValue("VirtualServer", "bSwitch", text);
        for (bool initial : {false, true}) EXPECT_EQ(expected, boolean("bSwitch", initial)) << text;
    }
    const std::vector<std::pair<const char*, std::optional<unsigned long>>> numbers = {
        {"0x10", 16}, {"010", 8}, {"-1", ~0UL}, {"", std::nullopt}};
    for (const auto& [text, expected] : numbers) {
        NXPlatformInfo::setValue("VirtualServer", "nNumber", text);
        EXPECT_EQ(expected, number("nNumber")) << text;
    }
    NXPlatformInfo::clearValues();
}

TEST(JobLog, FileSinkWritesOneLinePerMessageWithTagAndCaptureSeesSeverityAndWholeTexts) {
    testsupport::TempDir dir;
    std::string path = dir.path() + "/job.log";
    ASSERT_TRUE(EvDebug::setLogFile(path));
    EvLogCapture capture;
    EvDebug::Debug("int Tagged::Call(const string&)", "value [%s] count [%d]", "abc", 3);
    EvDebug::Error("int Tagged::Call(const string&)", "failed [%s]", "x");
    EvDebug::DebugLvl("int Tagged::Call(const string&)", 2, "detail");
    ASSERT_TRUE(EvDebug::setLogFile(""));

    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("[int Tagged::Call(const string&)] value [abc] count [3]"), std::string::npos);
    EXPECT_NE(lines[1].find("ERR"), std::string::npos);

    auto records = capture.records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[1].severity, EvSeverity::Error);
    EXPECT_EQ(records[2].level, 2);
    EXPECT_TRUE(capture.containsError("int Tagged::Call(const string&)", "failed [x]"));
    EXPECT_FALSE(capture.containsError("int Tagged::Call(const string&)", "detail"));
    EXPECT_FALSE(EvDebug::setLogFile(dir.path() + "/no/such/folder/job.log"));

    // Messages around the format buffer's size, and long ones, are not cut.
    for (size_t size : {511, 512, 513, 5000}) {
        std::string text(size, 'x');
        EvDebug::Debug("tag", "%s", text.c_str());
        EXPECT_EQ(text, capture.records().back().text) << size;
    }
}

}  // namespace
