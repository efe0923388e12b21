#include "agent/snap/SnapCopy.h"

#include <algorithm>
#include <filesystem>

#include "agent/snap/PluginSnapEngine.h"
#include "host/snap/CVMSnapUtil.h"
#include "host/snap/SnapCatalog.h"

namespace fs = std::filesystem;

namespace vsagent {

namespace {

const auto kNever = [] { return false; };

// The context in which the plugin reads the metadata of a snapshot-engine job as a copy job.
MountCtx CopyContext(long long snapJobId, const std::string& workDir) {
    MountCtx ctx;
    ctx.isSnapJob = ctx.isBackupCopy = true;
    ctx.snapEngine = SNAP_ENGINE_CLOUD_VVOL;
    ctx.refJobId = snapJobId;
    ctx.metadataDir = workDir;
    return ctx;
}

// The VMs of the metadata the plugin reads in `ctx`.
bool ReadVms(IVMInfo& plugin, const MountCtx& ctx, std::vector<SVMInfo>& vms, JobOutcome& outcome) {
    std::vector<std::string> files;
    return outcome.guard(plugin, kNever, "GetMetadataFiles", [&] {
        if (plugin.GetMetadataFiles(ctx, files, METADATA_FILES_INDEX) != 1)
            return outcome.fail(plugin, kNever, "GetMetadataFiles");
        for (const SVolSnap& group : ctx.volSnaps) vms.insert(vms.end(), group.vmList.begin(), group.vmList.end());
        return true;
    });
}

bool FetchFailed(JobOutcome& outcome, const std::string& details) {
    outcome.failedStep = "index cache";
    outcome.errorCode = VMINFO_ERR_SNAP_RECORDS;
    outcome.errorDetails = details;
    return false;
}

// Copies into `ctx.snapMetadataFolder` what the job kept in its index for the VM of child job
// `ctx.refJobId`: the VM's catalog (in its metadata folder) and its configuration files (in the
// folder of its child job).
bool FetchVmFiles(long long snapJobId, const SnapVmOutcome& vm, const MountCtx& ctx, JobOutcome& outcome) {
    std::string index, error;
    if (!snapcatalog::IndexFolder(snapJobId, index, error)) return FetchFailed(outcome, error);
    EvEvent event;
    CVMSnapUtil util(event);
    MountCtx inIndex = ctx;
    inIndex.metadataDir = index;
    const std::string catalogFolder = util.GetSnapMetadataFolderForVM(inIndex, vm.guid);
    if (catalogFolder.empty()) return FetchFailed(outcome, "VM GUID [" + vm.guid + "] cannot name a folder");
    std::vector<fs::path> files{fs::path(catalogFolder) / util.GetSnapMetadataFileName(ctx)};
    const fs::path configFolder = fs::path(index) / "Metadata" / std::to_string(vm.childJobId) / vm.guid;
    std::error_code ec;
    for (fs::directory_iterator it(configFolder, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_regular_file()) files.push_back(it->path());
    if (ec)
        return FetchFailed(outcome, "the configuration files of VM [" + vm.name + "] cannot be read in [" +
                                        configFolder.string() + "]: " + ec.message());
    for (const fs::path& file : files)
        if (!snapcatalog::CopyFile(file.string(), (fs::path(ctx.snapMetadataFolder) / file.filename()).string(), error))
            return FetchFailed(outcome, error);
    return true;
}

// The VMs of a job that ran VM by VM: each read from its own catalog, its files in a folder of its own.
bool VmCentricJobVms(IVMInfo& plugin, const SnapJobRecord& record, const std::string& workDir,
                     std::vector<SnapCopySource>& vms, JobOutcome& outcome) {
    for (const SnapVmOutcome& vm : record.vms) {
        SnapCopySource source{record.jobId, SVMInfo(), vm.childJobId,
                              (fs::path(workDir) / ("vm-" + std::to_string(vm.childJobId))).string()};
        source.vm.name = vm.name;
        source.vm.guid = vm.guid;
        source.vm.resourceGroup = vm.resourceGroup;
        if (vm.status != 0) {
            // The job kept nothing of the VM to copy: its copy fails with the job's reason.
            source.vm.snapStatus = static_cast<std::uint32_t>(vm.status < 0 ? VMINFO_ERR_VM_SNAPSHOT_CREATE : vm.status);
            source.vm.snapStatusDetails = vm.status < 0 ? "the snap job did not reach the VM" : vm.details;
            vms.push_back(source);
            continue;
        }
        MountCtx ctx = CopyContext(vm.childJobId, workDir);
        ctx.isVmCentric = true;
        ctx.altJobId = vm.childJobId;
        ctx.snapMetadataFolder = source.vmFolder;
        std::vector<SVMInfo> recorded;
        if (!FetchVmFiles(record.jobId, vm, ctx, outcome) || !ReadVms(plugin, ctx, recorded, outcome)) return false;
        auto found = std::find_if(recorded.begin(), recorded.end(), [&](const SVMInfo& r) { return r.guid == vm.guid; });
        if (found == recorded.end()) {
            outcome.failedStep = "GetMetadataFiles";
            outcome.errorCode = VMINFO_ERR_SNAP_RECORDS;
            outcome.errorDetails = "VM [" + vm.name + "] is not in its own catalog";
            return false;
        }
        source.vm = *found;
        vms.push_back(source);
    }
    return true;
}

}  // namespace

ScratchFolder::~ScratchFolder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

bool SnapJobVms(IVMInfo& plugin, const SnapJobRecord& record, const std::string& workDir,
                std::vector<SnapCopySource>& vms, JobOutcome& outcome) {
    fs::create_directories(workDir);
    if (record.vmCentric) return VmCentricJobVms(plugin, record, workDir, vms, outcome);
    std::vector<SVMInfo> recorded;
    if (!ReadVms(plugin, CopyContext(record.jobId, workDir), recorded, outcome)) return false;
    for (const SVMInfo& vm : recorded) vms.push_back({record.jobId, vm, 0, ""});
    return true;
}

SnapCopyResult CopySnapVm(AgentHost& host, BackupStore& store, const SnapCopySource& source, bool showProgress,
                          const std::function<bool()>& cancelled, const std::function<void(IVMInfo*)>& watch) {
    SnapCopyResult copy;
    if (!source.vmFolder.empty() && source.vm.snapStatus != 0) {
        copy.result.failedStep = "snap backup";
        copy.result.errorCode = static_cast<int>(source.vm.snapStatus);
        copy.result.errorDetails = source.vm.snapStatusDetails;
        return copy;
    }
    CVMSnapUtil::SetCatalogRoot(SnapCatalogRoot(store.root()));
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
    request.vmName = source.vm.name;
    request.showProgress = showProgress;
    request.snapCopy = source;
    watch(plugin.get());
    copy.result = BackupJob(*plugin, store, cancelled).run(request, copy.jobId);
    watch(nullptr);
    plugin->Disconnect();
    return copy;
}

}  // namespace vsagent
