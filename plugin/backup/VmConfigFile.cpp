// The VM configuration file and key backups saved beside the job at mount.
#include <fstream>

#include "plugin/frame/AzureInfo.h"

namespace {

const char* const kTag = "bool CAzureInfo::_SaveVMConfigFile(const string&, const string&, const string&)";

bool WriteWholeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    return !out.fail();
}

}  // namespace

bool CAzureInfo::_SaveVMConfigFile(const std::string& resourceGroup, const std::string& vmName,
                                   const std::string& mountPath) {
    const std::string configPath = mountPath + "/" + vmName + ".json";
    const std::string dekPath = mountPath + "/dek.bkp";
    const std::string kekPath = mountPath + "/kek.bkp";
    std::string config, dek, kek;
    if (!sdk->GetVMConfigurationAndKeyBackups(resourceGroup, vmName, config, dek, kek)) {
        if (!SetLastVMErrorFromSDKWrapperError(sdk->GetLastErrorCode()))
            SetLastVMError(VMINFO_ERR_VM_CONFIG_READ, sdk->GetLastErrorString());
        return false;
    }
    if (!WriteWholeFile(configPath, config)) {
        EvDebug::Error(kTag, "Failed to write vm config file [%s]", configPath.c_str());
        SetLastVMError(VMINFO_ERR_CONFIG_FILE_WRITE);
        return false;
    }
    EvDebug::Debug(kTag, "VM config file is saved successfully to [%s]", configPath.c_str());
    if (dek.empty()) return true;
    EvDebug::DebugLvl(kTag, 1, "Backing up disk encryption key.");
    if (!WriteWholeFile(dekPath, dek)) {
        SetLastVMError(VMINFO_ERR_VM_CONFIG_READ, sdk->GetLastErrorString());
        return false;
    }
    if (kek.empty()) return true;
    EvDebug::DebugLvl(kTag, 1, "Detected Key encryption key settings.");
    if (!WriteWholeFile(kekPath, kek)) {
        SetLastVMError(VMINFO_ERR_VM_CONFIG_READ, sdk->GetLastErrorString());
        return false;
    }
    return true;
}
