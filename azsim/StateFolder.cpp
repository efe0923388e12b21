#include "azsim/StateFolder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace azsim {

StateFolder::StateFolder(std::string dir) : dir_(std::move(dir)) {}

std::string StateFolder::documentPath() const { return (fs::path(dir_) / "state.json").string(); }

bool StateFolder::exists() const {
    std::error_code ec;
    return fs::is_regular_file(documentPath(), ec);
}

nlohmann::json StateFolder::load() const {
    std::ifstream in(documentPath());
    if (!in) throw Error("state document [" + documentPath() + "] cannot be read");
    std::stringstream text;
    text << in.rdbuf();
    nlohmann::json doc = nlohmann::json::parse(text.str(), nullptr, false);
    if (doc.is_discarded() || !doc.is_object())
        throw Error("state document [" + documentPath() + "] is not a valid JSON object");
    return doc;
}

void StateFolder::save(const nlohmann::json& document) const {
    std::error_code ec;
    fs::create_directories(dir_, ec);
    std::string tmp = documentPath() + ".tmp." + std::to_string(getpid());
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << document.dump(2) << '\n';
        out.flush();
        if (!out) throw Error("state document [" + tmp + "] cannot be written");
    }
    int fd = ::open(tmp.c_str(), O_RDONLY);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
    if (std::rename(tmp.c_str(), documentPath().c_str()) != 0) {
        std::remove(tmp.c_str());
        throw Error("state document [" + documentPath() + "] cannot be replaced: " + std::strerror(errno));
    }
}

StateFolder::Lock::Lock(const StateFolder& folder) {
    std::error_code ec;
    fs::create_directories(folder.dir(), ec);
    std::string path = (fs::path(folder.dir()) / ".lock").string();
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) throw Error("lock [" + path + "] cannot be opened: " + std::strerror(errno));
    while (::flock(fd_, LOCK_EX) != 0) {
        if (errno != EINTR) {
            ::close(fd_);
            throw Error("lock [" + path + "] cannot be taken: " + std::strerror(errno));
        }
    }
}

StateFolder::Lock::~Lock() {
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
}

}  // namespace azsim
