// The plugin object's construction, settings, connection, error mapping and local-VM detection.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>

#include "host/log/EvDebug.h"
#include "host/settings/NXPlatformInfo.h"
#include "plugin/frame/AzureInfo.h"
#include "tests/support/SimulatedCloud.h"

using testsupport::SimulatedCloud;

namespace {

const char* const kCtorTag = "CAzureInfo::CAzureInfo(VirtualServerInstanceType, NXJobID)";
const char* const kConnectTag = "virtual int CAzureInfo::Connect(const string&, const string&, const string&)";
const char* const kProxyTag =
    "virtual int CAzureInfo::Connect(const string&, const string&, const string&, const "
    "std::vector<SHostCredentials>&)";
const char* const kDetectTag = "void CAzureInfo::DetectLocalVMGuid()";
const char* const kMono = "Failed to initialize Azure SDK. Please check if Mono framework is installed";

const char* const kSettingKeys[] = {
    "bAzureEnableDirectDownload",  "bAzureEnableDirectUpload",    "bAzureEnableNativeDownload",
    "bAzureEnableNativeUpload",    "bAzureEnableCBTForManagedVM", "bAzureEnableDirectUploadToManagedDisk",
    "bAzureEnableDownloadLogging", "bAzureEnableUploadLogging",   "bSkipDataDisksForBackup"};

class PluginFrame : public ::testing::Test {
protected:
    void SetUp() override { CVMInfo::SetDmiDirectory((cloud.dir() + "/no-dmi").c_str()); }
    void TearDown() override {
        for (const char* key : kSettingKeys) NXPlatformInfo::removeValue("VirtualServer", key);
    }
    std::unique_ptr<CAzureInfo> Make(VirtualServerInstanceType type = VSINST_AZURE_RESOURCE_MANAGER) {
        return std::unique_ptr<CAzureInfo>(new CAzureInfo(type, 0));
    }
    static SHostCredentials Credential(int type, const std::string& host, const std::string& user) {
        SHostCredentials c;
        c.type = type;
        c.host = host;
        c.userName = user;
        c.password = "proxy-password";
        return c;
    }

    SimulatedCloud cloud;
    testsupport::JobIdentityScope identity{"vsagent", "Instance001", 42};
    EvLogCapture log;
};

TEST_F(PluginFrame, ConstructionLogsDefaultSettingsInOrder) {
    auto plugin = Make();
    std::vector<std::string> expected = {"VMInfo Focus:[Instance001] App:[vsagent] JobId:[42]",
                                         "Enabling Direct Upload by default for Linux ...",
                                         "Enabling Native download by default for Linux ...",
                                         "Direct Download Enabled [1]",
                                         "Direct Upload Enabled [1]",
                                         "Native download Enabled [1]",
                                         "Native Upload Enabled [0]",
                                         "Direct Upload To Managed Disk Enabled [0]",
                                         "CBT for managed VM Enabled [1]",
                                         "Download logging Enabled [0]",
                                         "Upload logging Enabled [0]"};
    EXPECT_EQ(log.texts(kCtorTag), expected);
}

TEST_F(PluginFrame, ConstructionReadsEveryKeyAndForcesDirectUploadAndNativeDownload) {
    // Direct upload and native download stay on whatever their keys say; any non-zero value is on.
    const struct {
        const char* key;
        const char* value;
        const char* line;
    } rows[] = {{"bAzureEnableDirectDownload", "0", "Direct Download Enabled [0]"},
                {"bAzureEnableDirectUpload", "0", "Direct Upload Enabled [1]"},
                {"bAzureEnableNativeDownload", "0", "Native download Enabled [1]"},
                {"bAzureEnableNativeUpload", "7", "Native Upload Enabled [1]"},
                {"bAzureEnableCBTForManagedVM", "0", "CBT for managed VM Enabled [0]"},
                {"bAzureEnableDirectUploadToManagedDisk", "1", "Direct Upload To Managed Disk Enabled [1]"},
                {"bAzureEnableDownloadLogging", "1", "Download logging Enabled [1]"},
                {"bAzureEnableUploadLogging", "1", "Upload logging Enabled [1]"},
                {"bSkipDataDisksForBackup", "true", "Skip Data Disks for Backup [1]"}};
    for (const auto& row : rows) NXPlatformInfo::setValue("VirtualServer", row.key, row.value);
    auto plugin = Make(VSINST_AZURE_STACK_HUB);
    for (const auto& row : rows) EXPECT_TRUE(log.contains(kCtorTag, row.line)) << row.key;
}

TEST_F(PluginFrame, JobIdSentinelReachesInitializeAsZero) {
    {
        testsupport::JobIdentityScope sentinel("vsagent", "Instance001", -123456);
        auto plugin = Make();
        EXPECT_TRUE(log.contains(kCtorTag, "VMInfo Focus: Job ID is -123456 setting it to Zero before calling SetVMFocus"));
    }
    auto other = Make();
    auto calls = cloud.journal("Initialize");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0]["args"]["jobId"], 0);
    EXPECT_EQ(calls[1]["args"]["jobId"], 42);
    EXPECT_EQ(calls[1]["args"]["focus"], "Instance001");
    EXPECT_EQ(calls[1]["args"]["instanceType"], 402);
}

