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

// Names and ids reach the journal and the state document as callers wrote
// them, and JSON text must be UTF-8. These keep valid UTF-8 as it is and
// write each byte that belongs to no valid UTF-8 sequence as the four
// characters "\xHH" (upper-case hex), so such a byte neither fails a write
// nor is lost from view.
std::string Utf8Escaped(const std::string& text);
// `value` with every string and object key escaped as Utf8Escaped does.
nlohmann::json Utf8Escaped(nlohmann::json value);

}  // namespace azsim
