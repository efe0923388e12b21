#include "azsim/blob/BlobState.h"

#include <cstdio>

namespace azsim::blob {

namespace {

constexpr std::uint32_t kMagic = 0x42505a41;  // "AZPB"
constexpr std::uint32_t kFormat = 1;

class ByteWriter {
public:
    void u32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) out_.push_back(static_cast<char>(v >> (8 * i)));
    }
    void u64(std::uint64_t v) {
        for (int i = 0; i < 8; ++i) out_.push_back(static_cast<char>(v >> (8 * i)));
    }
    void varint(std::uint64_t v) {
        while (v >= 0x80) {
            out_.push_back(static_cast<char>((v & 0x7f) | 0x80));
            v >>= 7;
        }
        out_.push_back(static_cast<char>(v));
    }
    void text(const std::string& s) {
        varint(s.size());
        out_ += s;
    }
    std::string take() { return std::move(out_); }

private:
    std::string out_;
};

class ByteReader {
public:
    ByteReader(const unsigned char* data, std::size_t length) : p_(data), end_(data + length) {}
    bool u32(std::uint32_t& v) {
        std::uint64_t w = 0;
        if (!fixed(4, w)) return false;
        v = static_cast<std::uint32_t>(w);
        return true;
    }
    bool u64(std::uint64_t& v) { return fixed(8, v); }
    bool varint(std::uint64_t& v) {
        v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (p_ == end_) return false;
            unsigned char b = *p_++;
            v |= static_cast<std::uint64_t>(b & 0x7f) << shift;
            if (!(b & 0x80)) return true;
        }
        return false;
    }
    bool text(std::string& s) {
        std::uint64_t n = 0;
        if (!varint(n) || n > static_cast<std::uint64_t>(end_ - p_)) return false;
        s.assign(reinterpret_cast<const char*>(p_), n);
        p_ += n;
        return true;
    }
    bool atEnd() const { return p_ == end_; }

private:
    bool fixed(int bytes, std::uint64_t& v) {
        if (end_ - p_ < bytes) return false;
        v = 0;
        for (int i = 0; i < bytes; ++i) v |= static_cast<std::uint64_t>(p_[i]) << (8 * i);
        p_ += bytes;
        return true;
    }
    const unsigned char* p_;
    const unsigned char* end_;
};

void encodeHeader(ByteWriter& w, const StateHeader& h) {
    w.u32(kMagic);
    w.u32(kFormat);
    w.u32(h.type == BlobType::Page ? 0 : 1);
    w.u32(0);
    w.u64(h.size);
    w.u64(h.generation);
    w.u64(static_cast<std::uint64_t>(h.createdTicks));
    w.u64(static_cast<std::uint64_t>(h.lastModified));
}

bool readHeader(ByteReader& r, StateHeader& h) {
    std::uint32_t magic = 0, format = 0, type = 0, reserved = 0;
    std::uint64_t created = 0, modified = 0;
    if (!r.u32(magic) || !r.u32(format) || !r.u32(type) || !r.u32(reserved) || !r.u64(h.size) ||
        !r.u64(h.generation) || !r.u64(created) || !r.u64(modified))
        return false;
    if (magic != kMagic || format != kFormat || type > 1) return false;
    h.type = type == 0 ? BlobType::Page : BlobType::Block;
    h.createdTicks = static_cast<std::int64_t>(created);
    h.lastModified = static_cast<std::int64_t>(modified);
    return true;
}

// Intervals are stored as gaps and lengths from the previous end, which keeps
// scattered small ranges to a few bytes each.
template <typename V, typename PutValue>
void encodeIntervals(ByteWriter& w, const IntervalMap<V>& map, PutValue putValue) {
    w.varint(map.segments().size());
    std::uint64_t previousEnd = 0;
    for (const auto& [start, segment] : map.segments()) {
        w.varint(start - previousEnd);
        w.varint(segment.end - start);
        putValue(segment.value);
        previousEnd = segment.end;
    }
}

template <typename V, typename GetValue>
bool decodeIntervals(ByteReader& r, IntervalMap<V>& map, GetValue getValue) {
    std::uint64_t count = 0, previousEnd = 0;
    if (!r.varint(count)) return false;
    for (std::uint64_t i = 0; i < count; ++i) {
        std::uint64_t gap = 0, length = 0;
        V value{};
        if (!r.varint(gap) || !r.varint(length) || !getValue(value) || length == 0) return false;
        std::uint64_t start = previousEnd + gap;
        if (start < previousEnd || start + length < start) return false;
        map.append(start, start + length, value);
        previousEnd = start + length;
    }
    return true;
}

}  // namespace

std::string StateHeader::etag() const {
    char text[48];
    std::snprintf(text, sizeof text, "\"0x%016llX%08llX\"", static_cast<unsigned long long>(createdTicks),
                  static_cast<unsigned long long>(generation));
    return text;
}

void BlobState::restart(std::uint64_t size, std::uint64_t previousGeneration, std::int64_t nowTicks) {
    header.size = size;
    header.generation = previousGeneration + 1;
    header.createdTicks = nowTicks;
    header.lastModified = nowTicks / 10000000;
    allocated.clear();
    changed.clear();
    changed.assign(0, pages(), header.generation);
}

void BlobState::applyWrite(std::uint64_t startPage, std::uint64_t endPage, std::uint64_t generation,
                           std::int64_t time) {
    allocated.assign(startPage, endPage, true);
    changed.assign(startPage, endPage, generation);
    header.generation = generation;
    header.lastModified = time;
}

void BlobState::applyClear(std::uint64_t startPage, std::uint64_t endPage, std::uint64_t generation,
                           std::int64_t time) {
    allocated.erase(startPage, endPage);
    changed.assign(startPage, endPage, generation);
    header.generation = generation;
    header.lastModified = time;
}

std::string encodeState(const BlobState& state) {
    ByteWriter w;
    encodeHeader(w, state.header);
    w.text(state.key.account);
    w.text(state.key.container);
    w.text(state.key.name);
    w.text(state.snapshotId);
    w.text(state.lastSnapshotId);
    encodeIntervals(w, state.allocated, [](bool) {});
    encodeIntervals(w, state.changed, [&w](std::uint64_t generation) { w.varint(generation); });
    return w.take();
}

bool decodeState(const std::string& bytes, BlobState& out) {
    ByteReader r(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    out = BlobState();
    return readHeader(r, out.header) && r.text(out.key.account) && r.text(out.key.container) &&
           r.text(out.key.name) && r.text(out.snapshotId) && r.text(out.lastSnapshotId) &&
           decodeIntervals(r, out.allocated,
                           [](bool& v) {
                               v = true;
                               return true;
                           }) &&
           decodeIntervals(r, out.changed, [&r](std::uint64_t& generation) { return r.varint(generation); }) &&
           r.atEnd();
}

bool decodeHeader(const unsigned char* bytes, std::size_t length, StateHeader& out) {
    ByteReader r(bytes, length);
    return readHeader(r, out);
}

}  // namespace azsim::blob
