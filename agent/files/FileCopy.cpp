#include "agent/files/FileCopy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace vsagent {
namespace {

constexpr std::size_t kMaxDepth = 1024;

std::string Child(const std::string& path, const std::string& name) {
    return (path == "/" ? "" : path) + "/" + name;
}

std::string SystemError(const std::string& what) { return what + ": " + std::strerror(errno); }

struct Fd {
    explicit Fd(int value) : fd(value) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    int fd;
};

void WriteAll(int fd, const unsigned char* data, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw StoreError(SystemError("cannot write"));
        data += n;
        length -= static_cast<std::size_t>(n);
    }
}

}  // namespace

bool IsSafeName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.size() <= 255 &&
           name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

FileCopy::FileCopy(const std::string& out, StopRequested stop) : stop_(std::move(stop)), root_(::geteuid() == 0) {
    std::error_code ec;
    std::filesystem::create_directories(out, ec);
    outFd_ = ::open(out.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (outFd_ < 0) ThrowSystemError("cannot open the folder", out);
}

FileCopy::~FileCopy() { ::close(outFd_); }

std::vector<std::string> FileCopy::notes() const {
    std::vector<std::string> notes;
    if (attributesSkipped_)
        notes.push_back(std::to_string(attributesSkipped_) +
                        " extended attributes outside user.* not set (kept only when run as root)");
    if (setIdDropped_)
        notes.push_back(std::to_string(setIdDropped_) + " set-user-id or set-group-id bits dropped (kept only when "
                        "run as root, with the owners)");
    if (othersSkipped_)
        notes.push_back(std::to_string(othersSkipped_) + " devices, pipes or sockets not copied");
    return notes;
}

void FileCopy::copy(const FileSystem& fs, const std::string& path) {
    try {
        const FileEntry entry = fs.stat(path);
        ancestors_.clear();
        if (path.find_first_not_of('/') == std::string::npos) {
            ancestors_.push_back(entry.id);
            copyChildren(fs, "/", outFd_);
        } else {
            copyEntry(fs, path, entry, outFd_);
        }
    } catch (const StoreError& e) {
        problems_.push_back(e.what());
    }
}

void FileCopy::copyEntry(const FileSystem& fs, const std::string& path, const FileEntry& entry, int dirFd) {
    StopPoint(stop_);
    if (!IsSafeName(entry.name)) {
        problems_.push_back("[" + path + "]: the name is not one a local file can have; not copied");
        return;
    }
    try {
        switch (entry.type) {
        case FileEntry::Type::File: copyFile(fs, path, entry, dirFd); break;
        case FileEntry::Type::Directory: copyDirectory(fs, path, entry, dirFd); break;
        case FileEntry::Type::Symlink: copyLink(entry, dirFd); break;
        case FileEntry::Type::Other: ++othersSkipped_; break;
        }
    } catch (const StoreError& e) {
        problems_.push_back("[" + path + "]: " + e.what());
    }
}

void FileCopy::copyChildren(const FileSystem& fs, const std::string& path, int dirFd) {
    for (const FileEntry& child : fs.list(path)) copyEntry(fs, Child(path, child.name), child, dirFd);
}

void FileCopy::copyFile(const FileSystem& fs, const std::string& path, const FileEntry& entry, int dirFd) {
    const Fd file(::openat(dirFd, entry.name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (file.fd < 0) throw StoreError(SystemError("cannot create the file"));
    try {
        std::uint64_t written = 0;
        fs.read(path, [&](const unsigned char* data, std::size_t length) {
            WriteAll(file.fd, data, length);
            written += length;
            StopPoint(stop_);
        });
        keepAttributes(fs, path, entry, file.fd);
        counts_.bytes += written;
        ++counts_.files;
    } catch (...) {
        ::unlinkat(dirFd, entry.name.c_str(), 0);
        throw;
    }
}

void FileCopy::copyDirectory(const FileSystem& fs, const std::string& path, const FileEntry& entry, int dirFd) {
    if (entry.id && std::find(ancestors_.begin(), ancestors_.end(), entry.id) != ancestors_.end())
        throw StoreError("the folder leads back to one of its own parents; not followed");
    if (ancestors_.size() >= kMaxDepth) throw StoreError("folders nest deeper than " + std::to_string(kMaxDepth));
    const bool made = ::mkdirat(dirFd, entry.name.c_str(), 0700) == 0;
    if (!made && errno != EEXIST) throw StoreError(SystemError("cannot make the folder"));
    const Fd dir(::openat(dirFd, entry.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dir.fd < 0) throw StoreError(SystemError("cannot open the folder"));
    ancestors_.push_back(entry.id);
    try {
        copyChildren(fs, path, dir.fd);
    } catch (const StoreError& e) {
        problems_.push_back("[" + path + "]: " + e.what());
    }
    ancestors_.pop_back();
    ++counts_.directories;
    // A folder made here gets its mode and times once its content is in, so a read-only one can be filled.
    if (made) keepAttributes(fs, path, entry, dir.fd);
}

void FileCopy::copyLink(const FileEntry& entry, int dirFd) {
    if (entry.linkTarget.empty() || entry.linkTarget.find('\0') != std::string::npos)
        throw StoreError("the link's target is empty or holds a NUL; not copied");
    if (::symlinkat(entry.linkTarget.c_str(), dirFd, entry.name.c_str()) != 0)
        throw StoreError(SystemError("cannot make the link"));
    if (root_) ::fchownat(dirFd, entry.name.c_str(), entry.uid, entry.gid, AT_SYMLINK_NOFOLLOW);
    const timespec times[2] = {{entry.atime, 0}, {entry.mtime, 0}};
    ::utimensat(dirFd, entry.name.c_str(), times, AT_SYMLINK_NOFOLLOW);
    ++counts_.links;
}

void FileCopy::keepAttributes(const FileSystem& fs, const std::string& path, const FileEntry& entry, int fd) {
    for (const auto& [name, value] : fs.xattrs(path)) {
        if (!root_ && name.rfind("user.", 0) != 0) {
            ++attributesSkipped_;
            continue;
        }
        if (::fsetxattr(fd, name.c_str(), value.data(), value.size(), 0) != 0)
            throw StoreError(SystemError("cannot set the extended attribute [" + name + "]"));
    }
    std::uint32_t mode = entry.mode & 07777;
    if (root_ && ::fchown(fd, entry.uid, entry.gid) != 0) throw StoreError(SystemError("cannot set the owner"));
    if (!root_ && (mode & 06000)) {
        ++setIdDropped_;
        mode &= ~06000u;
    }
    if (::fchmod(fd, mode) != 0) throw StoreError(SystemError("cannot set the mode"));
    const timespec times[2] = {{entry.atime, 0}, {entry.mtime, 0}};
    if (::futimens(fd, times) != 0) throw StoreError(SystemError("cannot set the times"));
}

}  // namespace vsagent
