#include "agent/store/FolderLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <utility>

#include "agent/store/StoreError.h"

namespace vsagent {

namespace {

int LockOperation(FolderLock::Mode mode) { return mode == FolderLock::Mode::Shared ? LOCK_SH : LOCK_EX; }

}  // namespace

FolderLock FolderLock::Hold(const std::string& folder, Mode mode) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) ThrowSystemError("cannot open folder", folder);
    if (::flock(fd, LockOperation(mode)) != 0) {
        ::close(fd);
        ThrowSystemError("cannot lock folder", folder);
    }
    return FolderLock(fd);
}

std::optional<FolderLock> FolderLock::Try(const std::string& folder, Mode mode) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    if (::flock(fd, LockOperation(mode) | LOCK_NB) != 0) {
        ::close(fd);
        return std::nullopt;
    }
    return FolderLock(fd);
}

FolderLock::FolderLock(FolderLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

FolderLock& FolderLock::operator=(FolderLock&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
}

FolderLock::~FolderLock() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace vsagent
