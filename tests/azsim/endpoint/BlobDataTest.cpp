// Reads, writes, page lists and fault rules over HTTPS, checked against the blob store, and many clients at once.
#include <atomic>
#include <cstring>
#include <thread>

#include "azsim/faults/FaultBook.h"
#include "tests/azsim/endpoint/EndpointFixture.h"

namespace {

std::string rangeHeader(std::uint64_t first, std::uint64_t last) {
    return "Range: bytes=" + std::to_string(first) + "-" + std::to_string(last);
}

// (start, inclusive end, cleared) of every range element of a page list, in document order.
std::vector<std::tuple<std::uint64_t, std::uint64_t, bool>> pageList(const std::string& xml) {
    std::vector<std::tuple<std::uint64_t, std::uint64_t, bool>> out;
    auto number = [&xml](const char* tag, std::size_t from) {
        return std::stoull(xml.substr(xml.find(tag, from) + std::strlen(tag)));
    };
    for (std::size_t at = xml.find("Range><Start>"); at != std::string::npos; at = xml.find("Range><Start>", at + 1))
        out.emplace_back(number("<Start>", at), number("<End>", at), xml.compare(at - 5, 5, "Clear") == 0);
    return out;
}

using BlobReads = EndpointFixture;
using BlobWrites = EndpointFixture;
using PageLists = EndpointFixture;
using HttpFaults = EndpointFixture;
using ParallelReads = EndpointFixture;

TEST_F(BlobReads, RangedGetReturnsExactlyTheStoredBytesUpToTheEndAndHeadTheProperties) {
    const std::uint64_t first = kHoleStart - k4MiB + 4096;  // across the end of the data into the hole
    const std::uint64_t tail = kBlobSize - 100;
    const struct { std::vector<std::string> headers; long status; std::uint64_t first, length; } cases[] = {
        {{rangeHeader(first, first + k4MiB - 1)}, 206, first, k4MiB},
        {{"x-ms-range: bytes=512-1023", rangeHeader(0, 9)}, 206, 512, 512},
        {{}, 200, 0, kBlobSize},
        {{rangeHeader(tail, kBlobSize + 4096)}, 206, tail, 100}};  // an overlong range is cut at the end
    for (const auto& c : cases) {
        HttpReply reply = get("", c.headers);
        ASSERT_EQ(reply.code, CURLE_OK);
        EXPECT_EQ(reply.status, c.status) << c.first;
        EXPECT_TRUE(reply.body == storeBytes(c.first, c.length)) << c.first;
        const std::string range = "bytes " + std::to_string(c.first) + "-" + std::to_string(c.first + c.length - 1);
        EXPECT_EQ(reply.header("content-range"), c.status == 206 ? range + "/" + std::to_string(kBlobSize) : "");
    }
    HttpReply past = get("", {rangeHeader(kBlobSize, kBlobSize + 511)});
    EXPECT_EQ(past.status, 416);
    EXPECT_EQ(past.errorCode(), "InvalidRange");

    azsim::BlobProperties props;
    ASSERT_TRUE(store_.properties(disk_, "", props));
    HttpReply head = send({"HEAD", blobUrl(), {kVersion, bearer()}, nullptr});
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.header("content-length"), std::to_string(kBlobSize));
    EXPECT_EQ(head.header("x-ms-blob-content-length"), std::to_string(kBlobSize));
    EXPECT_EQ(head.header("x-ms-blob-type"), "PageBlob");
    EXPECT_NE(head.header("etag").find(props.etag), std::string::npos);
    EXPECT_FALSE(head.header("last-modified").empty());
}

