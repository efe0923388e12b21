// VM-operation fixture: a plugin connected to the demo subscription, the call journal, fault rules,
// captured log lines, and a clock that moves only when the plugin waits (disk names are predictable).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "azsim/Journal.h"
#include "azsim/faults/FaultBook.h"
#include "azsim/model/SubscriptionState.h"
#include "host/log/EvDebug.h"
#include "host/sys/Time.h"
#include "plugin/frame/AzureInfo.h"
#include "tests/support/SimulatedCloud.h"

namespace vmopstest {

using testsupport::SimulatedCloud;

class TestPlugin : public CAzureInfo {
public:
    using CAzureInfo::CAzureInfo;
    using CAzureInfo::osDiskName;
    using CAzureInfo::sdk;
};

// web-linux01 of the demo: running, managed, an OS disk and two data disks.
const char* const kWebVm = "web-linux01";
const char* const kWebGuid = "3b7f1c2a-9d4e-4f60-8a1b-2c3d4e5f6071";

class VmOpsTest : public ::testing::Test {
protected:
    void SetUp() override {
        CVMInfo::SetDmiDirectory(cloud.dir() + "/no-dmi");
        NxClock::fix(now);
        previousHook = NxSetSleepHook([this](unsigned long ms) { NxClock::fix(now += std::chrono::milliseconds(ms)); });
        plugin = Connected();
    }
    void TearDown() override {
        NxSetSleepHook(previousHook);
        NxClock::unfix();
    }
    std::unique_ptr<TestPlugin> Connected() {
        std::unique_ptr<TestPlugin> job(new TestPlugin(VSINST_AZURE_RESOURCE_MANAGER, 0));
        EXPECT_EQ(1, job->Connect(SimulatedCloud::kSubscriptionId, SimulatedCloud::kApplicationId,
                                  SimulatedCloud::kSecret));
        return job;
    }
    static OperationCtx Op(int code, const std::string& vm = kWebVm, const std::string& guid = kWebGuid) {
        OperationCtx ctx;
        ctx.operation = code;
        ctx.vmInfo.name = vm;
        ctx.vmInfo.guid = guid;
        ctx.vmInfo.resourceGroup = "rg-prod";
        return ctx;
    }
    // Journal entries of one SDK operation, or of all with an empty name.
    std::vector<nlohmann::json> Calls(const std::string& op = "") const {
        azsim::Journal journal(cloud.dir());
        return op.empty() ? journal.entries() : journal.entries(op);
    }
    void Fault(const std::string& op, const std::string& text) {
        azsim::FaultBook(cloud.dir()).addSdkFault({op, 0, text, 1});
    }
    azsim::StateDocument State() const { return azsim::SubscriptionState(cloud.dir()).load(); }
    azsim::PageBlobStore Blobs() const { return azsim::SubscriptionState(cloud.dir()).blobs(); }

    SimulatedCloud cloud{SimulatedCloud::Seed::Demo};
    testsupport::JobIdentityScope identity{"vsagent", "Instance001", 77};
    NxClock::time_point now = std::chrono::system_clock::from_time_t(1780000000);
    const NxClock::time_point start = now;
    NxSleepHook previousHook;
    EvLogCapture log;
    std::unique_ptr<TestPlugin> plugin;
};

}  // namespace vmopstest
