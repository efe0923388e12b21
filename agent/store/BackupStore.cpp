#include "agent/store/BackupStore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

#include "agent/store/AtomicFile.h"
#include "agent/store/StoreError.h"

namespace fs = std::filesystem;

namespace vsagent {

namespace {

constexpr const char* kManifestName = "manifest.json";
constexpr const char* kSequenceName = "job-sequence";

// Holds an exclusive lock on an open file while it lives.
class LockedFile {
public:
    explicit LockedFile(const std::string& path) : path_(path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0) ThrowSystemError("cannot open", path);
        if (::flock(fd_, LOCK_EX) != 0) {
            ::close(fd_);
            ThrowSystemError("cannot lock", path);
        }
    }
    ~LockedFile() { ::close(fd_); }
    int fd() const { return fd_; }

private:
    std::string path_;
    int fd_ = -1;
};

void WriteAll(int fd, const std::string& text, const std::string& path) {
    for (std::size_t done = 0; done < text.size();) {
        ssize_t n = ::pwrite(fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
        if (n <= 0) ThrowSystemError("cannot write", path);
        done += static_cast<std::size_t>(n);
    }
}

// What only the job folder can tell: the manifest names its own folder (VM and job
// id), and each disk's image is a regular file of the size the manifest gives.
void CheckAgainstFolder(const Manifest& m, const fs::path& folder) {
    auto fail = [&m](const std::string& problem) {
        throw StoreError("job " + std::to_string(m.jobId) + ": " + problem);
    };
    if (folder.filename() != "job-" + std::to_string(m.jobId))
        fail("jobId does not match the job's folder " + folder.filename().string());
    if (folder.parent_path().filename() != m.vmName)
        fail("vm.name [" + m.vmName + "] does not match the VM's folder " + folder.parent_path().filename().string());
    for (std::size_t i = 0; i < m.disks.size(); ++i) {
        const DiskRecord& d = m.disks[i];
        const std::string field = "disks[" + std::to_string(i) + "]";
        const fs::path image = folder / d.image;
        std::error_code ec;
        if (!fs::is_regular_file(fs::symlink_status(image, ec)))
            fail(field + ".image [" + d.image + "] is not a file in the job's folder");
        const std::uintmax_t size = fs::file_size(image, ec);
        if (ec) fail(field + ".image [" + d.image + "]: " + ec.message());
        if (size != d.imageBytes)
            fail(field + ".imageBytes is " + std::to_string(d.imageBytes) + " but the image [" + d.image + "] holds " +
                 std::to_string(size) + " bytes");
    }
}

// The manifest of the job folder `folder`, checked; any problem names the manifest.
Manifest ReadManifest(const fs::path& folder) {
    const fs::path path = folder / kManifestName;
    std::ifstream in(path);
    if (!in) throw StoreError("cannot read manifest [" + path.string() + "]");
    nlohmann::json document = nlohmann::json::parse(in, nullptr, false);
    if (document.is_discarded()) throw StoreError("damaged manifest [" + path.string() + "]: not JSON");
    try {
        Manifest m = Manifest::FromJson(document);
        CheckAgainstFolder(m, folder);
        return m;
    } catch (const StoreError& e) {
        throw StoreError("damaged manifest [" + path.string() + "]: " + e.what());
    }
}

// The last job id the sequence file holds: digits and a newline; nothing in a new file.
long long LastJobId(int fd, const std::string& path) {
    char buffer[32] = {};
    ssize_t n = ::pread(fd, buffer, sizeof(buffer) - 1, 0);
    if (n < 0) ThrowSystemError("cannot read", path);
    const std::string text(buffer, static_cast<std::size_t>(n));
    if (text.empty()) return 0;
    const std::size_t digits = text.find_first_not_of("0123456789");
    const bool digitsAndNewline = digits >= 1 && digits <= 19 && text.substr(digits) == "\n";
    const unsigned long long last = digitsAndNewline ? std::stoull(text.substr(0, digits)) : 0;
    if (last < 1 || last >= static_cast<unsigned long long>(Manifest::kMaxJobId))
        throw StoreError("the job sequence [" + path + "] is damaged: it should hold the last job id, not [" +
                         text.substr(0, 24) + "]");
    return static_cast<long long>(last);
}

bool IsJobFolder(const fs::directory_entry& entry) {
    return entry.is_directory() && entry.path().filename().string().rfind("job-", 0) == 0;
}

}  // namespace

BackupStore::BackupStore(std::string root) : root_(std::move(root)) {}

BackupStore BackupStore::OpenExisting(const std::string& root) {
    std::error_code ec;
    fs::file_status status = fs::status(root, ec);
    if (!fs::exists(status))
        throw StoreError("there is no backup store at [" + root + "]" + (ec ? ": " + ec.message() : ""));
    if (!fs::is_directory(status)) throw StoreError("the backup store [" + root + "] is not a folder");
    return BackupStore(root);
}

long long BackupStore::nextJobId() {
    std::error_code ec;
    fs::create_directories(root_, ec);
    if (ec) throw StoreError("cannot create backup store [" + root_ + "]: " + ec.message());
    std::string path = (fs::path(root_) / kSequenceName).string();
    LockedFile file(path);
    const long long last = LastJobId(file.fd(), path);
    std::string next = std::to_string(last + 1) + "\n";
    if (::ftruncate(file.fd(), 0) != 0) ThrowSystemError("cannot write", path);
    WriteAll(file.fd(), next, path);
    ::fsync(file.fd());
    return last + 1;
}

std::string BackupStore::jobFolder(const std::string& vmName, long long jobId) const {
    return (fs::path(root_) / vmName / ("job-" + std::to_string(jobId))).string();
}

std::string BackupStore::vmFolder(const std::string& vmName) const { return (fs::path(root_) / vmName).string(); }

std::optional<FolderLock> BackupStore::lockVm(const std::string& vmName, FolderLock::Mode mode, bool wait) const {
    const std::string folder = vmFolder(vmName);
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) throw StoreError("cannot create folder [" + folder + "]: " + ec.message());
    if (wait) return FolderLock::Hold(folder, mode);
    return FolderLock::Try(folder, mode);
}

