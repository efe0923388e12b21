#include "agent/store/WindowDigest.h"

#include <algorithm>
#include <vector>

#include "agent/store/AlignedBuffer.h"
#include "agent/store/ChainReader.h"
#include "agent/store/Sha256.h"

namespace vsagent {

namespace {

std::string HashZeros(std::uint64_t length) {
    const std::vector<unsigned char> zeros(static_cast<std::size_t>(length), 0);
    Sha256 sha;
    sha.update(zeros.data(), zeros.size());
    return sha.hex();
}

// The 32 bytes a hex digest spells.
std::string Binary(const std::string& hex) {
    auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
    std::string out(hex.size() / 2, '\0');
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<char>(nibble(hex[2 * i]) << 4 | nibble(hex[2 * i + 1]));
    return out;
}

}  // namespace

std::string ZeroWindowDigest(std::uint64_t length) {
    static const std::string full = HashZeros(DiskDigest::kWindowBytes);
    return length == DiskDigest::kWindowBytes ? full : HashZeros(length);
}

Extent DiskDigest::window(std::uint64_t index) const {
    const std::uint64_t start = index * kWindowBytes;
    return {start, std::min(kWindowBytes, diskBytes - start)};
}

std::string DiskDigest::windowDigest(std::uint64_t index) const {
    auto it = windows.find(index);
    return it != windows.end() ? it->second : ZeroWindowDigest(window(index).length);
}

void DiskDigest::setWindow(std::uint64_t index, const std::string& hex) {
    if (hex == ZeroWindowDigest(window(index).length))
        windows.erase(index);
    else
        windows[index] = hex;
}

std::string DiskDigest::computeRoot() const {
    const std::uint64_t count = windowCount();
    const std::string zeroFull = Binary(ZeroWindowDigest(kWindowBytes));
    Sha256 sha;
    for (std::uint64_t i = 0; i < count; ++i) {
        auto it = windows.find(i);
        const std::string digest = it != windows.end()   ? Binary(it->second)
                                   : i + 1 < count        ? zeroFull
                                                          : Binary(ZeroWindowDigest(window(i).length));
        sha.update(digest.data(), digest.size());
    }
    return sha.hex();
}

std::vector<std::uint64_t> TouchedWindows(const ExtentList& extents) {
    std::vector<std::uint64_t> touched;
    for (const Extent& e : extents) {
        const std::uint64_t last = (e.end() - 1) / DiskDigest::kWindowBytes;
        std::uint64_t first = e.start / DiskDigest::kWindowBytes;
        if (!touched.empty()) first = std::max(first, touched.back() + 1);
        for (std::uint64_t i = first; i <= last; ++i) touched.push_back(i);
    }
    return touched;
}

DiskDigest UpdateDigest(const ChainReader& reader, DiskDigest base, const std::vector<std::uint64_t>& touched,
                        const StopRequested& stop) {
    base.diskBytes = reader.size();
    AlignedBuffer buffer = MakeAlignedBuffer(DiskDigest::kWindowBytes);
    for (std::uint64_t index : touched) {
        StopPoint(stop);
        const Extent range = base.window(index);
        reader.read(range.start, static_cast<std::size_t>(range.length), buffer.get());
        Sha256 sha;
        sha.update(buffer.get(), static_cast<std::size_t>(range.length));
        base.setWindow(index, sha.hex());
    }
    base.root = base.computeRoot();
    return base;
}

}  // namespace vsagent
