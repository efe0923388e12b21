// Disjoint half-open intervals of page numbers, each carrying a value.
// Neighbouring intervals with equal values are merged, so a blob's allocation
// and change history stay as small as the pattern of writes allows; assigning
// or erasing a range costs O(log n) plus the intervals it replaces.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <map>

namespace azsim::blob {

template <typename V>
class IntervalMap {
public:
    struct Segment {
        std::uint64_t end;
        V value;
    };
    using Segments = std::map<std::uint64_t, Segment>;

    void assign(std::uint64_t start, std::uint64_t end, const V& value) {
        if (start >= end) return;
        erase(start, end);
        auto it = segments_.emplace(start, Segment{end, value}).first;
        mergeWithNext(it);
        if (it != segments_.begin()) mergeWithNext(std::prev(it));
    }

    void erase(std::uint64_t start, std::uint64_t end) {
        if (start >= end) return;
        split(start);
        split(end);
        segments_.erase(segments_.lower_bound(start), segments_.lower_bound(end));
    }

    // Adds an interval after every existing one (loading a stored map in order).
    void append(std::uint64_t start, std::uint64_t end, const V& value) {
        if (start >= end) return;
        auto it = segments_.emplace_hint(segments_.end(), start, Segment{end, value});
        if (it != segments_.begin()) mergeWithNext(std::prev(it));
    }

    // Calls f(start, end, value) for every interval overlapping [start, end), clipped to it.
    template <typename F>
    void forEach(std::uint64_t start, std::uint64_t end, F&& f) const {
        auto it = segments_.upper_bound(start);
        if (it != segments_.begin()) --it;
        for (; it != segments_.end() && it->first < end; ++it) {
            std::uint64_t s = std::max(it->first, start);
            std::uint64_t e = std::min(it->second.end, end);
            if (s < e) f(s, e, it->second.value);
        }
    }

    const Segments& segments() const { return segments_; }
    void clear() { segments_.clear(); }

private:
    void split(std::uint64_t at) {
        auto it = segments_.upper_bound(at);
        if (it == segments_.begin()) return;
        --it;
        if (it->first < at && at < it->second.end) {
            Segment tail{it->second.end, it->second.value};
            it->second.end = at;
            segments_.emplace_hint(std::next(it), at, tail);
        }
    }

    void mergeWithNext(typename Segments::iterator it) {
        auto next = std::next(it);
        if (next != segments_.end() && next->first == it->second.end && next->second.value == it->second.value) {
            it->second.end = next->second.end;
            segments_.erase(next);
        }
    }

    Segments segments_;
};

}  // namespace azsim::blob
