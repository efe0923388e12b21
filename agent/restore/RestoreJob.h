// One restore of a backed-up VM as a VM in the cloud (or of some of its disks,
// attached to a VM that exists), through the plugin, in the
// host's order: InitRestoreVM (checks, disk names), for every disk CreateVmdk,
// the writes (on a pool of threads across all disks) and CloseVmdk, then
// PreRestoreVM, RestoreVM and PostRestoreVM. Each disk is written from the chain
// of the chosen job: only the ranges some job of the chain stored, since a new
// disk reads as zeros, so the cost follows the stored bytes, not the capacity.
//
// The job works in its own folder of the store (RestoreRecord.h), where the
// configuration files of the backup are staged for the plugin and where it keeps
// the record of what it is about to create. A job that fails or is cancelled has
// the plugin undo what it made (CleanupRestoreVM) and keeps its record, through
// which the caller then removes, under the job's GUID, whatever of it is left
// (RestoreCleanup.h); a record whose removal fails, or of a job that was killed,
// is undone by the next restore run.
//
// Every window of 4 MiB a disk is written from is read whole from the chain and
// hashed on the writer thread before its bytes go out; a window whose digest is
// not the one the backup recorded fails the job before the VM is deployed.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "agent/job/JobOutcome.h"
#include "agent/job/ReadPlan.h"
#include "agent/store/BackupStore.h"
#include "host/vminfo/IVMInfo.h"

namespace vsagent {

struct RestoreRequest {
    long long jobId = 0;              // the backup job to restore
    std::string attachTo;             // set: the disks are attached to this existing VM instead of making a VM
    std::vector<std::size_t> diskIndexes;  // the job's disks to restore (indexes); empty: all
    std::string vmName;               // empty: the backed-up VM's name (a new VM only)
    std::string resourceGroup;        // empty: the backed-up VM's group
    std::string region;               // empty: the group's region
    std::string vmSize;               // empty: the backed-up VM's size when the region offers it
    std::optional<bool> managed;      // none: as the backed-up VM was
    bool directUpload = false;        // managed disks written directly (the plugin's setting must agree)
    std::string storage;              // "account" or "account\container"; empty: chosen for the region
    std::string zones;                // empty: as the backed-up VM (Auto)
    std::string network;              // virtual network of the NIC; empty: the first one of the region
    std::string subnet;
    bool publicIp = false;
    bool powerOn = true;
    bool overwrite = false;
    int threads = 0;                  // writer threads; 0: tuned while the job runs
    bool showProgress = false;
    // A replication run (restore kind 4) onto the standby kept as page blobs in `storage`: no
    // VM is deployed, and a failed run leaves the destination for the next run (no clean-up).
    bool replicate = false;
};

struct RestoredDisk {
    std::string backupName;           // the disk's name in the backup
    std::string restoredName;         // the blob or managed disk it became
    std::string storageAccount;
    int lun = 0;
    bool osDisk = false;
    std::uint64_t bytes = 0;          // the disk's size in the cloud (blob bytes)
    std::uint64_t written = 0;        // bytes the job wrote
};

struct RestoreResult : JobOutcome {
    std::string vmName;
    std::string vmGuid;
    std::string resourceGroup;
    std::string vmSize;
    std::string zones;
    std::vector<RestoredDisk> disks;
    std::vector<std::string> failures;  // job failure entries the plugin recorded (the job still succeeded)
    bool attached = false;              // the disks went to an existing VM
    bool managed = false;               // the VM uses managed disks (page blobs were only staged for them)
    std::uint64_t writes = 0;
    std::uint64_t bytesWritten = 0;
    double writeSeconds = 0;
    int writerThreads = 0;              // the most writer threads that ran at once
    bool checked = true;                // every window written was checked against the backup's digests
    bool recordKept = false;            // the job failed after naming what it creates: its record stays
                                        // for UndoRestoreFolder (RestoreCleanup.h) to check that nothing is left
    bool cleanupIncomplete = false;     // the job failed and not everything it made could be removed
    std::string leftForLater;           // then: what its record lists, for the next run to remove
    std::vector<std::string> notes;
};

class RestoreJob {
public:
    // `cancelled` reports the host's cancel state.
    RestoreJob(IVMInfo& plugin, BackupStore& store, std::function<bool()> cancelled);
    // `restoreJobId` comes from store.nextJobId(); it and `jobGuid`, the mark of what the job
    // creates, were set as the job identity before the plugin was created.
    RestoreResult run(const RestoreRequest& request, long long restoreJobId, const std::string& jobGuid);

private:
    struct Session;
    bool prepare(const RestoreRequest& request, Session& s);
    bool stageFiles(Session& s);
    bool buildContext(const RestoreRequest& request, Session& s);
    bool chooseTarget(const RestoreRequest& request, Session& s);
    void addDisks(const RestoreRequest& request, Session& s, const std::string& placement);
    bool init(Session& s);
    bool createDisks(Session& s);
    bool writeDisks(Session& s, const RestoreRequest& request);
    void closeDisks(Session& s);
    bool deploy(Session& s);
    void reportDisks(Session& s);
    void finish(Session& s, bool ok);
    void record(Session& s);
    bool guard(Session& s, const std::function<bool()>& step);
    bool fail(Session& s, const std::string& step);
    bool refuse(Session& s, const std::string& step, const std::string& why);
    bool writeWindow(Session& s, const PlannedRead& r, unsigned char* buffer);
    void noteSize(const RestoreRequest& request, Session& s);

    IVMInfo& plugin_;
    BackupStore& store_;
    std::function<bool()> cancelled_;
};

}  // namespace vsagent
