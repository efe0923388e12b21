#include "agent/store/AtomicFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "agent/store/StoreError.h"

namespace vsagent {

namespace {

void WriteAll(int fd, const std::string& text, const std::string& path) {
    for (std::size_t done = 0; done < text.size();) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ThrowSystemError("cannot write", path);
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0) ThrowSystemError("cannot flush", path);
}

}  // namespace

void WriteFileAtomically(const std::string& path, const std::string& text) {
    const std::string temporary = path + ".tmp";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) ThrowSystemError("cannot create", temporary);
    try {
        WriteAll(fd, text, temporary);
    } catch (...) {
        ::close(fd);
        ::unlink(temporary.c_str());
        throw;
    }
    ::close(fd);
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        errno = error;
        ThrowSystemError("cannot rename", temporary);
    }
    const std::string folder = std::filesystem::path(path).parent_path().string();
    int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) ThrowSystemError("cannot open folder", folder);
    ::fsync(dir);
    ::close(dir);
}

}  // namespace vsagent
