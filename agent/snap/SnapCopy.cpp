#include "agent/snap/SnapCopy.h"

#include <filesystem>

#include "agent/snap/PluginSnapEngine.h"
#include "host/snap/CVMSnapUtil.h"

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

SnapCopyResult CopySnapVm(AgentHost& host, BackupStore& store, long long snapJobId, const SVMInfo& vm,
                          bool showProgress, const std::function<bool()>& cancelled,
                          const std::function<void(IVMInfo*)>& watch) {
    CVMSnapUtil::SetCatalogRoot(SnapCatalogRoot(store.root()));
    SnapCopyResult copy;
    copy.jobId = store.nextJobId();
    ConnectFailure failure;
    std::unique_ptr<IVMInfo> plugin = host.connect(copy.jobId, failure);
    if (!plugin) {
        copy.result.failedStep = "Connect";
        copy.result.errorCode = failure.code;
        copy.result.errorDetails = failure.details;
        return copy;
    }
    BackupRequest request;
    request.vmName = vm.name;
    request.showProgress = showProgress;
    request.snapCopy = SnapCopySource{snapJobId, vm};
    watch(plugin.get());
    copy.result = BackupJob(*plugin, store, cancelled).run(request, copy.jobId);
    watch(nullptr);
    plugin->Disconnect();
    return copy;
}

}  // namespace vsagent
