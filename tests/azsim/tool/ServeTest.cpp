// azsim serve: what it prints, what it serves and how it stops.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "azsim/auth/AccessAuthority.h"
#include "azsim/model/ResourceIds.h"
#include "azsim/model/SubscriptionState.h"
#include "tests/azsim/tool/ToolFixture.h"

namespace {

size_t Collect(char* data, size_t size, size_t count, void* sink) {
    static_cast<std::string*>(sink)->append(data, size * count);
    return size * count;
}

// One libcurl handle reading a VM disk's bytes from a served endpoint. Its connection stays
// open (kept alive) until the handle goes.
class DiskClient {
public:
    DiskClient(const std::string& state, const ServeProcess& server) : curl_(curl_easy_init()) {
        azsim::StateDocument doc = azsim::SubscriptionState(state).load();
        url_ = azsim::ManagedDiskAccessUrl(*doc.diskBlob(*doc.findVm("vm1"), 0));
        std::string token = azsim::AccessAuthority(state).issueToken("tool-test");
        headers_ = curl_slist_append(nullptr, ("Authorization: Bearer " + token).c_str());
        headers_ = curl_slist_append(headers_, "x-ms-version: 2021-08-06");
        route_ = curl_slist_append(nullptr, server.connectTo.c_str());
        curl_easy_setopt(curl_, CURLOPT_URL, url_.c_str());
        curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers_);
        curl_easy_setopt(curl_, CURLOPT_CONNECT_TO, route_);
        curl_easy_setopt(curl_, CURLOPT_CAINFO, server.ca.c_str());
        curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, Collect);
        curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &body);
    }
    ~DiskClient() {
        curl_easy_cleanup(curl_);
        curl_slist_free_all(headers_);
        curl_slist_free_all(route_);
    }
    DiskClient(const DiskClient&) = delete;
    DiskClient& operator=(const DiskClient&) = delete;

    // GET of the inclusive byte range "first-last"; the HTTP status, or 0 when the transfer failed.
    long get(const char* range) {
        body.clear();
        curl_easy_setopt(curl_, CURLOPT_RANGE, range);
        CURLcode result = curl_easy_perform(curl_);
        long status = 0;
        curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status);
        return result == CURLE_OK ? status : 0;
    }

    std::string body;

private:
    CURL* curl_;
    curl_slist* headers_ = nullptr;
    curl_slist* route_ = nullptr;
    std::string url_;
};

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

TEST_F(ToolTest, ServedRangeMatchesTheHashOfTheSameRange) {
    init();
    ServeProcess server(scratch_.path(), {"serve", "--state", state()}, scratch_.sub("serve.out"));
    ASSERT_GT(server.port, 0) << server.printed;
    DiskClient client(state(), server);
    EXPECT_EQ(206, client.get("524288-4718591")) << client.body;
    ASSERT_EQ(4u * 1024 * 1024, client.body.size());
    EXPECT_EQ(hash({"--vm", "vm1", "--offset", "524288", "--length", "4194304"}), Sha256Hex(client.body));

    ToolResult requests = run({"requests", "--state", state()});
    ASSERT_EQ(0, requests.exitCode) << requests.err;
    ASSERT_EQ(1, std::count(requests.out.begin(), requests.out.end(), '\n')) << requests.out;
    nlohmann::json line = nlohmann::json::parse(requests.out);
    EXPECT_EQ("GET", line["method"]);
    EXPECT_EQ("bytes=524288-4718591", line["range"]);
    EXPECT_EQ(206, line["status"]);
    EXPECT_EQ("bearer", line["auth"]);
}

TEST_F(ToolTest, ServePrintsAnAbsoluteCaPathForARelativeState) {
    init();
    ServeProcess server(scratch_.path(), {"serve", "--state", "./state"}, scratch_.sub("serve.out"));
    ASSERT_GT(server.port, 0) << server.printed;
    ASSERT_FALSE(server.ca.empty());
    EXPECT_EQ('/', server.ca.front()) << server.ca;
    EXPECT_EQ(std::filesystem::canonical(state() + "/tls/ca.pem").string(), server.ca);
    // Usable from any other working directory.
    DiskClient client(state(), server);
    EXPECT_EQ(206, client.get("0-511"));
}

TEST_F(ToolTest, ServeStopsPromptlyOnSigtermWhileClientsHoldConnections) {
    init();
    ServeProcess server(scratch_.path(), {"serve", "--state", state()}, scratch_.sub("serve.out"));
    ASSERT_GT(server.port, 0) << server.printed;
    DiskClient kept(state(), server);
    ASSERT_EQ(206, kept.get("0-511"));  // the connection stays open, idle
    int silent = IdleConnection(server.port);

    double seconds = 0;
    EXPECT_EQ(0, server.stop(SIGTERM, &seconds));
    EXPECT_LT(seconds, 1.0);
    close(silent);
}

}  // namespace
