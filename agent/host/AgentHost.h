// What every cloud command of the agent runs on: the simulated subscription
// served from this process, the loaded plugin, and plugin objects connected
// with the subscription's credentials under the agent's job identity.
#pragma once

#include <memory>
#include <string>

#include "agent/host/AgentCloud.h"
#include "agent/host/PluginLibrary.h"

namespace vsagent {

struct ConnectFailure {
    int code = 0;
    std::string details;
};

class AgentHost {
public:
    // Throws std::runtime_error when the cloud or the plugin cannot be set up.
    explicit AgentHost(const CloudChoice& cloud);
    ~AgentHost();

    AgentCloud& cloud() { return cloud_; }
    // A plugin object for job `jobId`, connected; null with `failure` set when the connection fails.
    // `jobGuid` marks what the job creates in the cloud; empty: a fresh one, for a job that
    // keeps no record of what it made.
    std::unique_ptr<IVMInfo> connect(long long jobId, ConnectFailure& failure, const std::string& jobGuid = "");

    static constexpr const char* kApplicationName = "vsagent";
    static constexpr const char* kInstance = "Instance001";

private:
    AgentCloud cloud_;
    PluginLibrary library_;
};

}  // namespace vsagent
