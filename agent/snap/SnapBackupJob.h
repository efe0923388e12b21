// One snapshot-engine job of the agent: every VM of the job snapped together
// through the plugin, in the host's order: PreSnap (which takes the snapshots
// through the installed engine), for each VM MountVM, GetFullMountInfo (which
// writes the VM's configuration files) and GetMetadataFiles, then PostSnap and
// the upload of the metadata files into the catalog's index cache. A VM-centric
// job has no PreSnap: each VM is snapped at its mount, under a child job of its
// own with its own archive file.
//
// The job record (SnapJobRecord.h) is written before the plugin is asked for
// anything that makes something. A job of which no VM was snapped undoes what it
// made; the killed jobs of the store are undone before a job starts.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "agent/host/AgentCloud.h"
#include "agent/job/JobOutcome.h"
#include "agent/snap/SnapJobRecord.h"
#include "agent/store/BackupStore.h"
#include "host/vminfo/IVMInfo.h"

namespace vsagent {

struct SnapBackupRequest {
    std::vector<std::string> vmNames;
    bool vmCentric = false;
};

struct SnapBackupResult : JobOutcome {
    SnapJobRecord record;             // each VM's outcome
    std::vector<std::string> notes;   // clean-up done on the way
};

class SnapBackupJob {
public:
    // `credentials`: those with which the job's snapshots are found again in the cloud; `progress`
    // receives one line per step.
    SnapBackupJob(IVMInfo& plugin, BackupStore& store, CloudCredentials credentials, std::function<bool()> cancelled,
                  std::function<void(const std::string&)> progress);
    // `jobId` comes from store.nextJobId() and was set as the job identity before the plugin was created.
    SnapBackupResult run(const SnapBackupRequest& request, long long jobId);

private:
    struct Session;
    bool lookUpVms(const SnapBackupRequest& request, Session& s);
    void start(const SnapBackupRequest& request, Session& s);
    bool snap(Session& s);
    void finishVm(Session& s, SnapVmOutcome& vm);
    bool finish(Session& s);
    void undo(Session& s);
    bool fail(Session& s, const std::string& step);

    IVMInfo& plugin_;
    BackupStore& store_;
    CloudCredentials credentials_;
    std::function<bool()> cancelled_;
    std::function<void(const std::string&)> progress_;
};

}  // namespace vsagent
