// The simulated subscription the agent works on: a state folder (seeded with the
// demo scenario when it holds none yet) and its HTTPS blob endpoint, served from
// this process. The host settings route the SDK wrapper to the folder and the
// HTTP client to the endpoint, so the plugin talks to it as it would to the cloud.
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

class EmbeddedCloud {
public:
    // Throws std::runtime_error when the folder cannot be seeded or the endpoint does not start.
    explicit EmbeddedCloud(const std::string& stateDir);
    ~EmbeddedCloud();
    EmbeddedCloud(const EmbeddedCloud&) = delete;
    EmbeddedCloud& operator=(const EmbeddedCloud&) = delete;

    const std::string& dir() const { return dir_; }
    bool seeded() const { return seeded_; }
    CloudCredentials credentials() const;
    // HTTP requests the endpoint has served so far.
    std::uint64_t requestsServed() const;

    // "~/.vsagent/cloud" (or "./vsagent-cloud" without a home folder).
    static std::string DefaultDir();

private:
    std::string dir_;
    bool seeded_ = false;
    std::unique_ptr<azsim::BlobEndpoint> endpoint_;
};

}  // namespace vsagent