std::string BackupStore::createJobFolder(const std::string& vmName, long long jobId) {
    std::string folder = jobFolder(vmName, jobId);
    std::error_code ec;
    fs::create_directories(fs::path(folder).parent_path(), ec);
    // A folder that is already there belongs to another job: never write over it.
    if (!ec && !fs::create_directory(folder, ec) && !ec)
        throw StoreError("job folder [" + folder +
                         "] already exists: the job sequence of the store is behind its jobs");
    if (!ec) fs::create_directory(fs::path(folder) / "files", ec);
    if (ec) throw StoreError("cannot create job folder [" + folder + "]: " + ec.message());
    return folder;
}

void BackupStore::commit(const std::string& folder, const Manifest& manifest) {
    WriteFileAtomically((fs::path(folder) / kManifestName).string(), manifest.toJson().dump(2) + "\n");
}

void BackupStore::discard(const std::string& folder) {
    std::error_code ec;
    fs::remove_all(folder, ec);
}

std::uint64_t AllocatedBytes(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return 0;
    std::uint64_t total = static_cast<std::uint64_t>(st.st_blocks) * 512;
    if (!S_ISDIR(st.st_mode)) return total;
    std::error_code ec;
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec))
        total += AllocatedBytes(it->path().string());
    return total;
}

std::vector<Manifest> BackupStore::jobs() const {
    std::vector<Manifest> out;
    std::error_code ec;
    if (!fs::is_directory(root_, ec)) return out;
    for (const fs::directory_entry& vm : fs::directory_iterator(root_)) {
        if (!vm.is_directory()) continue;
        for (const fs::directory_entry& job : fs::directory_iterator(vm.path())) {
            if (IsJobFolder(job) && fs::exists(job.path() / kManifestName)) out.push_back(ReadManifest(job.path()));
        }
    }
    std::sort(out.begin(), out.end(), [](const Manifest& a, const Manifest& b) { return a.jobId < b.jobId; });
    return out;
}

std::vector<std::string> BackupStore::incompleteJobs() const {
    std::vector<std::string> out;
    std::error_code ec;
    if (!fs::is_directory(root_, ec)) return out;
    for (const fs::directory_entry& vm : fs::directory_iterator(root_)) {
        if (!vm.is_directory()) continue;
        for (const fs::directory_entry& job : fs::directory_iterator(vm.path()))
            if (IsJobFolder(job) && !fs::exists(job.path() / kManifestName)) out.push_back(job.path().string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::optional<Manifest> BackupStore::job(long long jobId) const {
    for (Manifest& m : jobs())
        if (m.jobId == jobId) return std::move(m);
    return std::nullopt;
}

std::optional<Manifest> BackupStore::latestJob(const std::string& vmName, const std::string& resourceGroup) const {
    std::optional<Manifest> latest;
    for (Manifest& m : jobs())
        if (m.vmName == vmName && (resourceGroup.empty() || m.resourceGroup == resourceGroup)) latest = std::move(m);
    return latest;
}

std::vector<ChainLink> BackupStore::chain(const Manifest& job, std::size_t disk) const {
    if (disk >= job.disks.size())
        throw StoreError("job " + std::to_string(job.jobId) + " has no disk " + std::to_string(disk));
    const std::string name = job.disks[disk].name;
    std::vector<ChainLink> links;
    Manifest current = job;
    DiskRecord record = job.disks[disk];
    // Every manifest is read once, however deep the chain.
    std::map<long long, Manifest> byId;
    if (record.parentJob)
        for (Manifest& m : jobs()) byId.emplace(m.jobId, std::move(m));
    for (;;) {
        links.push_back({current.jobId, (fs::path(jobFolder(current.vmName, current.jobId)) / record.image).string(),
                         record.extents});
        if (!record.parentJob) break;
        auto found = byId.find(*record.parentJob);
        std::optional<Manifest> parent;
        if (found != byId.end()) parent = found->second;
        if (!parent || parent->jobId >= current.jobId)
            throw StoreError("job " + std::to_string(*record.parentJob) + ", which job " +
                             std::to_string(current.jobId) + " builds on, is missing from the store");
        auto it = std::find_if(parent->disks.begin(), parent->disks.end(),
                               [&](const DiskRecord& d) { return d.name == name; });
        if (it == parent->disks.end())
            throw StoreError("job " + std::to_string(parent->jobId) + " holds no disk [" + name + "]");
        record = *it;
        current = std::move(*parent);
    }
    std::reverse(links.begin(), links.end());
    return links;
}

}  // namespace vsagent
