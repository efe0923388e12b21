// Slots whose Azure behaviour is not part of this build yet keep the base behaviour.
#include "plugin/frame/AzureInfo.h"

bool CAzureInfo::CreateDRVM(const RestoreCtx& ctx) {
    return CVMInfo::CreateDRVM(ctx);
}

bool CAzureInfo::DeleteDRVM(const RestoreCtx& ctx) {
    return CVMInfo::DeleteDRVM(ctx);
}

bool CAzureInfo::PostVMFailover(const RestoreCtx& ctx) {
    return CVMInfo::PostVMFailover(ctx);
}
