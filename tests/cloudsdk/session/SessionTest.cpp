// The SDK wrapper's session against a simulated subscription, and the honesty of operations not yet built.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <thread>

#include "azsim/StateFolder.h"
#include "azsim/faults/FaultBook.h"
#include "cloudsdk/AzureSDKCppBridge.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "host/log/EvDebug.h"
#include "host/settings/NXPlatformInfo.h"
#include "tests/support/ConnectProxy.h"
#include "tests/support/SimulatedCloud.h"

using AzureSDKCppBridge::CAzureSDKCppBridge;
using testsupport::ServedCloud;
using testsupport::SimulatedCloud;

namespace {

// A log device that fails every write, standing in for any exception inside an operation.
class FailingLogSink : public EvLogSink {
public:
    void write(const EvLogRecord&, const std::string&) override { throw std::runtime_error("log device is gone"); }
};

// Initialisation needs a subscription state when a folder is named, sign-in the right credentials, and the
// connection lasts only while the subscription does. Every call is journalled, a refused one too.
TEST(SdkSession, SignInNeedsAStateAndCredentialsAndTheConnectionFollowsTheSubscription) {
    CAzureSDKCppBridge sdk;
    EXPECT_FALSE(sdk.Connect(SimulatedCloud::kSubscriptionId, SimulatedCloud::kApplicationId, SimulatedCloud::kSecret));
    EXPECT_EQ(sdk.GetLastErrorCode(), AzureSDKCppBridge::SDK_ERR_NOT_CONNECTED);
    testsupport::TempDir empty;
    setenv("VSA_CLOUD_STATE", empty.path().c_str(), 1);
    EXPECT_FALSE(sdk.Initialize("focus", "app", 1, VSINST_AZURE_RESOURCE_MANAGER));
    unsetenv("VSA_CLOUD_STATE");

    SimulatedCloud cloud;
    ASSERT_TRUE(sdk.Initialize("focus", "app", 1, VSINST_AZURE_RESOURCE_MANAGER));
    EXPECT_FALSE(sdk.CheckConnection());
    std::string token;
    EXPECT_FALSE(sdk.GetStorageAccessToken(token));
    EXPECT_EQ(sdk.GetLastErrorCode(), AzureSDKCppBridge::SDK_ERR_NOT_CONNECTED);
    EXPECT_FALSE(sdk.Connect(SimulatedCloud::kSubscriptionId, SimulatedCloud::kApplicationId, "not the secret"));
    EXPECT_EQ(sdk.GetLastErrorCode(), AzureSDKCppBridge::SDK_ERR_AUTHENTICATION);
    EXPECT_NE(sdk.GetLastErrorString().find("refused a token (HTTP 401): AADSTS7000215"), std::string::npos);
    // No answer from the identity service, or a server error, judges no credentials.
    for (azsim::HttpFaultKind kind : {azsim::HttpFaultKind::Drop, azsim::HttpFaultKind::Status}) {
        azsim::FaultBook(cloud.dir()).addHttpFault({"", "*/oauth2/*", kind, 503, "InternalError", 0, 0, -1});
        EXPECT_FALSE(
            sdk.Connect(SimulatedCloud::kSubscriptionId, SimulatedCloud::kApplicationId, SimulatedCloud::kSecret));
        EXPECT_EQ(sdk.GetLastErrorCode(), AzureSDKCppBridge::SDK_ERR_GENERAL);
        const char* why = kind == azsim::HttpFaultKind::Drop ? "could not be reached" : "could not answer (HTTP 503)";
        EXPECT_NE(sdk.GetLastErrorString().find(why), std::string::npos) << sdk.GetLastErrorString();
        azsim::FaultBook(cloud.dir()).clear();
    }

    ASSERT_TRUE(sdk.Connect(SimulatedCloud::kSubscriptionId, SimulatedCloud::kApplicationId, SimulatedCloud::kSecret));
    EXPECT_TRUE(sdk.CheckConnection());
    ASSERT_TRUE(sdk.GetStorageAccessToken(token));
    EXPECT_FALSE(token.empty());
    EXPECT_EQ(cloud.journal("GetStorageAccessToken").size(), 2u);

    // The subscription disappears from the cloud: the connection is lost.
    azsim::StateFolder(cloud.dir()).save(nlohmann::json{{"subscriptions", nlohmann::json::array()}});
    EXPECT_FALSE(sdk.CheckConnection());
    EXPECT_EQ(sdk.GetLastErrorCode(), AzureSDKCppBridge::SDK_ERR_NOT_CONNECTED);
    EXPECT_FALSE(sdk.CheckConnection());
}

// Without a state folder the wrapper works on the cloud its endpoints name, here the simulated one reached
// as a real one: sign-in and operations go over the protocol, and nothing is journalled.
TEST(SdkSession, WithoutAStateFolderTheCloudIsReachedOnlyOverItsProtocol) {
    SimulatedCloud cloud{SimulatedCloud::Seed::Demo};
    NXPlatformInfo::removeValue("CloudSdk", "sStateFolder");
    unsetenv("VSA_CLOUD_STATE");
    CAzureSDKCppBridge sdk;
    ASSERT_TRUE(sdk.Initialize("focus", "app", 1, VSINST_AZURE_RESOURCE_MANAGER)) << sdk.GetLastErrorString();
    EXPECT_FALSE(sdk.Connect("00000000-0000-0000-0000-000000000000", SimulatedCloud::kApplicationId,
                             SimulatedCloud::kSecret));
    EXPECT_EQ(sdk.GetLastErrorCode(), AzureSDKCppBridge::SDK_ERR_AUTHENTICATION);
    ASSERT_TRUE(sdk.Connect(SimulatedCloud::kSubscriptionId, SimulatedCloud::kApplicationId, SimulatedCloud::kSecret))
        << sdk.GetLastErrorString();
    EXPECT_TRUE(sdk.CheckConnection());
    EXPECT_TRUE(sdk.StartVM("web-linux01", "")) << sdk.GetLastErrorString();
    EXPECT_TRUE(cloud.journal("StartVM").empty()) << "nothing is journalled without a state folder";
}

// A proxy named by SetWebProxy carries sign-in and Resource Manager requests with its credentials;
// a proxy that refuses them makes the cloud unreachable, not the credentials wrong.
TEST(SdkSession, RequestsGoThroughTheProxyWithItsCredentials) {
    ServedCloud cloud;
    testsupport::ConnectProxy proxy(cloud.port(), "proxy-user", "proxy-pass");
    for (const char* password : {"wrong", "proxy-pass"}) {
        SCOPED_TRACE(password);
        CAzureSDKCppBridge sdk;
        ASSERT_TRUE(sdk.Initialize("focus", "app", 1, VSINST_AZURE_RESOURCE_MANAGER));
        ASSERT_TRUE(sdk.SetWebProxy(proxy.address(), "proxy-user", password));
        const bool connected =
            sdk.Connect(SimulatedCloud::kSubscriptionId, SimulatedCloud::kApplicationId, SimulatedCloud::kSecret);
        EXPECT_EQ(std::string(password) == "proxy-pass", connected) << sdk.GetLastErrorString();
        EXPECT_EQ(connected ? 0 : AzureSDKCppBridge::SDK_ERR_GENERAL, connected ? 0 : sdk.GetLastErrorCode());
    }
    for (const char* key : {"sProxy", "sProxyUser", "sProxyPassword"}) NXPlatformInfo::removeValue("HttpClient", key);
    // The refused tunnel ended the first sign-in; the accepted ones carried the second.
    EXPECT_EQ(proxy.refused(), 1);
    EXPECT_GE(proxy.asked().size(), 2u);
}

// The last error belongs to the calling thread and the wrapper; an exception inside an operation fails the call
// with its text.
TEST(SdkSession, LastErrorBelongsToTheCallingThreadAndTheWrapperAndCarriesAnException) {
    SimulatedCloud cloud;
    CAzureSDKCppBridge sdk, other;
    EXPECT_FALSE(sdk.UploadPageBlobToStorageAccount("rg", "a", "c", "b", "f"));
    std::string threadText;
    int threadCode = -1;
    std::thread([&] {
        EXPECT_EQ(sdk.GetLastErrorString(), "") << "a thread starts without an error";
        EXPECT_FALSE(sdk.Connect(SimulatedCloud::kSubscriptionId, SimulatedCloud::kApplicationId, "x"));
        threadText = sdk.GetLastErrorString();
        threadCode = sdk.GetLastErrorCode();
    }).join();
    EXPECT_EQ(threadText, "The SDK wrapper is not initialized");
    EXPECT_EQ(threadCode, AzureSDKCppBridge::SDK_ERR_NOT_CONNECTED);
    EXPECT_EQ(sdk.GetLastErrorString(), "Operation [UploadPageBlobToStorageAccount] is not available in this build");
    EXPECT_EQ(sdk.GetLastErrorCode(), 0);
    EXPECT_EQ(other.GetLastErrorString(), "") << "another wrapper on the same thread has an error of its own";
    EXPECT_FALSE(other.SetWebProxy("", "", ""));
    EXPECT_EQ(sdk.GetLastErrorString(), "Operation [UploadPageBlobToStorageAccount] is not available in this build");

    FailingLogSink sink;
    EvDebug::addSink(&sink);
    bool result = true;
    EXPECT_NO_THROW(result = sdk.UploadPageBlobToStorageAccount("rg", "a", "c", "b", "f"));
    EvDebug::removeSink(&sink);
    EXPECT_FALSE(result);
    EXPECT_EQ(sdk.GetLastErrorString(), "log device is gone");
    EXPECT_EQ(sdk.GetLastErrorCode(), AzureSDKCppBridge::SDK_ERR_GENERAL);
}

}  // namespace
