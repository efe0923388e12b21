#include "azsim/guest/GuestLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>

#include "azsim/Journal.h"
#include "azsim/StateFolder.h"
#include "azsim/auth/IsoTime.h"

namespace azsim {

namespace {

const char* const kFileName = "guest-log.jsonl";

std::string Text(const nlohmann::json& line, const char* name) {
    auto it = line.find(name);
    return it != line.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace

nlohmann::json GuestRun::toJson() const {
    nlohmann::json line = {{"time", formatIsoTime(time)},
                           {"vm", vm},
                           {"resourceGroup", resourceGroup},
                           {"script", script},
                           {"parameters", parameters},
                           {"guestContext", guestContext},
                           {"guestDetail", guestDetail},
                           {"outcome", succeeded ? "succeeded" : "failed"}};
    if (!succeeded) line["error"] = error;
    return line;
}

GuestRun GuestRun::fromJson(const nlohmann::json& line) {
    if (!line.is_object()) throw Error("guest log line is not an object");
    GuestRun run;
    std::optional<std::int64_t> time = parseIsoTime(Text(line, "time"));
    if (!time) throw Error("guest log line has no valid time");
    run.time = *time;
    run.vm = Text(line, "vm");
    if (run.vm.empty()) throw Error("guest log line names no VM");
    const std::string outcome = Text(line, "outcome");
    if (outcome != "succeeded" && outcome != "failed")
        throw Error("guest log line has outcome [" + outcome + "], not succeeded or failed");
    run.succeeded = outcome == "succeeded";
    run.resourceGroup = Text(line, "resourceGroup");
    run.script = Text(line, "script");
    run.parameters = Text(line, "parameters");
    run.guestContext = Text(line, "guestContext");
    run.guestDetail = Text(line, "guestDetail");
    run.error = Text(line, "error");
    return run;
}

GuestLog::GuestLog(const std::string& stateDir) : path_(Path(stateDir)) {}

std::string GuestLog::Path(const std::string& stateDir) {
    return (std::filesystem::path(stateDir) / kFileName).string();
}

void GuestLog::append(const GuestRun& run) const {
    const std::string line = Utf8Escaped(run.toJson()).dump() + "\n";
    int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) throw Error("cannot open the guest log [" + path_ + "]: " + std::strerror(errno));
    ssize_t written = ::write(fd, line.data(), line.size());
    int writeError = errno;
    ::close(fd);
    if (written != static_cast<ssize_t>(line.size()))
        throw Error("cannot write the guest log [" + path_ + "]: " +
                    (written < 0 ? std::strerror(writeError) : "short write"));
}

std::vector<GuestRun> GuestLog::Read(const std::string& stateDir) {
    std::vector<GuestRun> out;
    std::ifstream in(Path(stateDir));
    std::string text;
    while (std::getline(in, text)) {
        nlohmann::json line = nlohmann::json::parse(text, nullptr, false);
        try {
            out.push_back(GuestRun::fromJson(line));
        } catch (const Error&) {
        }
    }
    return out;
}

}  // namespace azsim
