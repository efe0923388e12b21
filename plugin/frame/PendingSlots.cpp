// Slots whose Azure behaviour is not part of this build yet keep the base behaviour.
#include "plugin/frame/AzureInfo.h"

int CAzureInfo::PerformSnapOperation(const SnapOperationCtx& op) {
    return CVMInfo::PerformSnapOperation(op);
}

int CAzureInfo::GetAFileID(const MountCtx& ctx, const std::string& fileName, DiskType_t diskType, std::uint32_t& archiveFileId) {
    return CVMInfo::GetAFileID(ctx, fileName, diskType, archiveFileId);
}

int CAzureInfo::PostSnap(MountCtx& ctx) {
    return CVMInfo::PostSnap(ctx);
}

int CAzureInfo::RevertSnap(MountCtx& ctx, const RestoreCtx& rctx) {
    return CVMInfo::RevertSnap(ctx, rctx);
}

bool CAzureInfo::CreateDRVM(const RestoreCtx& ctx) {
    return CVMInfo::CreateDRVM(ctx);
}

bool CAzureInfo::DeleteDRVM(const RestoreCtx& ctx) {
    return CVMInfo::DeleteDRVM(ctx);
}

bool CAzureInfo::PostVMFailover(const RestoreCtx& ctx) {
    return CVMInfo::PostVMFailover(ctx);
}

int CAzureInfo::UnMountSnap(MountCtx& ctx) {
    return CVMInfo::UnMountSnap(ctx);
}
