// A connected plugin object for one command that acts on the cloud (a VM
// operation, a network, a storage clean-up, a guest script), and the one line a
// failed operation ends with.
#pragma once

#include <memory>
#include <string>

#include "agent/host/AgentHost.h"
#include "agent/host/CancelSignal.h"
#include "host/vminfo/IVMInfo.h"

namespace vsagent {

class PluginSession {
public:
    // Connects under a job id of its own; throws std::runtime_error with the connection's error.
    PluginSession(const CloudChoice& cloud, CancelSignal& cancel);
    ~PluginSession();
    IVMInfo& plugin() { return *plugin_; }
    // The subscription the session is connected to.
    std::string subscriptionId() { return host_.cloud().credentials().subscriptionId; }
    CloudCredentials credentials() { return host_.cloud().credentials(); }
    // The job id the session's work is marked with.
    long long jobId() const { return jobId_; }
    // The VM named `name` (and `group` when given); false with the failure line in `error`.
    bool findVm(const std::string& name, const std::string& group, SVMInfo& vm, std::string& error);
    // "<what> failed: error N, <meaning> (<details>). What to do: <action>." from the plugin's last
    // error, or from `fallbackCode` when the plugin set none.
    std::string failure(const std::string& what, int fallbackCode = 0);

private:
    AgentHost host_;
    std::unique_ptr<IVMInfo> plugin_;
    CancelSignal& cancel_;
    long long jobId_;
};

}  // namespace vsagent
