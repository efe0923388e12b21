// Private state of the SDK wrapper: the simulated subscription it talks to
// and the session established by Initialize, SetWebProxy and Connect.
#pragma once

#include <memory>
#include <string>

#include "azsim/Journal.h"
#include "azsim/StateFolder.h"
#include "cloudsdk/AzureSDKCppBridge.h"

namespace AzureSDKCppBridge {

struct ProxySettings {
    std::string host;
    std::string user;
    std::string password;
};

struct CAzureSDKCppBridge::Impl {
    // Folder of the simulated subscription: setting "CloudSdk"/"sStateFolder", else $VSA_CLOUD_STATE.
    static std::string ConfiguredStateFolder();

    std::unique_ptr<azsim::StateFolder> state;
    std::unique_ptr<azsim::Journal> journal;
    bool initialized = false;
    bool connected = false;
    std::string focus;
    std::string applicationName;
    long long jobId = 0;
    int instanceType = 0;
    std::string subscriptionId;
    std::string applicationId;
    ProxySettings proxy;
};

}  // namespace AzureSDKCppBridge
