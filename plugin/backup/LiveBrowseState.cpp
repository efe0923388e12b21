// Release of the disks attached to the local VM for live browse.
#include "plugin/frame/AzureInfo.h"

void CAzureInfo::_CleanUpSnapLiveBrowseState() {
    EvDebug::Debug("void CAzureInfo::_CleanUpSnapLiveBrowseState()", "Cleaning up snap live browse state...");
    liveBrowseDiskManagers.clear();
}

void CAzureInfo::_CleanUpSnapLiveBrowseState(const MountCtx& ctx) {
    static const char* tag = "void CAzureInfo::_CleanUpSnapLiveBrowseState(const MountCtx&)";
    const int archFileId = static_cast<int>(ctx.archFileId);
    const std::string key = FXString::Format("%s-%d", ctx.vmGuid.c_str(), archFileId);
    EvDebug::Debug(tag, "Cleaning up snap live browse state for VM [%s] Arch File ID [%d]", ctx.vmGuid.c_str(),
                   archFileId);
    SVMInfo localVm;
    if (!GetLocalVMInfo(localVm, 16, 0)) {
        const std::string text = sdk->GetLastErrorString();
        EvDebug::Debug(tag, "Warning: Failed to get VM Info for VM [%s], [%s]", c_localVMGuid.c_str(), text.c_str());
        SetLastVMError(VMINFO_ERR_VM_NOT_FOUND, text);
    } else {
        EvDebug::Debug(tag, "Deleting disks %ld", static_cast<long>(ctx.vmInfo.disks.size()));
        if (!sdk->DeleteDisksFromVM(localVm, ctx.vmInfo.disks))
            EvDebug::Debug(tag, "Warning: Could not remove disks from the VM [%s].", localVm.name.c_str());
    }
    // Dropping the mapper deletes the local devices of the released disks.
    liveBrowseDiskManagers.erase(key);
}
