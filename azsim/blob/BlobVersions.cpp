#include "azsim/blob/BlobVersions.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "azsim/blob/PageJournal.h"
#include "azsim/blob/SnapshotId.h"
#include "azsim/blob/SparseFile.h"

namespace azsim::blob {

bool validVersion(const std::string& snapshot) {
    std::int64_t ticks = 0;
    return snapshot.empty() || parseSnapshotId(snapshot, ticks);
}

std::string describe(const BlobKey& key) { return key.account + "/" + key.container + "/" + key.name; }

std::string invalidName(const BlobKey& key) { return "blob name [" + describe(key) + "] is invalid"; }

std::string missing(const BlobKey& key) { return "blob [" + describe(key) + "] does not exist"; }

std::string notPageBlob(const BlobKey& key) { return "blob [" + describe(key) + "] is not a page blob"; }

bool fail(std::string* error, const std::string& text) {
    if (error) *error = text;
    return false;
}

bool loadHeader(const BlobFolder& folder, const std::string& snapshot, StateHeader& out) {
    FileHandle fd(::open(folder.metaPath(snapshot).c_str(), O_RDONLY | O_CLOEXEC));
    unsigned char bytes[StateHeader::kBytes];
    if (!fd.valid() || readAt(fd.get(), bytes, sizeof bytes, 0) != static_cast<std::int64_t>(sizeof bytes) ||
        !decodeHeader(bytes, sizeof bytes, out))
        return false;
    JournalRecord last;
    if (snapshot.empty() && PageJournal::readLast(folder.journalPath(), last) && last.generation > out.generation) {
        out.generation = last.generation;
        out.lastModified = last.time;
    }
    return true;
}

bool loadVersion(const BlobFolder& folder, const std::string& snapshot, BlobState& out) {
    std::string bytes;
    if (!readWholeFile(folder.metaPath(snapshot), bytes) || !decodeState(bytes, out)) return false;
    if (!snapshot.empty()) return true;
    for (const JournalRecord& r : PageJournal::readAll(folder.journalPath())) {
        if (r.generation <= out.header.generation || r.endPage > out.pages()) continue;
        if (r.kind == JournalRecord::Kind::Write)
            out.applyWrite(r.startPage, r.endPage, r.generation, r.time);
        else
            out.applyClear(r.startPage, r.endPage, r.generation, r.time);
    }
    return true;
}

bool saveCurrent(const BlobFolder& folder, const BlobState& state, std::string* error) {
    if (!replaceFile(folder.metaPath(), encodeState(state), error)) return false;
    ::unlink(folder.journalPath().c_str());
    return true;
}

bool installVersion(const BlobFolder& folder, const BlobKey& key, BlobType type, std::uint64_t size,
                    const IntervalMap<bool>& allocated, const std::string& dataFile, std::string* error) {
    BlobState previous;
    bool existed = loadVersion(folder, std::string(), previous);
    BlobState next;
    next.key = key;
    next.header.type = type;
    next.lastSnapshotId = existed ? previous.lastSnapshotId : std::string();
    next.restart(size, existed ? previous.header.generation : 0, nowTicks());
    next.allocated = allocated;
    if (std::rename(dataFile.c_str(), folder.dataPath(std::string()).c_str()) != 0) {
        fail(error, systemError("cannot move in blob data", dataFile));
        ::unlink(dataFile.c_str());
        return false;
    }
    return saveCurrent(folder, next, error);
}

}  // namespace azsim::blob
