// The subscription the agent works on. By default a simulated one: a state
// folder (seeded with the demo scenario when it holds none yet) and its HTTPS
// endpoint, served from this process; the host settings route the SDK wrapper
// and the HTTP client to it, so the plugin talks to it as it would to the cloud.
// With --azure, a real subscription, reached with the service principal the
// environment names and the endpoints of the settings (Azure's public cloud
// by default); nothing is served then.
#pragma once

#include <memory>
#include <string>

#include "azsim/endpoint/BlobEndpoint.h"

namespace vsagent {

struct CloudCredentials {
    std::string subscriptionId;
    std::string applicationId;
    std::string secret;
};

// Which subscription a command works on.
struct CloudChoice {
    std::string dir;     // the simulated subscription's folder
    bool azure = false;  // a real subscription instead

    static CloudChoice Simulated(std::string dir) { return {std::move(dir), false}; }
};

class AgentCloud {
public:
    // The environment variables that name a real subscription and the service principal that signs in to it.
    static constexpr const char* kSubscriptionVariable = "AZURE_SUBSCRIPTION_ID";
    static constexpr const char* kTenantVariable = "AZURE_TENANT_ID";
    static constexpr const char* kClientVariable = "AZURE_CLIENT_ID";
    static constexpr const char* kSecretVariable = "AZURE_CLIENT_SECRET";

    // Throws std::runtime_error when the folder cannot be seeded, the endpoint does not start,
    // or (real subscription) a variable above is unset.
    explicit AgentCloud(const CloudChoice& choice);
    ~AgentCloud();
    AgentCloud(const AgentCloud&) = delete;
    AgentCloud& operator=(const AgentCloud&) = delete;

    bool simulated() const { return endpoint_ != nullptr; }
    // The simulated subscription's folder; throws for a real subscription, whose state is the cloud's own.
    const std::string& dir() const;
    bool seeded() const { return seeded_; }
    CloudCredentials credentials() const;
    // HTTP requests the simulated endpoint has served so far (0 for a real subscription).
    std::uint64_t requestsServed() const;

    // "~/.vsagent/cloud" (or "./vsagent-cloud" without a home folder).
    static std::string DefaultDir();

private:
    void startSimulated();
    void useAzure();

    std::string dir_;
    bool seeded_ = false;
    CloudCredentials azure_;
    std::unique_ptr<azsim::BlobEndpoint> endpoint_;
};

}  // namespace vsagent
