#include "agent/snap/SnapRestoreJob.h"

#include <algorithm>
#include <filesystem>
#include <memory>

#include <boost/algorithm/string/predicate.hpp>

#include "agent/snap/PluginSnapEngine.h"
#include "agent/snap/SnapCopy.h"
#include "agent/snap/SnapJobRecord.h"
#include "agent/snap/SnapRestoreCleanup.h"
#include "agent/snap/SnapRestoreRecord.h"
#include "agent/store/FolderLock.h"
#include "host/snap/CVMSnapUtil.h"
#include "host/util/Guid.h"

namespace fs = std::filesystem;
using boost::algorithm::iequals;

namespace vsagent {

struct SnapRestoreJob::Session {
    SnapRestoreResult result;
    std::optional<FolderLock> snapLock;  // shared: the snap job's snapshots are not deleted meanwhile
    std::optional<SnapJobRecord> snapJob;
    std::string sourceGuid;
    std::unique_ptr<IVMInfo> plugin;
    std::string folder;
    std::optional<FolderLock> lock;
    SnapRestoreRecord record;
    bool recorded = false;               // from here on, what the job made is undone through the record
    SVMInfo vm;                          // the VM as the snap job recorded it
    SnapCopySource source;               // where its records are: a VM-centric job's child job and folder
    MountCtx mount;
    RestoreCtx ctx;
};

SnapRestoreJob::SnapRestoreJob(AgentHost& host, BackupStore& store, std::function<bool()> cancelled,
                               std::function<void(IVMInfo*)> watch, std::function<void(const std::string&)> progress)
    : host_(host),
      store_(store),
      cancelled_(std::move(cancelled)),
      watch_(std::move(watch)),
      progress_(std::move(progress)) {}

// A failure the agent finds itself; `code` is the host error behind it, or 0.
bool SnapRestoreJob::refuse(Session& s, const std::string& step, int code, const std::string& why) {
    if (!s.result.failedStep.empty()) return false;
    s.result.failedStep = step;
    s.result.errorCode = code;
    s.result.errorDetails = why;
    return false;
}

bool SnapRestoreJob::fail(Session& s, const std::string& step) {
    s.result.fail(*s.plugin, cancelled_, step);
    if (s.result.errorCode == 0 && s.result.errorDetails.empty())
        s.result.errorDetails = "the plugin gave no reason (see the job log)";
    return false;
}

// The snap job and the VM's outcome in it, as the store keeps them.
bool SnapRestoreJob::openSnapJob(const SnapRestoreRequest& request, Session& s) {
    const std::string job = "snap job " + std::to_string(request.snapJobId);
    const std::string folder = SnapJobFolder(store_.root(), request.snapJobId);
    std::optional<SnapJobRecord> record = SnapJobRecord::Read(folder);
    if (!record)
        return refuse(s, "store", 0, "the store holds no snapshot-engine job " + std::to_string(request.snapJobId) +
                                         ". What to do: see 'vsagent snap list'");
    s.snapLock = FolderLock::Try(folder, FolderLock::Mode::Shared);
    if (!s.snapLock) return refuse(s, "store", 0, job + " is still running or being deleted");
    if (record->state != SnapJobRecord::kComplete)
        return refuse(s, "store", 0, job + " has no snapshots to build from (it is " + record->state + ")");
    auto vm = std::find_if(record->vms.begin(), record->vms.end(),
                           [&](const SnapVmOutcome& v) { return v.name == request.vmName; });
    if (vm == record->vms.end()) return refuse(s, "store", 0, job + " holds no VM [" + request.vmName + "]");
    if (vm->status != 0)
        return refuse(s, "store", std::max(vm->status, 0),
                      "VM [" + vm->name + "] has no snapshots in " + job +
                          (vm->details.empty() ? std::string() : ": " + vm->details));
    s.sourceGuid = vm->guid;
    s.snapJob = std::move(record);
    return true;
}

// A plugin object under a new job identity whose GUID marks what the job creates; the ended
// reverts and restores of the store are undone first.
bool SnapRestoreJob::connect(Session& s) {
    s.result.jobId = store_.nextJobId();
    s.record.jobId = s.result.jobId;
    s.record.jobGuid = CreateGuid();
    ConnectFailure failure;
    s.plugin = host_.connect(s.result.jobId, failure, s.record.jobGuid);
    if (!s.plugin) return refuse(s, "Connect", failure.code, "cannot connect to the subscription: " + failure.details);
    watch_(s.plugin.get());
    CVMSnapUtil::SetCatalogRoot(SnapCatalogRoot(store_.root()));
    const CloudCredentials credentials = host_.cloud().credentials();
    for (const std::string& note : UndoDeadSnapRestores(store_.root(), credentials)) {
        progress_(note);
        s.result.notes.push_back(note);
    }
    // Absolute: the plugin removes a staging folder only when named by an absolute path.
    s.folder = fs::absolute(SnapRestoreFolder(store_.root(), s.result.jobId)).string();
    fs::create_directories(fs::path(s.folder) / "metadata");
    fs::create_directories(fs::path(s.folder) / "staging");
    s.lock = FolderLock::Hold(s.folder, FolderLock::Mode::Exclusive);
    return true;
}

// The VM's record in the snap job's metadata.
bool SnapRestoreJob::readVm(const SnapRestoreRequest& request, Session& s) {
    std::vector<SnapCopySource> sources;
    JobOutcome listed;
    if (!SnapJobVms(*s.plugin, *s.snapJob, (fs::path(s.folder) / "metadata").string(), sources, listed)) {
        static_cast<JobOutcome&>(s.result) = listed;
        return false;
    }
    auto source = std::find_if(sources.begin(), sources.end(),
                               [&](const SnapCopySource& c) { return iequals(c.vm.guid, s.sourceGuid); });
    const std::string job = "snap job " + std::to_string(request.snapJobId);
    if (source == sources.end())
        return refuse(s, "GetMetadataFiles", VMINFO_ERR_REVERT_FILE_LIST,
                      "the metadata of " + job + " holds no record of VM [" + request.vmName + "]");
    const SVMInfo* vm = &source->vm;
    if (vm->snapStatus != 0)
        return refuse(s, "GetMetadataFiles", static_cast<int>(vm->snapStatus),
                      "VM [" + vm->name + "] has no snapshots in " + job +
                          (vm->snapStatusDetails.empty() ? std::string() : ": " + vm->snapStatusDetails));
    if (request.managed == std::optional<bool>(false) && vm->isManaged)
        return refuse(s, "InitRestoreVM", 0,
                      "VM [" + vm->name + "] has managed disks; its snapshots cannot make an unmanaged VM");
    s.vm = *vm;
    s.source = *source;
    return true;
}

// A VM-centric job kept the VM's configuration files with its catalog, which the plugin reads in place and does
// not fetch: they are staged where the restore reads them.
bool SnapRestoreJob::stageVmFiles(Session& s) {
    for (const std::string& name : {s.vm.name + ".json", std::string("dek.bkp"), std::string("kek.bkp")}) {
        const fs::path from = fs::path(s.source.vmFolder) / name;
        std::error_code ec;
        if (fs::exists(from, ec))
            fs::copy_file(from, fs::path(s.ctx.stagingRoot) / name, fs::copy_options::overwrite_existing, ec);
        if (ec)
            return refuse(s, "index cache", VMINFO_ERR_SNAP_CONFIG_FETCH,
                          "the configuration file [" + from.string() + "] cannot be staged: " + ec.message());
    }
    return true;
}

bool SnapRestoreJob::buildContexts(const SnapRestoreRequest& request, Session& s) {
    const SVMInfo& vm = s.vm;
    MountCtx& mount = s.mount;
    mount.vmName = vm.name;
    mount.vmGuid = vm.guid;
    mount.hostName = vm.resourceGroup;
    mount.jobId = s.result.jobId;
    mount.refJobId = request.snapJobId;
    mount.isSnapJob = true;
    mount.snapEngine = SNAP_ENGINE_CLOUD_VVOL;
    mount.metadataDir = (fs::path(s.folder) / "metadata").string();
    if (s.snapJob->vmCentric) {  // the VM's records are those of its child job, its catalog in its own folder
        mount.isVmCentric = true;
        mount.refJobId = mount.altJobId = s.source.vmJobId;
        mount.snapMetadataFolder = s.source.vmFolder;
    }

    RestoreCtx& ctx = s.ctx;
    ctx.restoreType = RESTORE_TYPE_FULL_VM;
    ctx.snapRestore = true;
    ctx.vmName = request.revert || request.newName.empty() ? vm.name : request.newName;
    ctx.resourceGroup = request.revert || request.resourceGroup.empty() ? vm.resourceGroup : request.resourceGroup;
    ctx.region = vm.region;
    if (!iequals(ctx.resourceGroup, vm.resourceGroup)) {
        SHostInfo group;
        if (!s.plugin->GetHostInfoForHost(ctx.resourceGroup, 0, 0, group)) return fail(s, "GetHostInfoForHost");
        ctx.region = group.location;
    }
    ctx.m_vmSize = vm.vmSize;
    ctx.powerOn = request.powerOn;
    ctx.overwrite = request.revert || request.overwrite;
    ctx.inPlaceRestore = request.revert || (request.overwrite && iequals(ctx.vmName, vm.name) &&
                                            iequals(ctx.resourceGroup, vm.resourceGroup));
    ctx.restoreAsManagedVM = request.revert ? vm.isManaged : request.managed.value_or(vm.isManaged);
    ctx.sourceVmName = vm.name;
    ctx.sourceVmGuid = vm.guid;
    ctx.storageAccount = vm.storageAccount;
    // The snap job's configuration files are fetched here; key backups are read from the same folder.
    ctx.stagingRoot = ctx.stagingPath = (fs::path(s.folder) / "staging").string();
    ctx.configFilePath = (fs::path(ctx.stagingRoot) / (vm.name + ".json")).string();
    ctx.originalInfo.isManaged = vm.isManaged;
    ctx.originalInfo.m_InstanceSize = vm.vmSize;
    ctx.originalInfo.firmware = vm.firmware;
    ctx.originalInfo.availabilityZones = vm.availabilityZones;
    // The source VM's name names its configuration file; the deployment renames the VM.
    ctx.vmInfo = vm;
    addDisks(s);
    return !mount.isVmCentric || stageVmFiles(s);
}

// The disks as the snap job recorded them (a disk filtered out of the job has no snapshot), then
// the VM's configuration file, which the plugin fetches into the staging folder.
void SnapRestoreJob::addDisks(Session& s) {
    for (const SDisk& disk : s.vm.disks) {
        for (const std::string* location : {&disk.uri, &disk.managedDiskId})
            if (!location->empty() &&
                std::find(s.record.sourceDisks.begin(), s.record.sourceDisks.end(), *location) ==
                    s.record.sourceDisks.end())
                s.record.sourceDisks.push_back(*location);
        if (disk.type == DISK_TYPE_FILE) continue;
        if (disk.isFiltered) {
            s.result.notes.push_back("disk [" + disk.name + "] was left out of snap job " +
                                     std::to_string(s.snapJob->jobId) + " and is not part of the VM built");
            continue;
        }
        s.ctx.disks.push_back(disk);
    }
    SDisk config;
    config.type = DISK_TYPE_FILE;
    config.name = config.indexName = s.vm.name + ".json";
    config.uri = s.ctx.configFilePath;
    s.ctx.disks.push_back(config);
}

bool SnapRestoreJob::revert(Session& s) {
    SnapRestoreRecord& record = s.record;
    record.snapJobId = s.snapJob->jobId;
    record.revert = s.ctx.inPlaceRestore;
    record.vmName = s.ctx.vmName;
    record.resourceGroup = s.ctx.resourceGroup;
    record.sourceVmName = s.vm.name;
    record.write(s.folder);
    s.recorded = true;
    progress_(std::string(s.ctx.inPlaceRestore ? "putting VM [" : "building VM [") + s.ctx.vmName + "] in [" +
              s.ctx.resourceGroup + "] from the snapshots of VM [" + s.vm.name + "] in snap job " +
              std::to_string(record.snapJobId));
    if (cancelled_()) {
        s.result.cancelled = true;
        return refuse(s, "RevertSnap", VMINFO_ERR_JOB_CANCELLED, "the job was cancelled");
    }
    if (s.plugin->RevertSnap(s.mount, s.ctx) != 1) return fail(s, "RevertSnap");
    SnapRestoreResult& r = s.result;
    r.vmGuid = s.ctx.vmGuid.empty() ? s.ctx.vmInfo.guid : s.ctx.vmGuid;
    r.snapshotGuid = s.ctx.snapshotGuid;
    // The plugin names the disks it creates in the disk list.
    for (const SDisk& disk : s.ctx.disks)
        if (disk.type != DISK_TYPE_FILE) r.disks.insert(disk.isOsDisk ? r.disks.begin() : r.disks.end(), disk.name);
    for (const SFailure& f : s.ctx.restoreFailures) r.failures.push_back(f.subject + ": " + f.reason);
    if (s.ctx.inPlaceRestore) noteDetachedDisks(s);
    return true;
}

// The disks the reverted VM had at the snap job, when no VM uses them any more: said, since they
// stay (and cost) until someone deletes them.
void SnapRestoreJob::noteDetachedDisks(Session& s) {
    std::string names;
    try {
        for (const std::string& disk : DetachedSourceDisks(host_.cloud().credentials(), s.record))
            names += (names.empty() ? "[" : ", [") + disk.substr(disk.rfind('/') + 1) + "]";
    } catch (const std::exception& e) {
        s.result.notes.push_back(std::string("whether the VM's earlier disks are kept cannot be told: ") + e.what());
        return;
    }
    if (!names.empty())
        s.result.notes.push_back("the disks VM [" + s.ctx.vmName + "] had when snap job " +
                                 std::to_string(s.record.snapJobId) + " snapped it are kept, attached to no VM: " +
                                 names + "; delete them once they are not needed");
}

// A job that failed after writing its record has what carries its mark removed; the record stays
// when something is left. Otherwise the work folder goes.
void SnapRestoreJob::finish(Session& s) {
    s.lock.reset();
    if (s.folder.empty()) return;
    if (!s.result.ok && s.recorded) {
        const UndoOutcome outcome = UndoSnapRestoreFolder(s.folder, host_.cloud().credentials());
        s.result.cleanupIncomplete = !outcome.undone;
        s.result.leftForLater = outcome.left.empty() ? outcome.line : outcome.left;
        return;
    }
    std::error_code ec;
    fs::remove_all(s.folder, ec);
    if (ec) s.result.notes.push_back("the work folder [" + s.folder + "] was not removed: " + ec.message());
}

SnapRestoreResult SnapRestoreJob::run(const SnapRestoreRequest& request) {
    Session s;
    try {
        s.result.ok = openSnapJob(request, s) && connect(s) && readVm(request, s) && buildContexts(request, s) &&
                      revert(s);
    } catch (const std::exception& e) {
        refuse(s, s.recorded ? "RevertSnap" : "store", 0, e.what());
    }
    s.result.vmName = s.ctx.vmName;
    s.result.resourceGroup = s.ctx.resourceGroup;
    s.result.managed = s.ctx.restoreAsManagedVM;
    s.result.inPlace = s.ctx.inPlaceRestore;
    watch_(nullptr);
    if (s.plugin) s.plugin->Disconnect();
    finish(s);
    return s.result;
}

}  // namespace vsagent
