#include "agent/host/AgentHost.h"

#include "host/log/EvDebug.h"
#include "host/log/JobIdentity.h"
#include "host/util/Guid.h"

namespace vsagent {

AgentHost::AgentHost(const CloudChoice& cloud) : cloud_(cloud), library_(PluginLibrary::DefaultPath()) {
    EvDebug::setApplicationName(kApplicationName);
    NXPI_Focus::setFocus(kInstance);
}

AgentHost::~AgentHost() = default;

std::unique_ptr<IVMInfo> AgentHost::connect(long long jobId, ConnectFailure& failure, const std::string& jobGuid) {
    // The plugin reads the job identity when it is constructed.
    EvEvent::setJobId(jobId);
    EvEvent::setJobGuid(jobGuid.empty() ? CreateGuid() : jobGuid);
    std::unique_ptr<IVMInfo> plugin = library_.create(VSINST_AZURE_RESOURCE_MANAGER);
    CloudCredentials credentials = cloud_.credentials();
    if (plugin->Connect(credentials.subscriptionId, credentials.applicationId, credentials.secret) != 1) {
        failure.code = plugin->GetLastVMError();
        failure.details = plugin->GetLastVMErrorDetails();
        return nullptr;
    }
    return plugin;
}

}  // namespace vsagent
