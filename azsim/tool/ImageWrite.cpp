#include "azsim/tool/ImageWrite.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace azsimtool {

namespace {

constexpr std::uint64_t kPage = azsim::PageBlobStore::kPageSize;
constexpr std::uint64_t kChunkBytes = 4 * 1024 * 1024;

std::uint64_t RoundUpToPage(std::uint64_t bytes) { return (bytes + kPage - 1) / kPage * kPage; }

bool IsZeroPage(const char* page) {
    static const char kZeros[kPage] = {};
    return std::memcmp(page, kZeros, kPage) == 0;
}

// The image file, read by page-aligned stretches; bytes past its end read as zeros.
class ImageFile {
public:
    ImageFile() = default;
    ~ImageFile() {
        if (fd_ >= 0) ::close(fd_);
    }
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;

    bool open(const std::string& path, std::string& error);
    std::uint64_t size() const { return size_; }
    std::uint64_t paddedSize() const { return RoundUpToPage(size_); }
    // The next stretch [start, end) of whole pages at or after the page-aligned `from` that may hold
    // data; false when only a hole remains. Without hole information the rest is one stretch.
    bool nextData(std::uint64_t from, std::uint64_t& start, std::uint64_t& end) const;
    bool read(std::uint64_t offset, char* out, std::uint64_t length, std::string& error) const;

private:
    bool failed(const std::string& what, std::string& error) const {
        error = "image [" + path_ + "] " + what + ": " + std::strerror(errno);
        return false;
    }

    std::string path_;
    int fd_ = -1;
    std::uint64_t size_ = 0;
};

bool ImageFile::open(const std::string& path, std::string& error) {
    path_ = path;
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return failed("cannot be opened", error);
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
        error = "image [" + path + "] is neither a file nor a block device";
        return false;
    }
    const off_t end = ::lseek(fd_, 0, SEEK_END);
    if (end < 0) return failed("has no size", error);
    size_ = static_cast<std::uint64_t>(end);
    return true;
}

bool ImageFile::nextData(std::uint64_t from, std::uint64_t& start, std::uint64_t& end) const {
    if (from >= paddedSize()) return false;
    const off_t data = ::lseek(fd_, static_cast<off_t>(from), SEEK_DATA);
    if (data < 0 && errno == ENXIO) return false;
    if (data < 0) {
        start = from;
        end = paddedSize();
        return true;
    }
    const off_t hole = ::lseek(fd_, data, SEEK_HOLE);
    start = static_cast<std::uint64_t>(data) / kPage * kPage;
    end = hole < 0 ? paddedSize() : std::min(RoundUpToPage(static_cast<std::uint64_t>(hole)), paddedSize());
    return true;
}

bool ImageFile::read(std::uint64_t offset, char* out, std::uint64_t length, std::string& error) const {
    std::uint64_t done = 0;
    while (done < length) {
        const ssize_t n = ::pread(fd_, out + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return failed("cannot be read", error);
        if (n == 0) break;
        done += static_cast<std::uint64_t>(n);
    }
    std::memset(out + done, 0, length - done);
    return true;
}

// Puts image pages on the blob, at image offsets: runs of non-zero pages are written, and
// stretches that read as zeros are cleared where the blob has allocated pages.
class PagePlacer {
public:
    PagePlacer(azsim::PageBlobStore& store, const azsim::BlobKey& blob, std::uint64_t offset,
               std::vector<azsim::PageRange> allocated, ImageWriteCounts& counts)
        : store_(store), blob_(blob), offset_(offset), allocated_(std::move(allocated)), counts_(counts) {}

    // Image pages [at, at + length) holding `bytes`.
    bool place(std::uint64_t at, const char* bytes, std::uint64_t length, std::string& error);
    // Image pages [from, to) that read as zeros.
    bool clear(std::uint64_t from, std::uint64_t to, std::string& error);

private:
    bool write(std::uint64_t at, const char* bytes, std::uint64_t length, std::string& error);

    azsim::PageBlobStore& store_;
    const azsim::BlobKey& blob_;
    std::uint64_t offset_;
    std::vector<azsim::PageRange> allocated_;  // in blob offsets, sorted
    ImageWriteCounts& counts_;
};

bool PagePlacer::place(std::uint64_t at, const char* bytes, std::uint64_t length, std::string& error) {
    for (std::uint64_t run = 0; run < length;) {
        const bool zero = IsZeroPage(bytes + run);
        std::uint64_t end = run + kPage;
        while (end < length && IsZeroPage(bytes + end) == zero) end += kPage;
        if (!(zero ? clear(at + run, at + end, error) : write(at + run, bytes + run, end - run, error))) return false;
        run = end;
    }
    return true;
}

bool PagePlacer::write(std::uint64_t at, const char* bytes, std::uint64_t length, std::string& error) {
    if (!store_.writePages(blob_, offset_ + at, bytes, length, &error)) return false;
    counts_.writtenBytes += length;
    return true;
}

bool PagePlacer::clear(std::uint64_t from, std::uint64_t to, std::string& error) {
    const std::uint64_t first = offset_ + from;
    const std::uint64_t last = offset_ + to;
    auto range = std::upper_bound(allocated_.begin(), allocated_.end(), first,
                                  [](std::uint64_t at, const azsim::PageRange& r) { return at < r.end; });
    for (; range != allocated_.end() && range->start < last; ++range) {
        const std::uint64_t start = std::max(range->start, first);
        const std::uint64_t end = std::min(range->end, last);
        if (!store_.clearPages(blob_, start, end - start, &error)) return false;
        counts_.clearedBytes += end - start;
    }
    return true;
}

// Every stretch of the image in order: its data placed, the holes between cleared.
bool PlaceImage(const ImageFile& image, PagePlacer& placer, std::string& error) {
    std::vector<char> chunk(kChunkBytes);
    std::uint64_t done = 0;
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    while (image.nextData(done, start, end)) {
        if (!placer.clear(done, start, error)) return false;
        for (std::uint64_t at = start; at < end; at += kChunkBytes) {
            const std::uint64_t length = std::min(kChunkBytes, end - at);
            if (!image.read(at, chunk.data(), length, error) || !placer.place(at, chunk.data(), length, error))
                return false;
        }
        done = end;
    }
    return placer.clear(done, image.paddedSize(), error);
}

}  // namespace

bool WriteImage(azsim::PageBlobStore& store, const azsim::BlobKey& blob, const std::string& imagePath,
                std::uint64_t offset, ImageWriteCounts& counts, std::string& error) {
    ImageFile image;
    if (!image.open(imagePath, error)) return false;
    azsim::BlobProperties disk;
    if (!store.properties(blob, std::string(), disk) || disk.type != azsim::BlobType::Page) {
        error = "the disk's page blob does not exist";
        return false;
    }
    if (offset > disk.size || image.paddedSize() > disk.size - offset) {
        error = "image [" + imagePath + "] of " + std::to_string(image.size()) + " bytes at offset " +
                std::to_string(offset) + " reaches past the end of the disk (" + std::to_string(disk.size) + " bytes)";
        return false;
    }
    std::vector<azsim::PageRange> allocated;
    if (!store.pageRanges(blob, std::string(), offset, image.paddedSize(), allocated)) {
        error = "the allocated pages of the disk cannot be listed";
        return false;
    }
    counts = ImageWriteCounts();
    counts.imageBytes = image.size();
    PagePlacer placer(store, blob, offset, std::move(allocated), counts);
    return PlaceImage(image, placer, error);
}

}  // namespace azsimtool
