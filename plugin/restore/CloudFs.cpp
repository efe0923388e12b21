// Hooks of the cloud file system, which does not exist on this platform.
#include "plugin/frame/AzureInfo.h"

bool CAzureInfo::InitVSCloudFS() {
    EvDebug::Debug("bool CAzureInfo::InitVSCloudFS()", "VSCloudFS is not supported on linux");
    return false;
}

void CAzureInfo::DeinitVSCloudFS() {}

bool CAzureInfo::AccessCloudFSPath(const std::string&) {
    EvDebug::Debug("bool CAzureInfo::AccessCloudFSPath(const string&)", "VSCloudFS is not supported on linux");
    return false;
}

bool CAzureInfo::FlushCloudFSWrites(const RestoreCtx&) { return true; }
