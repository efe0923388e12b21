// The journal of a blob: writes and clears appended as fixed-size records since
// the blob's metadata was last rewritten. Appending a record is what makes a
// page write cheap; the metadata is rewritten (and the journal emptied) only
// once the journal has grown long. A record torn by a crash fails its checksum
// and ends the journal; records already folded into the metadata (generation
// not above the metadata's) are skipped when replayed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "azsim/blob/SparseFile.h"

namespace azsim::blob {

struct JournalRecord {
    enum class Kind : std::uint32_t { Write = 1, Clear = 2 };
    Kind kind = Kind::Write;
    std::uint64_t startPage = 0;
    std::uint64_t endPage = 0;
    std::uint64_t generation = 0;
    std::int64_t time = 0;  // seconds since the epoch
};

class PageJournal {
public:
    static constexpr std::size_t kRecordBytes = 40;
    static constexpr std::uint64_t kCompactAfter = 1024;  // records

    // Opens the journal for appending (creating it), positioned after its last intact record.
    bool openForAppend(const std::string& path, std::string* error);
    // Generation of the last intact record, 0 when there is none.
    std::uint64_t lastGeneration() const { return lastGeneration_; }
    std::uint64_t count() const { return count_; }
    bool append(const JournalRecord& record, std::string* error);

    // Every intact record of the journal at `path`, oldest first (none when it is absent).
    static std::vector<JournalRecord> readAll(const std::string& path);
    // The last intact record of the journal at `path`; false when there is none.
    static bool readLast(const std::string& path, JournalRecord& out);

private:
    FileHandle fd_;
    std::string path_;
    std::uint64_t count_ = 0;
    std::uint64_t lastGeneration_ = 0;
};

}  // namespace azsim::blob
