// Release of the disks attached to the local VM for live browse.
#include "plugin/frame/AzureInfo.h"

std::string CAzureInfo::_LiveBrowseKey(const MountCtx& ctx) {
    return FXString::Format("%s-%d", ctx.vmGuid.c_str(), static_cast<int>(ctx.archFileId));
}

void CAzureInfo::_CleanUpSnapLiveBrowseState() {
    EvDebug::Debug("void CAzureInfo::_CleanUpSnapLiveBrowseState()", "Cleaning up snap live browse state...");
    liveBrowseDiskManagers.clear();
    liveBrowseAttachedDisks.clear();
}

// Only the disks this object attached are detached: after a mount that failed before attaching
// anything, the context still lists the source VM's own disks, which must stay where they are.
// The release never sets an error code; the job's result is decided elsewhere.
void CAzureInfo::_CleanUpSnapLiveBrowseState(const MountCtx& ctx) {
    static const char* tag = "void CAzureInfo::_CleanUpSnapLiveBrowseState(const MountCtx&)";
    const std::string key = _LiveBrowseKey(ctx);
    EvDebug::Debug(tag, "Cleaning up snap live browse state for VM [%s] Arch File ID [%d]", ctx.vmGuid.c_str(),
                   static_cast<int>(ctx.archFileId));
    const auto held = liveBrowseAttachedDisks.find(key);
    if (held != liveBrowseAttachedDisks.end() && !held->second.empty()) {
        SVMInfo localVm;
        if (!GetLocalVMInfo(localVm, 16, 0)) {
            EvDebug::Debug(tag, "Warning: Failed to get VM Info for VM [%s], [%s]", c_localVMGuid.c_str(),
                           sdk->GetLastErrorString().c_str());
        } else {
            EvDebug::Debug(tag, "Deleting disks %ld", static_cast<long>(held->second.size()));
            if (!sdk->DeleteDisksFromVM(localVm, held->second))
                EvDebug::Debug(tag, "Warning: Could not remove disks from the VM [%s].", localVm.name.c_str());
        }
    }
    liveBrowseAttachedDisks.erase(key);
    // Dropping the mapper deletes the local devices of the released disks.
    liveBrowseDiskManagers.erase(key);
}
