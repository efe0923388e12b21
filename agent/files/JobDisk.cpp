#include "agent/files/JobDisk.h"

#include <algorithm>

#include "agent/store/AlignedBuffer.h"
#include "agent/store/Sha256.h"
#include "agent/store/WindowDigest.h"

namespace vsagent {
namespace {

const DiskRecord& DiskOf(const Manifest& job, std::size_t disk) {
    if (disk >= job.disks.size())
        throw StoreError("job " + std::to_string(job.jobId) + " has " + std::to_string(job.disks.size()) +
                         " disks; there is no disk " + std::to_string(disk));
    return job.disks[disk];
}

}  // namespace

JobDisk::JobDisk(const BackupStore& store, const Manifest& job, std::size_t disk)
    : record_(DiskOf(job, disk)), jobId_(job.jobId), reader_(store.chain(job, disk), record_.imageBytes) {
    if (record_.digest) {
        verified_.assign(record_.digest->windowCount(), false);
        return;
    }
    if (HashDisk(reader_) != record_.sha256)
        throw StoreError("disk " + std::to_string(disk) + " [" + record_.name + "] of job " + std::to_string(jobId_) +
                         " does not match its recorded digest: the store is damaged");
    verified_.assign(1, true);
}

void JobDisk::verifyWindow(std::uint64_t index) const {
    const DiskDigest& digest = *record_.digest;
    const Extent window = digest.window(index);
    AlignedBuffer buffer = MakeAlignedBuffer(static_cast<std::size_t>(window.length));
    reader_.read(window.start, static_cast<std::size_t>(window.length), buffer.get());
    Sha256 sha;
    sha.update(buffer.get(), static_cast<std::size_t>(window.length));
    if (sha.hex() != digest.windowDigest(index))
        throw StoreError("disk [" + record_.name + "] of job " + std::to_string(jobId_) + ": bytes " +
                         std::to_string(window.start) + "-" + std::to_string(window.end() - 1) +
                         " do not match their recorded digest: the store is damaged");
}

void JobDisk::read(std::uint64_t offset, std::size_t length, unsigned char* out) const {
    if (offset > size() || length > size() - offset)
        throw StoreError("read of " + std::to_string(length) + " bytes at " + std::to_string(offset) +
                         " lies beyond disk [" + record_.name + "] of " + std::to_string(size()) + " bytes");
    if (length == 0) return;
    if (record_.digest) {
        const std::uint64_t first = offset / DiskDigest::kWindowBytes;
        const std::uint64_t last = (offset + length - 1) / DiskDigest::kWindowBytes;
        for (std::uint64_t index = first; index <= last; ++index) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (verified_[index]) continue;
            }
            verifyWindow(index);
            std::lock_guard<std::mutex> lock(mutex_);
            verified_[index] = true;
        }
    }
    reader_.read(offset, length, out);
}

}  // namespace vsagent
