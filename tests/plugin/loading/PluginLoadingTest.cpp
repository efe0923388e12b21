// The built library as a host loads it: dlopen, the factory, the interface.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <memory>

#include "host/vminfo/IVMInfo.h"
#include "tests/support/SimulatedCloud.h"

using testsupport::SimulatedCloud;

namespace {

using Factory = int (*)(VirtualServerInstanceType, IVMInfo**);

class PluginLoading : public ::testing::Test {
protected:
    void SetUp() override {
        library = dlopen(AZUREINFO_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
        create = reinterpret_cast<Factory>(dlsym(library, "CreateAzureInfoObject"));
        ASSERT_NE(create, nullptr) << dlerror();
    }
    void TearDown() override {
        if (library) dlclose(library);
    }
    IVMInfo* Create(VirtualServerInstanceType type) {
        IVMInfo* object = nullptr;
        EXPECT_EQ(create(type, &object), 1);
        return object;
    }

    SimulatedCloud cloud;
    testsupport::JobIdentityScope identity{"vsagent", "Instance001", 7};
    void* library = nullptr;
    Factory create = nullptr;
};

// Objects of every instance type connect (the classic one with the subscription as user); a proxy
// credential and a failed connection reach the caller through the interface.
TEST_F(PluginLoading, FactoryObjectsConnectThroughTheInterface) {
    SHostCredentials proxy;
    proxy.type = 3;
    proxy.host = "proxy.corp:3128";
    proxy.userName = "alice";
    for (VirtualServerInstanceType type : {VSINST_AZURE_CLASSIC, VSINST_AZURE_STACK_HUB, VSINST_AZURE_RESOURCE_MANAGER}) {
        std::unique_ptr<IVMInfo> object(Create(type));
        ASSERT_NE(object, nullptr);
        const bool classic = type == VSINST_AZURE_CLASSIC;
        EXPECT_EQ(object->Connect(classic ? "ignored" : SimulatedCloud::kSubscriptionId,
                                  classic ? SimulatedCloud::kSubscriptionId : SimulatedCloud::kApplicationId,
                                  SimulatedCloud::kSecret),
                  1)
            << type;
        if (type != VSINST_AZURE_RESOURCE_MANAGER) continue;
        EXPECT_EQ(object->Connect(SimulatedCloud::kSubscriptionId, SimulatedCloud::kApplicationId,
                                  SimulatedCloud::kSecret, {proxy}), 1);
        EXPECT_EQ(cloud.journal("SetWebProxy").size(), 1u);
        EXPECT_EQ(object->Connect(SimulatedCloud::kSubscriptionId, "11111111-0000-0000-0000-000000000000",
                                  SimulatedCloud::kSecret), 0);
        EXPECT_NE(object->GetLastVMErrorDetails().find("AADSTS700016"), std::string::npos);
        EXPECT_EQ(object->Disconnect(), 1);
    }
}

}  // namespace
