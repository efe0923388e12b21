// Settings store, job log and sleep hook of the host framework.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

#include "host/log/EvDebug.h"
#include "host/settings/NXPlatformInfo.h"
#include "host/sys/Time.h"
#include "tests/support/SimulatedCloud.h"

namespace {

TEST(Settings, FileValuesCodeOverridesAndUnparsableValuesKeepTheDefault) {
    testsupport::TempDir dir;
    std::string path = dir.path() + "/settings.ini";
    std::ofstream(path) << "# comment\n[VirtualServer]\n nAzureMaxBlobDownloadAttempts = 5 \n"
                           "bSkipDataDisksForBackup=true\nAzureRegion=West Europe\nnBad=12abc\n"
                           "[Other]\nnAzureMaxBlobDownloadAttempts=9\n";
    ASSERT_TRUE(NXPlatformInfo::loadFile(path));

    unsigned long attempts = 1;
    EXPECT_TRUE(NXPlatformInfo::getNumber("VirtualServer", "nAzureMaxBlobDownloadAttempts", &attempts));
    EXPECT_EQ(attempts, 5u);
    bool skip = false;
    EXPECT_TRUE(NXPlatformInfo::getBoolean("VirtualServer", "bSkipDataDisksForBackup", &skip));
    EXPECT_TRUE(skip);
    std::string region;
    EXPECT_TRUE(NXPlatformInfo::getString("VirtualServer", "AzureRegion", &region));
    EXPECT_EQ(region, "West Europe");

    unsigned long bad = 77;
    EXPECT_FALSE(NXPlatformInfo::getNumber("VirtualServer", "nBad", &bad));
    EXPECT_EQ(bad, 77u);
    unsigned long missing = 3;
    EXPECT_FALSE(NXPlatformInfo::getNumber("VirtualServer", "nMissing", &missing));
    EXPECT_EQ(missing, 3u);
    // Keys are looked up within their own section.
    unsigned long other = 0;
    EXPECT_TRUE(NXPlatformInfo::getNumber("Other", "nAzureMaxBlobDownloadAttempts", &other));
    EXPECT_EQ(other, 9u);

    NXPlatformInfo::setValue("VirtualServer", "nAzureMaxBlobDownloadAttempts", "2");
    EXPECT_TRUE(NXPlatformInfo::getNumber("VirtualServer", "nAzureMaxBlobDownloadAttempts", &attempts));
    EXPECT_EQ(attempts, 2u);
    NXPlatformInfo::removeValue("VirtualServer", "nAzureMaxBlobDownloadAttempts");
    EXPECT_TRUE(NXPlatformInfo::getNumber("VirtualServer", "nAzureMaxBlobDownloadAttempts", &attempts));
    EXPECT_EQ(attempts, 5u);
    EXPECT_FALSE(NXPlatformInfo::loadFile(dir.path() + "/absent.ini"));
}

// Switches count as on for any non-zero number; numbers take C notation; anything else keeps the default.
TEST(Settings, SwitchesAndNumbersReadEveryAcceptedFormAndKeepTheDefaultOtherwise) {
    const std::vector<std::pair<std::string, bool>> switches = {
        {"yes", true}, {"ON", true}, {"2", true}, {"-1", true}, {"no", false}, {"off", false}, {"0", false}};
    for (const auto& [text, expected] : switches) {
        NXPlatformInfo::setValue("VirtualServer", "bSwitch", text);
        bool value = !expected;
        EXPECT_TRUE(NXPlatformInfo::getBoolean("VirtualServer", "bSwitch", &value)) << text;
        EXPECT_EQ(expected, value) << text;
    }
    for (const char* text : {"", "maybe", "1x"}) {
        NXPlatformInfo::setValue("VirtualServer", "bSwitch", text);
        bool value = true;
        EXPECT_FALSE(NXPlatformInfo::getBoolean("VirtualServer", "bSwitch", &value)) << text;
        EXPECT_TRUE(value) << text;
    }
    const std::vector<std::pair<std::string, unsigned long>> numbers = {{"0x10", 16}, {"010", 8}, {"-1", ~0UL}};
    for (const auto& [text, expected] : numbers) {
        NXPlatformInfo::setValue("VirtualServer", "nNumber", text);
        unsigned long value = 5;
        EXPECT_TRUE(NXPlatformInfo::getNumber("VirtualServer", "nNumber", &value)) << text;
        EXPECT_EQ(expected, value) << text;
    }
    NXPlatformInfo::setValue("VirtualServer", "nNumber", "");
    unsigned long kept = 5;
    EXPECT_FALSE(NXPlatformInfo::getNumber("VirtualServer", "nNumber", &kept));
    EXPECT_EQ(5u, kept);
    NXPlatformInfo::clearValues();
}

TEST(JobLog, FileSinkWritesOneLinePerMessageWithTagAndCaptureSeesSeverity) {
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
}

TEST(JobLog, MessagesAroundTheFormatBufferSizeAndLongOnesAreNotCut) {
    EvLogCapture capture;
    for (size_t size : {511, 512, 513, 5000}) {
        std::string text(size, 'x');
        EvDebug::Debug("tag", "%s", text.c_str());
        EXPECT_EQ(text, capture.records().back().text) << size;
    }
}

TEST(Waits, RecordingSleeperCapturesWaitsInsteadOfSleeping) {
    NxRecordingSleeper sleeper;
    KASLEEP(2000);
    KASLEEP(300000);
    EXPECT_EQ(sleeper.waits(), (std::vector<unsigned long>{2000, 300000}));
}

}  // namespace
