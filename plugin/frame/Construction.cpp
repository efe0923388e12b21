// Construction and destruction of the plugin object, with the settings read once per object.
#include "plugin/frame/AzureInfo.h"

#include "host/log/JobIdentity.h"
#include "host/settings/NXPlatformInfo.h"

namespace {

const char* const kSection = "VirtualServer";

// Reads a numeric switch; any non-zero value means on. A missing key keeps `fallback`.
bool ReadSwitch(const char* key, bool fallback) {
    unsigned long value = fallback ? 1 : 0;
    NXPlatformInfo::getNumber(kSection, key, &value);
    return value != 0;
}

}  // namespace

std::string CAzureInfo::c_localVMGuid;
NxCriticalSection CAzureInfo::c_localVMGuidCS;
std::map<NXJobID, SnapVMInfoMap> CAzureInfo::c_SnapV2VMInfoMap;
NxCriticalSection CAzureInfo::c_SnapV2VMInfoMapLock;

CAzureInfo::CAzureInfo(VirtualServerInstanceType type, NXJobID /*jobId: the log event carries it*/)
    : CVMInfo(type), sdk(new AzureSDKCppBridge::CAzureSDKCppBridge()) {
    static const char* tag = "CAzureInfo::CAzureInfo(VirtualServerInstanceType, NXJobID)";
    _InitializeSdk(tag);
    snapUtil.reset(new CVMSnapUtil(GetLogEvent()));
    DetectLocalVMGuid();
    _ReadSettings(tag);
}

void CAzureInfo::_InitializeSdk(const char* tag) {
    std::string applicationName = EvDebug::getApplicationName();
    std::string focus = NXPI_Focus::getFocus();
    NXJobID jobId = EvEvent::getJobId();
    if (applicationName.empty() && focus.empty()) return;
    EvDebug::Debug(tag, "VMInfo Focus:[%s] App:[%s] JobId:[%lld]", focus.c_str(), applicationName.c_str(), jobId);
    if (jobId == -123456) {
        EvDebug::Debug(tag, "VMInfo Focus: Job ID is -123456 setting it to Zero before calling SetVMFocus");
        jobId = 0;
    }
    if (sdk->Initialize(focus, applicationName, jobId, GetVSInstType()))
        sdkInitialized = true;
    else
        EvDebug::Error(tag, "AzureSDKCppBridge::Initialize Failed");
}

void CAzureInfo::_ReadSettings(const char* tag) {
    directDownload = ReadSwitch("bAzureEnableDirectDownload", true);
    directUpload = ReadSwitch("bAzureEnableDirectUpload", GetVSInstType() != 403);
    nativeDownload = ReadSwitch("bAzureEnableNativeDownload", false);
    nativeUpload = ReadSwitch("bAzureEnableNativeUpload", false);
    cbtForManagedVm = ReadSwitch("bAzureEnableCBTForManagedVM", true);
    directUploadToManagedDisk = ReadSwitch("bAzureEnableDirectUploadToManagedDisk", false) ? 1 : 0;

    // The page-blob data path of this platform always writes and reads disks itself.
    directUpload = true;
    EvDebug::Debug(tag, "Enabling Direct Upload by default for Linux ...");
    nativeDownload = true;
    EvDebug::Debug(tag, "Enabling Native download by default for Linux ...");

    EvDebug::DebugLvl(tag, 2, "Direct Download Enabled [%d]", directDownload ? 1 : 0);
    EvDebug::Debug(tag, "Direct Upload Enabled [%d]", directUpload ? 1 : 0);
    EvDebug::Debug(tag, "Native download Enabled [%d]", nativeDownload ? 1 : 0);
    EvDebug::Debug(tag, "Native Upload Enabled [%d]", nativeUpload ? 1 : 0);
    EvDebug::Debug(tag, "Direct Upload To Managed Disk Enabled [%d]", directUploadToManagedDisk);
    EvDebug::Debug(tag, "CBT for managed VM Enabled [%d]", cbtForManagedVm ? 1 : 0);

    downloadLogging = ReadSwitch("bAzureEnableDownloadLogging", false);
    uploadLogging = ReadSwitch("bAzureEnableUploadLogging", false);
    EvDebug::Debug(tag, "Download logging Enabled [%d]", downloadLogging ? 1 : 0);
    EvDebug::Debug(tag, "Upload logging Enabled [%d]", uploadLogging ? 1 : 0);

    NXPlatformInfo::getBoolean(kSection, "bSkipDataDisksForBackup", &skipDataDisks);
    if (skipDataDisks) EvDebug::Debug(tag, "Skip Data Disks for Backup [%d]", 1);
}

CAzureInfo::~CAzureInfo() {
    _CleanUpSnapLiveBrowseState();
    DeinitVSCloudFS();
    sdk.reset();
}
