// The plugin object's construction, settings, connection, error mapping and local-VM detection.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>

#include "host/log/EvDebug.h"
#include "host/settings/NXPlatformInfo.h"
#include "plugin/frame/AzureInfo.h"
#include "tests/support/ConnectProxy.h"
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

    SimulatedCloud cloud;
    testsupport::JobIdentityScope identity{"vsagent", "Instance001", 42};
    EvLogCapture log;
};

// Unset keys log their defaults, set keys their values (any non-zero value is on), in one order; direct upload and
// native download stay on whatever their keys say.
TEST_F(PluginFrame, ConstructionLogsEverySettingInOrder) {
    const struct {
        const char *key, *value, *unset, *set;
    } rows[] = {{"bAzureEnableDirectDownload", "0", "Direct Download Enabled [1]", "Direct Download Enabled [0]"},
                {"bAzureEnableDirectUpload", "0", "Direct Upload Enabled [1]", "Direct Upload Enabled [1]"},
                {"bAzureEnableNativeDownload", "0", "Native download Enabled [1]", "Native download Enabled [1]"},
                {"bAzureEnableNativeUpload", "7", "Native Upload Enabled [0]", "Native Upload Enabled [1]"},
                {"bAzureEnableDirectUploadToManagedDisk", "1", "Direct Upload To Managed Disk Enabled [0]",
                 "Direct Upload To Managed Disk Enabled [1]"},
                {"bAzureEnableCBTForManagedVM", "0", "CBT for managed VM Enabled [1]", "CBT for managed VM Enabled [0]"},
                {"bAzureEnableDownloadLogging", "1", "Download logging Enabled [0]", "Download logging Enabled [1]"},
                {"bAzureEnableUploadLogging", "1", "Upload logging Enabled [0]", "Upload logging Enabled [1]"},
                {"bSkipDataDisksForBackup", "true", nullptr, "Skip Data Disks for Backup [1]"}};
    std::vector<std::string> unset = {"VMInfo Focus:[Instance001] App:[vsagent] JobId:[42]",
                                      "Enabling Direct Upload by default for Linux ...",
                                      "Enabling Native download by default for Linux ..."};
    std::vector<std::string> set = unset;
    for (const auto& row : rows) {
        if (row.unset) unset.push_back(row.unset);
        set.push_back(row.set);
    }
    Make();
    EXPECT_EQ(log.texts(kCtorTag), unset);
    for (const auto& row : rows) NXPlatformInfo::setValue("VirtualServer", row.key, row.value);
    log.clear();
    Make(VSINST_AZURE_STACK_HUB);
    EXPECT_EQ(log.texts(kCtorTag), set);
}

// The wrapper is initialized with the job's identity (a sentinel job ID as zero), never without an application and
// a focus; an object whose wrapper is not initialized refuses to connect.
TEST_F(PluginFrame, WrapperIsInitializedWithTheJobIdentityOrConnectIsRefused) {
    {
        testsupport::JobIdentityScope sentinel("vsagent", "Instance001", -123456);
        Make();
        EXPECT_TRUE(log.contains(kCtorTag, "VMInfo Focus: Job ID is -123456 setting it to Zero before calling SetVMFocus"));
    }
    Make();
    auto calls = cloud.journal("Initialize");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0]["args"]["jobId"], 0);
    EXPECT_EQ(calls[1]["args"]["jobId"], 42);
    EXPECT_EQ(calls[1]["args"]["focus"], "Instance001");
    EXPECT_EQ(calls[1]["args"]["instanceType"], 402);
    {
        testsupport::JobIdentityScope none("", "", 42);
        auto plugin = Make();
        EXPECT_EQ(cloud.journal("Initialize").size(), 2u);
        EXPECT_EQ(plugin->Connect(SimulatedCloud::kSubscriptionId, SimulatedCloud::kApplicationId, SimulatedCloud::kSecret), 0);
        EXPECT_EQ(plugin->GetLastVMErrorDetails(), kMono);
        EXPECT_TRUE(log.containsError(kConnectTag, kMono));
        EXPECT_TRUE(cloud.journal("Connect").empty());
        testsupport::JobIdentityScope focusOnly("", "Instance001", 42);
        Make();
        EXPECT_EQ(cloud.journal("Initialize").size(), 3u);
    }
    NXPlatformInfo::setValue("CloudSdk", "sStateFolder", cloud.dir() + "/missing");
    auto failed = Make();
    EXPECT_TRUE(log.containsError(kCtorTag, "AzureSDKCppBridge::Initialize Failed"));
    EXPECT_EQ(failed->Connect(SimulatedCloud::kSubscriptionId, SimulatedCloud::kApplicationId, SimulatedCloud::kSecret), 0);
    EXPECT_EQ(failed->GetLastVMErrorDetails(), kMono);
}

