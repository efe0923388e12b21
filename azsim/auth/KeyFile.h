// The signing material of a state folder ("keys.json", mode 0600): a random
// 256-bit key, the lifetime of new bearer tokens and, per blob, the SAS
// generation that revocation advances. Created on first use; every change is
// a read-modify-write under a lock file and lands by rename, so processes
// sharing the folder always read a whole document.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace azsim {

struct SigningKeys {
    std::string key;                    // raw bytes
    std::int64_t tokenLifetime = 3600;  // seconds
    // "account/container/blob" (every version) or "account/container/blob?snapshot=..." -> generation
    std::map<std::string, std::uint64_t> sasGenerations;

    std::uint64_t generation(const std::string& blob) const;
};

class KeyFile {
public:
    explicit KeyFile(const std::string& stateDir);

    // The current document, creating it when the folder has none. Throws azsim::Error when unreadable.
    SigningKeys read() const;
    // Applies `change` to the current document and stores the result.
    void update(const std::function<void(SigningKeys&)>& change) const;

private:
    std::string dir_;
    std::string path_;
};

}  // namespace azsim
