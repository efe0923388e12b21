#include "agent/store/Integrity.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <set>
#include <cstdio>
#include <filesystem>
#include <future>
#include <new>
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

// The windows a job did not touch are its parent's, unchanged: a recorded digest of
// one that differs from the parent's was altered after the job was written. Only a
// parent with a windowed digest of the same disk size can tell.
void VerifyInheritedWindows(const BackupStore& store, const Manifest& job, std::size_t index, VerifyResult& result) {
    const DiskRecord& disk = job.disks[index];
    const std::optional<Manifest> parent = disk.parentJob ? store.job(*disk.parentJob) : std::nullopt;
    if (!parent) return;  // a missing parent is the chain's problem, reported there
    auto same = std::find_if(parent->disks.begin(), parent->disks.end(),
                             [&disk](const DiskRecord& d) { return d.name == disk.name; });
    if (same == parent->disks.end() || !same->digest || same->imageBytes != disk.imageBytes) return;
    const DiskDigest& recorded = *disk.digest;
    const std::vector<std::uint64_t> touched = TouchedWindows(disk.extents);
    std::set<std::uint64_t> listed;
    for (const auto& entry : recorded.windows) listed.insert(entry.first);
    for (const auto& entry : same->digest->windows) listed.insert(entry.first);
    for (std::uint64_t w : listed) {
        if (std::binary_search(touched.begin(), touched.end(), w)) continue;
        if (recorded.windowDigest(w) == same->digest->windowDigest(w)) continue;
        const Extent range = recorded.window(w);
        result.problems.push_back(DiskLabel(job, index) + ": window " + std::to_string(w) + " (bytes " +
                                  std::to_string(range.start) + "-" + std::to_string(range.end() - 1) +
                                  "), which this job did not change, is recorded with SHA-256 " +
                                  recorded.windowDigest(w) + " but job " + std::to_string(parent->jobId) +
                                  " recorded " + same->digest->windowDigest(w));
    }
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
    result.bytesChecked += TotalBytes(disk.extents);
    ChainReader reader(store.chain(job, index), disk.imageBytes);
    if (disk.digest) {
        VerifyWindows(reader, job, index, stop, result);
        VerifyInheritedWindows(store, job, index, result);
    }
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

// A window of zero bytes, for hashing the windows that hold no data: a read-only
// anonymous mapping, whose pages all read the kernel's one zero page, so it costs
// next to no memory. Kept for the life of the process.
const unsigned char* Zeros() {
    static void* const zeros = ::mmap(nullptr, kWindow, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (zeros == MAP_FAILED) throw std::bad_alloc();
    return static_cast<const unsigned char*>(zeros);
}

// Writes the disk the reader presents to a new sparse file at `path`, flushed, and
// digests it: its SHA-256, and its windowed digest when `windowed`. Only the windows
// that hold some of the chain's data are read and written, and in them only the
// 4 KiB blocks that are not zeros are written; the rest of the file stays holes.
// Every byte still goes into the SHA-256, zeros from memory for the empty windows.
// The next data window is read while the current one is hashed and written, and
// its window digest is taken on another thread beside the disk's SHA-256.
Written WriteDisk(const ChainReader& reader, const std::string& path, bool windowed, const StopRequested& stop) {
    static_assert(kWindow == DiskDigest::kWindowBytes, "an export window is a digest window");
    SparseImage out = SparseImage::Create(path, reader.size());
    Written written;
    written.digest.diskBytes = reader.size();
    const std::vector<std::uint64_t> dataWindows = TouchedWindows(reader.dataExtents());
    auto length = [&](std::uint64_t index) { return static_cast<std::size_t>(written.digest.window(index).length); };
    AlignedBuffer buffers[2] = {MakeAlignedBuffer(kWindow), MakeAlignedBuffer(kWindow)};
    auto fetch = [&](std::size_t i) {
        const std::uint64_t index = dataWindows[i];
        unsigned char* into = buffers[i % 2].get();
        return std::async(std::launch::async, [&reader, into, index, n = length(index)] {
            reader.read(index * kWindow, n, into);
        });
    };
    // A future of std::async waits for its task when dropped, so no task outlives `buffers`.
    std::future<void> pending;
    if (!dataWindows.empty()) pending = fetch(0);
    Sha256 sha;
    std::size_t next = 0;  // the next of `dataWindows`
    const std::uint64_t count = written.digest.windowCount();
    for (std::uint64_t index = 0; index < count; ++index) {
        StopPoint(stop);
        const std::size_t n = length(index);
        if (next == dataWindows.size() || dataWindows[next] != index) {
            sha.update(Zeros(), n);
            continue;
        }
        pending.get();
        const unsigned char* window = buffers[next % 2].get();
        if (++next < dataWindows.size()) pending = fetch(next);
        std::future<std::string> windowSha;
        if (windowed)
            windowSha = std::async(std::launch::async, [window, n] {
                Sha256 w;
                w.update(window, n);
                return w.hex();
            });
        sha.update(window, n);
        out.write(index * kWindow, window, n);
        if (windowed) written.digest.setWindow(index, windowSha.get());
    }
    out.sync();
    written.sha256 = sha.hex();
    if (windowed) written.digest.root = written.digest.computeRoot();
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
    const Written written = WriteDisk(reader, out.path(), record.digest.has_value(), stop);
    CheckExport(written, job, record);
    out.keep();
    return written.sha256;
}

}  // namespace vsagent
