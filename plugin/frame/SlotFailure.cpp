// Failure of an interface slot with a host error code and text.
#include "plugin/frame/SlotFailure.h"

#include <exception>

#include "host/log/EvDebug.h"

void FailSlot(CVMInfo& plugin, const char* tag, EVMInfoError code, const std::string& text) {
    EvDebug::Error(tag, "%s", text.c_str());
    plugin.SetLastVMError(code, text);
}

void FailWrapperCall(CVMInfo& plugin, const char* tag, EVMInfoError code, const std::string& what,
                     const std::string& wrapperText) {
    FailSlot(plugin, tag, code, what + ": " + (wrapperText.empty() ? "the cloud gave no reason" : wrapperText));
}

int FailUnavailable(CVMInfo& plugin, const char* tag, EVMInfoError code, const std::string& what) {
    FailSlot(plugin, tag, code, what + " is not available in this build");
    return 0;
}

void FailSlotOnException(CVMInfo& plugin, const char* tag, EVMInfoError code) noexcept {
    // The exception object lives on while the slot's own handler runs, so its text may be kept by pointer.
    const char* what = "unknown exception";
    try {
        throw;
    } catch (const std::exception& e) {
        what = e.what();
    } catch (...) {
    }
    try {
        FailSlot(plugin, tag, code, std::string("Unexpected failure: [") + what + "]");
    } catch (...) {
        // Neither the log nor the error store may turn a failed slot into an escaping exception.
    }
}