TEST_F(PluginFrame, WithoutApplicationAndFocusTheWrapperIsNeverInitialized) {
    testsupport::JobIdentityScope none("", "", 42);
    auto plugin = Make();
    EXPECT_TRUE(cloud.journal("Initialize").empty());
    EXPECT_EQ(plugin->Connect(SimulatedCloud::kSubscriptionId, SimulatedCloud::kApplicationId, SimulatedCloud::kSecret), 0);
    EXPECT_EQ(plugin->GetLastVMErrorDetails(), kMono);
    EXPECT_TRUE(log.containsError(kConnectTag, kMono));
    EXPECT_TRUE(cloud.journal("Connect").empty());

    testsupport::JobIdentityScope focusOnly("", "Instance001", 42);
    auto focused = Make();
    EXPECT_EQ(cloud.journal("Initialize").size(), 1u);
}

TEST_F(PluginFrame, FailedInitializeIsLoggedAndReportedAtConnect) {
    NXPlatformInfo::setValue("CloudSdk", "sStateFolder", cloud.dir() + "/missing");
    auto plugin = Make();
    EXPECT_TRUE(log.containsError(kCtorTag, "AzureSDKCppBridge::Initialize Failed"));
    EXPECT_EQ(plugin->Connect(SimulatedCloud::kSubscriptionId, SimulatedCloud::kApplicationId, SimulatedCloud::kSecret), 0);
    EXPECT_EQ(plugin->GetLastVMErrorDetails(), kMono);
}

TEST_F(PluginFrame, ConnectUsesServerOrUserAsSubscriptionByInstanceType) {
    auto arm = Make(VSINST_AZURE_RESOURCE_MANAGER);
    EXPECT_EQ(arm->Connect(SimulatedCloud::kSubscriptionId, SimulatedCloud::kApplicationId, SimulatedCloud::kSecret), 1);
    auto stack = Make(VSINST_AZURE_STACK_HUB);
    EXPECT_EQ(stack->Connect(SimulatedCloud::kSubscriptionId, SimulatedCloud::kApplicationId, SimulatedCloud::kSecret), 1);
    auto classic = Make(VSINST_AZURE_CLASSIC);
    EXPECT_EQ(classic->Connect("management.core.windows.net", SimulatedCloud::kSubscriptionId, SimulatedCloud::kSecret), 1);

    auto calls = cloud.journal("Connect");
    ASSERT_EQ(calls.size(), 3u);
    for (const auto& call : calls) EXPECT_EQ(call["args"]["subscriptionId"], SimulatedCloud::kSubscriptionId);
    EXPECT_EQ(calls[2]["args"]["userName"], SimulatedCloud::kSubscriptionId);
    EXPECT_TRUE(log.contains(kConnectTag, std::string("Connecting to Azure subscription [") +
                                              SimulatedCloud::kSubscriptionId + "][" +
                                              SimulatedCloud::kApplicationId + "]"));
}

TEST_F(PluginFrame, FailedConnectCarriesTheCloudTextAndNoErrorCode) {
    auto plugin = Make();
    EXPECT_EQ(plugin->Connect(SimulatedCloud::kSubscriptionId, SimulatedCloud::kApplicationId, "wrong"), 0);
    EXPECT_NE(plugin->GetLastVMErrorDetails().find("AADSTS7000215: Invalid client secret provided"), std::string::npos);
    EXPECT_EQ(plugin->GetLastVMError(), VMINFO_ERR_NONE);

    EXPECT_EQ(plugin->Connect("00000000-0000-0000-0000-000000000000", SimulatedCloud::kApplicationId,
                              SimulatedCloud::kSecret), 0);
    EXPECT_NE(plugin->GetLastVMErrorDetails().find("SubscriptionNotFound"), std::string::npos);
    // A later successful reconnect works on the same object.
    EXPECT_EQ(plugin->Connect(SimulatedCloud::kSubscriptionId, SimulatedCloud::kApplicationId, SimulatedCloud::kSecret), 1);
}

