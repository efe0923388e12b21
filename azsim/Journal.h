// The call journal of a simulated subscription: one JSON line per SDK
// operation ("journal.jsonl" in the state folder) with its name and arguments,
// so tests can assert which cloud calls were made and with what.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace azsim {

class Journal {
public:
    explicit Journal(std::string stateDir);
    // Appends one entry {"op": operation, "args": args}; never throws.
    void record(const std::string& operation, const nlohmann::json& args) const;
    // Every entry so far, oldest first; unreadable lines are skipped.
    std::vector<nlohmann::json> entries() const;
    // Entries of one operation.
    std::vector<nlohmann::json> entries(const std::string& operation) const;

private:
    std::string path_;
};

}  // namespace azsim
