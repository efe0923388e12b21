// Lifecycle of the SDK wrapper: initialisation, proxy, sign-in and the
// connection check. With a state folder the wrapper works on that simulated
// subscription (journalling each call, taking its injected faults); without
// one, on the real cloud of the settings' endpoints. Sign-in and the check go
// over the cloud's protocol either way.
#include <cstdlib>

#include "cloudsdk/BridgeImpl.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "cloudsdk/rest/ApiVersions.h"
#include "host/log/EvDebug.h"
#include "host/settings/NXPlatformInfo.h"
#include "host/util/Guid.h"

#include "azsim/Identity.h"

namespace AzureSDKCppBridge {

std::string CAzureSDKCppBridge::Impl::ConfiguredStateFolder() {
    std::string dir;
    if (NXPlatformInfo::getString("CloudSdk", "sStateFolder", &dir) && !dir.empty()) return dir;
    const char* env = std::getenv("VSA_CLOUD_STATE");
    return env ? std::string(env) : std::string();
}

std::optional<Refusal> CAzureSDKCppBridge::Impl::begin(const char* operation, const nlohmann::json& args) {
    if (journal) journal->record(operation, args);
    if (!connected) return Refusal{SDK_ERR_NOT_CONNECTED, "Not connected to an Azure subscription"};
    if (!faults) return std::nullopt;
    if (std::optional<azsim::SdkFault> fault = faults->takeSdkFault(operation))
        return Refusal{fault->code, fault->text};
    return std::nullopt;
}

CAzureSDKCppBridge::CAzureSDKCppBridge() : impl_(new Impl) {}
CAzureSDKCppBridge::~CAzureSDKCppBridge() = default;

void LastErrors::set(int code, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    Entry& entry = byThread_[std::this_thread::get_id()];
    entry.code = code;
    entry.text = text;
}

LastErrors::Entry LastErrors::get() const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = byThread_.find(std::this_thread::get_id());
    return it == byThread_.end() ? Entry() : it->second;
}

bool CAzureSDKCppBridge::Fail(int code, const std::string& text) {
    impl_->lastErrors.set(code, text);
    return false;
}

bool CAzureSDKCppBridge::FailOnException() noexcept {
    int code = SDK_ERR_GENERAL;
    const char* text = "Internal error of the SDK wrapper";
    // The exception object lives on while the operation's own handler runs, so its text may be kept by pointer.
    try {
        throw;
    } catch (const OperationFailure& e) {
        code = e.code;
        text = e.what();
    } catch (const std::exception& e) {
        text = e.what();
    } catch (...) {
    }
    try {
        return Fail(code, text);
    } catch (...) {
        return false;
    }
}

std::string CAzureSDKCppBridge::GetLastErrorString() { return impl_->lastErrors.get().text; }
int CAzureSDKCppBridge::GetLastErrorCode() { return impl_->lastErrors.get().code; }

