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

// Objects of every instance type come from the factory and connect through the interface (the classic one with the
// subscription as user); a refused connection's text reaches the caller.
TEST_F(PluginLoading, FactoryObjectsConnectThroughTheInterface) {
    for (VirtualServerInstanceType type : {VSINST_AZURE_CLASSIC, VSINST_AZURE_STACK_HUB, VSINST_AZURE_RESOURCE_MANAGER}) {
        std::unique_ptr<IVMInfo> object(Create(type));
        ASSERT_NE(object, nullptr);
        const bool classic = type == VSINST_AZURE_CLASSIC;
        const std::string server = classic ? "ignored" : SimulatedCloud::kSubscriptionId;
        const std::string user = classic ? SimulatedCloud::kSubscriptionId : SimulatedCloud::kApplicationId;
        EXPECT_EQ(object->Connect(server, user, SimulatedCloud::kSecret, {}), 1) << type;
        EXPECT_EQ(object->Connect(server, user, "wrong"), 0) << type;
        EXPECT_NE(object->GetLastVMErrorDetails().find(classic ? "ForbiddenError" : "AADSTS7000215"), std::string::npos)
            << type;
    }
}

}  // namespace
