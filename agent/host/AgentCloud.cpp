#include "agent/host/AgentCloud.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "azsim/model/SubscriptionState.h"
#include "azsim/scenarios/Scenario.h"
#include "host/settings/NXPlatformInfo.h"

namespace vsagent {

namespace {

std::string Required(const char* variable) {
    const char* value = std::getenv(variable);
    if (!value || !*value)
        throw std::runtime_error(std::string("--azure needs the service principal's credentials: ") + variable +
                                 " is not set");
    return value;
}

}  // namespace

AgentCloud::AgentCloud(const CloudChoice& choice) : dir_(choice.dir) {
    if (choice.azure)
        useAzure();
    else
        startSimulated();
}

void AgentCloud::startSimulated() {
    azsim::SubscriptionState state(dir_);
    if (!state.exists()) {
        std::error_code ec;
        std::filesystem::create_directories(dir_, ec);
        if (ec) throw std::runtime_error("cannot create the cloud folder [" + dir_ + "]: " + ec.message());
        azsim::InitState(dir_, azsim::DemoScenario());
        seeded_ = true;
    }
    endpoint_ = std::make_unique<azsim::BlobEndpoint>(dir_);
    std::string error;
    if (!endpoint_->start(&error)) throw std::runtime_error("the blob endpoint did not start: " + error);
    NXPlatformInfo::setValue("CloudSdk", "sStateFolder", dir_);
    NXPlatformInfo::setValue("HttpClient", "sConnectTo", endpoint_->connectToEntry());
    NXPlatformInfo::setValue("HttpClient", "sCABundle", endpoint_->caBundlePath());
}

void AgentCloud::useAzure() {
    azure_ = {Required(kSubscriptionVariable), Required(kClientVariable), Required(kSecretVariable)};
    NXPlatformInfo::setValue("CloudSdk", "sTenantId", Required(kTenantVariable));
    dir_.clear();
}

AgentCloud::~AgentCloud() {
    if (!endpoint_) return;
    NXPlatformInfo::removeValue("HttpClient", "sConnectTo");
    NXPlatformInfo::removeValue("HttpClient", "sCABundle");
    NXPlatformInfo::removeValue("CloudSdk", "sStateFolder");
    endpoint_->stop();
}

const std::string& AgentCloud::dir() const {
    if (!endpoint_)
        throw std::runtime_error("this command works only on the simulated subscription, not with --azure");
    return dir_;
}

CloudCredentials AgentCloud::credentials() const {
    if (!endpoint_) return azure_;
    const azsim::StateDocument document = azsim::SubscriptionState(dir_).load();
    const azsim::Subscription& s = document.subscription();
    return {s.id, s.applicationId, s.secret};
}

std::uint64_t AgentCloud::requestsServed() const { return endpoint_ ? endpoint_->counters().requests : 0; }

std::string AgentCloud::DefaultDir() {
    const char* home = getenv("HOME");
    if (home && *home) return (std::filesystem::path(home) / ".vsagent" / "cloud").string();
    return "vsagent-cloud";
}

}  // namespace vsagent
