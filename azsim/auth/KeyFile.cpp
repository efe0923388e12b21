#include "azsim/auth/KeyFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>

#include "azsim/StateFolder.h"
#include "azsim/auth/Crypto.h"

namespace fs = std::filesystem;

namespace azsim {

namespace {

constexpr std::size_t kKeyBytes = 32;

// Parsed documents by path, reused while the file on disk is the same one:
// tokens and signatures are checked per request, the document changes rarely.
struct CachedKeys {
    dev_t device = 0;
    ino_t inode = 0;
    struct timespec modified = {0, 0};
    off_t size = 0;
    SigningKeys keys;
};

std::mutex& cacheMutex() {
    static std::mutex mutex;
    return mutex;
}

std::map<std::string, CachedKeys>& cache() {
    static std::map<std::string, CachedKeys> entries;
    return entries;
}

bool sameFile(const CachedKeys& cached, const struct stat& st) {
    return cached.device == st.st_dev && cached.inode == st.st_ino && cached.modified.tv_sec == st.st_mtim.tv_sec &&
           cached.modified.tv_nsec == st.st_mtim.tv_nsec && cached.size == st.st_size;
}

SigningKeys parse(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    nlohmann::json doc = nlohmann::json::parse(text.str(), nullptr, false);
    std::string key;
    if (!in || doc.is_discarded() || !doc.is_object() || !doc.contains("signingKey") ||
        !doc["signingKey"].is_string() || !crypto::unbase64(doc["signingKey"].get<std::string>(), key) ||
        key.size() != kKeyBytes)
        throw Error("key file [" + path + "] is not valid");
    SigningKeys keys;
    keys.key = key;
    keys.tokenLifetime = doc.value("tokenLifetime", keys.tokenLifetime);
    if (doc.contains("sasGenerations") && doc["sasGenerations"].is_object())
        for (auto& [blob, generation] : doc["sasGenerations"].items())
            if (generation.is_number_unsigned()) keys.sasGenerations[blob] = generation.get<std::uint64_t>();
    return keys;
}

void write(const std::string& path, const SigningKeys& keys) {
    nlohmann::json doc = {{"signingKey", crypto::base64(keys.key)},
                          {"tokenLifetime", keys.tokenLifetime},
                          {"sasGenerations", keys.sasGenerations}};
    std::string text = doc.dump(2) + "\n";
    std::string tmp = path + ".tmp." + std::to_string(getpid());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) throw Error("cannot write [" + tmp + "]: " + std::strerror(errno));
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
    close(fd);
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        unlink(tmp.c_str());
        throw Error("cannot write [" + path + "]");
    }
}

// Exclusive lock on "keys.json.lock" while it lives.
class KeyLock {
public:
    explicit KeyLock(const std::string& path)
        : fd_(open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
        if (fd_ < 0 || flock(fd_, LOCK_EX) != 0) throw Error("cannot lock [" + path + ".lock]");
    }
    ~KeyLock() { close(fd_); }
    KeyLock(const KeyLock&) = delete;
    KeyLock& operator=(const KeyLock&) = delete;

private:
    int fd_;
};

}  // namespace

std::uint64_t SigningKeys::generation(const std::string& blob) const {
    auto it = sasGenerations.find(blob);
    return it == sasGenerations.end() ? 0 : it->second;
}

KeyFile::KeyFile(const std::string& stateDir) : dir_(stateDir), path_((fs::path(stateDir) / "keys.json").string()) {}

SigningKeys KeyFile::read() const {
    struct stat st;
    if (stat(path_.c_str(), &st) != 0) {
        update([](SigningKeys&) {});
        if (stat(path_.c_str(), &st) != 0) throw Error("key file [" + path_ + "] cannot be created");
    }
    std::lock_guard<std::mutex> guard(cacheMutex());
    auto it = cache().find(path_);
    if (it != cache().end() && sameFile(it->second, st)) return it->second.keys;
    CachedKeys entry{st.st_dev, st.st_ino, st.st_mtim, st.st_size, parse(path_)};
    cache()[path_] = entry;
    return entry.keys;
}

void KeyFile::update(const std::function<void(SigningKeys&)>& change) const {
    std::error_code ec;
    fs::create_directories(dir_, ec);
    KeyLock lock(path_);
    SigningKeys keys;
    if (fs::exists(path_, ec))
        keys = parse(path_);
    else
        keys.key = crypto::randomBytes(kKeyBytes);
    change(keys);
    write(path_, keys);
    // A rewrite may reuse the inode and, within the clock's granularity, the time of the old file.
    std::lock_guard<std::mutex> guard(cacheMutex());
    cache().erase(path_);
}

}  // namespace azsim
