// Guest scripts: the host hands a script (a local file or its text) to run inside a VM's guest;
// the wrapper runs it there. Only the wrapper's verdict on the run comes back, never the
// script's own exit status.
#include <cstdint>

#include "host/util/CKaFile.h"
#include "host/util/FXFile.h"
#include "plugin/frame/AzureInfo.h"
#include "plugin/frame/SlotFailure.h"

namespace {

const char* const kFileTag =
    "virtual int CAzureInfo::ExecuteScriptInGuest(const GuestCtx&, const string&, const string&, const string&, int, "
    "const string&, int&)";
const char* const kTextTag = "virtual bool CAzureInfo::ExecuteScriptInGuest(const GuestCtx&, const string&, int)";

// A guest script is text a person wrote; a file larger than this is not one.
constexpr std::uint64_t kMaxScriptBytes = 4 << 20;

}  // namespace

int CAzureInfo::ExecuteScriptInGuest(const GuestCtx& guest, const std::string& scriptPath,
                                     const std::string& parameters, const std::string&, int, const std::string&,
                                     int&) {
    return GuardSlot(*this, kFileTag, VMINFO_ERR_NONE, 0, [&] {
        if (!FXFile::DoesFileExist(scriptPath)) {
            EvDebug::Debug(kFileTag, "Script file [%s] does not exist.", scriptPath.c_str());
            return 0;
        }
        std::uint64_t size = 0;
        std::string text;
        std::string error;
        if (!FXFile::NXGetFileSize(scriptPath, size, &error) || size > kMaxScriptBytes ||
            !CKaFile::ReadWholeFile(scriptPath, text, &error)) {
            if (error.empty()) error = "larger than " + std::to_string(kMaxScriptBytes) + " bytes";
            EvDebug::Error(kFileTag, "Failed to read the file [%s].", scriptPath.c_str());
            SetLastVMErrorDetails(error);
            return 0;
        }
        return _ExecuteScriptInGuestVM(guest, text, parameters, kFileTag) ? 1 : 0;
    });
}

bool CAzureInfo::ExecuteScriptInGuest(const GuestCtx& guest, const std::string& scriptText, int) {
    return GuardSlot(*this, kTextTag, VMINFO_ERR_NONE, false,
                     [&] { return _ExecuteScriptInGuestVM(guest, scriptText, std::string(), kTextTag); });
}

bool CAzureInfo::_ExecuteScriptInGuestVM(const GuestCtx& guest, const std::string& scriptText,
                                         const std::string& parameters, const char* tag) {
    if (sdk->ExecuteScriptInGuestVM(guest.thirdText, guest.vmName, guest.secondText, scriptText, parameters))
        return true;
    EvDebug::Error(tag, "Failed to execute script on guest VM [%s].", guest.vmName.c_str());
    SetLastVMErrorDetails(sdk->GetLastErrorString());
    return false;
}
