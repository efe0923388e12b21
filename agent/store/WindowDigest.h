// The windowed digest of a disk, whose cost follows the data rather than the
// capacity. The disk (all of its bytes, footer sector included) is cut into
// windows of 4 MiB from offset 0; the last window covers what remains and may be
// shorter. Each window's digest is the SHA-256 of exactly the bytes it covers;
// the root is the SHA-256 of the 32-byte window digests, concatenated in order.
// A window that reads as zeros has a digest known in advance (one for full
// windows, one for the short last window), so only windows that hold data are
// ever read and hashed.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "agent/store/Extent.h"
#include "agent/store/StoreError.h"

namespace vsagent {

class ChainReader;

struct DiskDigest {
    static constexpr const char* kKind = "sha256-windows";
    static constexpr int kVersion = 1;
    static constexpr std::uint64_t kWindowBytes = 4 * 1024 * 1024;

    std::uint64_t diskBytes = 0;
    std::map<std::uint64_t, std::string> windows;  // index -> SHA-256 (hex) of each window that is not all zeros
    std::string root;                               // SHA-256 (hex)

    std::uint64_t windowCount() const { return (diskBytes + kWindowBytes - 1) / kWindowBytes; }
    // The bytes window `index` covers.
    Extent window(std::uint64_t index) const;
    // The digest of window `index`: its listed one, else that of zeros of its length.
    std::string windowDigest(std::uint64_t index) const;
    // Records the digest of window `index`; a window of zeros is left out of the list.
    void setWindow(std::uint64_t index, const std::string& hex);
    // The root the window digests make up.
    std::string computeRoot() const;
};

// SHA-256 (hex) of `length` zero bytes, at most one window; the full window's is computed once.
std::string ZeroWindowDigest(std::uint64_t length);
// The windows any of `extents` touches, ascending.
std::vector<std::uint64_t> TouchedWindows(const ExtentList& extents);
// The digest of the disk `reader` presents: the windows `touched` are read and
// hashed, every other window keeps its digest from `base` (of a disk of the same
// size). Asks `stop` before each window; throws StoreCancelled when it says so.
DiskDigest UpdateDigest(const ChainReader& reader, DiskDigest base, const std::vector<std::uint64_t>& touched,
                        const StopRequested& stop = {});

}  // namespace vsagent
