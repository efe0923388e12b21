// Blob data of a simulated subscription: page blobs (disks), their snapshots,
// and block blobs (configuration text), kept under one root folder.
//
// Page blobs are stored as sparse files next to a small metadata file that
// records the blob's size, its allocated pages and, per page, the generation
// of the last write or clear. A snapshot freezes both; later writes to the blob
// never change it. Taking one costs no copy: the snapshot shares the blob's data
// file until the blob's next change gives the blob a copy of its own. Page
// ranges are exact at 512-byte pages, sorted and merged, with exclusive ends. A
// diff between two versions lists every page written or cleared after the older
// version was taken (as the cloud does: a write that restores the old bytes is
// still a change).
//
// Several processes may use one root at once (an agent serving reads while a
// tool simulates guest writes): every mutation of a blob holds an exclusive
// lock on that blob's metadata, readers a shared one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace azsim {

struct BlobKey {
    std::string account;
    std::string container;
    std::string name;
    bool operator==(const BlobKey& o) const {
        return account == o.account && container == o.container && name == o.name;
    }
};

// A page range in bytes: [start, end), both multiples of 512.
struct PageRange {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    bool operator==(const PageRange& o) const { return start == o.start && end == o.end; }
};

// Changed pages between two versions: written (with data) and cleared.
struct PageRangeDiff {
    std::vector<PageRange> written;
    std::vector<PageRange> cleared;
};

enum class BlobType { Page, Block };

struct BlobProperties {
    BlobType type = BlobType::Page;
    std::uint64_t size = 0;
    std::string etag;          // changes with every write
    std::int64_t lastModified = 0;  // seconds since the epoch
};

class PageBlobStore {
public:
    static constexpr std::uint64_t kPageSize = 512;

    explicit PageBlobStore(std::string rootDir);
    const std::string& root() const { return root_; }

    // Lifecycle. `snapshot` names a snapshot; empty means the blob itself.
    // Creates an empty (all-zero, unallocated) page blob; replaces an existing one when `overwrite`.
    bool createPageBlob(const BlobKey& key, std::uint64_t sizeBytes, bool overwrite, std::string* error);
    bool putBlockBlob(const BlobKey& key, const std::string& content, std::string* error);
    bool getBlockBlob(const BlobKey& key, std::string& content) const;
    bool exists(const BlobKey& key, const std::string& snapshot = std::string()) const;
    bool properties(const BlobKey& key, const std::string& snapshot, BlobProperties& out) const;
    // Deletes the blob and all of its snapshots.
    bool deleteBlob(const BlobKey& key);
    bool deleteSnapshot(const BlobKey& key, const std::string& snapshot);
    // Snapshot ids of the blob, oldest first.
    std::vector<std::string> snapshots(const BlobKey& key) const;
    // Blobs of a container (empty container: of every container of the account), sorted by name.
    std::vector<BlobKey> list(const std::string& account, const std::string& container) const;

    // Freezes the blob's current content; returns the snapshot id, a UTC time in the
    // cloud's form "2026-12-06T07:31:12.1234567Z", unique per blob. Empty on failure.
    std::string createSnapshot(const BlobKey& key, std::string* error);
    // Copies a blob or snapshot (data, allocation) to a new page blob `to`, replacing it. The two
    // share their data until either one's pages change.
    bool copyBlob(const BlobKey& from, const std::string& fromSnapshot, const BlobKey& to, std::string* error);

    // Data. Offsets and lengths of writes and clears must be multiples of 512 and inside the blob.
    bool writePages(const BlobKey& key, std::uint64_t offset, const void* data, std::uint64_t length,
                    std::string* error);
    bool clearPages(const BlobKey& key, std::uint64_t offset, std::uint64_t length, std::string* error);
    // Reads up to `length` bytes at `offset` (clamped at the size); unallocated pages read as zeros.
    // Returns the bytes read, or -1 when the blob or snapshot does not exist.
    std::int64_t read(const BlobKey& key, const std::string& snapshot, std::uint64_t offset, void* out,
                      std::uint64_t length) const;
    // Path of the sparse data file of a version, for servers that send file bytes directly.
    std::string dataPath(const BlobKey& key, const std::string& snapshot) const;

    // Allocated pages of a version within [offset, offset + length).
    bool pageRanges(const BlobKey& key, const std::string& snapshot, std::uint64_t offset, std::uint64_t length,
                    std::vector<PageRange>& out) const;
    // Pages changed in `snapshot` (empty: the blob itself) since `previousSnapshot` was taken.
    // Fails when either version is missing or the previous one is not older.
    bool pageRangesDiff(const BlobKey& key, const std::string& snapshot, const std::string& previousSnapshot,
                        PageRangeDiff& out) const;

private:
    std::string root_;
};

}  // namespace azsim
