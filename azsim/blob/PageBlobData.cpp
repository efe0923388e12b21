// The data path of the blob store: page writes and clears, reads, page ranges
// and diffs. A write or clear costs one pwrite (or hole punch) and one journal
// record; a read is one pread and never touches the metadata.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "azsim/blob/BlobVersions.h"
#include "azsim/blob/PageBlobStore.h"
#include "azsim/blob/PageJournal.h"
#include "azsim/blob/SnapshotId.h"
#include "azsim/blob/SparseFile.h"

namespace azsim {

using namespace blob;

namespace {

constexpr std::uint64_t kPage = PageBlobStore::kPageSize;

bool checkAlignment(std::uint64_t offset, std::uint64_t length, std::string* error) {
    if (offset % kPage != 0)
        return fail(error, "page offset " + std::to_string(offset) + " is not a multiple of 512");
    if (length == 0 || length % kPage != 0)
        return fail(error, "page length " + std::to_string(length) + " is not a positive multiple of 512");
    return true;
}

// Changes pages [offset, offset + length) of a page blob under its exclusive lock:
// `change` alters the data file, then the change is journalled with the blob's next
// generation. The metadata is rewritten only when the journal has grown long.
template <typename Change>
bool changePages(const std::string& root, const BlobKey& key, JournalRecord::Kind kind, std::uint64_t offset,
                 std::uint64_t length, Change change, std::string* error) {
    if (!validKey(key)) return fail(error, invalidName(key));
    if (!checkAlignment(offset, length, error)) return false;
    BlobFolder folder(root, key);
    BlobLock lock;
    std::string why;
    StateHeader header;
    if (!lock.acquire(folder, BlobLock::Mode::Exclusive, false, &why) || !loadHeader(folder, std::string(), header))
        return fail(error, why.empty() ? missing(key) : why);
    if (header.type != BlobType::Page) return fail(error, notPageBlob(key));
    if (offset >= header.size || length > header.size - offset)
        return fail(error, "page range [" + std::to_string(offset) + ", " + std::to_string(offset + length) +
                               ") is outside the blob of " + std::to_string(header.size) + " bytes");
    PageJournal journal;
    if (!journal.openForAppend(folder.journalPath(), error)) return false;
    const std::string dataPath = folder.dataPath(std::string());
    // The data may still be shared with the blob's latest snapshot.
    if (!ownFile(dataPath, error)) return false;
    FileHandle data(::open(dataPath.c_str(), O_WRONLY | O_CLOEXEC));
    if (!data.valid() || !change(data.get())) return fail(error, systemError("cannot change pages of", dataPath));
    JournalRecord record;
    record.kind = kind;
    record.startPage = offset / kPage;
    record.endPage = (offset + length) / kPage;
    record.generation = std::max(header.generation, journal.lastGeneration()) + 1;
    record.time = nowTicks() / 10000000;
    if (!journal.append(record, error)) return false;
    if (journal.count() < PageJournal::kCompactAfter) return true;
    BlobState state;
    return loadVersion(folder, std::string(), state) && saveCurrent(folder, state, error);
}

// Adds pages [start, end) to byte ranges, merging with the last range when they touch.
void addPages(std::vector<PageRange>& ranges, std::uint64_t start, std::uint64_t end) {
    if (!ranges.empty() && ranges.back().end == start * kPage)
        ranges.back().end = end * kPage;
    else
        ranges.push_back(PageRange{start * kPage, end * kPage});
}

// The pages of `newer` stamped after generation `since`, split by whether they hold data.
PageRangeDiff changedSince(const BlobState& newer, std::uint64_t since) {
    PageRangeDiff diff;
    newer.changed.forEach(0, newer.pages(), [&](std::uint64_t start, std::uint64_t end, std::uint64_t generation) {
        if (generation <= since) return;
        std::uint64_t cursor = start;
        newer.allocated.forEach(start, end, [&](std::uint64_t s, std::uint64_t e, bool) {
            if (cursor < s) addPages(diff.cleared, cursor, s);
            addPages(diff.written, s, e);
            cursor = e;
        });
        if (cursor < end) addPages(diff.cleared, cursor, end);
    });
    return diff;
}

}  // namespace

bool PageBlobStore::writePages(const BlobKey& key, std::uint64_t offset, const void* data, std::uint64_t length,
                               std::string* error) {
    return changePages(root_, key, JournalRecord::Kind::Write, offset, length,
                       [&](int fd) { return writeAt(fd, data, length, offset); }, error);
}

bool PageBlobStore::clearPages(const BlobKey& key, std::uint64_t offset, std::uint64_t length, std::string* error) {
    return changePages(root_, key, JournalRecord::Kind::Clear, offset, length,
                       [&](int fd) { return zeroRange(fd, offset, length); }, error);
}

std::int64_t PageBlobStore::read(const BlobKey& key, const std::string& snapshot, std::uint64_t offset, void* out,
                                 std::uint64_t length) const {
    if (!validKey(key) || !validVersion(snapshot)) return -1;
    BlobFolder folder(root_, key);
    BlobLock lock;
    if (!lock.acquire(folder, BlobLock::Mode::Shared, false, nullptr) ||
        ::access(folder.metaPath(snapshot).c_str(), F_OK) != 0)
        return -1;
    FileHandle fd(::open(folder.dataPath(snapshot).c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0) return -1;
    auto size = static_cast<std::uint64_t>(st.st_size);
    if (offset >= size) return 0;
    return readAt(fd.get(), out, std::min(length, size - offset), offset);
}

std::string PageBlobStore::dataPath(const BlobKey& key, const std::string& snapshot) const {
    if (!validKey(key) || !validVersion(snapshot)) return std::string();
    return BlobFolder(root_, key).dataPath(snapshot);
}

bool PageBlobStore::pageRanges(const BlobKey& key, const std::string& snapshot, std::uint64_t offset,
                               std::uint64_t length, std::vector<PageRange>& out) const {
    out.clear();
    if (!validKey(key) || !validVersion(snapshot)) return false;
    BlobFolder folder(root_, key);
    BlobLock lock;
    BlobState state;
    if (!lock.acquire(folder, BlobLock::Mode::Shared, false, nullptr) || !loadVersion(folder, snapshot, state) ||
        state.header.type != BlobType::Page)
        return false;
    if (offset >= state.header.size) return true;
    std::uint64_t end = offset + std::min(length, state.header.size - offset);
    state.allocated.forEach(offset / kPage, (end + kPage - 1) / kPage,
                            [&](std::uint64_t s, std::uint64_t e, bool) { addPages(out, s, e); });
    return true;
}

bool PageBlobStore::pageRangesDiff(const BlobKey& key, const std::string& snapshot,
                                   const std::string& previousSnapshot, PageRangeDiff& out) const {
    out = PageRangeDiff();
    if (!validKey(key) || !validVersion(snapshot) || previousSnapshot.empty() || !validVersion(previousSnapshot))
        return false;
    // Ids of one blob sort in the order they were taken; the blob itself is newer than all.
    if (!snapshot.empty() && previousSnapshot >= snapshot) return false;
    BlobFolder folder(root_, key);
    BlobLock lock;
    BlobState newer, previous;
    if (!lock.acquire(folder, BlobLock::Mode::Shared, false, nullptr) || !loadVersion(folder, snapshot, newer) ||
        !loadVersion(folder, previousSnapshot, previous) || newer.header.type != BlobType::Page ||
        previous.header.generation > newer.header.generation)
        return false;
    out = changedSince(newer, previous.header.generation);
    return true;
}

}  // namespace azsim
