// The snap volume of one VM: whole-job and VM-centric snapshots fill the same
// identity fields and differ only in the job id and the volume flags.
#pragma once

#include "host/snap/SnapRecords.h"
#include "plugin/frame/records/Contexts.h"

inline SMVolumeInfo SnapVolumeFor(const MountCtx& ctx, const VMInfoStructs::SVMInfo& vm, NXJobID jobId,
                                  std::uint64_t flags) {
    SMVolumeInfo volume;
    volume.sourcePath = vm.storageAccount;
    volume.sourceGuid = vm.guid;
    volume.sourceDevice = vm.name;
    volume.jobId = jobId;
    volume.orbitId = ctx.orbitId;
    volume.appId = ctx.appId;
    volume.appTypeId = ctx.appTypeId;
    volume.originClientId = ctx.originClientId;
    volume.sourceClientId = ctx.sourceClientId;
    volume.volumeFlags = flags;
    return volume;
}
