#include "agent/store/ChainReader.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <vector>

#include "agent/store/Sha256.h"
#include "agent/store/StoreError.h"

namespace vsagent {

namespace {

constexpr std::size_t kWindow = 4 * 1024 * 1024;

}  // namespace

ChainReader::ChainReader(const std::vector<ChainLink>& links, std::uint64_t size) : size_(size) {
    for (const ChainLink& link : links) layers_.push_back({SparseImage::Open(link.imagePath), link.extents});
}

void ChainReader::read(std::uint64_t offset, std::size_t length, unsigned char* out) const {
    std::memset(out, 0, length);
    const std::uint64_t end = offset + length;
    for (const Layer& layer : layers_) {
        // Extents are sorted and disjoint: start at the first one that ends after `offset`.
        auto it = std::lower_bound(layer.extents.begin(), layer.extents.end(), offset,
                                   [](const Extent& e, std::uint64_t at) { return e.end() <= at; });
        for (; it != layer.extents.end() && it->start < end; ++it) {
            std::uint64_t from = std::max(offset, it->start);
            std::uint64_t to = std::min(end, it->end());
            layer.image.read(from, out + (from - offset), static_cast<std::size_t>(to - from));
        }
    }
}

std::string HashDisk(const ChainReader& reader) {
    Sha256 sha;
    std::vector<unsigned char> window(kWindow);
    for (std::uint64_t at = 0; at < reader.size(); at += kWindow) {
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kWindow, reader.size() - at));
        reader.read(at, n, window.data());
        sha.update(window.data(), n);
    }
    return sha.hex();
}

std::string HashExtents(const SparseImage& image, const ExtentList& extents) {
    Sha256 sha;
    std::vector<unsigned char> window(kWindow);
    for (const Extent& e : extents) {
        for (std::uint64_t at = e.start; at < e.end(); at += kWindow) {
            std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kWindow, e.end() - at));
            image.read(at, window.data(), n);
            sha.update(window.data(), n);
        }
    }
    return sha.hex();
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
