// Failure of the backup store (file system errors, damaged manifests).
#pragma once

#include <stdexcept>
#include <string>

namespace vsagent {

class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// "<what> [<path>]: <strerror(errno)>" as a StoreError, thrown.
[[noreturn]] void ThrowSystemError(const std::string& what, const std::string& path);

}  // namespace vsagent
