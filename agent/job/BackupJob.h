// One backup job of a VM through the plugin, in the host's order: MountVM,
// GetFullMountInfo, for every disk OpenVmdk / GetVmdkCapacity / GetVmdkExtents,
// the reads (on a pool of threads across all disks), CloseVmdk, the
// configuration files of the mount folder, PostBackupVM, UnmountVM. The job
// lands in the backup store; its manifest is written only when all of it
// succeeded. A job is incremental when the store holds a previous backup of the
// VM with a reference point (and a full one was not asked for).
//
// Before it starts, the job undoes the dead jobs of the VM (see JobCleanup.h).
// It records its snapshot set in its job record (JobRecord.h) as soon as the
// mount has made it. A job that fails removes that set, should the plugin have
// kept it, and its folder. A job that succeeds leaves its set as the VM's one
// reference: the set of the VM's previous job is then removed (post-backup has
// done so for an incremental job, nothing has for a full one).
#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "agent/job/JobOutcome.h"
#include "agent/store/BackupStore.h"
#include "host/vminfo/IVMInfo.h"

namespace vsagent {

// The snapshot of an earlier snapshot-engine job that a copy job reads instead of making a
// snapshot set of its own. A copy is always a full backup that no later backup builds on.
struct SnapCopySource {
    long long snapJobId = 0;
    SVMInfo vm;                  // the VM as the snapshot-engine job's metadata recorded it
    // A job that ran VM by VM snapped the VM under a child job of its own; `vmFolder` holds the
    // VM's catalog and configuration files. Both stay empty for a job that snapped its VMs together.
    long long vmJobId = 0;
    std::string vmFolder;
};

struct BackupRequest {
    std::string vmName;
    std::string resourceGroup;   // empty: the VM's name is enough
    bool forceFull = false;
    bool failback = false;       // the VM is a replication's standby: its disks go by their replication GUIDs
    int threads = 0;             // reader threads; 0: tuned while the job runs (ParallelReader.h)
    bool showProgress = false;
    std::optional<SnapCopySource> snapCopy;
};

struct BackupResult : JobOutcome {
    Manifest manifest;           // filled when ok
    std::uint64_t reads = 0;
    std::uint64_t plannedBytes = 0;
    std::uint64_t allocatedBytes = 0;  // extents as the plugin returned them, before merging
    double readSeconds = 0;            // time spent reading the disks
    std::vector<std::string> notes;    // clean-up done or left undone on the way, one line each
};

class BackupJob {
public:
    // `cancelled` reports the host's cancel state.
    BackupJob(IVMInfo& plugin, BackupStore& store, std::function<bool()> cancelled);
    // `jobId` comes from store.nextJobId() and was set as the job identity before the plugin was created.
    BackupResult run(const BackupRequest& request, long long jobId);

private:
    struct Disk;
    struct Session;
    bool prepare(const BackupRequest& request, Session& s);
    bool lookUpVm(const BackupRequest& request, Session& s);
    bool backUp(Session& s, const BackupRequest& request);
    bool mount(Session& s);
    bool recordSnapshotSet(Session& s);
    bool openDisks(Session& s);
    bool readDisks(Session& s, const BackupRequest& request);
    void closeDisks(Session& s);
    bool keepFiles(Session& s);
    bool postBackup(Session& s);
    bool unmount(Session& s);
    bool keep(Session& s, int threads);
    void retirePreviousSet(Session& s);
    void recordDisks(Session& s, int threads);
    void abandon(Session& s);
    bool guard(Session& s, const std::function<bool()>& step);
    bool fail(Session& s, const std::string& step);

    IVMInfo& plugin_;
    BackupStore& store_;
    std::function<bool()> cancelled_;
};

}  // namespace vsagent
