#include "agent/job/JobOutcome.h"

#include <exception>

namespace vsagent {

bool JobOutcome::fail(IVMInfo& plugin, const std::function<bool()>& cancelRequested, const std::string& step) {
    if (!failedStep.empty()) return false;
    failedStep = step;
    errorCode = plugin.GetLastVMError();
    errorDetails = plugin.GetLastVMErrorDetails();
    if (cancelRequested() || errorCode == VMINFO_ERR_JOB_CANCELLED) {
        cancelled = true;
        errorCode = VMINFO_ERR_JOB_CANCELLED;
    }
    return false;
}

bool JobOutcome::guard(IVMInfo& plugin, const std::function<bool()>& cancelRequested, const std::string& step,
                       const std::function<bool()>& body, bool* threw) {
    try {
        return body();
    } catch (const std::exception& e) {
        if (threw) *threw = true;
        const bool first = failedStep.empty();
        fail(plugin, cancelRequested, step);
        if (first) errorDetails = e.what();
        return false;
    }
}

}  // namespace vsagent
