#include "azsim/endpoint/Exchange.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "azsim/endpoint/HttpForms.h"

namespace azsim {

namespace {

constexpr std::size_t kChunk = 256 * 1024;

// The data file of one blob version, read at increasing offsets into one reused buffer.
class DataSource {
public:
    explicit DataSource(int fd) : fd_(fd), buffer_(kChunk) {}
    ~DataSource() { ::close(fd_); }
    DataSource(const DataSource&) = delete;
    DataSource& operator=(const DataSource&) = delete;

    // Reads `length` (at most one chunk) bytes at `offset` into the buffer; zeros past the file's end.
    bool read(std::uint64_t offset, std::size_t length) {
        std::size_t done = 0;
        while (done < length) {
            ssize_t n = ::pread(fd_, buffer_.data() + done, length - done, static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return false;
            if (n == 0) break;
            done += static_cast<std::size_t>(n);
        }
        std::memset(buffer_.data() + done, 0, length - done);
        return true;
    }
    const char* data() const { return buffer_.data(); }

private:
    int fd_;
    std::vector<char> buffer_;
};

}  // namespace

void sendError(Exchange& ex, const ServiceError& error) {
    ex.res.set_header("x-ms-error-code", error.code);
    for (const auto& [name, value] : error.headers) ex.res.set_header(name.c_str(), value);
    sendBody(ex, error.status, error.body(ex.requestId, serviceTimeNow()), "application/xml");
}

void sendBody(Exchange& ex, int status, const std::string& body, const char* contentType) {
    ex.res.status = status;
    if (body.size() <= ex.sendLimit) {
        ex.res.set_content(body, contentType);
        return;
    }
    auto text = std::make_shared<std::string>(body);
    std::uint64_t limit = ex.sendLimit;
    ex.res.set_content_provider(
        text->size(), contentType, [text, limit](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            if (offset >= limit) return false;
            std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(length, limit - offset));
            return sink.write(text->data() + offset, n);
        });
}

void sendEmpty(Exchange& ex, int status) {
    ex.res.status = status;
    if (ex.sendLimit == std::numeric_limits<std::uint64_t>::max()) {
        ex.res.set_header("Content-Length", "0");
        return;
    }
    // An answer cut short although it has no body: one byte more is announced than
    // is sent, so the client sees the status and then a connection that ends early.
    const std::uint64_t sent = ex.sendLimit;
    ex.res.set_content_provider(static_cast<std::size_t>(sent + 1), "application/octet-stream",
                                [sent](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                    if (offset >= sent) return false;
                                    const std::string zeros(std::min<std::uint64_t>(length, sent - offset), '\0');
                                    return sink.write(zeros.data(), zeros.size());
                                });
}

void sendHeadLength(Exchange& ex, std::uint64_t length) {
    ex.res.status = 200;
    ex.res.set_header("Content-Length", std::to_string(length));
}

bool sendBlobData(Exchange& ex, int status, const PageBlobStore& store, std::uint64_t offset, std::uint64_t length) {
    int fd = ::open(store.dataPath(ex.key, ex.snapshot).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    auto source = std::make_shared<DataSource>(fd);
    ex.res.status = status;
    if (length == 0) {
        ex.res.set_content(std::string(), "application/octet-stream");
        return true;
    }
    std::uint64_t limit = ex.sendLimit;
    ex.res.set_content_provider(
        static_cast<std::size_t>(length), "application/octet-stream",
        [source, offset, limit](std::size_t at, std::size_t remaining, httplib::DataSink& sink) {
            if (at >= limit) return false;
            std::size_t n = std::min<std::size_t>(remaining, kChunk);
            n = static_cast<std::size_t>(std::min<std::uint64_t>(n, limit - at));
            return source->read(offset + at, n) && sink.write(source->data(), n);
        });
    return true;
}

void setPropertyHeaders(Exchange& ex, const BlobProperties& properties) {
    ex.res.set_header("ETag", quotedEtag(properties.etag));
    ex.res.set_header("Last-Modified", httpDate(properties.lastModified));
    ex.res.set_header("x-ms-blob-type", properties.type == BlobType::Page ? "PageBlob" : "BlockBlob");
    if (properties.type == BlobType::Page) ex.res.set_header("x-ms-blob-sequence-number", "0");
    ex.res.set_header("x-ms-lease-status", "unlocked");
    ex.res.set_header("x-ms-lease-state", "available");
    ex.res.set_header("x-ms-server-encrypted", "true");
}

}  // namespace azsim
