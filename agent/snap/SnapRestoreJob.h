// One revert or restore of a VM from the snapshots a snapshot-engine job took,
// through the plugin's revert slot: it finds the VM in the job's metadata, points
// the disks at their snapshots, and runs the restore phases with the disks created
// straight from the snapshots; no data goes through the store. A revert puts the VM
// back in place (same name and group, the VM replaced); a restore builds a new VM,
// or with overwrite replaces the VM of the name it is given. The VM's disks, size
// and placement come from the VM's record in the snap job's metadata and the
// configuration file the snap job kept, never from the VM as it is now.
//
// The job works in a folder of its own with a record (SnapRestoreRecord.h) written
// before it asks the plugin to create anything; everything it creates carries its
// GUID. A job that fails has what it made removed; one that was killed is undone
// by the next revert or restore (SnapRestoreCleanup.h). The source VM's disks and
// the snap job's snapshots are never removed.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "agent/host/AgentHost.h"
#include "agent/job/JobOutcome.h"
#include "agent/store/BackupStore.h"
#include "host/vminfo/IVMInfo.h"

namespace vsagent {

struct SnapRestoreRequest {
    long long snapJobId = 0;
    std::string vmName;               // the VM as the snap job named it
    bool revert = false;              // in place, replacing the VM
    std::string newName;              // restore: the VM's name; empty: the source VM's
    std::string resourceGroup;        // restore: empty: the source VM's
    std::optional<bool> managed;      // restore: none: as the source VM was
    bool overwrite = false;           // restore: replace a VM of the name
    bool powerOn = true;
};

struct SnapRestoreResult : JobOutcome {
    long long jobId = 0;
    std::string vmName;
    std::string resourceGroup;
    std::string vmGuid;
    std::string snapshotGuid;         // the snapshot set the VM was built from
    bool managed = false;
    bool inPlace = false;
    std::vector<std::string> disks;   // the disks of the VM built, the OS disk first
    std::vector<std::string> failures;  // job failure entries the plugin recorded (the job still succeeded)
    std::vector<std::string> notes;
    bool cleanupIncomplete = false;   // the job failed and not everything it made could be removed
    std::string leftForLater;         // then: what is left, for the next run to remove
};

class SnapRestoreJob {
public:
    // `watch` is told of the plugin object while the job runs (null when done); `progress`
    // receives one line per step.
    SnapRestoreJob(AgentHost& host, BackupStore& store, std::function<bool()> cancelled,
                   std::function<void(IVMInfo*)> watch, std::function<void(const std::string&)> progress);
    SnapRestoreResult run(const SnapRestoreRequest& request);

private:
    struct Session;
    bool openSnapJob(const SnapRestoreRequest& request, Session& s);
    bool connect(Session& s);
    bool readVm(const SnapRestoreRequest& request, Session& s);
    bool stageVmFiles(Session& s);
    bool buildContexts(const SnapRestoreRequest& request, Session& s);
    void addDisks(Session& s);
    bool revert(Session& s);
    void noteDetachedDisks(Session& s);
    void finish(Session& s);
    bool refuse(Session& s, const std::string& step, int code, const std::string& why);
    bool fail(Session& s, const std::string& step);

    AgentHost& host_;
    BackupStore& store_;
    std::function<bool()> cancelled_;
    std::function<void(IVMInfo*)> watch_;
    std::function<void(const std::string&)> progress_;
};

}  // namespace vsagent
