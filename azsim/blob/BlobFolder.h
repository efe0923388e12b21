// Where a blob lives under the store's root, and the lock that guards it.
//
// Layout: <root>/blobs/<account>/<container>/<name>/ holds
//   lock      flock target (exclusive for mutations, shared for reads)
//   meta      the blob's state, replaced atomically
//   journal   writes and clears since the state was last rewritten
//   data      the blob's bytes (a sparse file for page blobs)
//   snapshots/<id>.meta, snapshots/<id>.data   one pair per snapshot
// Every name is escaped into a single safe path component, so no blob name
// (slashes, "..", percent signs, spaces) can reach outside its folder.
#pragma once

#include <string>

#include "azsim/blob/PageBlobStore.h"

namespace azsim::blob {

// One path component: letters, digits, '-' and '_' kept, every other byte as
// %XX; names too long for the file system become a digest.
std::string escapeComponent(const std::string& name);
bool validKey(const BlobKey& key);

class BlobFolder {
public:
    BlobFolder(const std::string& root, const BlobKey& key);
    static std::string accountDir(const std::string& root, const std::string& account);
    static std::string stagingDir(const std::string& root);

    const std::string& dir() const { return dir_; }
    std::string lockPath() const { return dir_ + "/lock"; }
    std::string metaPath() const { return dir_ + "/meta"; }
    std::string journalPath() const { return dir_ + "/journal"; }
    std::string snapshotsDir() const { return dir_ + "/snapshots"; }
    // Metadata and data of a version; `snapshot` must be a valid snapshot id or empty.
    std::string metaPath(const std::string& snapshot) const;
    std::string dataPath(const std::string& snapshot) const;

private:
    std::string dir_;
};

// flock on a blob folder's lock file. A deleted blob unlinks its lock file while
// holding it; whoever was waiting sees the path no longer names the file it
// locked and starts over, so nobody works on a removed folder.
class BlobLock {
public:
    enum class Mode { Shared, Exclusive };
    BlobLock() = default;
    ~BlobLock();
    BlobLock(const BlobLock&) = delete;
    BlobLock& operator=(const BlobLock&) = delete;

    // With `create`, makes the folder first; otherwise false, with no error text, when the blob is absent.
    bool acquire(const BlobFolder& folder, Mode mode, bool create, std::string* error);
    // Removes the lock file (and then the empty folder) while still holding the lock.
    void removeFolder(const BlobFolder& folder);

private:
    int fd_ = -1;
};

}  // namespace azsim::blob
