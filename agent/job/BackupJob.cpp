#include "agent/job/BackupJob.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <memory>
#include <utility>

#include "agent/job/JobCleanup.h"
#include "agent/job/JobRecord.h"
#include "agent/job/ParallelReader.h"
#include "agent/job/Progress.h"
#include "agent/job/ReadPlan.h"
#include "agent/job/TaskPool.h"
#include "agent/store/ChainReader.h"
#include "agent/store/SparseImage.h"
#include "agent/store/StoreError.h"
#include "agent/store/WindowDigest.h"
#include "host/log/JobIdentity.h"
#include "host/settings/NXPlatformInfo.h"

namespace fs = std::filesystem;

namespace vsagent {

namespace {

std::string UtcNow() {
    std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

std::string DiskName(const SDisk& disk) { return disk.name.empty() ? disk.indexName : disk.name; }

// The windows to hash for a disk and the digest every other window keeps: a full
// read starts from zeros and hashes what it read; an incremental takes its
// parent's digest and hashes the windows its changes touch, unless the parent has
// no windowed digest of a disk this size, when every window is hashed once.
std::pair<DiskDigest, std::vector<std::uint64_t>> DigestPlan(const DiskRecord& record, const DiskRecord* parent) {
    DiskDigest base;
    base.diskBytes = record.imageBytes;
    if (!parent) return {base, TouchedWindows(record.extents)};
    if (parent->digest && parent->imageBytes == record.imageBytes)
        return {*parent->digest, TouchedWindows(record.extents)};
    return {base, TouchedWindows({{0, record.imageBytes}})};
}

}  // namespace

struct BackupJob::Disk {
    SDisk info;
    VmdkHandle handle;
    bool open = false;
    std::uint64_t capacity = 0;
    std::uint64_t imageBytes = 0;
    ExtentList extents;
    std::optional<long long> parentJob;
    std::unique_ptr<SparseImage> image;
    std::string imageName;
    std::uint64_t bytesRead = 0;
};

struct BackupJob::Session {
    long long jobId = 0;
    SVMInfo vm;
    std::optional<Manifest> parent;
    std::optional<SnapCopySource> copy;
    std::optional<JobRecord> previous;  // the record of the VM's newest complete job
    bool incremental = false;
    std::string folder;
    std::optional<FolderLock> lock;
    std::optional<FolderLock> vmLock;   // shared: no prune rewrites the VM's chain while the job builds on it
    JobRecord record;
    std::string step;                   // the slot or step running, for an exception's report
    bool threw = false;
    MountCtx ctx;
    std::vector<Disk> disks;
    std::vector<SDisk> files;
    std::chrono::steady_clock::time_point start;
    BackupResult result;
};

BackupJob::BackupJob(IVMInfo& plugin, BackupStore& store, std::function<bool()> cancelled)
    : plugin_(plugin), store_(store), cancelled_(std::move(cancelled)) {}

bool BackupJob::fail(Session& s, const std::string& step) { return s.result.fail(plugin_, cancelled_, step); }

bool BackupJob::guard(Session& s, const std::function<bool()>& step) {
    return s.result.guard(plugin_, cancelled_, s.step, step, &s.threw);
}

// The VM, the dead jobs it left, and the new job's folder with its record: nothing is made in the cloud yet.
bool BackupJob::prepare(const BackupRequest& request, Session& s) {
    s.step = "GetVMInfoForVM";
    return guard(s, [&] {
        if (!lookUpVm(request, s)) return false;
        s.step = "CleanupVM";
        s.result.notes = CleanUpDeadJobs(plugin_, store_, s.vm.guid);
        s.step = "store";
        std::string folder = store_.createJobFolder(s.vm.name, s.jobId);
        s.folder = folder;
        s.lock = FolderLock::Hold(folder, FolderLock::Mode::Exclusive);
        // The GUID the job was connected under marks what the job makes (its snapshot set).
        s.record = {s.jobId, s.vm.name, s.vm.guid, s.vm.resourceGroup, std::string(), EvEvent::getJobGuid()};
        s.record.write(folder);
        return true;
    });
}

bool BackupJob::lookUpVm(const BackupRequest& request, Session& s) {
    if (request.snapCopy) {
        s.vm = request.snapCopy->vm;
        s.copy = request.snapCopy;
        return true;
    }
    if (!plugin_.GetVMInfoForVM(request.vmName, "", request.resourceGroup, 16, 0, s.vm)) {
        fail(s, "GetVMInfoForVM");
        if (s.result.errorCode == 0) s.result.errorCode = VMINFO_ERR_VM_NOT_FOUND;
        return false;
    }
    s.step = "store";
    s.vmLock = store_.lockVm(s.vm.name, FolderLock::Mode::Shared, false);
    if (!s.vmLock) {
        s.result.notes.push_back("waited for a prune of the VM's backups to finish");
        s.vmLock = store_.lockVm(s.vm.name, FolderLock::Mode::Shared, true);
    }
    std::optional<Manifest> latest = store_.latestJob(s.vm.name, s.vm.resourceGroup);
    if (latest) s.previous = JobRecord::Read(store_.jobFolder(latest->vmName, latest->jobId));
    if (!request.forceFull && latest && !latest->referencePoint.empty()) s.parent = std::move(latest);
    return true;
}

bool BackupJob::mount(Session& s) {
    MountCtx& ctx = s.ctx;
    ctx.vmName = s.vm.name;
    ctx.vmGuid = s.vm.guid;
    ctx.hostName = s.vm.resourceGroup;
    ctx.mountPath = (fs::path(s.folder) / "mount").string();
    ctx.jobId = s.jobId;
    ctx.backupType = s.parent ? SYNC_MODE_INCREMENTAL : SYNC_MODE_FULL;
    ctx.cbtEnabled = true;
    ctx.referencePoint = s.parent ? s.parent->referencePoint : std::string();
    if (s.copy) {
        // The snapshot-engine job's snapshot, with its metadata fetched afresh from the index cache.
        ctx.isSnapJob = ctx.isBackupCopy = true;
        ctx.snapEngine = SNAP_ENGINE_CLOUD_VVOL;
        ctx.refJobId = s.copy->snapJobId;
        ctx.metadataDir = (fs::path(s.folder) / "metadata").string();
        ctx.vmInfo = s.vm;
        // No reference point: a later backup builds on a set of its own, never on the job's snapshot.
        ctx.cbtEnabled = false;
        fs::create_directories(ctx.metadataDir);
        if (!s.copy->vmFolder.empty()) {
            // The VM's own child job holds its snap records and names its catalog.
            ctx.isVmCentric = true;
            ctx.refJobId = ctx.altJobId = s.copy->vmJobId;
            ctx.snapMetadataFolder = s.copy->vmFolder;
        }
    }
    s.step = "MountVM";
    if (!plugin_.MountVM(ctx)) return fail(s, "MountVM");
    s.incremental = s.parent && ctx.cbtMode == SYNC_MODE_INCREMENTAL;
    return true;
}

// The set the mount made, in the job's record before anything else happens.
bool BackupJob::recordSnapshotSet(Session& s) {
    if (s.ctx.backupSnapshotGuid.empty()) return true;
    s.record.snapshotSetGuid = s.ctx.backupSnapshotGuid;
    s.step = "store";
    return guard(s, [&] {
        s.record.write(s.folder);
        return true;
    });
}

// Mount, reads, post-backup and unmount: true when the job's data is all in its folder.
bool BackupJob::backUp(Session& s, const BackupRequest& request) {
    const bool mounted = guard(s, [&] { return mount(s); });
    const bool mountThrew = s.threw;
    const bool recorded = recordSnapshotSet(s);
    // A mount that failed has released what it made itself; one that threw may not have.
    if (!mounted && !mountThrew) return false;
    bool ok = mounted && recorded && guard(s, [&] { return openDisks(s) && readDisks(s, request); });
    closeDisks(s);
    ok = ok && guard(s, [&] { return keepFiles(s) && postBackup(s); });
    const bool unmounted = unmount(s);
    return ok && unmounted;
}

bool BackupJob::openDisks(Session& s) {
    std::vector<SMountInfoFull> entries;
    s.step = "GetFullMountInfo";
    if (!plugin_.GetFullMountInfo(s.ctx, entries)) return fail(s, "GetFullMountInfo");
    for (const SMountInfoFull& entry : entries) {
        if (entry.disks.empty()) continue;
        if (entry.kind == MOUNT_ENTRY_DISK) {
            s.disks.emplace_back();
            s.disks.back().info = entry.disks.front();
        } else {
            s.files.push_back(entry.disks.front());
        }
    }
    // Disks in the VM's own order: the OS disk, then the data disks by LUN.
    std::stable_sort(s.disks.begin(), s.disks.end(), [](const Disk& a, const Disk& b) {
        return std::make_pair(!a.info.isOsDisk, a.info.unitNumber) < std::make_pair(!b.info.isOsDisk, b.info.unitNumber);
    });
    if (s.disks.empty()) {
        fail(s, "GetFullMountInfo");
        s.result.errorDetails = "the plugin reported no disk to back up";
        return false;
    }
    for (std::size_t i = 0; i < s.disks.size(); ++i) {
        Disk& d = s.disks[i];
        s.step = "OpenVmdk";
        if (!plugin_.OpenVmdk(s.ctx.vmName, s.ctx.vmGuid, d.info.uri, d.handle)) return fail(s, "OpenVmdk");
        d.open = true;
        ULONGLONG sectors = 0;
        s.step = "GetVmdkCapacity";
        if (!plugin_.GetVmdkCapacity(d.handle, sectors)) return fail(s, "GetVmdkCapacity");
        d.capacity = sectors * kSectorBytes;
        // A disk's blob carries one more sector than its capacity: the trailing footer.
        d.imageBytes = d.capacity + kSectorBytes;

        std::string changeId;
        if (s.incremental) {
            for (const DiskRecord& previous : s.parent->disks)
                if (previous.name == DiskName(d.info)) changeId = previous.changeId;
        }
        SDiskChangeInfo changes;
        s.step = "GetVmdkExtents";
        bool listed = plugin_.GetVmdkExtents(d.handle, changeId, 0, changes);
        if (!listed && !changeId.empty()) {
            // The previous backup's snapshot no longer answers: read this disk in full.
            changes.extents.clear();
            changeId.clear();
            listed = plugin_.GetVmdkExtents(d.handle, changeId, 0, changes);
        }
        if (!listed) return fail(s, "GetVmdkExtents");
        if (!changeId.empty()) d.parentJob = s.parent->jobId;

        ExtentList raw;
        for (const SDiskChangeExtent& e : changes.extents) raw.push_back({e.start, e.length});
        s.result.allocatedBytes += TotalBytes(raw);
        d.extents = NormalizeExtents(std::move(raw), d.imageBytes);
        s.step = "store";
        d.imageName = "disk" + std::to_string(i) + ".img";
        d.image = std::make_unique<SparseImage>(SparseImage::Create((fs::path(s.folder) / d.imageName).string(), d.imageBytes));
    }
    return true;
}

bool BackupJob::readDisks(Session& s, const BackupRequest& request) {
    ReadQueue queue;
    for (std::size_t i = 0; i < s.disks.size(); ++i) {
        queue.addDisk(i, &s.disks[i].extents);
        s.result.plannedBytes += TotalBytes(s.disks[i].extents);
    }
    ReadCallbacks callbacks;
    callbacks.read = [&](const PlannedRead& r, unsigned char* buffer) {
        return plugin_.ReadVmdk(s.disks[r.disk].handle, r.blockIndex(), r.sectors, buffer) == 1;
    };
    callbacks.keep = [&](const PlannedRead& r, const unsigned char* data) {
        s.disks[r.disk].image->write(r.offset, data, static_cast<std::size_t>(r.bytes()));
    };
    callbacks.cancelled = cancelled_;
    ReadOutcome outcome;
    auto start = std::chrono::steady_clock::now();
    {
        Progress progress(s.result.plannedBytes, request.showProgress);
        outcome = RunReads(queue, request.threads, callbacks, &progress.bytes());
    }
    s.result.reads = outcome.reads;
    s.result.readSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (outcome.status == ReadOutcome::Status::Done) {
        for (Disk& d : s.disks) d.bytesRead = TotalBytes(d.extents);
        return true;
    }
    fail(s, outcome.failure.empty() ? "ReadVmdk" : "store");
    if (outcome.status == ReadOutcome::Status::Cancelled) return false;
    const PlannedRead& r = outcome.failedRead;
    std::string where = "disk " + std::to_string(r.disk) + " [" + DiskName(s.disks[r.disk].info) + "], " +
                        std::to_string(r.bytes()) + " bytes at offset " + std::to_string(r.offset);
    if (!outcome.failure.empty()) s.result.errorDetails = outcome.failure;
    s.result.errorDetails = where + (s.result.errorDetails.empty() ? "" : ": " + s.result.errorDetails);
    return false;
}

void BackupJob::closeDisks(Session& s) {
    s.step = "CloseVmdk";
    for (Disk& d : s.disks)
        if (d.open) {
            d.open = false;
            guard(s, [&] {
                plugin_.CloseVmdk(d.handle);
                return true;
            });
        }
}

bool BackupJob::keepFiles(Session& s) {
    s.step = "store";
    const fs::path target = fs::path(s.folder) / "files";
    for (const SDisk& file : s.files) {
        std::error_code ec;
        fs::copy_file(file.uri, target / file.name, fs::copy_options::overwrite_existing, ec);
        if (ec) throw StoreError("cannot keep the file [" + file.uri + "]: " + ec.message());
        std::uintmax_t size = fs::file_size(target / file.name, ec);
        if (ec) throw StoreError("cannot read the size of [" + file.name + "]: " + ec.message());
        s.result.manifest.files.push_back({file.name, size, HashFile((target / file.name).string())});
    }
    return true;
}

void BackupJob::recordDisks(Session& s, int threads) {
    Manifest& m = s.result.manifest;
    std::vector<DiskRecord> records(s.disks.size());
    // Two digests per disk, each a pass of its own: the bytes this job stored, and
    // the windowed digest of the disk as of this job (the windows it changed read
    // through the chain of earlier jobs).
    std::vector<std::function<void()>> digests;
    for (std::size_t i = 0; i < s.disks.size(); ++i) {
        Disk& d = s.disks[i];
        DiskRecord& record = records[i];
        record.name = DiskName(d.info);
        record.path = d.info.uri;
        record.lun = d.info.unitNumber;
        record.osDisk = d.info.isOsDisk;
        record.capacity = d.capacity;
        record.imageBytes = d.imageBytes;
        record.changeId = d.info.changeId;
        record.image = d.imageName;
        record.extents = d.extents;
        record.bytesRead = d.bytesRead;
        record.parentJob = d.parentJob;
        std::vector<ChainLink> links;
        const DiskRecord* parent = nullptr;
        if (d.parentJob) {
            auto previous = std::find_if(s.parent->disks.begin(), s.parent->disks.end(),
                                         [&](const DiskRecord& p) { return p.name == record.name; });
            links = store_.chain(*s.parent, static_cast<std::size_t>(previous - s.parent->disks.begin()));
            parent = &*previous;
        }
        links.push_back({s.jobId, d.image->path(), d.extents});
        digests.emplace_back([&d, &record] {
            d.image->sync();
            record.dataSha256 = HashExtents(*d.image, d.extents);
        });
        digests.emplace_back([&record, parent, links = std::move(links)] {
            auto [base, touched] = DigestPlan(record, parent);
            record.digest = UpdateDigest(ChainReader(links, record.imageBytes), std::move(base), touched);
        });
        m.bytesRead += d.bytesRead;
        if (d.parentJob) m.incremental = true;
    }
    RunTasks(digests, threads);
    m.disks = std::move(records);
    m.jobId = s.jobId;
    m.vmName = s.vm.name;
    m.vmGuid = s.vm.guid;
    m.resourceGroup = s.vm.resourceGroup;
    if (m.incremental) m.parentJob = s.parent->jobId;
    m.referencePoint = s.ctx.referencePoint;
    m.cbtStatus = s.ctx.cbtStatusText;
}

bool BackupJob::postBackup(Session& s) {
    if (cancelled_()) return fail(s, "PostBackupVM");
    s.step = "PostBackupVM";
    return plugin_.PostBackupVM(s.ctx) == 1 || fail(s, "PostBackupVM");
}

bool BackupJob::unmount(Session& s) {
    s.step = "UnmountVM";
    const bool unmounted = guard(s, [&] { return plugin_.UnmountVM(s.ctx) == 1 || fail(s, "UnmountVM"); });
    std::error_code ec;
    fs::remove_all(fs::path(s.folder) / "mount", ec);
    fs::remove_all(fs::path(s.folder) / "metadata", ec);
    return unmounted;
}

// This job's set is now the VM's reference; the one the previous job left is no
// one's base any more. Removing it is left to the expiry sweep when the settings
// say backup snapshots are not to be deleted.
void BackupJob::retirePreviousSet(Session& s) {
    bool keepSnapshots = false;
    NXPlatformInfo::getBoolean("VirtualServer", "bSkipDeleteSnapshotsForAzure", &keepSnapshots);
    if (!s.previous || keepSnapshots) return;
    std::string problem;
    if (!RemoveSnapshotSet(plugin_, *s.previous, problem))
        s.result.notes.push_back("the reference snapshot set of job " + std::to_string(s.previous->jobId) +
                                 " was not removed: " + problem);
}

// The job becomes a backup: the previous reference set retired, then the manifest.
bool BackupJob::keep(Session& s, int threads) {
    retirePreviousSet(s);
    s.step = "store";
    return guard(s, [&] {
        recordDisks(s, threads);
        s.result.manifest.finishedAt = UtcNow();
        s.result.manifest.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - s.start).count();
        store_.commit(s.folder, s.result.manifest);
        s.result.ok = true;
        return true;
    });
}

// A job that failed leaves nothing: not its snapshot set, should the plugin have
// kept it, nor its folder. When the set cannot be removed the folder stays, with
// the record that names the set, for a later run to clean up.
void BackupJob::abandon(Session& s) {
    std::string problem;
    if (!RemoveSnapshotSet(plugin_, s.record, problem)) {
        s.result.notes.push_back(problem);
        return;
    }
    if (!s.folder.empty()) store_.discard(s.folder);
}

BackupResult BackupJob::run(const BackupRequest& request, long long jobId) {
    Session s;
    s.jobId = jobId;
    s.ctx.isFailback = request.failback;
    s.start = std::chrono::steady_clock::now();
    s.result.manifest.startedAt = UtcNow();
    if (!(prepare(request, s) && backUp(s, request) && keep(s, request.threads))) abandon(s);
    return s.result;
}

}  // namespace vsagent
