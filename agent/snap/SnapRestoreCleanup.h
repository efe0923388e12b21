// Undoing what reverts and restores from snapshots left in the cloud: jobs that
// were killed, and jobs whose own clean-up failed. What such a job made is found
// by its mark (the job GUID every resource it creates carries) and removed through
// the SDK wrapper opened under that job's identity, which again removes only what
// carries the mark. The source VM's own disks, as the snap job recorded them, are
// never removed, even when the job marked them (a revert may rewrite a page blob in
// place): a VM of the job that uses one is deleted with its disks kept.
#pragma once

#include <string>
#include <vector>

#include "agent/host/AgentCloud.h"
#include "agent/restore/RestoreCleanup.h"
#include "agent/snap/SnapRestoreRecord.h"

namespace vsagent {

// What carries a job's mark in the subscription, but for the source VM's disks.
struct MarkedLeftovers {
    struct Vm {
        std::string name;
        std::string guid;
        std::string resourceGroup;
        bool usesSourceDisk = false;
    };
    std::vector<Vm> vms;
    std::vector<std::string> managedDiskIds;
    std::vector<std::string> pageBlobUrls;

    bool empty() const { return vms.empty() && managedDiskIds.empty() && pageBlobUrls.empty(); }
    std::string text() const;  // "VM [a], managed disk [id], page blob [url]"
};

// Asks the subscription `credentials` sign in to. Throws when it cannot be read.
MarkedLeftovers LeftoversOf(const CloudCredentials& credentials, const SnapRestoreRecord& record);

// The source VM's disks of `record` that exist and no VM uses (what a revert left of the VM
// it replaced). Throws when the subscription cannot be read.
std::vector<std::string> DetachedSourceDisks(const CloudCredentials& credentials, const SnapRestoreRecord& record);

// Removes what job `record` left; false with `problem` set when something of it stays.
bool UndoSnapRestore(const SnapRestoreRecord& record, const CloudCredentials& credentials, std::string& problem);

// Undoes the ended job of work folder `folder` and removes the folder when nothing it made is
// left; the outcome's line is empty for a job that still runs.
UndoOutcome UndoSnapRestoreFolder(const std::string& folder, const CloudCredentials& credentials);

// One line per ended job of the store that was undone, or that keeps its record for a later run.
std::vector<std::string> UndoDeadSnapRestores(const std::string& storeRoot, const CloudCredentials& credentials);

}  // namespace vsagent
