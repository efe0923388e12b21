#include "agent/snap/SnapBackupJob.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <set>
#include <utility>

#include <boost/algorithm/string/predicate.hpp>

#include "agent/snap/PluginSnapEngine.h"
#include "agent/snap/SnapCleanup.h"
#include "agent/store/FolderLock.h"
#include "host/log/JobIdentity.h"
#include "host/snap/CVMSnapUtil.h"
#include "host/snap/SnapCatalog.h"

namespace fs = std::filesystem;

namespace vsagent {

struct SnapBackupJob::Session {
    long long jobId = 0;
    std::string folder;
    std::optional<FolderLock> lock;
    MountCtx ctx;
    std::set<std::string> uploads;    // metadata files for the index cache
    bool started = false;             // the record is written: anything made from here on is the job's
    SnapBackupResult result;
};

SnapBackupJob::SnapBackupJob(IVMInfo& plugin, BackupStore& store, CloudCredentials credentials,
                             std::function<bool()> cancelled, std::function<void(const std::string&)> progress)
    : plugin_(plugin),
      store_(store),
      credentials_(std::move(credentials)),
      cancelled_(std::move(cancelled)),
      progress_(std::move(progress)) {}

bool SnapBackupJob::fail(Session& s, const std::string& step) { return s.result.fail(plugin_, cancelled_, step); }

// Every VM named must exist: the job snaps the VMs it was given or none.
bool SnapBackupJob::lookUpVms(const SnapBackupRequest& request, Session& s) {
    for (const std::string& name : request.vmNames) {
        SVMInfo vm;
        if (!plugin_.GetVMInfoForVM(name, "", "", 16, 0, vm)) {
            fail(s, "GetVMInfoForVM");
            if (s.result.errorCode == 0) s.result.errorCode = VMINFO_ERR_VM_NOT_FOUND;
            s.result.errorDetails = "VM [" + name + "]" +
                                    (s.result.errorDetails.empty() ? "" : ": " + s.result.errorDetails);
            return false;
        }
        const auto& known = s.result.record.vms;
        if (std::any_of(known.begin(), known.end(), [&](const SnapVmOutcome& v) { return v.guid == vm.guid; }))
            continue;  // named twice
        s.ctx.vmList.push_back({vm.name, vm.guid, vm.resourceGroup});
        s.result.record.vms.push_back({vm.name, vm.guid, vm.resourceGroup, -1, "", 0, "", 0});
    }
    return true;
}

void SnapBackupJob::start(const SnapBackupRequest& request, Session& s) {
    s.folder = SnapJobFolder(store_.root(), s.jobId);
    fs::create_directories(s.folder);
    s.lock = FolderLock::Hold(s.folder, FolderLock::Mode::Exclusive);
    SnapJobRecord& record = s.result.record;
    record.jobId = s.jobId;
    record.jobGuid = EvEvent::getJobGuid();
    record.vmCentric = request.vmCentric;
    record.write(s.folder);
    s.started = true;
    MountCtx& ctx = s.ctx;
    ctx.isSnapJob = true;
    ctx.isVmCentric = request.vmCentric;
    ctx.snapEngine = SNAP_ENGINE_CLOUD_VVOL;
    ctx.jobId = s.jobId;
    ctx.metadataDir = (fs::path(s.folder) / "metadata").string();
    ctx.mountPath = (fs::path(s.folder) / "mount").string();
    fs::create_directories(ctx.metadataDir);
}

// The outcome of one VM: its mount, its mount information (configuration files) and its metadata files.
void SnapBackupJob::finishVm(Session& s, SnapVmOutcome& vm) {
    MountCtx& ctx = s.ctx;
    auto info = std::find_if(ctx.vmInfoByGuid.begin(), ctx.vmInfoByGuid.end(),
                             [&](const auto& entry) { return boost::algorithm::iequals(entry.first, vm.guid); });
    if (!ctx.isVmCentric && info == ctx.vmInfoByGuid.end()) {
        vm.status = VMINFO_ERR_VM_SNAPSHOT_CREATE;
        vm.details = "the VM has no record after the snapshot phase";
        return;
    }
    ctx.vmName = vm.name;
    ctx.vmGuid = vm.guid;
    ctx.hostName = vm.resourceGroup;
    if (ctx.isVmCentric) {
        // The mount looks the VM up and snaps it, into the archive file its child job gives it.
        ctx.vmInfo = SVMInfo();
        ctx.vmInfo.name = vm.name;
        ctx.vmInfo.guid = vm.guid;
        ctx.vmInfo.resourceGroup = vm.resourceGroup;
        if (!snapcatalog::CreateArchiveFile(vm.childJobId, vm.guid, ctx.vmInfo.archiveFileId, vm.details)) {
            vm.status = VMINFO_ERR_SNAP_ARCHIVE_FILE;
            return;
        }
    } else {
        ctx.vmInfo = info->second;
    }
    std::vector<SMountInfoFull> entries;
    std::vector<std::string> files;
    const char* step = "MountVM";
    bool ok = plugin_.MountVM(ctx) == 1;
    if (ok) step = "GetFullMountInfo";
    ok = ok && plugin_.GetFullMountInfo(ctx, entries) == 1;
    if (ok) step = "GetMetadataFiles";
    ok = ok && plugin_.GetMetadataFiles(ctx, files, METADATA_FILES_VM_CONFIG) == 1;
    if (ok) {
        vm.status = 0;
        s.uploads.insert(files.begin(), files.end());
    } else {
        const int code = plugin_.GetLastVMError();
        vm.status = code != 0 ? code : (ctx.vmInfo.snapStatus != 0 ? static_cast<int>(ctx.vmInfo.snapStatus) : 1);
        vm.details = plugin_.GetLastVMErrorDetails();
        if (vm.details.empty()) vm.details = std::string("failed in ") + step;
    }
    plugin_.UnmountVM(ctx);
    vm.archiveFileId = ctx.vmInfo.archiveFileId;
    vm.snapshotGuid = ctx.vmInfo.snapshotGuid;
    progress_("VM [" + vm.name + "]: " + (vm.status == 0 ? "snapped" : "failed with error " + std::to_string(vm.status)));
}

bool SnapBackupJob::snap(Session& s) {
    progress_("snapping " + std::to_string(s.ctx.vmList.size()) + " VM(s) in job " + std::to_string(s.jobId));
    // A VM-centric job snaps each VM at its mount, under a child job of its own.
    if (!s.ctx.isVmCentric && plugin_.PreSnap(s.ctx) != 1) return fail(s, "PreSnap");
    for (SnapVmOutcome& vm : s.result.record.vms) {
        if (cancelled_()) return fail(s, "MountVM");
        if (s.ctx.isVmCentric) {
            vm.childJobId = store_.nextJobId();
            s.result.record.write(s.folder);
            s.ctx.altJobId = vm.childJobId;
        }
        finishVm(s, vm);
    }
    if (plugin_.PostSnap(s.ctx) != 1) return fail(s, "PostSnap");
    return true;
}

// The metadata files go to the index cache, from which copy jobs fetch them; the record says how it ended.
bool SnapBackupJob::finish(Session& s) {
    const std::vector<std::string> files(s.uploads.begin(), s.uploads.end());
    EvEvent event;
    CVMSnapUtil util(event);
    if (!util.UploadIndexFiles(s.ctx, files)) {
        fail(s, "UploadIndexFiles");
        s.result.errorDetails = "the job's metadata files could not be kept in the index cache (see the job log)";
        return false;
    }
    const auto& vms = s.result.record.vms;
    if (std::none_of(vms.begin(), vms.end(), [](const SnapVmOutcome& vm) { return vm.status == 0; })) {
        s.result.failedStep = "MountVM";
        s.result.errorCode = vms.front().status;
        s.result.errorDetails = "no VM of the job was snapped";
        return false;
    }
    s.result.record.state = SnapJobRecord::kComplete;
    s.result.record.write(s.folder);
    s.result.ok = true;
    return true;
}

// A job that failed as a whole leaves no snapshot set and no valid archive file.
void SnapBackupJob::undo(Session& s) {
    if (!s.started) return;
    std::string problem;
    if (!UndoSnapJob(plugin_, s.result.record, credentials_, problem)) {
        s.result.notes.push_back("left for a later run to undo: " + problem);
        return;
    }
    s.result.record.state = SnapJobRecord::kFailed;
    s.result.record.write(s.folder);
}

SnapBackupResult SnapBackupJob::run(const SnapBackupRequest& request, long long jobId) {
    Session s;
    s.jobId = jobId;
    PluginSnapEngine::Install(plugin_, store_.root());
    s.result.notes = UndoDeadSnapJobs(plugin_, store_.root(), credentials_);
    const bool ok = s.result.guard(plugin_, cancelled_, "store", [&] {
        if (!lookUpVms(request, s)) return false;
        start(request, s);
        return snap(s) && finish(s);
    });
    if (!ok) undo(s);
    CVMSnapUtil::InstallEngine(nullptr);
    return s.result;
}

}  // namespace vsagent