// A connection whose inner step throws.
struct BrokenConnect : CAzureInfo {
    using CAzureInfo::CAzureInfo;
    using CAzureInfo::Connect;
    int Connect(const std::string&, const std::string&, const std::string&) override {
        throw std::runtime_error("session broke");
    }
};

// The subscription is the server, or the user for the classic model; only the first proxy credential is used; a
// refused connection carries the cloud's text and no code, and the same object connects again later; one that throws
// fails with a code and text instead of passing the exception on.
TEST_F(PluginFrame, ConnectTakesTheSubscriptionByTypeTheFirstProxyAndTheCloudsRefusal) {
    const std::string sub = SimulatedCloud::kSubscriptionId, app = SimulatedCloud::kApplicationId;
    const std::string secret = SimulatedCloud::kSecret;
    EXPECT_EQ(Make(VSINST_AZURE_STACK_HUB)->Connect(sub, app, secret), 1);
    EXPECT_EQ(Make(VSINST_AZURE_CLASSIC)->Connect("management.core.windows.net", sub, secret), 1);
    auto plugin = Make();
    // Credentials are host, password, kind and user; the first proxy is one that tunnels to the cloud.
    testsupport::ConnectProxy proxyOne(cloud.port(), "alice", "pw");
    EXPECT_EQ(plugin->Connect(sub, app, secret,
                              {{"not-a-proxy", "pw", 1, "x"}, {proxyOne.address(), "pw", 3, "alice"},
                               {"proxy-two.corp:8080", "pw", 3, "bob"}}),
              1);
    EXPECT_FALSE(proxyOne.asked().empty());
    auto calls = cloud.journal("Connect");
    ASSERT_EQ(calls.size(), 3u);
    for (const auto& call : calls) EXPECT_EQ(call["args"]["subscriptionId"], sub);
    EXPECT_EQ(calls[1]["args"]["userName"], sub);
    EXPECT_EQ(calls[2]["args"]["proxy"], proxyOne.address());
    EXPECT_TRUE(log.contains(kConnectTag, "Connecting to Azure subscription [" + sub + "][" + app + "]"));
    auto proxies = cloud.journal("SetWebProxy");
    ASSERT_EQ(proxies.size(), 1u);
    EXPECT_EQ(proxies[0]["args"]["host"], proxyOne.address());
    EXPECT_EQ(proxies[0]["args"]["user"], "alice");
    EXPECT_TRUE(log.contains(kProxyTag, "Connecting using HTTP proxy [" + proxyOne.address() + "], user name [alice]"));

    EXPECT_EQ(plugin->Connect(sub, app, "wrong", {{"other", "pw", 2, "carol"}}), 0);
    EXPECT_EQ(cloud.journal("SetWebProxy").size(), 1u);
    EXPECT_NE(plugin->GetLastVMErrorDetails().find("AADSTS7000215: Invalid client secret provided"), std::string::npos);
    EXPECT_EQ(plugin->GetLastVMError(), VMINFO_ERR_NONE);
    EXPECT_EQ(plugin->Connect("00000000-0000-0000-0000-000000000000", app, secret), 0);
    // A subscription the cloud does not hold names no tenant to sign in to.
    EXPECT_NE(plugin->GetLastVMErrorDetails().find("refused a token"), std::string::npos)
        << plugin->GetLastVMErrorDetails();
    EXPECT_EQ(plugin->Connect(sub, app, secret), 1);

    BrokenConnect broken(VSINST_AZURE_RESOURCE_MANAGER, 0);
    EXPECT_EQ(broken.Connect(sub, app, secret, {}), 0);
    EXPECT_EQ(broken.GetLastVMError(), VMINFO_ERR_CONNECTION_LOST);
    EXPECT_EQ(broken.GetLastVMErrorDetails(), "Unexpected failure: [session broke]");
    EXPECT_TRUE(log.containsError(kProxyTag, "Unexpected failure: [session broke]"));
    for (const char* key : {"sProxy", "sProxyUser", "sProxyPassword"}) NXPlatformInfo::removeValue("HttpClient", key);
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
