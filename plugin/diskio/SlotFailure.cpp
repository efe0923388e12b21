#include "plugin/diskio/SlotFailure.h"

#include <exception>
#include <string>

#include "host/log/EvDebug.h"

void FailSlotOnException(CVMInfo& info, const char* tag) noexcept {
    const char* text = "unknown exception";
    // The exception object lives on while the slot's own handler runs, so its text may be kept by pointer.
    try {
        throw;
    } catch (const std::exception& e) {
        text = e.what();
    } catch (...) {
    }
    try {
        info.SetLastVMError(VMINFO_ERR_DISK_INFO, text);
        EvDebug::Error(tag, "Unexpected failure [%s]", text);
    } catch (...) {
        // Neither the log nor the error store may turn a failed slot into an escaping exception.
    }
}
