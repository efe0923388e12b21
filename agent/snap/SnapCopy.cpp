#include "agent/snap/SnapCopy.h"

#include <filesystem>

namespace vsagent {

bool SnapJobVms(IVMInfo& plugin, long long snapJobId, const std::string& workDir, std::vector<SVMInfo>& vms,
                JobOutcome& outcome) {
    MountCtx ctx;
    ctx.isSnapJob = ctx.isBackupCopy = true;
    ctx.snapEngine = SNAP_ENGINE_CLOUD_VVOL;
    ctx.refJobId = snapJobId;
    ctx.metadataDir = workDir;
    std::filesystem::create_directories(workDir);
    std::vector<std::string> files;
    const auto never = [] { return false; };
    return outcome.guard(plugin, never, "GetMetadataFiles", [&] {
        if (plugin.GetMetadataFiles(ctx, files, METADATA_FILES_INDEX) != 1)
            return outcome.fail(plugin, never, "GetMetadataFiles");
        for (const SVolSnap& group : ctx.volSnaps) vms.insert(vms.end(), group.vmList.begin(), group.vmList.end());
        return true;
    });
}

}  // namespace vsagent