TEST_F(BlobReads, OnlyIssuedSnapshotIdsAreAcceptedAndReadAsTaken) {
    std::string error;
    const std::string snapshot = store_.createSnapshot(disk_, &error);
    ASSERT_FALSE(snapshot.empty()) << error;
    const std::string range = rangeHeader(0, 511);
    for (const std::string& value : {std::string("../../x"), std::string("%2e%2e%2f%2e%2e%2f%2e%2e%2fstate.json"),
                                     std::string("%2Fetc%2Fpasswd"), std::string(""), snapshot + "%2f..",
                                     std::string("2001-01-01T00:00:00.0000000Z%00"), std::string("%01")}) {
        HttpReply reply = get("snapshot=" + value, {range});
        EXPECT_EQ(reply.status, 400) << value;
        EXPECT_EQ(reply.errorCode(), "InvalidQueryParameterValue") << value;
        EXPECT_NE(reply.body.find("<QueryParameterName>snapshot</QueryParameterName>"), std::string::npos) << value;
        EXPECT_EQ(reply.body.find('\x01'), std::string::npos);
    }
    // A later value of the same parameter, the diff base and the diff base's URL are held to the same form.
    EXPECT_EQ(get("snapshot=" + snapshot + "&snapshot=..%2f..%2fx", {range}).status, 400);
    HttpReply previous = get("comp=pagelist&prevsnapshot=..%2f..%2fx");
    EXPECT_EQ(previous.status, 400);
    EXPECT_NE(previous.body.find("<QueryParameterName>prevsnapshot</QueryParameterName>"), std::string::npos);
    HttpReply previousUrl =
        get("comp=pagelist", {"x-ms-previous-snapshot-url: " + blobUrl("snapshot=..%2F..%2Fdata")});
    EXPECT_EQ(previousUrl.status, 400);
    EXPECT_EQ(previousUrl.errorCode(), "InvalidHeaderValue");

    HttpReply unknown = get("snapshot=2001-01-01T00:00:00.0000000Z", {range});
    EXPECT_EQ(unknown.status, 404);
    EXPECT_EQ(unknown.errorCode(), "BlobNotFound");
    const std::string taken = storeBytes(0, 512);
    ASSERT_EQ(put("comp=page", patternBytes(0, 512, 9), {"x-ms-page-write: Update", range}).status, 201);
    HttpReply issued = get("snapshot=" + snapshot, {range});
    EXPECT_EQ(issued.status, 206);
    EXPECT_TRUE(issued.body == taken);
}

TEST_F(BlobReads, OnlyNamesTheServiceCouldHoldAreAccepted) {
    const std::string host = "https://" + disk_.account + ".blob.core.windows.net";
    auto status = [&](const std::string& path) {
        return send({"GET", host + path, {kVersion, bearer()}, nullptr}).status;
    };
    for (const char* path : {"/vhds/..%2F..%2Fstate.json", "/vhds/a%2F.%2Fb", "/vhds/a%2F%2Fb", "/vhds/a%01b",
                             "/%2E%2E/vm0-osdisk.vhd", "/VHDS/vm0-osdisk.vhd"})
        EXPECT_EQ(status(path), 400) << path;

    std::string error;
    ASSERT_TRUE(store_.createPageBlob({disk_.account, "vhds", "dir/My Disk.vhd"}, 4096, false, &error)) << error;
    EXPECT_EQ(status("/vhds/dir/My%20Disk.vhd"), 200);
}

TEST_F(BlobWrites, UpdateAndClearChangeExactlyTheirPagesAndAWriteCarriesAtMost4MiB) {
    const std::string data = patternBytes(0, 3 * 512, 5);
    HttpReply written = put("comp=page", data, {"x-ms-page-write: Update", rangeHeader(8192, 8192 + data.size() - 1)});
    EXPECT_EQ(written.status, 201);
    EXPECT_FALSE(written.header("etag").empty());
    EXPECT_TRUE(storeBytes(8192 + data.size(), 512) == patternBytes(8192 + data.size(), 512));

    HttpReply cleared = put("comp=page", "", {"x-ms-page-write: clear", "x-ms-range: bytes=8704-9215"});
    EXPECT_EQ(cleared.status, 201);
    EXPECT_NE(cleared.header("etag"), written.header("etag"));
    EXPECT_TRUE(get("", {rangeHeader(8192, 9727)}).body ==
                data.substr(0, 512) + std::string(512, '\0') + data.substr(1024));

    // Sent as curl sends any body by default, typed as a form: the type must not matter.
    const std::string full = patternBytes(0, k4MiB, 6);
    EXPECT_EQ(put("comp=page", full, {"x-ms-page-write: Update", rangeHeader(0, k4MiB - 1)}).status, 201);
    EXPECT_TRUE(storeBytes(0, k4MiB) == full);

    // Either a range or a body past the limit is refused as too large, even when the other would fit.
    const std::string before = storeBytes(k4MiB, k4MiB + 512);
    const std::string over = patternBytes(k4MiB, k4MiB + 512, 7);
    for (const auto& [body, last] :
         {std::make_pair(over.substr(0, k4MiB), 2 * k4MiB + 511), std::make_pair(over, 2 * k4MiB - 1)}) {
        HttpReply reply = put("comp=page", body, {"x-ms-page-write: Update", rangeHeader(k4MiB, last)});
        EXPECT_EQ(reply.status, 413);
        EXPECT_EQ(reply.header("x-ms-error-code"), "RequestBodyTooLarge");
        EXPECT_EQ(reply.errorCode(), "RequestBodyTooLarge");
        EXPECT_NE(reply.body.find("<MaxLimit>4194304</MaxLimit>"), std::string::npos);
    }
    EXPECT_TRUE(storeBytes(k4MiB, k4MiB + 512) == before);

    // Clearing carries no body, so any range may be cleared at once.
    EXPECT_EQ(put("comp=page", "", {"x-ms-page-write: clear", rangeHeader(0, 2 * k4MiB - 1)}).status, 201);
    EXPECT_TRUE(storeBytes(0, 2 * k4MiB) == std::string(2 * k4MiB, '\0'));
}

