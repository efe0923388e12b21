#include "agent/restore/RestoreJob.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>

#include "agent/job/ParallelReader.h"
#include "agent/job/Progress.h"
#include "agent/job/ReadPlan.h"
#include "agent/restore/CloudNames.h"
#include "agent/restore/RestoreRecord.h"
#include "agent/restore/SourceVm.h"
#include "agent/store/ChainReader.h"
#include "agent/store/FolderLock.h"
#include "agent/store/Sha256.h"
#include "agent/store/StoreError.h"
#include "agent/store/WindowDigest.h"

namespace fs = std::filesystem;

namespace vsagent {

namespace {

// The largest VM description the agent reads; real ones are a few KiB.
constexpr std::uintmax_t kMaxConfigBytes = 16 << 20;

bool AllZero(const unsigned char* data, std::size_t length) {
    return std::all_of(data, data + length, [](unsigned char b) { return b == 0; });
}

std::string ReadSmallFile(const fs::path& path) {
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(path, ec);
    if (ec || size > kMaxConfigBytes) throw StoreError("cannot read the VM description [" + path.string() + "]");
    std::ifstream in(path, std::ios::binary);
    std::string text(static_cast<std::size_t>(size), '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (!in) throw StoreError("cannot read the VM description [" + path.string() + "]");
    return text;
}

// "account\container" -> ("account", "container"); the container is empty when none is named.
std::pair<std::string, std::string> SplitPlacement(const std::string& placement) {
    const std::string::size_type slash = placement.find('\\');
    if (slash == std::string::npos) return {placement, std::string()};
    return {placement.substr(0, slash), placement.substr(slash + 1)};
}

static_assert(kMaxReadBytes == DiskDigest::kWindowBytes, "a read of a windowed queue is one digest window");

// The digest windows (4 MiB from offset 0) that `extents` touch, adjacent ones joined.
ExtentList WindowsOf(const ExtentList& extents, std::uint64_t diskBytes) {
    ExtentList windows;
    for (std::uint64_t index : TouchedWindows(extents)) {
        const std::uint64_t start = index * DiskDigest::kWindowBytes;
        const std::uint64_t length = std::min(DiskDigest::kWindowBytes, diskBytes - start);
        if (!windows.empty() && windows.back().end() == start)
            windows.back().length += length;
        else
            windows.push_back({start, length});
    }
    return windows;
}

}  // namespace

struct RestoreJob::Session {
    struct Disk {
        std::size_t backupIndex = 0;   // in the manifest
        std::size_t ctxIndex = 0;      // in ctx.disks
        std::string path;              // the name the plugin keys the disk by
        VmdkHandle handle;
        bool open = false;
        std::unique_ptr<ChainReader> chain;
        ExtentList extents;            // the ranges the chain holds data in
        ExtentList windows;            // the digest windows they touch: what is read and checked
        const DiskDigest* digest = nullptr;  // none for a job of the format without window digests
    };
    long long jobId = 0;
    std::string jobGuid;
    Manifest backup;
    SourceVm source;
    bool directUpload = false;
    std::string container;  // named by the placement; empty: the plugin's default
    std::string targetStorage;  // the storage account of an attach's target VM
    std::string folder;
    std::string staging;
    std::optional<FolderLock> lock;
    RestoreRecord record;
    RestoreCtx ctx;
    std::vector<Disk> disks;
    bool initCalled = false;
    std::string step;
    RestoreResult result;
    std::vector<std::atomic<std::uint64_t>> written;  // bytes written, per disk
    std::atomic<std::uint64_t> writes{0};
    std::mutex problemMutex;
    std::string storeProblem;  // the first read or check of the store that failed

