// Release of the disks attached to the local VM for live browse.
#include "plugin/frame/AzureInfo.h"

void CAzureInfo::_CleanUpSnapLiveBrowseState() {
    EvDebug::Debug("void CAzureInfo::_CleanUpSnapLiveBrowseState()", "Cleaning up snap live browse state...");
    liveBrowseDiskManagers.clear();
}
