// Private state of the SDK wrapper: the session established by Initialize,
// SetWebProxy and Connect, with its Resource Manager and Blob service clients,
// and, on the simulated subscription, the call journal and the fault rules
// tests set on wrapper operations.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>

#include <nlohmann/json.hpp>

#include "azsim/Journal.h"
#include "azsim/StateFolder.h"
#include "azsim/faults/FaultBook.h"
#include "cloudsdk/AzureSDKCppBridge.h"
#include "cloudsdk/rest/ArmClient.h"
#include "cloudsdk/rest/BlobClient.h"

namespace AzureSDKCppBridge {

struct ProxySettings {
    std::string host;
    std::string user;
    std::string password;
};

// How long a granted SAS URL stays valid; "CloudSdk"/"nSasLifetimeSeconds", default 8 hours.
long long SasLifetimeSeconds();

// Why an operation may not run: no session, or an injected fault.
struct Refusal {
    int code = 0;
    std::string text;
};

// A failure an operation raises from inside a change of the subscription's state,
// carrying the wrapper error code and text the operation reports.
struct OperationFailure : std::runtime_error {
    OperationFailure(int c, const std::string& text) : std::runtime_error(text), code(c) {}
    int code;
};

// The error of each thread's last failed operation. The data path calls one
// wrapper from several threads at once, and each reads back its own error.
class LastErrors {
public:
    struct Entry {
        int code = 0;
        std::string text;
    };
    void set(int code, const std::string& text);
    // The calling thread's entry; code 0 and no text before its first failure.
    Entry get() const;

private:
    mutable std::mutex mutex_;
    std::unordered_map<std::thread::id, Entry> byThread_;
};

struct CAzureSDKCppBridge::Impl {
    // Folder of the simulated subscription: setting "CloudSdk"/"sStateFolder", else $VSA_CLOUD_STATE.
    static std::string ConfiguredStateFolder();

    // Journals the call, then refuses it when there is no session or a fault rule fires.
    std::optional<Refusal> begin(const char* operation, const nlohmann::json& args);

    std::unique_ptr<azsim::StateFolder> state;
    std::unique_ptr<azsim::Journal> journal;
    std::unique_ptr<azsim::FaultBook> faults;
    // Resource Manager of the connected subscription, as the application Connect signed in with.
    std::unique_ptr<rest::ArmClient> arm;
    // The Blob service of the subscription's storage accounts and disks, under the same application.
    std::unique_ptr<rest::BlobClient> blob;
    bool initialized = false;
    bool connected = false;
    std::string focus;
    std::string applicationName;
    // The mark of what this wrapper creates (tag "createdByJob"): the job GUID of the
    // host's job identity when Initialize ran, else a GUID of this wrapper's own.
    std::string jobId;
    int instanceType = 0;
    std::string subscriptionId;
    std::string applicationId;
    ProxySettings proxy;
    LastErrors lastErrors;
};

}  // namespace AzureSDKCppBridge