    bool storeFailed(const std::string& problem) {
        std::lock_guard<std::mutex> lock(problemMutex);
        if (storeProblem.empty()) storeProblem = problem;
        return false;
    }
};

RestoreJob::RestoreJob(IVMInfo& plugin, BackupStore& store, std::function<bool()> cancelled)
    : plugin_(plugin), store_(store), cancelled_(std::move(cancelled)) {}

bool RestoreJob::fail(Session& s, const std::string& step) { return s.result.fail(plugin_, cancelled_, step); }

// A failure the agent itself finds, with no plugin error behind it.
bool RestoreJob::refuse(Session& s, const std::string& step, const std::string& why) {
    if (!s.result.failedStep.empty()) return false;
    s.result.failedStep = step;
    s.result.errorCode = 0;
    s.result.errorDetails = why;
    return false;
}

bool RestoreJob::guard(Session& s, const std::function<bool()>& step) {
    return s.result.guard(plugin_, cancelled_, s.step, step);
}

void RestoreJob::record(Session& s) {
    s.step = "store";
    s.record.write(s.folder);
}

// The backup job, the restore's work folder with its lock and record, and the staged files.
bool RestoreJob::prepare(const RestoreRequest& request, Session& s) {
    s.step = "store";
    std::optional<Manifest> backup = store_.job(request.jobId);
    if (!backup) {
        fail(s, "store");
        s.result.errorDetails = "the store holds no complete backup job " + std::to_string(request.jobId);
        return false;
    }
    s.backup = std::move(*backup);
    s.folder = RestoreJobFolder(store_.root(), s.jobId);
    s.staging = (fs::path(s.folder) / "staging").string();
    fs::create_directories(s.staging);
    s.lock = FolderLock::Hold(s.folder, FolderLock::Mode::Exclusive);
    for (std::size_t index : request.diskIndexes)
        if (index >= s.backup.disks.size())
            throw StoreError("job " + std::to_string(s.backup.jobId) + " has " +
                             std::to_string(s.backup.disks.size()) + " disk(s); there is no disk " +
                             std::to_string(index));
    s.record.jobId = s.jobId;
    s.record.jobGuid = s.jobGuid;
    s.record.attach = !request.attachTo.empty();
    s.record.vmName = s.record.attach ? request.attachTo : request.vmName.empty() ? s.backup.vmName : request.vmName;
    s.record.resourceGroup = request.resourceGroup.empty() ? s.backup.resourceGroup : request.resourceGroup;
    record(s);
    return stageFiles(s);
}

// The backup's files, checked against their manifest entries, into the staging folder.
bool RestoreJob::stageFiles(Session& s) {
    const fs::path from = fs::path(store_.jobFolder(s.backup.vmName, s.backup.jobId)) / "files";
    bool haveConfig = false;
    for (const FileRecord& file : s.backup.files) {
        const fs::path target = fs::path(s.staging) / file.name;
        fs::copy_file(from / file.name, target, fs::copy_options::overwrite_existing);
        if (fs::file_size(target) != file.size || HashFile(target.string()) != file.sha256)
            throw StoreError("the kept file [" + file.name + "] of job " + std::to_string(s.backup.jobId) +
                             " does not match its manifest");
        if (!haveConfig && target.extension() == ".json") {
            try {
                s.source = SourceVm::Parse(ReadSmallFile(target));
            } catch (const StoreError& e) {
                throw StoreError("[" + file.name + "] of job " + std::to_string(s.backup.jobId) + ": " + e.what());
            }
            haveConfig = true;
        }
    }
    if (!haveConfig)
        throw StoreError("job " + std::to_string(s.backup.jobId) + " holds no VM description (.json) to restore from");
    return true;
}

// The VM the disks are attached to, looked up as the plugin will look it up.
bool RestoreJob::chooseTarget(const RestoreRequest& request, Session& s) {
    SVMInfo target;
    s.step = "GetVMInfoForVM";
    if (!plugin_.GetVMInfoForVM(request.attachTo, "", request.resourceGroup, 16, 0, target)) {
        fail(s, "GetVMInfoForVM");
        if (s.result.errorCode == 0) s.result.errorCode = VMINFO_ERR_VM_NOT_FOUND;
        return false;
    }
    RestoreCtx& ctx = s.ctx;
    ctx.restoreType = RESTORE_TYPE_DISK_ATTACH;
    ctx.vmName = target.name;
    ctx.vmGuid = target.guid;
    ctx.resourceGroup = target.resourceGroup;
    ctx.region = target.region;
    ctx.restoreAsManagedVM = target.isManaged;
    s.record.resourceGroup = target.resourceGroup;
    s.targetStorage = target.storageAccount;
    s.result.attached = true;
    return true;
}

bool RestoreJob::buildContext(const RestoreRequest& request, Session& s) {
    RestoreCtx& ctx = s.ctx;
    if (!request.attachTo.empty()) {
        if (!chooseTarget(request, s)) return false;
    } else {
        ctx.restoreType = request.replicate ? RESTORE_TYPE_REPLICATION : RESTORE_TYPE_FULL_VM;
        ctx.vmName = s.record.vmName;
        ctx.resourceGroup = s.record.resourceGroup;
        ctx.region = request.region;
        // A replication asks the cloud nothing before the plugin's own checks: its group decides the region.
        if (ctx.region.empty() && !request.replicate) {
            SHostInfo group;
            s.step = "GetHostInfoForHost";
            if (!plugin_.GetHostInfoForHost(ctx.resourceGroup, 0, 0, group)) return fail(s, "GetHostInfoForHost");
            ctx.region = group.location;
        }
        ctx.m_vmSize = request.vmSize;
        ctx.availabilityZones = request.zones;
        ctx.powerOn = request.powerOn;
        // The agent keeps no history of replications: every run may be the first, and the plugin
        // reuses the destination's blobs when it finds them.
        ctx.isFirstReplication = request.replicate;
        ctx.createVm = !request.replicate;
        ctx.overwrite = request.overwrite;
        ctx.inPlaceRestore =
            request.overwrite && ctx.vmName == s.backup.vmName && ctx.resourceGroup == s.backup.resourceGroup;
        ctx.assignPublicIP = request.publicIp;
        ctx.restoreAsManagedVM = request.managed.value_or(s.source.managed);
        if (!request.network.empty()) {
            VMInfoStructs::SVMNetworkCard nic;
            nic.name = ctx.vmName + "-nic0";
            nic.networkName = request.network;
            nic.subnetId = request.subnet;
            ctx.nics.push_back(nic);
        }
    }
    ctx.originalInfo.isManaged = s.source.managed;
    ctx.originalInfo.m_InstanceSize = s.source.size;
    ctx.originalInfo.firmware = s.source.generation2 ? "efi" : "";
    ctx.originalInfo.availabilityZones = s.source.zones;
    s.record.managedVm = ctx.restoreAsManagedVM;
    s.directUpload = ctx.restoreAsManagedVM && request.directUpload;
    ctx.sourceVmName = s.backup.vmName;
    ctx.sourceVmGuid = s.backup.vmGuid;
    ctx.stagingRoot = s.folder;
    ctx.stagingPath = s.staging;
    // Page blobs go, unless told otherwise, where the VM that will use them keeps its disks:
    // the backed-up VM's account for a new unmanaged VM, the target's for an attach.
    std::string placement = request.storage;
    if (placement.empty() && !ctx.restoreAsManagedVM)
        placement = request.attachTo.empty() ? s.source.storageAccount : s.targetStorage;
    if (placement.empty() && !ctx.restoreAsManagedVM)
        return refuse(s, "InitRestoreVM",
                      "page blobs need a storage account, and the backed-up VM used managed disks, so it names "
                      "none: give --storage ACCOUNT[/CONTAINER] with an account of region " + ctx.region +
                          ", or restore with managed disks");
    ctx.storageAccount = SplitPlacement(placement).first;
    s.container = SplitPlacement(placement).second;
    addDisks(request, s, placement);
    return true;
}

// The chosen disks of the backup, then the files kept with it (the VM description, key backups).
void RestoreJob::addDisks(const RestoreRequest& request, Session& s, const std::string& placement) {
    RestoreCtx& ctx = s.ctx;
    for (std::size_t i = 0; i < s.backup.disks.size(); ++i) {
        if (!request.diskIndexes.empty() &&
            std::find(request.diskIndexes.begin(), request.diskIndexes.end(), i) == request.diskIndexes.end())
            continue;
        const DiskRecord& d = s.backup.disks[i];
        SDisk disk;
        disk.type = DISK_TYPE_VIRTUAL_DISK;
        disk.name = d.name;
        disk.originalName = d.name;
        disk.isOsDisk = d.osDisk;
        disk.unitNumber = d.lun;
        disk.capacity = static_cast<long long>(d.capacity);
        disk.storageAccount = placement;
        disk.isEncrypted = s.source.diskEncrypted(d.lun, d.osDisk);
        disk.isManaged = s.source.managed;
        s.disks.emplace_back();
        s.disks.back().backupIndex = i;
        ctx.disks.push_back(disk);
    }
    for (const FileRecord& file : s.backup.files) {
        SDisk entry;
        entry.type = DISK_TYPE_FILE;
        entry.name = file.name;
        entry.indexName = file.name;
        entry.uri = (fs::path(s.staging) / file.name).string();
        ctx.disks.push_back(entry);
    }
}

// Checks and disk names; then what the job is about to create goes into its record.
bool RestoreJob::init(Session& s) {
    s.step = "InitRestoreVM";
    s.initCalled = true;
    if (!plugin_.InitRestoreVM(s.ctx)) return fail(s, "InitRestoreVM");
    // The plugin may drop disks it will not restore (an attach leaves encrypted disks out); every
    // other disk keeps its backed-up name as its original name.
    std::vector<Session::Disk> kept;
    for (Session::Disk& d : s.disks) {
        const std::string& name = s.backup.disks[d.backupIndex].name;
        auto entry = std::find_if(s.ctx.disks.begin(), s.ctx.disks.end(), [&](const SDisk& disk) {
            return disk.type == DISK_TYPE_VIRTUAL_DISK && disk.originalName == name;
        });
        if (entry == s.ctx.disks.end()) continue;
        d.ctxIndex = static_cast<std::size_t>(entry - s.ctx.disks.begin());
        kept.push_back(std::move(d));
    }
    s.disks = std::move(kept);
    for (Session::Disk& d : s.disks) {
        const std::string& name = s.ctx.disks[d.ctxIndex].name;
        const std::string problem =
            CloudNameProblem(s.ctx.restoreAsManagedVM ? CloudName::ManagedDisk : CloudName::PageBlob, name);
        if (!problem.empty())
            return refuse(s, "InitRestoreVM", "the disk name the restore chose is refused: " + problem);
    }
    for (Session::Disk& d : s.disks) {
        const SDisk& disk = s.ctx.disks[d.ctxIndex];
        d.path = disk.uri;
        RestoreTarget target;
        target.name = disk.name;
        target.managedDisk = s.directUpload;
        // Naming leaves the account alone in the disk entry; the container is the one placement named.
        if (!s.directUpload)
            target.storageAccount = disk.storageAccount + (s.container.empty() ? "" : "\\" + s.container);
        s.record.disks.push_back(target);
    }
    record(s);
    return true;
}

bool RestoreJob::createDisks(Session& s) {
    for (Session::Disk& d : s.disks) {
        const DiskRecord& backup = s.backup.disks[d.backupIndex];
        s.step = "store";
        d.chain = std::make_unique<ChainReader>(store_.chain(s.backup, d.backupIndex), backup.imageBytes);
        d.extents = NormalizeExtents(d.chain->dataExtents(), backup.imageBytes);
        d.windows = WindowsOf(d.extents, backup.imageBytes);
        d.digest = backup.digest ? &*backup.digest : nullptr;
        if (!d.digest) s.result.checked = false;
        s.step = "CreateVmdk";
        if (!plugin_.CreateVmdk(s.ctx.vmName, "", d.path, d.handle, static_cast<long long>(backup.imageBytes)))
            return fail(s, "CreateVmdk");
        d.open = true;
    }
    return true;
}

// One window of a disk: read whole from the chain and checked against the digest
// the backup recorded for it, then the ranges of it the chain holds data in are
// written, each left out when it holds only zeros, since a new disk reads as zeros
// already. False when the store or the plugin failed (the store's problem is kept).
bool RestoreJob::writeWindow(Session& s, const PlannedRead& r, unsigned char* buffer) {
    Session::Disk& d = s.disks[r.disk];
    const std::size_t length = static_cast<std::size_t>(r.bytes());
    const std::uint64_t end = r.offset + length;
    const std::string where = "job " + std::to_string(s.backup.jobId) + ", disk " + std::to_string(d.backupIndex) +
                              " [" + s.backup.disks[d.backupIndex].name + "], bytes " + std::to_string(r.offset) +
                              "-" + std::to_string(end - 1);
    try {
        d.chain->read(r.offset, length, buffer);
    } catch (const std::exception& e) {
        return s.storeFailed(where + ": " + e.what());
    }
    if (d.digest) {
        Sha256 sha;
        sha.update(buffer, length);
        const std::string found = sha.hex();
        const std::string expected = d.digest->windowDigest(r.offset / DiskDigest::kWindowBytes);
        if (found != expected)
            return s.storeFailed(where + ": the store holds bytes with SHA-256 " + found + " there, the backup " +
                                 "recorded " + expected + "; the stored backup is damaged ('vsagent verify --store " +
                                 store_.root() + " --job " + std::to_string(s.backup.jobId) + "' lists what)");
    }
    auto e = std::lower_bound(d.extents.begin(), d.extents.end(), r.offset,
                              [](const Extent& x, std::uint64_t at) { return x.end() <= at; });
    for (; e != d.extents.end() && e->start < end; ++e) {
        const std::uint64_t from = std::max(e->start, r.offset);
        const std::size_t n = static_cast<std::size_t>(std::min(e->end(), end) - from);
        unsigned char* piece = buffer + (from - r.offset);
        if (AllZero(piece, n)) continue;
        if (plugin_.WriteVmdk(d.handle, from, static_cast<UINT>(n), piece) != 1) return false;
        s.written[r.disk] += n;
        ++s.writes;
    }
    return true;
}

// Every window of the ranges the chain stored, on a pool of threads across all disks.
bool RestoreJob::writeDisks(Session& s, const RestoreRequest& request) {
    ReadQueue queue(ReadCut::Windows);
    std::uint64_t planned = 0;
    for (std::size_t i = 0; i < s.disks.size(); ++i) {
        queue.addDisk(i, &s.disks[i].windows);
        planned += TotalBytes(s.disks[i].windows);
    }
    s.written = std::vector<std::atomic<std::uint64_t>>(s.disks.size());
    ReadCallbacks callbacks;
    callbacks.read = [&](const PlannedRead& r, unsigned char* buffer) { return writeWindow(s, r, buffer); };
    callbacks.keep = [](const PlannedRead&, const unsigned char*) {};
    callbacks.cancelled = cancelled_;
    ReadOutcome outcome;
    const auto start = std::chrono::steady_clock::now();
    {
        Progress progress(planned, request.showProgress);
        outcome = RunReads(queue, request.threads, callbacks, &progress.bytes());
    }
    s.result.writeSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    s.result.writes = s.writes;
    s.result.writerThreads = outcome.threads;
    for (std::size_t i = 0; i < s.disks.size(); ++i) {
        s.result.bytesWritten += s.written[i];
        const DiskRecord& backup = s.backup.disks[s.disks[i].backupIndex];
        const SDisk& disk = s.ctx.disks[s.disks[i].ctxIndex];
        // A disk written directly was staged nowhere.
        s.result.disks.push_back({backup.name, disk.name, s.directUpload ? std::string() : disk.storageAccount,
                                  backup.lun, backup.osDisk, backup.imageBytes, s.written[i]});
    }
    if (outcome.status == ReadOutcome::Status::Done) return true;
    if (outcome.status == ReadOutcome::Status::Failed && !s.storeProblem.empty())
        return refuse(s, "store", s.storeProblem);
    fail(s, "WriteVmdk");
    if (outcome.status == ReadOutcome::Status::Cancelled) return false;
    const PlannedRead& r = outcome.failedRead;
    std::string where = "disk " + std::to_string(r.disk) + " [" + s.backup.disks[s.disks[r.disk].backupIndex].name +
                        "], within bytes " + std::to_string(r.offset) + "-" + std::to_string(r.offset + r.bytes() - 1);
    if (!outcome.failure.empty()) s.result.errorDetails = outcome.failure;
    s.result.errorDetails = where + (s.result.errorDetails.empty() ? "" : ": " + s.result.errorDetails);
    return false;
}

void RestoreJob::closeDisks(Session& s) {
    s.step = "CloseVmdk";
    for (Session::Disk& d : s.disks)
        if (d.open) {
            d.open = false;
            guard(s, [&] { return plugin_.CloseVmdk(d.handle) == 1 || fail(s, "CloseVmdk"); });
        }
}

// The VM from the written disks; the record names the deployment before it is asked
// for and the VM's GUID once it is known.
bool RestoreJob::deploy(Session& s) {
    if (cancelled_()) {
        s.result.cancelled = true;
        return fail(s, "PreRestoreVM");
    }
    s.step = "PreRestoreVM";
    if (!plugin_.PreRestoreVM(s.ctx)) return fail(s, "PreRestoreVM");
    s.record.deploying = true;
    record(s);
    s.step = "RestoreVM";
    const bool deployed = plugin_.RestoreVM(s.ctx) == 1;
    if (!s.record.attach) {
        s.record.vmGuid = s.ctx.vmGuid;
        record(s);
    }
    reportDisks(s);
    if (!deployed) return fail(s, "RestoreVM");
    s.step = "PostRestoreVM";
    return plugin_.PostRestoreVM(s.ctx) == 1 || fail(s, "PostRestoreVM");
}

// The LUN each restored disk got, as the deployment or the attach was given it.
void RestoreJob::reportDisks(Session& s) {
    for (RestoredDisk& disk : s.result.disks)
        for (const SDisk& deployed : s.ctx.vmInfo.disks)
            if (deployed.name == disk.restoredName && !deployed.isOsDisk) disk.lun = deployed.unitNumber;
}

// The size the VM got, when it is not the one asked for (or, with none asked for,
// the backed-up VM's): the plugin chose the best match the region offers.
void RestoreJob::noteSize(const RestoreRequest& request, Session& s) {
    if (s.record.attach || s.ctx.m_vmSize.empty()) return;
    const std::string& wanted = request.vmSize.empty() ? s.source.size : request.vmSize;
    if (wanted.empty() || wanted == s.ctx.m_vmSize) return;
    s.result.notes.push_back((request.vmSize.empty() ? "the backed-up VM's size " : "--size ") + wanted +
                             " is not offered in region " + s.ctx.region +
                             " or does not fit the VM's disks, NICs or zones; the VM got size " + s.ctx.m_vmSize +
                             ", the best match there");
}

// A job that failed after naming what it creates has the plugin undo what it made and
// keeps its record, for the caller to make sure nothing it lists is left; otherwise the
// work folder goes.
void RestoreJob::finish(Session& s, bool ok) {
    // The destination of a replication (its blobs, integrity snapshots and VM) is the replica the
    // next run continues from; what a run may delete is the plugin's decision, so a failed run
    // runs no clean-up here that could touch it.
    if (!ok && s.initCalled && s.ctx.restoreType != RESTORE_TYPE_REPLICATION) {
        s.step = "CleanupRestoreVM";
        guard(s, [&] {
            if (plugin_.CleanupRestoreVM(s.ctx) != 1)
                s.result.notes.push_back("the plugin could not undo everything the job made (see the job log)");
            return true;
        });
        s.lock.reset();
        s.result.recordKept = true;
        return;
    }
    s.lock.reset();
    std::error_code ec;
    if (!s.folder.empty()) fs::remove_all(s.folder, ec);
    if (ec) s.result.notes.push_back("the work folder [" + s.folder + "] was not removed: " + ec.message());
}

RestoreResult RestoreJob::run(const RestoreRequest& request, long long restoreJobId, const std::string& jobGuid) {
    Session s;
    s.jobId = restoreJobId;
    s.jobGuid = jobGuid;
    const bool ok = guard(s, [&] { return prepare(request, s) && buildContext(request, s) && init(s); }) &&
                    guard(s, [&] { return createDisks(s) && writeDisks(s, request); });
    closeDisks(s);
    const bool deployed = ok && s.result.failedStep.empty() && guard(s, [&] { return deploy(s); });
    s.result.vmName = s.ctx.vmName;
    s.result.resourceGroup = s.ctx.resourceGroup;
    s.result.vmGuid = s.ctx.vmGuid;
    s.result.vmSize = s.ctx.m_vmSize;
    s.result.managed = s.ctx.restoreAsManagedVM;
    s.result.zones = s.ctx.vmInfo.availabilityZones;
    for (const SFailure& f : s.ctx.restoreFailures) s.result.failures.push_back(f.subject + ": " + f.reason);
    if (deployed) noteSize(request, s);
    if (deployed && !s.result.checked)
        s.result.notes.push_back("job " + std::to_string(s.backup.jobId) +
                                 " was stored without window digests: what was written is not checked");
    s.result.ok = deployed;
    finish(s, deployed);
    return s.result;
}

}  // namespace vsagent
