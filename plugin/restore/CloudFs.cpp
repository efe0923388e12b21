// Hooks of the cloud file system, which does not exist on this platform.
#include "plugin/frame/AzureInfo.h"

void CAzureInfo::DeinitVSCloudFS() {}
