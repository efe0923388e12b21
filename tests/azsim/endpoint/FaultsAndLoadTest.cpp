// HTTP fault rules really happening on the wire, and many clients at once.
#include <atomic>
#include <thread>

#include "azsim/faults/FaultBook.h"
#include "tests/azsim/endpoint/EndpointFixture.h"

namespace {

using HttpFaults = EndpointFixture;
using ParallelReads = EndpointFixture;

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

}  // namespace
