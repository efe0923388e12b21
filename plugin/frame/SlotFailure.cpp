// Failure of an interface slot with a host error code and text.
#include "plugin/frame/SlotFailure.h"

#include "host/log/EvDebug.h"

void FailSlot(CVMInfo& plugin, const char* tag, EVMInfoError code, const std::string& text) {
    EvDebug::Error(tag, "%s", text.c_str());
    plugin.SetLastVMError(code, text);
}

int FailUnavailable(CVMInfo& plugin, const char* tag, EVMInfoError code, const std::string& what) {
    FailSlot(plugin, tag, code, what + " is not available in this build");
    return 0;
}
