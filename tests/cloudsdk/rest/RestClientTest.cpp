// The Resource Manager client against the simulated subscription's endpoint: retries on throttling and
// server errors with the waits the answers ask for, long-running operations followed to their end, token
// reuse and refresh, and how the wrapper's VM operations read a 404 and a 500.
#include <gtest/gtest.h>

#include <algorithm>

#include "azsim/auth/AccessAuthority.h"
#include "azsim/endpoint/RequestLog.h"
#include "azsim/faults/FaultBook.h"
#include "azsim/model/SubscriptionState.h"
#include "cloudsdk/AzureSDKCppBridge.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/rest/ArmClient.h"
#include "host/settings/NXPlatformInfo.h"
#include "host/sys/Time.h"
#include "tests/support/SimulatedCloud.h"

namespace {

using AzureSDKCppBridge::rest::ArmClient;
using AzureSDKCppBridge::rest::ArmResult;
using AzureSDKCppBridge::rest::CloudEndpoints;
using testsupport::SimulatedCloud;
using namespace AzureSDKCppBridge;  // the wrapper's error codes

const std::string kVm = std::string("/subscriptions/") + SimulatedCloud::kSubscriptionId +
                        "/resourceGroups/rg-prod/providers/Microsoft.Compute/virtualMachines/web-linux01";

class RestClientTest : public ::testing::Test {
protected:
    static azsim::HttpFault Fault(const std::string& method, const std::string& path, int status, int times) {
        const char* code = status == 429 ? "TooManyRequests" : "ServiceUnavailable";
        return {method, path, azsim::HttpFaultKind::Status, status, code, 0, 0, times};
    }
    // Requests the endpoint answered whose path holds `part`.
    std::size_t Answered(const std::string& part) {
        const auto log = azsim::RequestLog::Read(cloud.dir());
        return std::count_if(log.begin(), log.end(), [&](const azsim::RequestRecord& r) {
            return r.path.find(part) != std::string::npos;
        });
    }

    SimulatedCloud cloud{SimulatedCloud::Seed::Demo};
    azsim::FaultBook faults{cloud.dir()};
    ArmClient arm{CloudEndpoints(), SimulatedCloud::kSubscriptionId, SimulatedCloud::kApplicationId,
                  SimulatedCloud::kSecret};
};

TEST_F(RestClientTest, RetriesThrottlingAndServerErrorsWithTheWaitsAsked) {
    // `code`: -1 when the request succeeds
    struct Row { int status; int times; std::vector<unsigned long> waits; int code; };
    const Row rows[] = {
        {429, 1, {1000}, -1},                      // Retry-After of the throttled answer
        {503, 2, {1000, 1000}, -1},
        {500, 2, {1000, 2000}, -1},                // no Retry-After: doubling back-off
        {500, -1, {1000, 2000, 4000}, SDK_ERR_GENERAL},
        {404, 1, {}, SDK_ERR_NOT_FOUND},           // a definite answer is not retried
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.status);
        faults.clear();
        faults.addHttpFault(Fault("GET", kVm, row.status, row.times));
        NxRecordingSleeper sleeper;
        const ArmResult result = arm.get(kVm, "2023-09-01");
        EXPECT_EQ(row.waits, sleeper.waits());
        EXPECT_EQ(row.code == -1, result.ok);
        EXPECT_EQ(row.code == -1 ? 0 : row.code, result.code);
        EXPECT_EQ(result.ok ? "web-linux01" : "", result.ok ? result.body.value("name", "") : "");
    }
}

TEST_F(RestClientTest, FollowsTheOperationOfAnActionToItsEnd) {
    const std::string operations = "/providers/Microsoft.Compute/locations/*/operations/*";
    for (bool unavailableOnce : {false, true}) {
        SCOPED_TRACE(unavailableOnce);
        faults.clear();
        if (unavailableOnce) faults.addHttpFault(Fault("GET", "*" + operations, 503, 1));
        const std::size_t before = Answered("/operations/");
        NxRecordingSleeper sleeper;
        const ArmResult result = arm.action(kVm + (unavailableOnce ? "/deallocate" : "/powerOff"), "2023-09-01",
                                            true);
        ASSERT_TRUE(result.ok) << result.text;
        // A power action's result (its "Location") has no body; the status is polled until it has ended.
        EXPECT_TRUE(result.body.is_null());
        EXPECT_EQ(unavailableOnce ? 3u : 2u, Answered("/operations/") - before);
        EXPECT_EQ(unavailableOnce ? std::vector<unsigned long>{1000} : std::vector<unsigned long>{}, sleeper.waits());
        EXPECT_EQ(unavailableOnce ? azsim::PowerState::Deallocated : azsim::PowerState::Stopped,
                  azsim::SubscriptionState(cloud.dir()).load().findVm("web-linux01")->powerState);
    }
    // Not waiting leaves the operation unasked.
    const std::size_t before = Answered("/operations/");
    EXPECT_TRUE(arm.action(kVm + "/start", "2023-09-01", false).ok);
    EXPECT_EQ(before, Answered("/operations/"));
}

