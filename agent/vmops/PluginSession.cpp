#include "agent/vmops/PluginSession.h"

#include <ctime>
#include <stdexcept>

#include "agent/job/ErrorAdvice.h"
#include "host/vminfo/CVMInfo.h"

namespace vsagent {

PluginSession::PluginSession(const CloudChoice& cloud, CancelSignal& cancel)
    // Operations are jobs of their own; what they create is marked with this id.
    : host_(cloud), cancel_(cancel), jobId_(static_cast<long long>(std::time(nullptr))) {
    ConnectFailure failure;
    plugin_ = host_.connect(jobId_, failure);
    if (!plugin_)
        throw std::runtime_error("cannot connect to the subscription: error " + std::to_string(failure.code) + " (" +
                                 failure.details + "). What to do: " + AdviceFor(48).action + ".");
    cancel_.watch(dynamic_cast<CVMInfo*>(plugin_.get()));
}

PluginSession::~PluginSession() {
    cancel_.watch(nullptr);
    plugin_->Disconnect();
}

bool PluginSession::findVm(const std::string& name, const std::string& group, SVMInfo& vm, std::string& error) {
    if (plugin_->GetVMInfoForVM(name, "", group, 16, 0, vm)) return true;
    // A look-up that finds nothing sets no code of its own: the VM is not there.
    error = failure("looking up VM [" + name + "]", VMINFO_ERR_VM_NOT_FOUND);
    return false;
}

std::string PluginSession::failure(const std::string& what, int fallbackCode) {
    const int code = plugin_->GetLastVMError() ? plugin_->GetLastVMError() : fallbackCode;
    const std::string details = plugin_->GetLastVMErrorDetails();
    const ErrorAdvice advice = AdviceFor(code);
    return what + " failed: error " + std::to_string(code) + ", " + advice.meaning +
           (details.empty() ? "" : " (" + details + ")") + ". What to do: " + advice.action + ".";
}

}  // namespace vsagent
