// One disk of one backup job as a random-access, read-only device. The bytes
// come from the job's chain of images (each range from the newest job that
// stored it, zeros where none did) and are served only once the 4 MiB window
// they lie in has been hashed and found equal to the digest the job recorded,
// so a damaged store is reported, never served. A read costs the windows it
// touches, each hashed once, whatever the size of the disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "agent/files/ByteSource.h"
#include "agent/store/BackupStore.h"
#include "agent/store/ChainReader.h"

namespace vsagent {

class JobDisk : public ByteSource {
public:
    // Disk `disk` of `job`; throws StoreError when the job has no such disk. A job
    // recorded with one digest of the whole disk is checked whole here, once.
    JobDisk(const BackupStore& store, const Manifest& job, std::size_t disk);

    std::uint64_t size() const override { return reader_.size(); }
    const DiskRecord& record() const { return record_; }
    // Fills `out` with `length` bytes from `offset`; throws StoreError for a range
    // beyond the disk or a window whose bytes differ from the recorded digest.
    // May be called from several threads at once.
    void read(std::uint64_t offset, std::size_t length, unsigned char* out) const override;

private:
    void verifyWindow(std::uint64_t index) const;

    DiskRecord record_;
    long long jobId_;
    ChainReader reader_;
    mutable std::mutex mutex_;
    mutable std::vector<bool> verified_;  // per window; guarded by mutex_
};

}  // namespace vsagent