TEST_F(RestClientTest, KeepsItsTokenUntilCloseToExpiry) {
    for (long long lifetime : {3600LL, 300LL}) {
        SCOPED_TRACE(lifetime);
        azsim::AccessAuthority(cloud.dir()).setTokenLifetime(lifetime);
        ArmClient fresh{CloudEndpoints(), SimulatedCloud::kSubscriptionId, SimulatedCloud::kApplicationId,
                        SimulatedCloud::kSecret};
        const std::size_t before = Answered("/oauth2/");
        ASSERT_TRUE(fresh.get(kVm, "2023-09-01").ok);
        ASSERT_TRUE(fresh.get(kVm, "2023-09-01").ok);
        EXPECT_EQ(lifetime == 300 ? 2u : 1u, Answered("/oauth2/") - before);
    }
    ArmClient stranger{CloudEndpoints(), SimulatedCloud::kSubscriptionId, SimulatedCloud::kApplicationId, "wrong"};
    const ArmResult refused = stranger.get(kVm, "2023-09-01");
    EXPECT_EQ(SDK_ERR_AUTHENTICATION, refused.code);
    EXPECT_NE(std::string::npos, refused.text.find("AADSTS7000215"));
}

TEST_F(RestClientTest, TenantComesFromTheSettingsElseFromTheSubscriptionsChallenge) {
    // `tenant`: CloudSdk/sTenantId
    // `challenges`: anonymous requests for the subscription
    struct Row { std::string tenant; bool ok; std::size_t challenges; };
    const Row rows[] = {{"", true, 1}, {"72f988bf-86f1-41af-91ab-2d7cd011db47", true, 0}, {"someone-elses", false, 0}};
    const std::string subscription = std::string("/subscriptions/") + SimulatedCloud::kSubscriptionId;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.tenant);
        NXPlatformInfo::setValue("CloudSdk", "sTenantId", row.tenant);
        const auto before = azsim::RequestLog::Read(cloud.dir()).size();
        const ArmResult result = ArmClient(CloudEndpoints::FromSettings(), SimulatedCloud::kSubscriptionId,
                                           SimulatedCloud::kApplicationId, SimulatedCloud::kSecret)
                                     .get(kVm, "2023-09-01");
        NXPlatformInfo::removeValue("CloudSdk", "sTenantId");
        EXPECT_EQ(row.ok, result.ok) << result.text;
        EXPECT_EQ(row.ok ? 0 : SDK_ERR_AUTHENTICATION, result.code);
        const auto log = azsim::RequestLog::Read(cloud.dir());
        EXPECT_EQ(row.challenges, std::count_if(log.begin() + before, log.end(), [&](const azsim::RequestRecord& r) {
                      return r.path == subscription && r.status == 401;
                  }));
    }
}

TEST_F(RestClientTest, WrapperReadsA404AsNotFoundAndA500AsCouldNotAsk) {
    AzureSDKCppBridge::CAzureSDKCppBridge sdk;
    ASSERT_TRUE(sdk.Initialize("focus", "app", 7, VSINST_AZURE_RESOURCE_MANAGER));
    ASSERT_TRUE(sdk.Connect(SimulatedCloud::kSubscriptionId, SimulatedCloud::kApplicationId, SimulatedCloud::kSecret));
    EXPECT_FALSE(sdk.StartVM("no-such-vm", ""));
    EXPECT_EQ(SDK_ERR_NOT_FOUND, sdk.GetLastErrorCode());
    faults.addHttpFault(Fault("GET", "*/virtualMachines", 500, -1));
    NxRecordingSleeper sleeper;
    EXPECT_FALSE(sdk.ShutdownVM("web-linux01", "", true));
    EXPECT_EQ(SDK_ERR_GENERAL, sdk.GetLastErrorCode());
    EXPECT_NE(std::string::npos, sdk.GetLastErrorString().find("HTTP 500"));
    EXPECT_EQ(azsim::PowerState::Running,
              azsim::SubscriptionState(cloud.dir()).load().findVm("web-linux01")->powerState);
}

}  // namespace
