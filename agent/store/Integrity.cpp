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
#include "agent/store/WindowDigest.h"

namespace fs = std::filesystem;

namespace vsagent {

namespace {

constexpr std::size_t kWindow = 4 * 1024 * 1024;

std::uint64_t StoredBytes(const ExtentList& extents) {
    std::uint64_t total = 0;
    for (const Extent& e : extents) total += e.length;
    return total;
}

std::string DiskLabel(const Manifest& job, std::size_t index) {
    return "job " + std::to_string(job.jobId) + ", disk " + std::to_string(index) + " [" + job.disks[index].name + "]";
}

// A format 1 disk: the whole disk, assembled from its chain, against its one SHA-256.
void VerifyWholeDisk(const ChainReader& reader, const Manifest& job, std::size_t index, const StopRequested& stop,
                     VerifyResult& result) {
    const DiskRecord& disk = job.disks[index];
    std::string whole = HashDisk(reader, stop);
    if (whole != disk.sha256)
        result.problems.push_back("disk " + std::to_string(index) + " [" + disk.name +
                                  "]: the disk assembled from its backup chain has SHA-256 " + whole + ", expected " +
                                  disk.sha256);
    result.bytesChecked += disk.imageBytes;
}

// A windowed digest: the windows this job's extents touch, assembled from the
// chain, against their recorded digests; then the root over all window digests.
void VerifyWindows(const ChainReader& reader, const Manifest& job, std::size_t index, const StopRequested& stop,
                   VerifyResult& result) {
    const DiskDigest& recorded = *job.disks[index].digest;
    const std::vector<std::uint64_t> touched = TouchedWindows(job.disks[index].extents);
    const DiskDigest found = UpdateDigest(reader, recorded, touched, stop);
    for (std::uint64_t w : touched) {
        const Extent range = recorded.window(w);
        result.bytesChecked += range.length;
        if (found.windowDigest(w) != recorded.windowDigest(w))
            result.problems.push_back(DiskLabel(job, index) + ": window " + std::to_string(w) + " (bytes " +
                                      std::to_string(range.start) + "-" + std::to_string(range.end() - 1) +
                                      ") of the disk assembled from its backup chain has SHA-256 " +
                                      found.windowDigest(w) + ", expected " + recorded.windowDigest(w));
    }
    const std::string root = recorded.computeRoot();
    if (root != recorded.root)
        result.problems.push_back(DiskLabel(job, index) + ": the recorded window digests make up the root " + root +
                                  ", not the recorded root " + recorded.root);
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
    result.bytesChecked += StoredBytes(disk.extents);
    ChainReader reader(store.chain(job, index), disk.imageBytes);
    if (disk.digest)
        VerifyWindows(reader, job, index, stop, result);
    else
        VerifyWholeDisk(reader, job, index, stop, result);
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

// What an export found: the SHA-256 of the whole disk and its windowed digest.
struct Written {
    std::string sha256;
    DiskDigest digest;
};

// Writes the disk the reader presents to a new sparse file at `path`, flushed, and digests it both ways.
Written WriteDisk(const ChainReader& reader, const std::string& path, const StopRequested& stop) {
    static_assert(kWindow == DiskDigest::kWindowBytes, "an export window is a digest window");
    SparseImage out = SparseImage::Create(path, reader.size());
    Written written;
    written.digest.diskBytes = reader.size();
    Sha256 sha;
    AlignedBuffer window = MakeAlignedBuffer(kWindow);
    for (std::uint64_t at = 0; at < reader.size(); at += kWindow) {
        StopPoint(stop);
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kWindow, reader.size() - at));
        reader.read(at, n, window.get());
        out.write(at, window.get(), n);
        sha.update(window.get(), n);
        Sha256 windowSha;
        windowSha.update(window.get(), n);
        written.digest.setWindow(at / kWindow, windowSha.hex());
    }
    out.sync();
    written.sha256 = sha.hex();
    written.digest.root = written.digest.computeRoot();
    return written;
}

// Throws when the written disk is not the one `record` promises.
void CheckExport(const Written& written, const Manifest& job, const DiskRecord& record) {
    const std::string& expected = record.digest ? record.digest->root : record.sha256;
    const std::string& found = record.digest ? written.digest.root : written.sha256;
    if (found != expected)
        throw StoreError(std::string("the exported disk has ") + (record.digest ? "root digest " : "SHA-256 ") + found +
                         " but job " + std::to_string(job.jobId) + " recorded " + expected +
                         "; run 'vsagent verify' on the store");
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
    const Written written = WriteDisk(reader, out.path(), stop);
    CheckExport(written, job, record);
    out.keep();
    return written.sha256;
}

}  // namespace vsagent
