#include "agent/host/EmbeddedCloud.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "azsim/model/SubscriptionState.h"
#include "azsim/scenarios/Scenario.h"
#include "host/settings/NXPlatformInfo.h"

namespace vsagent {

EmbeddedCloud::EmbeddedCloud(const std::string& stateDir) : dir_(stateDir) {
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

EmbeddedCloud::~EmbeddedCloud() {
    NXPlatformInfo::removeValue("HttpClient", "sConnectTo");
    NXPlatformInfo::removeValue("HttpClient", "sCABundle");
    NXPlatformInfo::removeValue("CloudSdk", "sStateFolder");
    endpoint_->stop();
}

CloudCredentials EmbeddedCloud::credentials() const {
    const azsim::StateDocument document = azsim::SubscriptionState(dir_).load();
    const azsim::Subscription& s = document.subscription();
    return {s.id, s.applicationId, s.secret};
}

std::uint64_t EmbeddedCloud::requestsServed() const { return endpoint_->counters().requests; }

std::string EmbeddedCloud::DefaultDir() {
    const char* home = getenv("HOME");
    if (home && *home) return (std::filesystem::path(home) / ".vsagent" / "cloud").string();
    return "vsagent-cloud";
}

}  // namespace vsagent
