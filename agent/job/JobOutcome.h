// How a job driven through the plugin ends: whether it succeeded, and if not, the
// step that failed first with the plugin's error code and text, and whether the
// job was cancelled. Backup and restore results build on it.
#pragma once

#include <functional>
#include <string>

#include "host/vminfo/IVMInfo.h"

namespace vsagent {

struct JobOutcome {
    bool ok = false;
    bool cancelled = false;
    std::string failedStep;      // the slot or step that failed
    int errorCode = 0;           // the plugin's last error code
    std::string errorDetails;

    // Records the job's first failure, in `step`, with the plugin's last error; a cancel
    // (asked for, or error 4000 from the plugin) is reported as error 4000. Returns false.
    bool fail(IVMInfo& plugin, const std::function<bool()>& cancelRequested, const std::string& step);
    // Runs `body`; an exception (from the plugin or the store) fails the job in `step` with
    // the exception's text, and sets `threw` when given.
    bool guard(IVMInfo& plugin, const std::function<bool()>& cancelRequested, const std::string& step,
               const std::function<bool()>& body, bool* threw = nullptr);
};

}  // namespace vsagent
