// Persistence of a simulated subscription: one folder holding a JSON document
// of resources ("state.json"), page-blob data files and the call journal.
//
// Writes are atomic (a new file, then rename), so a crash never leaves a torn
// document; a lock file serialises read-modify-write cycles between processes.
#pragma once

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

namespace azsim {

class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class StateFolder {
public:
    explicit StateFolder(std::string dir);

    const std::string& dir() const { return dir_; }
    std::string documentPath() const;
    // True when the folder holds a state document.
    bool exists() const;

    // Throws azsim::Error when the document is missing or not valid JSON.
    nlohmann::json load() const;
    // Writes the whole document atomically; creates the folder when needed.
    void save(const nlohmann::json& document) const;

    // Exclusive advisory lock on the folder (flock on ".lock"), held while it lives.
    class Lock {
    public:
        explicit Lock(const StateFolder& folder);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        int fd_;
    };

private:
    std::string dir_;
};

}  // namespace azsim
