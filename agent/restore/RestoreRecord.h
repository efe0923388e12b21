// What a restore job is about to make in the cloud, kept as "restore-record.json"
// in its work folder ("<store>/.restore-jobs/restore-<id>"). The job writes it
// before each thing it asks the plugin to create (the disks once their names are
// chosen, the VM before the deployment, the VM's GUID after it), so that what a
// killed restore left can be undone by a later run. Everything the job creates
// carries its GUID as its mark, so that run removes only what is provably the
// job's own. The folder, with the record, goes when the job ends and nothing it
// lists is left; a job whose clean-up failed keeps it for the next run.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vsagent {

// A disk the job creates: a page blob or a managed disk of the restored name.
struct RestoreTarget {
    std::string name;
    std::string storageAccount;  // "account" or "account\container"; empty for a managed disk written directly
    bool managedDisk = false;
};

struct RestoreRecord {
    long long jobId = 0;
    std::string jobGuid;         // the mark of what the job creates; made when the job starts
    std::string vmName;
    std::string resourceGroup;
    bool managedVm = true;
    bool attach = false;         // disks for an existing VM (vmName): the VM is never the job's
    bool deploying = false;      // the deployment (or the attach) was asked for
    std::string vmGuid;          // what the deployment returned
    std::vector<RestoreTarget> disks;

    // Written atomically. Throws StoreError.
    void write(const std::string& folder) const;
    // The record of work folder `folder`; none when there is none or it is not a
    // well-formed record of that folder's job (a record of an older format, which
    // marked resources with the job number only, is not one).
    static std::optional<RestoreRecord> Read(const std::string& folder);
};

// "<store>/.restore-jobs": the work folders of restore jobs; never a VM's folder,
// since the store's readers only look at "job-<id>" folders inside VM folders.
std::string RestoreJobsFolder(const std::string& storeRoot);
std::string RestoreJobFolder(const std::string& storeRoot, long long jobId);

}  // namespace vsagent
