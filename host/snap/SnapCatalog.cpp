// The snapshot catalog folder: snap records, index cache and archive-file registry.
#include "host/snap/SnapCatalog.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "host/snap/SnapXml.h"
#include "host/util/FileSystem.h"

namespace fs = std::filesystem;

namespace snapcatalog {

namespace {

std::mutex g_rootMutex;
std::string g_root;

bool JobSubfolder(const char* kind, NXJobID jobId, std::string& folder, std::string& error) {
    const std::string root = Root();
    if (root.empty()) {
        error = "no snapshot catalog folder is set";
        return false;
    }
    if (jobId <= 0) {
        error = "job id [" + std::to_string(jobId) + "] is not a valid job id";
        return false;
    }
    folder = (fs::path(root) / kind / std::to_string(jobId)).string();
    return true;
}

// Holds the registry's file lock (shared by processes) for one read-modify-write.
class RegistryLock {
public:
    explicit RegistryLock(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
        if (fd_ >= 0 && ::flock(fd_, LOCK_EX) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~RegistryLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    RegistryLock(const RegistryLock&) = delete;
    RegistryLock& operator=(const RegistryLock&) = delete;
    bool Held() const { return fd_ >= 0; }

private:
    int fd_;
};

struct Registry {
    std::uint32_t nextId = 1;
    std::vector<ArchiveFile> files;
};

std::string RegistryPath() { return (fs::path(Root()) / "archive-files.xml").string(); }

bool LoadRegistry(Registry& registry, std::string& error) {
    const std::string path = RegistryPath();
    if (!fs::exists(path)) return true;
    pugi::xml_document doc;
    if (!snapxml::Load(path, doc, error)) return false;
    const pugi::xml_node root = doc.child("archiveFiles");
    registry.nextId = root.attribute("nextId").as_uint(0);
    if (!root || registry.nextId == 0) {
        error = "archive-file registry [" + path + "] has no valid 'nextId'";
        return false;
    }
    for (const pugi::xml_node& node : root.children("file")) {
        ArchiveFile file;
        file.id = node.attribute("id").as_uint(0);
        file.jobId = node.attribute("jobId").as_llong(0);
        file.vmGuid = node.attribute("vmGuid").value();
        file.valid = node.attribute("valid").as_bool(false);
        if (file.id == 0 || file.id >= registry.nextId || file.jobId <= 0) {
            error = "archive-file registry [" + path + "] holds an entry with an invalid 'id' or 'jobId'";
            return false;
        }
        registry.files.push_back(file);
    }
    return true;
}

bool SaveRegistry(const Registry& registry, std::string& error) {
    pugi::xml_document doc;
    pugi::xml_node root = doc.append_child("archiveFiles");
    root.append_attribute("nextId") = registry.nextId;
    for (const ArchiveFile& file : registry.files) {
        pugi::xml_node node = root.append_child("file");
        node.append_attribute("id") = file.id;
        node.append_attribute("jobId") = file.jobId;
        node.append_attribute("vmGuid") = file.vmGuid.c_str();
        node.append_attribute("valid") = file.valid;
    }
    return snapxml::SaveAtomically(doc, RegistryPath(), error);
}

// Runs change on the registry under its lock and saves it when change returns true.
template <typename Change>
bool UpdateRegistry(std::string& error, Change change) {
    const std::string root = Root();
    if (root.empty()) {
        error = "no snapshot catalog folder is set";
        return false;
    }
    if (!CreateFolderIfNotPresent(root, &error)) return false;
    RegistryLock lock((fs::path(root) / "archive-files.lock").string());
    if (!lock.Held()) {
        error = std::string("cannot lock the archive-file registry: ") + std::strerror(errno);
        return false;
    }
    Registry registry;
    if (!LoadRegistry(registry, error) || !change(registry)) return false;
    return SaveRegistry(registry, error);
}

}  // namespace

void SetRoot(const std::string& dir) {
    std::lock_guard<std::mutex> lock(g_rootMutex);
    g_root = dir;
}

std::string Root() {
    std::lock_guard<std::mutex> lock(g_rootMutex);
    return g_root;
}

bool RecordsFolder(NXJobID jobId, std::string& folder, std::string& error) {
    return JobSubfolder("jobs", jobId, folder, error) && CreateFolderIfNotPresent(folder, &error);
}

bool IndexFolder(NXJobID jobId, std::string& folder, std::string& error) {
    return JobSubfolder("index", jobId, folder, error);
}

bool IsContainedRelativePath(const std::string& relative) {
    const fs::path path(relative);
    if (relative.empty() || path.is_absolute()) return false;
    return std::none_of(path.begin(), path.end(), [](const fs::path& part) { return part == ".."; });
}

bool CopyFile(const std::string& source, const std::string& target, std::string& error) {
    std::error_code ec;
    const fs::path parent = fs::path(target).parent_path();
    if (!parent.empty() && !CreateFolderIfNotPresent(parent.string(), &error)) return false;
    const std::string temporary = target + ".new" + std::to_string(::getpid());
    fs::copy_file(source, temporary, fs::copy_options::overwrite_existing, ec);
    if (!ec) fs::rename(temporary, target, ec);
    if (ec) {
        fs::remove(temporary);
        error = "cannot copy [" + source + "] to [" + target + "]: " + ec.message();
        return false;
    }
    return true;
}

bool CreateArchiveFile(NXJobID jobId, const std::string& vmGuid, std::uint32_t& id, std::string& error) {
    if (jobId <= 0 || vmGuid.empty()) {
        error = "an archive file needs a job id and a VM GUID";
        return false;
    }
    return UpdateRegistry(error, [&](Registry& registry) {
        id = registry.nextId++;
        registry.files.push_back({id, jobId, vmGuid, true});
        return true;
    });
}

bool InvalidateArchiveFiles(const std::vector<std::uint32_t>& ids, NXJobID jobId, std::string& error) {
    return UpdateRegistry(error, [&](Registry& registry) {
        for (std::uint32_t id : ids) {
            const bool owned = std::any_of(registry.files.begin(), registry.files.end(),
                                           [&](const ArchiveFile& f) { return f.id == id && f.jobId == jobId; });
            if (!owned) {
                error = "archive file [" + std::to_string(id) + "] is not one of job [" + std::to_string(jobId) + "]";
                return false;
            }
        }
        for (ArchiveFile& file : registry.files)
            if (file.jobId == jobId && (ids.empty() || std::count(ids.begin(), ids.end(), file.id) > 0))
                file.valid = false;
        return true;
    });
}

bool ListArchiveFiles(NXJobID jobId, std::vector<ArchiveFile>& files, std::string& error) {
    const std::string root = Root();
    if (root.empty()) {
        error = "no snapshot catalog folder is set";
        return false;
    }
    Registry registry;
    if (!LoadRegistry(registry, error)) return false;
    files.clear();
    for (const ArchiveFile& file : registry.files)
        if (file.jobId == jobId) files.push_back(file);
    return true;
}

}  // namespace snapcatalog
