#include "agent/store/ChainReader.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <map>
#include <vector>

#include "agent/store/AlignedBuffer.h"
#include "agent/store/Sha256.h"
#include "agent/store/StoreError.h"

namespace vsagent {

namespace {

constexpr std::size_t kWindow = 4 * 1024 * 1024;

using WindowReader = std::function<void(std::uint64_t offset, std::size_t length, unsigned char* out)>;

// SHA-256 of the bytes of `extents` in order, read in windows of at most 4 MiB.
// The next window is read while the current one is hashed, so that a pass costs
// about the slower of the two rather than their sum. `stop` is asked after each
// window arrives, when no read is under way.
std::string HashWindows(const ExtentList& extents, const WindowReader& read, const StopRequested& stop) {
    // The windows in order: each extent cut into pieces of at most kWindow bytes.
    std::size_t extent = 0;
    std::uint64_t at = extents.empty() ? 0 : extents.front().start;
    auto nextWindow = [&](Extent& window) {
        while (extent < extents.size() && at >= extents[extent].end())
            if (++extent < extents.size()) at = extents[extent].start;
        if (extent == extents.size()) return false;
        window = {at, std::min<std::uint64_t>(kWindow, extents[extent].end() - at)};
        at += window.length;
        return true;
    };
    AlignedBuffer buffers[2] = {MakeAlignedBuffer(kWindow), MakeAlignedBuffer(kWindow)};
    auto fetch = [&read](const Extent& window, unsigned char* into) {
        return std::async(std::launch::async, [&read, window, into] {
            read(window.start, static_cast<std::size_t>(window.length), into);
        });
    };
    Sha256 sha;
    Extent current{};
    if (!nextWindow(current)) return sha.hex();
    std::future<void> pending = fetch(current, buffers[0].get());
    for (int slot = 0;; slot ^= 1) {
        pending.get();
        StopPoint(stop);
        Extent next{};
        const bool more = nextWindow(next);
        if (more) pending = fetch(next, buffers[slot ^ 1].get());
        sha.update(buffers[slot].get(), static_cast<std::size_t>(current.length));
        if (!more) return sha.hex();
        current = next;
    }
}

}  // namespace

ChainReader::ChainReader(const std::vector<ChainLink>& links, std::uint64_t size) : size_(size) {
    // Paint each job's extents over the older ones, oldest job first, keyed by start:
    // what a newer job stored cuts away what older ones hold under it.
    std::map<std::uint64_t, Piece> painted;
    for (std::size_t layer = 0; layer < links.size(); ++layer) {
        images_.push_back(SparseImage::Open(links[layer].imagePath));
        for (const Extent& e : links[layer].extents) {
            const std::uint64_t start = e.start;
            const std::uint64_t end = std::min(e.end(), size_);
            if (start >= end) continue;
            auto it = painted.lower_bound(start);
            if (it != painted.begin()) {
                // A piece that starts before this extent keeps its head, and its tail if it reaches past.
                Piece& before = std::prev(it)->second;
                if (before.end > start) {
                    if (before.end > end) painted.emplace(end, Piece{end, before.end, before.layer});
                    before.end = start;
                }
            }
            while (it != painted.end() && it->first < end) {
                const Piece covered = it->second;
                it = painted.erase(it);
                if (covered.end > end) {
                    painted.emplace(end, Piece{end, covered.end, covered.layer});
                    break;
                }
            }
            painted.emplace(start, Piece{start, end, layer});
        }
    }
    for (const auto& entry : painted) {
        const Piece& piece = entry.second;
        if (!pieces_.empty() && pieces_.back().end == piece.start && pieces_.back().layer == piece.layer)
            pieces_.back().end = piece.end;
        else
            pieces_.push_back(piece);
        if (!data_.empty() && data_.back().end() == piece.start)
            data_.back().length += piece.end - piece.start;
        else
            data_.push_back({piece.start, piece.end - piece.start});
    }
}

void ChainReader::read(std::uint64_t offset, std::size_t length, unsigned char* out) const {
    const std::uint64_t end = offset + length;
    // Pieces are sorted and disjoint: start at the first one that ends after `offset`.
    auto it = std::lower_bound(pieces_.begin(), pieces_.end(), offset,
                               [](const Piece& p, std::uint64_t at) { return p.end <= at; });
    std::uint64_t at = offset;  // everything before `at` is filled
    for (; it != pieces_.end() && it->start < end; ++it) {
        const std::uint64_t from = std::max(offset, it->start);
        const std::uint64_t to = std::min(end, it->end);
        if (from > at) std::memset(out + (at - offset), 0, static_cast<std::size_t>(from - at));
        images_[it->layer].read(from, out + (from - offset), static_cast<std::size_t>(to - from));
        at = to;
    }
    if (at < end) std::memset(out + (at - offset), 0, static_cast<std::size_t>(end - at));
}

std::string HashDisk(const ChainReader& reader, const StopRequested& stop) {
    return HashWindows(
        ExtentList{{0, reader.size()}},
        [&reader](std::uint64_t at, std::size_t n, unsigned char* out) { reader.read(at, n, out); }, stop);
}

std::string HashExtents(const SparseImage& image, const ExtentList& extents, const StopRequested& stop) {
    return HashWindows(
        extents, [&image](std::uint64_t at, std::size_t n, unsigned char* out) { image.read(at, out, n); }, stop);
}

std::string HashFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw StoreError("cannot read [" + path + "]");
    Sha256 sha;
    std::vector<char> window(kWindow);
    while (in) {
        in.read(window.data(), static_cast<std::streamsize>(window.size()));
        sha.update(window.data(), static_cast<std::size_t>(in.gcount()));
    }
    return sha.hex();
}

}  // namespace vsagent
