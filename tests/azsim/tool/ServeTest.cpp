// azsim serve: what it prints, what it serves and how it stops.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>

#include "azsim/auth/AccessAuthority.h"
#include "azsim/model/ResourceIds.h"
#include "azsim/model/SubscriptionState.h"
#include "tests/azsim/endpoint/HttpsClient.h"
#include "tests/azsim/model/JsonContains.h"
#include "tests/azsim/tool/ToolFixture.h"

namespace {

// A plain TCP connection to the endpoint that never begins its TLS handshake.
int IdleConnection(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address));
    return fd;
}

// Served from a relative state folder, read from here with the CA path it printed; stopped by SIGTERM
// at once although a client keeps its connection open and another never begins its handshake.
TEST_F(ToolTest, ServeAnswersWhatHashReportsAndStopsPromptlyOnSigterm) {
    init();
    ServeProcess server(scratch_.path(), {"serve", "--state", "./state"}, scratch_.sub("serve.out"));
    ASSERT_GT(server.port, 0) << server.printed;
    EXPECT_EQ(std::filesystem::canonical(state() + "/tls/ca.pem").string(), server.ca);

    azsim::StateDocument doc = azsim::SubscriptionState(state()).load();
    const std::string url = azsim::ManagedDiskAccessUrl(*doc.diskBlob(*doc.findVm("vm1"), 0));
    const std::string bearer = "Authorization: Bearer " + azsim::AccessAuthority(state()).issueToken("tool-test");
    HttpsClient kept(server.connectTo, server.ca);
    HttpReply range =
        kept.send({"GET", url, {bearer, "x-ms-version: 2021-08-06", "Range: bytes=524288-4718591"}, nullptr});
    EXPECT_EQ(206, range.status) << range.body;
    EXPECT_EQ(hash({"--vm", "vm1", "--offset", "524288", "--length", "4194304"}), Sha256Hex(range.body));

    ToolResult requests = run({"requests", "--state", state()});
    ASSERT_EQ(0, requests.exitCode) << requests.err;
    // One line, for the one request.
    EXPECT_TRUE(azsimtest::JsonContains(nlohmann::json::parse(requests.out),
                                        {{"method", "GET"}, {"range", "bytes=524288-4718591"}, {"status", 206},
                                         {"auth", "bearer"}}))
        << requests.out;

    int silent = IdleConnection(server.port);
    double seconds = 0;
    EXPECT_EQ(0, server.stop(SIGTERM, &seconds));
    EXPECT_LT(seconds, 1.0);
    close(silent);
}

}  // namespace
