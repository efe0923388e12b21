// The SDK wrapper, signed in as job 7, over a fresh demo subscription; with the state and the
// fault rules of its folder at hand for arranging cases and checking what changed.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "azsim/faults/FaultBook.h"
#include "azsim/model/SubscriptionState.h"
#include "cloudsdk/AzureSDKCppBridge.h"
#include "tests/support/SimulatedCloud.h"

class VmOps : public ::testing::Test {
protected:
    void SetUp() override {
        EvEvent::setJobGuid(testsupport::JobGuidOf(7));
        ASSERT_TRUE(sdk.Initialize("focus", "app", 7, VSINST_AZURE_RESOURCE_MANAGER));
        ASSERT_TRUE(sdk.Connect(testsupport::SimulatedCloud::kSubscriptionId,
                                testsupport::SimulatedCloud::kApplicationId, testsupport::SimulatedCloud::kSecret));
    }
    // The whole state document as text, to show that a refusal changed nothing.
    std::string Snapshot() const { return state.load().toJson().dump(); }

    testsupport::SimulatedCloud cloud{testsupport::SimulatedCloud::Seed::Demo};
    azsim::SubscriptionState state{cloud.dir()};
    azsim::FaultBook faults{cloud.dir()};
    AzureSDKCppBridge::CAzureSDKCppBridge sdk;
};
