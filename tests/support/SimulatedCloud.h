// A simulated subscription in a temporary state folder, wired into the
// settings so that SDK wrappers created while it lives talk to it, and the
// job identity the agent would set. For tests.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/log/JobIdentity.h"

namespace azsim {
class BlobEndpoint;
}

namespace testsupport {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

class SimulatedCloud {
public:
    static constexpr const char* kSubscriptionId = "6f1c2d3e-4a5b-4c6d-8e7f-90a1b2c3d4e5";
    static constexpr const char* kApplicationId = "0c9d8e7f-6a5b-4c3d-9e2f-1a0b9c8d7e6f";
    static constexpr const char* kSecret = "s3cr3t~value.of_the-app";

    enum class Seed { CredentialsOnly, Demo };
    // A subscription holding only its credentials, or the demo scenario's resources and disks, with its
    // HTTPS endpoint running and the HTTP client of this process routed to it (every host name to the
    // endpoint, its CA trusted): the wrapper reaches Resource Manager and the blob data there.
    explicit SimulatedCloud(Seed seed = Seed::CredentialsOnly);
    ~SimulatedCloud();
    const std::string& dir() const { return dir_.path(); }
    int port() const;
    // SDK operations recorded in the call journal, oldest first.
    std::vector<nlohmann::json> journal(const std::string& operation) const;

private:
    TempDir dir_;
    std::unique_ptr<azsim::BlobEndpoint> endpoint_;
};

// The demo subscription, served.
class ServedCloud : public SimulatedCloud {
public:
    ServedCloud() : SimulatedCloud(Seed::Demo) {}
};

// The job GUID the tests give job `jobId`: a fixed GUID that shows the number.
std::string JobGuidOf(NXJobID jobId);

// Sets the job identity (application name, focus, job id and JobGuidOf(job id)) while it lives.
class JobIdentityScope {
public:
    JobIdentityScope(const std::string& applicationName, const std::string& focus, NXJobID jobId);
    ~JobIdentityScope();

private:
    std::string applicationName_;
    std::string focus_;
    NXJobID jobId_;
    std::string jobGuid_;
};

}  // namespace testsupport
