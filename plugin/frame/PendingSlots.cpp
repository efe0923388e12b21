// Slots whose Azure behaviour is not part of this build yet keep the base behaviour.
#include "plugin/frame/AzureInfo.h"

int CAzureInfo::RevertSnap(MountCtx& ctx, const RestoreCtx& rctx) {
    return CVMInfo::RevertSnap(ctx, rctx);
}
