// The guest log: one JSON line per script run inside a VM's guest, in
// "guest-log.jsonl" of the state folder. Nothing runs on this machine; the
// log is what a test or a person reads to see which script a VM was asked to
// run, with which parameters and context, and how the guest reported it.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace azsim {

struct GuestRun {
    std::int64_t time = 0;  // seconds since the epoch; written as ISO 8601 UTC
    std::string vm;
    std::string resourceGroup;
    std::string script;  // the script text, as given
    std::string parameters;
    std::string guestContext;
    std::string guestDetail;
    bool succeeded = true;
    std::string error;  // the failure the guest reported; empty when it succeeded

    nlohmann::json toJson() const;
    // Throws azsim::Error when the line lacks the time, VM or outcome.
    static GuestRun fromJson(const nlohmann::json& line);
};

class GuestLog {
public:
    explicit GuestLog(const std::string& stateDir);

    // Appends one line with a single write to the file opened for appending, so lines of
    // concurrent writers stay whole. Throws azsim::Error when the line cannot be written:
    // a run that is not logged did not happen.
    void append(const GuestRun& run) const;

    // Every run logged in the state folder, oldest first; lines that are not runs are skipped.
    static std::vector<GuestRun> Read(const std::string& stateDir);
    static std::string Path(const std::string& stateDir);

private:
    std::string path_;
};

}  // namespace azsim