TEST_F(PluginFrame, OnlyTheFirstProxyCredentialIsUsed) {
    auto plugin = Make();
    std::vector<SHostCredentials> credentials = {Credential(1, "not-a-proxy", "x"),
                                                 Credential(3, "proxy-one.corp:3128", "alice"),
                                                 Credential(3, "proxy-two.corp:8080", "bob")};
    EXPECT_EQ(plugin->Connect(SimulatedCloud::kSubscriptionId, SimulatedCloud::kApplicationId, SimulatedCloud::kSecret,
                              credentials), 1);
    auto proxies = cloud.journal("SetWebProxy");
    ASSERT_EQ(proxies.size(), 1u);
    EXPECT_EQ(proxies[0]["args"]["host"], "proxy-one.corp:3128");
    EXPECT_EQ(proxies[0]["args"]["user"], "alice");
    EXPECT_TRUE(log.contains(kProxyTag, "Connecting using HTTP proxy [proxy-one.corp:3128], user name [alice]"));
    EXPECT_EQ(cloud.journal("Connect").back()["args"]["proxy"], "proxy-one.corp:3128");

    auto direct = Make();
    EXPECT_EQ(direct->Connect(SimulatedCloud::kSubscriptionId, SimulatedCloud::kApplicationId, SimulatedCloud::kSecret,
                              {Credential(2, "other", "carol")}), 1);
    EXPECT_EQ(cloud.journal("SetWebProxy").size(), 1u);
}

// The mapped codes are checked through the encrypted-VM mount.
TEST_F(PluginFrame, UnmappedWrapperErrorCodesLeaveTheHostCodeAlone) {
    auto plugin = Make();
    for (int unmapped : {0, 3, 6, 7, -1}) {
        plugin->SetLastVMError(VMINFO_ERR_SNAPSHOT_LIMIT);
        EXPECT_FALSE(plugin->SetLastVMErrorFromSDKWrapperError(unmapped));
        EXPECT_EQ(plugin->GetLastVMError(), VMINFO_ERR_SNAPSHOT_LIMIT);
    }
}

// A connection whose inner step throws fails with a code and text instead of passing the exception on.
struct BrokenConnect : CAzureInfo {
    using CAzureInfo::CAzureInfo;
    using CAzureInfo::Connect;
    int Connect(const std::string&, const std::string&, const std::string&) override {
        throw std::runtime_error("session broke");
    }
};

TEST_F(PluginFrame, AnExceptionInsideConnectFailsItWithACodeAndText) {
    BrokenConnect plugin(VSINST_AZURE_RESOURCE_MANAGER, 0);
    EXPECT_EQ(plugin.Connect(SimulatedCloud::kSubscriptionId, SimulatedCloud::kApplicationId, SimulatedCloud::kSecret,
                             std::vector<SHostCredentials>{}),
              0);
    EXPECT_EQ(plugin.GetLastVMError(), VMINFO_ERR_CONNECTION_LOST);
    EXPECT_EQ(plugin.GetLastVMErrorDetails(), "Unexpected failure: [session broke]");
    EXPECT_TRUE(log.containsError(kProxyTag, "Unexpected failure: [session broke]"));
}

// The local VM GUID is process-wide: this one test walks its whole life in order.
TEST_F(PluginFrame, LocalVmGuidIsLowerCasedDetectedOnceAndRetriedAfterFailure) {
    auto failing = Make();
    EXPECT_TRUE(log.containsError(kDetectTag, "Unable to get BIOS Serial Number"));

    std::string dmi = cloud.dir() + "/dmi";
    std::filesystem::create_directories(dmi);
    auto writeDmi = [&](const std::string& uuid) {
        std::ofstream(dmi + "/product_uuid") << uuid << "\n";
        std::ofstream(dmi + "/product_serial") << "0000-0002-3714-1234\n";
        std::ofstream(dmi + "/sys_vendor") << "Microsoft Corporation\n";
    };
    writeDmi("5B4E3F2A-1C0D-4E9F-8A7B-6C5D4E3F2A1B");
    CVMInfo::SetDmiDirectory(dmi);
    log.clear();
    auto detecting = Make();
    EXPECT_TRUE(log.contains(kDetectTag, "Bios Serial Number [0000-0002-3714-1234]  UUID "
                                         "[5B4E3F2A-1C0D-4E9F-8A7B-6C5D4E3F2A1B] Vendor [Microsoft Corporation]"));
    EXPECT_TRUE(log.contains(kDetectTag, "Local VM Guid [5b4e3f2a-1c0d-4e9f-8a7b-6c5d4e3f2a1b]"));

    writeDmi("11111111-2222-3333-4444-555555555555");
    log.clear();
    auto later = Make();
    EXPECT_TRUE(log.texts(kDetectTag).empty());
}

}  // namespace
