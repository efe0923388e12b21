// HTTP fault rules really happening on the wire, and many clients at once.
#include <atomic>
#include <thread>

#include "azsim/faults/FaultBook.h"
#include "tests/azsim/endpoint/EndpointFixture.h"

namespace {

using HttpFaults = EndpointFixture;
using ParallelReads = EndpointFixture;

const std::string kFirstPages = "Range: bytes=0-65535";

TEST_F(HttpFaults, EachKindHappensOnceThenRequestsAreServedAgain) {
    azsim::FaultBook faults(stateDir_);
    using Kind = azsim::HttpFaultKind;
    faults.addHttpFault({"GET", "/" + disk_.account + "/" + disk_.container + "/" + disk_.name, Kind::Status, 503,
                         "ServerBusy"});
    HttpReply busy = get("", {kFirstPages});
    EXPECT_EQ(busy.status, 503);
    EXPECT_EQ(busy.header("x-ms-error-code"), "ServerBusy");
    EXPECT_EQ(busy.errorCode(), "ServerBusy");
    EXPECT_EQ(get("", {kFirstPages}).status, 206);

    faults.addHttpFault({"", "", Kind::Delay, 500, "InternalError", 50});
    HttpReply late = get("", {kFirstPages});
    EXPECT_EQ(late.status, 206);
    EXPECT_TRUE(late.body == storeBytes(0, 65536));

    faults.addHttpFault({"", "/myacct/*", Kind::Drop});
    HttpReply dropped = get("", {kFirstPages});
    EXPECT_NE(dropped.code, CURLE_OK);
    EXPECT_EQ(dropped.status, 0);
    EXPECT_TRUE(dropped.body.empty());

    faults.addHttpFault({"", "", Kind::ShortBody, 500, "InternalError", 0, 1000});
    HttpReply cut = get("", {kFirstPages});
    EXPECT_EQ(cut.code, CURLE_PARTIAL_FILE);
    EXPECT_EQ(cut.header("content-length"), "65536");
    EXPECT_EQ(cut.body.size(), 1000u);

    HttpReply after = get("", {kFirstPages});
    EXPECT_EQ(after.code, CURLE_OK);
    EXPECT_TRUE(after.body == storeBytes(0, 65536));
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

}  // namespace
