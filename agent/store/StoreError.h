// Failure of the backup store (file system errors, damaged manifests), and how a
// long store operation (a digest, an export) is asked to stop.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>

namespace vsagent {

class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// "<what> [<path>]: <strerror(errno)>" as a StoreError, thrown.
[[noreturn]] void ThrowSystemError(const std::string& what, const std::string& path);

// Asked between windows of a long store operation; true stops it with StoreCancelled.
using StopRequested = std::function<bool()>;

// Thrown when a long store operation stops because its caller asked it to. Not a
// StoreError: it ends the whole command rather than counting as one damaged item.
class StoreCancelled : public std::runtime_error {
public:
    StoreCancelled() : std::runtime_error("cancelled") {}
};

// Throws StoreCancelled when `stop` is set and says so.
inline void StopPoint(const StopRequested& stop) {
    if (stop && stop()) throw StoreCancelled();
}

}  // namespace vsagent