TEST_F(BlobWrites, MalformedPageWritesAreRejectedAndChangeNothing) {
    const std::string before = storeBytes(0, 4096);
    const std::string page(512, 'x');
    const struct { const char* query; std::string body, range; long status; const char* code; } cases[] = {
        {"comp=page", page, rangeHeader(100, 611), 416, "InvalidPageRange"},
        {"comp=page", page, rangeHeader(kBlobSize, kBlobSize + 511), 416, "InvalidPageRange"},
        {"comp=page", page + page, rangeHeader(0, 511), 400, "InvalidHeaderValue"},
        {"comp=page", page, "x-ms-other: 1", 400, "MissingRequiredHeader"},
        {"comp=page&snapshot=x", page, rangeHeader(0, 511), 400, "InvalidQueryParameterValue"}};
    for (const auto& c : cases) {
        HttpReply reply = put(c.query, c.body, {"x-ms-page-write: Update", c.range});
        EXPECT_EQ(reply.status, c.status) << c.range;
        EXPECT_EQ(reply.errorCode(), c.code) << c.range;
    }
    EXPECT_TRUE(storeBytes(0, 4096) == before);
}

TEST_F(BlobWrites, BlockBlobHoldsConfigurationText) {
    const std::string text = "{\"vm\": \"vm0\", \"size\": \"Standard_D2s_v3\"}";
    disk_ = {"myacct", "config", "vm0.json"};
    HttpReply created = put("", text, {"x-ms-blob-type: BlockBlob"});
    EXPECT_EQ(created.status, 201);
    HttpReply read = get("");
    EXPECT_EQ(read.status, 200);
    EXPECT_EQ(read.body, text);
    EXPECT_EQ(read.header("x-ms-blob-type"), "BlockBlob");
    EXPECT_EQ(put("comp=page", std::string(512, 'x'), {"x-ms-page-write: Update", rangeHeader(0, 511)}).errorCode(),
              "InvalidBlobType");
}

