#include "azsim/Journal.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace azsim {

Journal::Journal(std::string stateDir) : path_((std::filesystem::path(stateDir) / "journal.jsonl").string()) {}

void Journal::record(const std::string& operation, const nlohmann::json& args) const {
    nlohmann::json entry = {{"op", operation}, {"args", args}};
    std::string line = entry.dump() + "\n";
    // One write() of an O_APPEND file keeps lines of concurrent writers whole.
    int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ssize_t written = ::write(fd, line.data(), line.size());
    (void)written;
    ::close(fd);
}

std::vector<nlohmann::json> Journal::entries() const {
    std::vector<nlohmann::json> out;
    std::ifstream in(path_);
    std::string line;
    while (std::getline(in, line)) {
        nlohmann::json entry = nlohmann::json::parse(line, nullptr, false);
        if (!entry.is_discarded()) out.push_back(std::move(entry));
    }
    return out;
}

std::vector<nlohmann::json> Journal::entries(const std::string& operation) const {
    std::vector<nlohmann::json> out;
    for (auto& e : entries())
        if (e.value("op", "") == operation) out.push_back(std::move(e));
    return out;
}

}  // namespace azsim
