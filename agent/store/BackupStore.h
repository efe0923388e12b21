// The backup store: a folder with one sub-folder per VM and, in it, one folder
// per job ("job-<id>") holding the job's sparse disk images, the VM's
// configuration files ("files/") and, written last and atomically, its
// manifest. Job ids come from a sequence file at the store's root.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "agent/store/FolderLock.h"
#include "agent/store/Manifest.h"

namespace vsagent {

// One job's contribution to a disk as of some later job: its image and the extents stored there.
struct ChainLink {
    long long jobId = 0;
    std::string imagePath;
    ExtentList extents;
};

class BackupStore {
public:
    explicit BackupStore(std::string root);
    // A store that must already be there, for commands that only read one; throws
    // StoreError naming `root` when it is missing or not a folder.
    static BackupStore OpenExisting(const std::string& root);
    const std::string& root() const { return root_; }

    // Takes the next job id of the store (1, 2, ...), safely across processes.
    long long nextJobId();
    // Creates the folder of a new job and returns its path; refuses a folder that exists.
    std::string createJobFolder(const std::string& vmName, long long jobId);
    std::string jobFolder(const std::string& vmName, long long jobId) const;
    std::string vmFolder(const std::string& vmName) const;
    // The lock of a VM's folder, which is made when missing (see FolderLock.h): waits for it when `wait`, else none when it is held.
    std::optional<FolderLock> lockVm(const std::string& vmName, FolderLock::Mode mode, bool wait) const;
    // Writes the manifest into the job folder: a temporary file, flushed, renamed into place.
    void commit(const std::string& folder, const Manifest& manifest);
    // Removes what a failed or cancelled job left.
    void discard(const std::string& folder);

    // Complete jobs, oldest first. A manifest that fails its checks (see
    // Manifest::FromJson; also its folder and image sizes) throws StoreError.
    std::vector<Manifest> jobs() const;
    // Folders of jobs that never completed.
    std::vector<std::string> incompleteJobs() const;
    std::optional<Manifest> job(long long jobId) const;
    // The newest complete job of a VM (matched by name, and by resource group when given).
    std::optional<Manifest> latestJob(const std::string& vmName, const std::string& resourceGroup) const;
    // The images that make up disk `disk` of `job`, oldest first (the full read, then each incremental).
    std::vector<ChainLink> chain(const Manifest& job, std::size_t disk) const;

private:
    std::string root_;
};

// The bytes a file, or a folder and everything in it, takes on its file system
// (holes of sparse files take none); 0 for what is not there.
std::uint64_t AllocatedBytes(const std::string& path);

}  // namespace vsagent
