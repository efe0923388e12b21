#include "azsim/endpoint/RequestLog.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "azsim/Journal.h"

namespace azsim {

namespace {

const char* const kFileName = "requests.jsonl";
const char* const kPreviousFileName = "requests.1.jsonl";

std::string previousPath(const std::string& stateDir) {
    return (std::filesystem::path(stateDir) / kPreviousFileName).string();
}

void readLines(const std::string& path, std::vector<RequestRecord>& out) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        nlohmann::json entry = nlohmann::json::parse(line, nullptr, false);
        if (entry.is_object()) out.push_back(RequestRecord::fromJson(entry));
    }
}

}  // namespace

nlohmann::json RequestRecord::toJson() const {
    nlohmann::json line = {{"time", time}, {"method", method}, {"path", path},
                           {"body", bodyBytes}, {"auth", auth}, {"status", status}};
    // Empty values are left out to keep lines short; fromJson reads them back as empty.
    auto optional = [&line](const char* name, const std::string& value) {
        if (!value.empty()) line[name] = value;
    };
    optional("id", requestId);
    optional("account", account);
    optional("container", container);
    optional("blob", blob);
    optional("comp", comp);
    optional("snapshot", snapshot);
    optional("prevsnapshot", prevSnapshot);
    optional("range", range);
    optional("version", version);
    optional("error", errorCode);
    optional("fault", fault);
    return line;
}

RequestRecord RequestRecord::fromJson(const nlohmann::json& line) {
    RequestRecord record;
    auto text = [&line](const char* name) {
        auto it = line.find(name);
        return it != line.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    record.time = text("time");
    record.requestId = text("id");
    record.method = text("method");
    record.account = text("account");
    record.container = text("container");
    record.blob = text("blob");
    record.path = text("path");
    record.comp = text("comp");
    record.snapshot = text("snapshot");
    record.prevSnapshot = text("prevsnapshot");
    record.range = text("range");
    record.version = text("version");
    record.auth = text("auth");
    record.errorCode = text("error");
    record.fault = text("fault");
    auto body = line.find("body");
    if (body != line.end() && body->is_number_unsigned()) record.bodyBytes = body->get<std::uint64_t>();
    auto status = line.find("status");
    if (status != line.end() && status->is_number_integer()) record.status = status->get<int>();
    return record;
}

RequestLog::RequestLog(const std::string& stateDir, std::uint64_t limitBytes)
    : path_(Path(stateDir)), previousPath_(previousPath(stateDir)), limitBytes_(limitBytes) {}

std::string RequestLog::Path(const std::string& stateDir) {
    return (std::filesystem::path(stateDir) / kFileName).string();
}

void RequestLog::append(const RequestRecord& record) const {
    std::string line;
    try {
        line = Utf8Escaped(record.toJson()).dump() + "\n";
    } catch (const std::exception&) {
        return;
    }
    int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ssize_t written = ::write(fd, line.data(), line.size());
    if (written > 0) rotateIfFull(fd);
    ::close(fd);
}

void RequestLog::rotateIfFull(int fd) const {
    struct stat own {};
    if (::fstat(fd, &own) != 0 || static_cast<std::uint64_t>(own.st_size) <= limitBytes_) return;
    // Writers that all see the file full take turns; only one that still finds this very file under
    // the name moves it aside, the others then find the new file there and leave it.
    if (::flock(fd, LOCK_EX) != 0) return;
    struct stat named {};
    if (::stat(path_.c_str(), &named) == 0 && named.st_ino == own.st_ino && named.st_dev == own.st_dev)
        std::rename(path_.c_str(), previousPath_.c_str());
    ::flock(fd, LOCK_UN);
}

std::vector<RequestRecord> RequestLog::Read(const std::string& stateDir) {
    std::vector<RequestRecord> out;
    readLines(previousPath(stateDir), out);
    readLines(Path(stateDir), out);
    return out;
}

}  // namespace azsim
