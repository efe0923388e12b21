#include "azsim/blob/BlobFolder.h"

#include <fcntl.h>
#include <openssl/sha.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

namespace azsim::blob {

namespace {

constexpr std::size_t kMaxComponent = 200;
constexpr std::size_t kMaxNameLength = 1024;
constexpr int kLockAttempts = 1000;

std::string hex(const unsigned char* bytes, std::size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

}  // namespace

std::string escapeComponent(const std::string& name) {
    std::string out;
    for (unsigned char c : name) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex(&c, 1);
        }
    }
    if (out.size() <= kMaxComponent) return out;
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(name.data()), name.size(), digest);
    return "~" + hex(digest, sizeof digest);
}

bool validKey(const BlobKey& key) {
    return !key.account.empty() && !key.container.empty() && !key.name.empty() &&
           key.name.size() <= kMaxNameLength && key.account.size() <= kMaxComponent &&
           key.container.size() <= kMaxComponent;
}

BlobFolder::BlobFolder(const std::string& root, const BlobKey& key)
    : dir_(accountDir(root, key.account) + "/" + escapeComponent(key.container) + "/" +
           escapeComponent(key.name)) {}

std::string BlobFolder::accountDir(const std::string& root, const std::string& account) {
    return root + "/blobs/" + escapeComponent(account);
}

std::string BlobFolder::stagingDir(const std::string& root) { return root + "/staging"; }

std::string BlobFolder::metaPath(const std::string& snapshot) const {
    return snapshot.empty() ? metaPath() : snapshotsDir() + "/" + snapshot + ".meta";
}

std::string BlobFolder::dataPath(const std::string& snapshot) const {
    return snapshot.empty() ? dir_ + "/data" : snapshotsDir() + "/" + snapshot + ".data";
}

BlobLock::~BlobLock() {
    if (fd_ >= 0) ::close(fd_);
}

bool BlobLock::acquire(const BlobFolder& folder, Mode mode, bool create, std::string* error) {
    const std::string path = folder.lockPath();
    for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
        if (create) {
            std::error_code ec;
            fs::create_directories(folder.dir(), ec);
            if (ec) {
                if (error) *error = "blob folder [" + folder.dir() + "] cannot be created: " + ec.message();
                return false;
            }
        }
        int fd = ::open(path.c_str(), (create ? O_RDWR | O_CREAT : O_RDONLY) | O_CLOEXEC, 0644);
        if (fd < 0) {
            if (errno == ENOENT) {
                if (create) continue;  // the folder went away between mkdir and open
                return false;          // no such blob: no error text, callers say so
            }
            if (error) *error = "blob lock [" + path + "] cannot be opened: " + std::strerror(errno);
            return false;
        }
        int rc;
        while ((rc = ::flock(fd, mode == Mode::Exclusive ? LOCK_EX : LOCK_SH)) != 0 && errno == EINTR) {
        }
        struct stat held {}, named {};
        if (rc == 0 && ::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
            held.st_dev == named.st_dev) {
            fd_ = fd;
            return true;
        }
        ::close(fd);
    }
    if (error) *error = "blob lock [" + path + "] cannot be taken";
    return false;
}

void BlobLock::removeFolder(const BlobFolder& folder) {
    ::unlink(folder.lockPath().c_str());
    ::rmdir(folder.dir().c_str());  // fails harmlessly when a new blob of the same name has begun
}

}  // namespace azsim::blob
