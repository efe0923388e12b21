// What every cloud command of the agent runs on: the simulated subscription
// served from this process, the loaded plugin, and plugin objects connected
// with the subscription's credentials under the agent's job identity.
#pragma once

#include <memory>
#include <string>

#include "agent/host/EmbeddedCloud.h"
#include "agent/host/PluginLibrary.h"

namespace vsagent {

struct ConnectFailure {
    int code = 0;
    std::string details;
};

class AgentHost {
public:
    // Throws std::runtime_error when the cloud or the plugin cannot be set up.
    explicit AgentHost(const std::string& cloudDir);
    ~AgentHost();

    EmbeddedCloud& cloud() { return cloud_; }
    // A plugin object for job `jobId`, connected; null with `failure` set when the connection fails.
    // `jobGuid` marks what the job creates in the cloud; empty: a fresh one, for a job that
    // keeps no record of what it made.
    std::unique_ptr<IVMInfo> connect(long long jobId, ConnectFailure& failure, const std::string& jobGuid = "");

    static constexpr const char* kApplicationName = "vsagent";
    static constexpr const char* kInstance = "Instance001";

private:
    EmbeddedCloud cloud_;
    PluginLibrary library_;
};

}  // namespace vsagent
