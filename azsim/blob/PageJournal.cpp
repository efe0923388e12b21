#include "azsim/blob/PageJournal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace azsim::blob {

namespace {

void put64(unsigned char* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

std::uint64_t get64(const unsigned char* p) {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= static_cast<std::uint64_t>(p[i]) << (8 * i);
    return v;
}

// FNV-1a over everything after the checksum field.
std::uint32_t checksum(const unsigned char* record) {
    std::uint32_t h = 2166136261u;
    for (std::size_t i = 8; i < PageJournal::kRecordBytes; ++i) h = (h ^ record[i]) * 16777619u;
    return h;
}

void encode(const JournalRecord& r, unsigned char* out) {
    put64(out + 8, r.startPage);
    put64(out + 16, r.endPage);
    put64(out + 24, r.generation);
    put64(out + 32, static_cast<std::uint64_t>(r.time));
    put64(out, static_cast<std::uint64_t>(r.kind) | static_cast<std::uint64_t>(checksum(out)) << 32);
}

bool decode(const unsigned char* in, JournalRecord& r) {
    std::uint64_t head = get64(in);
    auto kind = static_cast<std::uint32_t>(head);
    if (static_cast<std::uint32_t>(head >> 32) != checksum(in) || kind < 1 || kind > 2) return false;
    r.kind = static_cast<JournalRecord::Kind>(kind);
    r.startPage = get64(in + 8);
    r.endPage = get64(in + 16);
    r.generation = get64(in + 24);
    r.time = static_cast<std::int64_t>(get64(in + 32));
    return r.startPage < r.endPage;
}

// Steps back from the end of the journal over records a crash may have torn;
// `count` becomes the number of intact records.
bool findLast(int fd, std::uint64_t& count, JournalRecord& last) {
    struct stat st {};
    count = ::fstat(fd, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) / PageJournal::kRecordBytes : 0;
    unsigned char buffer[PageJournal::kRecordBytes];
    for (; count > 0; --count) {
        if (readAt(fd, buffer, sizeof buffer, (count - 1) * sizeof buffer) ==
                static_cast<std::int64_t>(sizeof buffer) &&
            decode(buffer, last))
            return true;
    }
    return false;
}

}  // namespace

bool PageJournal::openForAppend(const std::string& path, std::string* error) {
    path_ = path;
    fd_.reset(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!fd_.valid()) {
        if (error) *error = systemError("cannot open journal", path);
        return false;
    }
    JournalRecord last;
    lastGeneration_ = findLast(fd_.get(), count_, last) ? last.generation : 0;
    return true;
}

bool PageJournal::append(const JournalRecord& record, std::string* error) {
    unsigned char buffer[kRecordBytes];
    encode(record, buffer);
    if (!writeAt(fd_.get(), buffer, kRecordBytes, count_ * kRecordBytes)) {
        if (error) *error = systemError("cannot append to journal", path_);
        return false;
    }
    ++count_;
    lastGeneration_ = record.generation;
    return true;
}

bool PageJournal::readLast(const std::string& path, JournalRecord& out) {
    FileHandle fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    std::uint64_t count = 0;
    return fd.valid() && findLast(fd.get(), count, out);
}

std::vector<JournalRecord> PageJournal::readAll(const std::string& path) {
    std::vector<JournalRecord> records;
    std::string bytes;
    if (!readWholeFile(path, bytes)) return records;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    for (std::size_t at = 0; at + kRecordBytes <= bytes.size(); at += kRecordBytes) {
        JournalRecord record;
        if (!decode(p + at, record)) break;
        records.push_back(record);
    }
    return records;
}

}  // namespace azsim::blob
