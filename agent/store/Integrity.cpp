#include "agent/store/Integrity.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "agent/store/AlignedBuffer.h"
#include "agent/store/ChainReader.h"
#include "agent/store/Sha256.h"
#include "agent/store/StoreError.h"

namespace fs = std::filesystem;

namespace vsagent {

namespace {

constexpr std::size_t kWindow = 4 * 1024 * 1024;

std::uint64_t StoredBytes(const ExtentList& extents) {
    std::uint64_t total = 0;
    for (const Extent& e : extents) total += e.length;
    return total;
}

void VerifyDisk(const BackupStore& store, const Manifest& job, std::size_t index, const StopRequested& stop,
                VerifyResult& result) {
    const DiskRecord& disk = job.disks[index];
    const std::string folder = store.jobFolder(job.vmName, job.jobId);
    std::string data = HashExtents(SparseImage::Open((fs::path(folder) / disk.image).string()), disk.extents, stop);
    if (data != disk.dataSha256)
        result.problems.push_back("disk " + std::to_string(index) + " [" + disk.name + "]: the stored image " +
                                  disk.image + " does not hold the data that was read (SHA-256 " + data +
                                  ", expected " + disk.dataSha256 + ")");
    ChainReader reader(store.chain(job, index), disk.imageBytes);
    std::string whole = HashDisk(reader, stop);
    if (whole != disk.sha256)
        result.problems.push_back("disk " + std::to_string(index) + " [" + disk.name +
                                  "]: the disk assembled from its backup chain has SHA-256 " + whole + ", expected " +
                                  disk.sha256);
    result.bytesChecked += StoredBytes(disk.extents) + disk.imageBytes;
}

// A file written under a temporary name beside its final path: renamed into place
// by keep(), removed when dropped without it.
class PendingFile {
public:
    explicit PendingFile(std::string finalPath)
        : final_(std::move(finalPath)), temporary_(final_ + ".part-" + std::to_string(::getpid())) {}
    ~PendingFile() {
        if (!kept_) ::unlink(temporary_.c_str());
    }
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;
    const std::string& path() const { return temporary_; }
    void keep() {
        if (::rename(temporary_.c_str(), final_.c_str()) != 0) ThrowSystemError("cannot rename", temporary_);
        kept_ = true;
    }

private:
    std::string final_;
    std::string temporary_;
    bool kept_ = false;
};

// Writes the disk the reader presents to a new sparse file at `path`, flushed; returns its SHA-256.
std::string WriteDisk(const ChainReader& reader, const std::string& path, const StopRequested& stop) {
    SparseImage out = SparseImage::Create(path, reader.size());
    Sha256 sha;
    AlignedBuffer window = MakeAlignedBuffer(kWindow);
    for (std::uint64_t at = 0; at < reader.size(); at += kWindow) {
        StopPoint(stop);
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kWindow, reader.size() - at));
        reader.read(at, n, window.get());
        out.write(at, window.get(), n);
        sha.update(window.get(), n);
    }
    out.sync();
    return sha.hex();
}

}  // namespace

VerifyResult VerifyJob(const BackupStore& store, const Manifest& job, const StopRequested& stop) {
    VerifyResult result;
    result.jobId = job.jobId;
    for (std::size_t i = 0; i < job.disks.size(); ++i) {
        try {
            VerifyDisk(store, job, i, stop, result);
        } catch (const StoreError& e) {
            result.problems.push_back("disk " + std::to_string(i) + " [" + job.disks[i].name + "]: " + e.what());
        }
    }
    const fs::path files = fs::path(store.jobFolder(job.vmName, job.jobId)) / "files";
    for (const FileRecord& file : job.files) {
        try {
            std::string sha = HashFile((files / file.name).string());
            if (sha != file.sha256) result.problems.push_back("file [" + file.name + "] has changed");
            result.bytesChecked += file.size;
        } catch (const StoreError& e) {
            result.problems.push_back(e.what());
        }
    }
    return result;
}

std::string ExportDisk(const BackupStore& store, const Manifest& job, std::size_t disk, const std::string& outPath,
                       const StopRequested& stop) {
    if (disk >= job.disks.size())
        throw StoreError("job " + std::to_string(job.jobId) + " has " + std::to_string(job.disks.size()) +
                         " disks; there is no disk " + std::to_string(disk));
    const DiskRecord& record = job.disks[disk];
    ChainReader reader(store.chain(job, disk), record.imageBytes);
    PendingFile out(outPath);
    std::string hex = WriteDisk(reader, out.path(), stop);
    if (hex != record.sha256)
        throw StoreError("the exported disk has SHA-256 " + hex + " but job " + std::to_string(job.jobId) +
                         " recorded " + record.sha256 + "; run 'vsagent verify' on the store");
    out.keep();
    return hex;
}

}  // namespace vsagent
