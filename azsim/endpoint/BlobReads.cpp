#include <algorithm>
#include <vector>

#include "azsim/endpoint/BlobOperations.h"
#include "azsim/endpoint/HttpForms.h"

namespace azsim {

namespace {

ServiceError badHeader(const std::string& name, const std::string& value) {
    return ServiceError::of(400, "InvalidHeaderValue").detail("HeaderName", name).detail("HeaderValue", value);
}

struct ListedRange {
    PageRange range;
    bool cleared = false;
};

// The snapshot a page-range request compares against; empty when it asks for no diff.
// False when an error has been answered.
bool previousSnapshot(Exchange& ex, const PageBlobStore& store, std::string& previous) {
    previous = ex.param("prevsnapshot");
    const std::string url = ex.header("x-ms-previous-snapshot-url");
    if (!url.empty()) {
        BlobKey other;
        if (!blobUrl(url, other, previous) || !isSnapshotId(previous)) {
            sendError(ex, badHeader("x-ms-previous-snapshot-url", url));
            return false;
        }
        if (!(other == ex.key)) {
            sendError(ex, ServiceError::of(409, "PreviousSnapshotNotFound"));
            return false;
        }
    }
    if (!previous.empty() && !store.exists(ex.key, previous)) {
        sendError(ex, ServiceError::of(409, "PreviousSnapshotNotFound"));
        return false;
    }
    return true;
}

void addClipped(std::vector<ListedRange>& out, const std::vector<PageRange>& ranges, bool cleared, std::uint64_t from,
                std::uint64_t to) {
    for (const PageRange& r : ranges) {
        PageRange clipped{std::max(r.start, from), std::min(r.end, to)};
        if (clipped.start < clipped.end) out.push_back({clipped, cleared});
    }
}

std::string pageListXml(const std::vector<ListedRange>& ranges) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?><PageList>";
    for (const ListedRange& r : ranges) {
        const char* element = r.cleared ? "ClearRange" : "PageRange";
        xml += std::string("<") + element + "><Start>" + std::to_string(r.range.start) + "</Start><End>" +
               std::to_string(r.range.end - 1) + "</End></" + element + ">";
    }
    return xml + "</PageList>";
}

}  // namespace

void getBlob(Exchange& ex, const PageBlobStore& store) {
    BlobProperties props;
    if (!store.properties(ex.key, ex.snapshot, props)) return sendError(ex, ServiceError::of(404, "BlobNotFound"));
    setPropertyHeaders(ex, props);
    ex.res.set_header("Accept-Ranges", "bytes");
    if (ex.isHead()) {
        if (props.type == BlobType::Page) ex.res.set_header("x-ms-blob-content-length", std::to_string(props.size));
        ex.res.set_header("Content-Type", "application/octet-stream");
        return sendHeadLength(ex, props.size);
    }

    std::uint64_t first = 0;
    std::uint64_t length = props.size;
    int status = 200;
    const std::string rangeText = ex.rangeHeader();
    if (!rangeText.empty()) {
        std::optional<ByteRange> range = parseByteRange(rangeText);
        if (!range) return sendError(ex, badHeader(ex.rangeHeaderName(), rangeText));
        if (range->first >= props.size || (range->last && *range->last < range->first)) {
            ex.res.set_header("Content-Range", "bytes */" + std::to_string(props.size));
            return sendError(ex, ServiceError::of(416, "InvalidRange"));
        }
        std::uint64_t last = std::min(range->last.value_or(props.size - 1), props.size - 1);
        first = range->first;
        length = last - first + 1;
        status = 206;
        ex.res.set_header("Content-Range", "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                                               std::to_string(props.size));
    }
    if (props.type == BlobType::Block) {
        std::string content;
        if (!store.getBlockBlob(ex.key, content)) return sendError(ex, ServiceError::of(404, "BlobNotFound"));
        return sendBody(ex, status, content.substr(first, length), "application/octet-stream");
    }
    if (!sendBlobData(ex, status, store, first, length)) sendError(ex, ServiceError::of(404, "BlobNotFound"));
}

void getPageRanges(Exchange& ex, const PageBlobStore& store) {
    BlobProperties props;
    if (!store.properties(ex.key, ex.snapshot, props)) return sendError(ex, ServiceError::of(404, "BlobNotFound"));
    if (props.type != BlobType::Page) return sendError(ex, ServiceError::of(409, "InvalidBlobType"));

    std::uint64_t from = 0;
    std::uint64_t to = props.size;
    const std::string rangeText = ex.rangeHeader();
    if (!rangeText.empty()) {
        std::optional<ByteRange> range = parseByteRange(rangeText);
        if (!range) return sendError(ex, badHeader(ex.rangeHeaderName(), rangeText));
        // The window widens to whole pages: listed ranges are always page-exact.
        const std::uint64_t page = PageBlobStore::kPageSize;
        from = std::min(range->first / page * page, props.size);
        if (range->last) to = std::min((*range->last / page + 1) * page, props.size);
    }
    std::string previous;
    if (!previousSnapshot(ex, store, previous)) return;

    std::vector<ListedRange> listed;
    if (previous.empty()) {
        std::vector<PageRange> ranges;
        if (from < to && !store.pageRanges(ex.key, ex.snapshot, from, to - from, ranges))
            return sendError(ex, ServiceError::of(404, "BlobNotFound"));
        addClipped(listed, ranges, false, from, to);
    } else {
        PageRangeDiff diff;
        if (!store.pageRangesDiff(ex.key, ex.snapshot, previous, diff))
            return sendError(ex, ServiceError::of(400, "PreviousSnapshotCannotBeNewer"));
        addClipped(listed, diff.written, false, from, to);
        addClipped(listed, diff.cleared, true, from, to);
        std::sort(listed.begin(), listed.end(),
                  [](const ListedRange& a, const ListedRange& b) { return a.range.start < b.range.start; });
    }
    setPropertyHeaders(ex, props);
    ex.res.set_header("x-ms-blob-content-length", std::to_string(props.size));
    sendBody(ex, 200, pageListXml(listed), "application/xml");
}

}  // namespace azsim
