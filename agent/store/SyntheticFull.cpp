#include "agent/store/SyntheticFull.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "agent/store/AlignedBuffer.h"
#include "agent/store/ChainReader.h"
#include "agent/store/Sha256.h"
#include "agent/store/SparseImage.h"
#include "agent/store/WindowDigest.h"

namespace fs = std::filesystem;

namespace vsagent {

namespace {

// Copies the windows that hold data from the chain into `image`; returns the
// windowed digest of what it copied and feeds the bytes of `data` to `dataSha`, in order.
DiskDigest CopyData(const ChainReader& reader, const ExtentList& data, SparseImage& image, Sha256& dataSha,
                    const StopRequested& stop) {
    DiskDigest digest;
    digest.diskBytes = reader.size();
    AlignedBuffer buffer = MakeAlignedBuffer(DiskDigest::kWindowBytes);
    std::size_t next = 0;  // the first extent not yet fed to dataSha in full
    for (std::uint64_t w : TouchedWindows(data)) {
        StopPoint(stop);
        const Extent range = digest.window(w);
        const std::size_t length = static_cast<std::size_t>(range.length);
        reader.read(range.start, length, buffer.get());
        image.write(range.start, buffer.get(), length);
        for (; next < data.size() && data[next].start < range.end(); ++next) {
            const std::uint64_t from = std::max(data[next].start, range.start);
            const std::uint64_t to = std::min(data[next].end(), range.end());
            dataSha.update(buffer.get() + (from - range.start), static_cast<std::size_t>(to - from));
            if (data[next].end() > range.end()) break;  // the rest of it lies in the next window
        }
        Sha256 sha;
        sha.update(buffer.get(), length);
        digest.setWindow(w, sha.hex());
    }
    return digest;
}

// Throws when the rebuilt disk is not the disk the job recorded.
void CheckRebuilt(const DiskRecord& record, const DiskDigest& copied, const ChainLink& rebuilt, long long jobId,
                  const StopRequested& stop) {
    const std::string disk = "job " + std::to_string(jobId) + ", disk [" + record.name + "]";
    if (record.digest) {
        for (std::uint64_t w = 0; w < copied.windowCount(); ++w) {
            if (copied.windowDigest(w) == record.digest->windowDigest(w)) continue;
            const Extent range = copied.window(w);
            throw StoreError(disk + ": window " + std::to_string(w) + " (bytes " + std::to_string(range.start) + "-" +
                             std::to_string(range.end() - 1) + ") of its chain does not match its recorded digest; " +
                             "run 'vsagent verify' on the store");
        }
        return;
    }
    if (HashDisk(ChainReader({rebuilt}, record.imageBytes), stop) != record.sha256)
        throw StoreError(disk + ": the disk assembled from its chain does not match its recorded SHA-256; " +
                         "run 'vsagent verify' on the store");
}

}  // namespace

DiskRecord BuildSyntheticDisk(const BackupStore& store, const Manifest& job, std::size_t disk, const std::string& path,
                              const StopRequested& stop) {
    DiskRecord record = job.disks.at(disk);
    ChainReader reader(store.chain(job, disk), record.imageBytes);
    const ExtentList& data = reader.dataExtents();
    try {
        SparseImage image = SparseImage::Create(path, record.imageBytes);
        Sha256 dataSha;
        const DiskDigest copied = CopyData(reader, data, image, dataSha, stop);
        image.sync();
        const ChainLink rebuilt{job.jobId, path, data};
        CheckRebuilt(record, copied, rebuilt, job.jobId, stop);
        record.image = fs::path(path).filename().string();
        record.extents = rebuilt.extents;
        record.dataSha256 = dataSha.hex();
        record.parentJob.reset();
        return record;
    } catch (...) {
        ::unlink(path.c_str());
        throw;
    }
}

}  // namespace vsagent