TEST_F(PageLists, ListAndDiffMatchWhatWasWritten) {
    HttpReply all = get("comp=pagelist");
    ASSERT_EQ(all.status, 200);
    std::vector<std::tuple<std::uint64_t, std::uint64_t, bool>> expected = {{0, kHoleStart - 1, false},
                                                                            {kHoleEnd, kBlobSize - 1, false}};
    EXPECT_EQ(pageList(all.body), expected);

    std::string error;
    const std::string first = store_.createSnapshot(disk_, &error);
    ASSERT_FALSE(first.empty()) << error;
    ASSERT_EQ(put("comp=page", patternBytes(0, 1024, 3),
                  {"x-ms-page-write: update", rangeHeader(kHoleStart, kHoleStart + 1023)})
                  .status,
              201);
    ASSERT_EQ(put("comp=page", "", {"x-ms-page-write: clear", rangeHeader(4096, 8191)}).status, 201);
    const std::string second = store_.createSnapshot(disk_, &error);
    ASSERT_FALSE(second.empty()) << error;

    expected = {{4096, 8191, true}, {kHoleStart, kHoleStart + 1023, false}};
    HttpReply diff = get("comp=pagelist&snapshot=" + second + "&prevsnapshot=" + first);
    ASSERT_EQ(diff.status, 200);
    EXPECT_EQ(pageList(diff.body), expected);
    EXPECT_EQ(diff.header("x-ms-blob-content-length"), std::to_string(kBlobSize));

    // The managed-disk form names the older version by a full URL of the same blob.
    HttpReply byUrl = get("comp=pagelist", {"x-ms-previous-snapshot-url: " + blobUrl("snapshot=" + first)});
    EXPECT_EQ(pageList(byUrl.body), expected);

    HttpReply windowed = get("comp=pagelist&prevsnapshot=" + first, {rangeHeader(6144, kHoleStart + 511)});
    expected = {{6144, 8191, true}, {kHoleStart, kHoleStart + 511, false}};
    EXPECT_EQ(pageList(windowed.body), expected);

    EXPECT_EQ(get("comp=pagelist&prevsnapshot=2001-01-01T00:00:00.0000000Z").errorCode(), "PreviousSnapshotNotFound");
    EXPECT_EQ(get("comp=pagelist&snapshot=" + first + "&prevsnapshot=" + second).status, 400);
}

const std::string kFirstPages = "Range: bytes=0-65535";

// A status rule on one blob's path answers the next request there with its status and error code, once.
TEST_F(HttpFaults, StatusFaultOnABlobPathAnswersOnceWithItsErrorCode) {
    const std::string path = "/" + disk_.account + "/" + disk_.container + "/" + disk_.name;
    azsim::FaultBook(stateDir_).addHttpFault({"GET", path, azsim::HttpFaultKind::Status, 503, "ServerBusy"});
    HttpReply busy = get("", {kFirstPages});
    EXPECT_EQ(busy.status, 503);
    EXPECT_EQ(busy.header("x-ms-error-code"), "ServerBusy");
    EXPECT_EQ(busy.errorCode(), "ServerBusy");
    EXPECT_EQ(get("", {kFirstPages}).status, 206);
}

TEST_F(ParallelReads, SixteenClientsReadTheirRangesIntact) {
    constexpr int kClients = 16;
    constexpr int kReadsEach = 2;
    std::atomic<int> intact{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            for (int r = 0; r < kReadsEach; ++r) {
                std::uint64_t first = ((c * kReadsEach + r) * (1ull << 20) + 512 * c) % (kBlobSize - k4MiB);
                HttpReply reply =
                    get("", {"Range: bytes=" + std::to_string(first) + "-" + std::to_string(first + k4MiB - 1)});
                if (reply.status == 206 && reply.body == storeBytes(first, k4MiB)) ++intact;
            }
        });
    }
    for (std::thread& t : clients) t.join();
    EXPECT_EQ(intact.load(), kClients * kReadsEach);
    azsim::BlobEndpoint::Counters counters = endpoint_->counters();
    EXPECT_GE(counters.requests, static_cast<std::uint64_t>(kClients * kReadsEach));
    EXPECT_GE(counters.tlsHandshakes, static_cast<std::uint64_t>(kClients * kReadsEach));
}

// An agent keeps up to 32 reader connections and some management ones open between requests. A
// connection the server has no worker for waits until an idle one times out (5 s): each of 48 clients
// that keep their connections open must be answered well within that.
TEST_F(ParallelReads, NoRequestIsHeldBehindOtherClientsIdleConnections) {
    HttpCall call{"GET", blobUrl(), {kVersion, bearer(), "Range: bytes=0-511"}, nullptr};
    call.timeoutSeconds = 3;
    std::vector<std::unique_ptr<HttpsClient>> open;
    for (int c = 0; c < 48; ++c) {
        open.push_back(std::make_unique<HttpsClient>(endpoint_->connectToEntry(), endpoint_->caBundlePath()));
        const HttpReply reply = open.back()->send(call);
        ASSERT_EQ(reply.code, CURLE_OK) << "client " << c;
        ASSERT_EQ(reply.status, 206);
    }
}

}  // namespace