bool CAzureSDKCppBridge::Initialize(const std::string& focus, const std::string& applicationName, NXJobID jobId,
                                    VirtualServerInstanceType instanceType) try {
    static const char* tag =
        "bool AzureSDKCppBridge::CAzureSDKCppBridge::Initialize(const string&, const string&, NXJobID, "
        "VirtualServerInstanceType)";
    // Without a state folder the wrapper works on the real cloud the settings' endpoints name.
    std::string dir = Impl::ConfiguredStateFolder();
    if (!dir.empty()) {
        auto state = std::make_unique<azsim::StateFolder>(dir);
        if (!state->exists()) {
            EvDebug::Error(tag, "Cloud backend state [%s] not found", dir.c_str());
            return Fail(SDK_ERR_GENERAL, "Cloud backend state folder [" + dir + "] holds no subscription state");
        }
        impl_->state = std::move(state);
        impl_->journal = std::make_unique<azsim::Journal>(dir);
        impl_->faults = std::make_unique<azsim::FaultBook>(dir);
    }
    impl_->focus = focus;
    impl_->applicationName = applicationName;
    // The mark of what this wrapper creates is the job's GUID, never its number, which
    // another agent's jobs may share.
    const std::string jobGuid = EvEvent::getJobGuid();
    impl_->jobId = jobGuid.empty() ? CreateGuid() : jobGuid;
    impl_->instanceType = static_cast<int>(instanceType);
    impl_->initialized = true;
    if (impl_->journal)
        impl_->journal->record("Initialize", {{"focus", focus},
                                          {"applicationName", applicationName},
                                          {"jobId", jobId},
                                          {"jobGuid", impl_->jobId},
                                          {"instanceType", static_cast<int>(instanceType)}});
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::SetWebProxy(const std::string& host, const std::string& user,
                                     const std::string& password) try {
    if (host.empty()) return Fail(SDK_ERR_GENERAL, "Proxy host is empty");
    impl_->proxy = ProxySettings{host, user, password};
    // Every request of this process goes through the proxy: the wrapper's and the plugin's data path alike.
    NXPlatformInfo::setValue("HttpClient", "sProxy", host);
    NXPlatformInfo::setValue("HttpClient", "sProxyUser", user);
    NXPlatformInfo::setValue("HttpClient", "sProxyPassword", password);
    if (impl_->journal)
        impl_->journal->record("SetWebProxy", {{"host", host}, {"user", user}, {"passwordSet", !password.empty()}});
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::Connect(const std::string& subscriptionId, const std::string& userName,
                                 const std::string& password) try {
    impl_->connected = false;
    if (!impl_->initialized) return Fail(SDK_ERR_NOT_CONNECTED, "The SDK wrapper is not initialized");
    if (impl_->journal)
        impl_->journal->record("Connect", {{"subscriptionId", subscriptionId},
                                           {"userName", userName},
                                           {"proxy", impl_->proxy.host}});
    auto arm = std::make_unique<rest::ArmClient>(rest::CloudEndpoints::FromSettings(), subscriptionId, userName,
                                                 password);
    if (impl_->instanceType == VSINST_AZURE_CLASSIC) {
        // The classic model has no identity service: the subscription's own credential is checked.
        if (!impl_->state) return Fail(SDK_ERR_GENERAL, "The classic deployment model works only on the simulated subscription");
        nlohmann::json document;
        try {
            document = impl_->state->load();
        } catch (const azsim::Error& e) {
            return Fail(SDK_ERR_GENERAL, e.what());
        }
        azsim::SignInResult signIn = azsim::SignInClassic(document, subscriptionId, password);
        if (!signIn.ok) return Fail(SDK_ERR_AUTHENTICATION, signIn.errorText);
    } else {
        // The first token now, so that refused credentials or an unreachable identity service show at
        // sign-in; then the subscription, which a token for another tenant's subscription does not reach.
        rest::ArmResult signedIn = arm->signIn();
        if (signedIn.ok) signedIn = arm->get("/subscriptions/" + subscriptionId, rest::kSubscriptionsVersion);
        if (!signedIn.ok)
            return Fail(signedIn.code == SDK_ERR_NOT_FOUND ? SDK_ERR_AUTHENTICATION : signedIn.code, signedIn.text);
    }
    impl_->subscriptionId = subscriptionId;
    impl_->applicationId = userName;
    rest::ArmClient* tenantSource = arm.get();
    impl_->blob = std::make_unique<rest::BlobClient>(
        rest::CloudEndpoints::FromSettings(), userName, password,
        [tenantSource](std::string& tenant, std::string& error) {
            rest::ArmResult failure;
            if (tenantSource->tenant(tenant, failure)) return true;
            error = failure.text;
            return false;
        });
    impl_->arm = std::move(arm);
    impl_->connected = true;
    return true;
} catch (...) {
    return FailOnException();
}

bool CAzureSDKCppBridge::CheckConnection() try {
    if (std::optional<Refusal> refusal = impl_->begin("CheckConnection", {{"subscriptionId", impl_->subscriptionId}})) {
        if (refusal->code == SDK_ERR_NOT_CONNECTED) impl_->connected = false;
        return Fail(refusal->code, refusal->text);
    }
    if (impl_->instanceType == VSINST_AZURE_CLASSIC) return true;
    const rest::ArmResult found = impl_->arm->get("/subscriptions/" + impl_->subscriptionId, rest::kSubscriptionsVersion);
    if (found.ok) return true;
    // A subscription that is gone, or credentials no longer taken, end the connection; a cloud that
    // could not be asked leaves it as it was.
    if (found.code != SDK_ERR_NOT_FOUND && found.code != SDK_ERR_AUTHENTICATION) return Fail(found.code, found.text);
    impl_->connected = false;
    return Fail(SDK_ERR_NOT_CONNECTED, found.text);
} catch (...) {
    return FailOnException();
}

}  // namespace AzureSDKCppBridge
