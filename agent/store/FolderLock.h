// An advisory lock (flock) on a folder of the store, held while the object lives.
// A job holds its own folder's lock exclusively while it runs; backups hold their
// VM folder's lock shared while they read and extend the VM's chain of jobs, and
// prune holds it exclusively while it rewrites that chain.
#pragma once

#include <optional>
#include <string>

namespace vsagent {

class FolderLock {
public:
    enum class Mode { Shared, Exclusive };

    // Waits for the lock; throws StoreError when the folder cannot be opened.
    static FolderLock Hold(const std::string& folder, Mode mode);
    // The lock when no one else holds a conflicting one; none otherwise (or when the folder cannot be opened).
    static std::optional<FolderLock> Try(const std::string& folder, Mode mode);

    FolderLock(FolderLock&& other) noexcept;
    FolderLock& operator=(FolderLock&& other) noexcept;
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    ~FolderLock();

private:
    explicit FolderLock(int fd) : fd_(fd) {}
    int fd_ = -1;
};

}  // namespace vsagent
