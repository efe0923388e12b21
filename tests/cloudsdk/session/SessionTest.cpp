// The SDK wrapper's session against a simulated subscription, and the honesty of operations not yet built.
#include <gtest/gtest.h>

#include <filesystem>

#include "azsim/StateFolder.h"
#include "cloudsdk/AzureSDKCppBridge.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "host/settings/NXPlatformInfo.h"
#include "tests/support/SimulatedCloud.h"

using AzureSDKCppBridge::CAzureSDKCppBridge;
using testsupport::SimulatedCloud;

namespace {

TEST(SdkSession, InitializeNeedsASubscriptionState) {
    NXPlatformInfo::removeValue("CloudSdk", "sStateFolder");
    unsetenv("VSA_CLOUD_STATE");
    CAzureSDKCppBridge unconfigured;
    EXPECT_FALSE(unconfigured.Initialize("focus", "app", 1, VSINST_AZURE_RESOURCE_MANAGER));
    EXPECT_NE(unconfigured.GetLastErrorString().find("No cloud backend is configured"), std::string::npos);
    EXPECT_FALSE(unconfigured.Connect(SimulatedCloud::kSubscriptionId, SimulatedCloud::kApplicationId,
                                      SimulatedCloud::kSecret));
    EXPECT_EQ(unconfigured.GetLastErrorCode(), AzureSDKCppBridge::SDK_ERR_NOT_CONNECTED);

    testsupport::TempDir empty;
    setenv("VSA_CLOUD_STATE", empty.path().c_str(), 1);
    CAzureSDKCppBridge noState;
    EXPECT_FALSE(noState.Initialize("focus", "app", 1, VSINST_AZURE_RESOURCE_MANAGER));
    unsetenv("VSA_CLOUD_STATE");
}

TEST(SdkSession, SignInChecksCredentialsAndTheConnectionFollowsTheSubscription) {
    SimulatedCloud cloud;
    CAzureSDKCppBridge sdk;
    ASSERT_TRUE(sdk.Initialize("focus", "app", 1, VSINST_AZURE_RESOURCE_MANAGER));
    EXPECT_FALSE(sdk.CheckConnection());
    EXPECT_FALSE(sdk.Connect(SimulatedCloud::kSubscriptionId, SimulatedCloud::kApplicationId, "not the secret"));
    EXPECT_EQ(sdk.GetLastErrorCode(), AzureSDKCppBridge::SDK_ERR_AUTHENTICATION);
    EXPECT_NE(sdk.GetLastErrorString().find("AADSTS7000215"), std::string::npos);

    ASSERT_TRUE(sdk.Connect(SimulatedCloud::kSubscriptionId, SimulatedCloud::kApplicationId, SimulatedCloud::kSecret));
    EXPECT_TRUE(sdk.CheckConnection());

    // The subscription disappears from the cloud: the connection is lost.
    azsim::StateFolder(cloud.dir()).save(nlohmann::json{{"subscriptions", nlohmann::json::array()}});
    EXPECT_FALSE(sdk.CheckConnection());
    EXPECT_EQ(sdk.GetLastErrorCode(), AzureSDKCppBridge::SDK_ERR_NOT_CONNECTED);
    EXPECT_FALSE(sdk.CheckConnection());
}

TEST(SdkSession, AnOperationNotInThisBuildFailsWithAClearText) {
    SimulatedCloud cloud;
    CAzureSDKCppBridge sdk;
    EXPECT_FALSE(sdk.RegisterBlobAsOSDisk("acct", "vhds", "os.vhd", false));
    EXPECT_EQ(sdk.GetLastErrorString(), "Operation [RegisterBlobAsOSDisk] is not available in this build");
}

}  // namespace
