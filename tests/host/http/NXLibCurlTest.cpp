#include "host/http/NXHttpClientSettings.h"
#include "host/http/NXLibCurl.h"
#include "host/http/SCURLData.h"
#include "host/settings/NXPlatformInfo.h"
#include "azsim/endpoint/TlsMaterial.h"
#include "tests/support/SimulatedCloud.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

namespace {

const char* const kHost = "myacct.blob.core.windows.net";
const std::string kUrl = std::string("https://") + kHost + "/disks/vm0.vhd";

// Body bytes recognisable by position.
std::string pattern(size_t size) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    return data;
}

// Moves bytes between libcurl and the SCURLData buffer, at most its remaining count.
template <bool kIntoBuffer>
size_t copyBuffer(char* ptr, size_t size, size_t nmemb, void* userdata) {
    SCURLData* data = static_cast<SCURLData*>(userdata);
    size_t n = std::min<unsigned long long>(size * nmemb, data->remaining);
    char* at = data->buffer.data() + data->offset;
    kIntoBuffer ? std::memcpy(at, ptr, n) : std::memcpy(ptr, at, n);
    data->offset += n;
    data->remaining -= n;
    return kIntoBuffer ? size * nmemb : n;
}

// Runs each accepted connection as a task of its own, ending when the connection closes, and counts
// the open ones.
class CountingTaskQueue : public httplib::TaskQueue {
public:
    explicit CountingTaskQueue(std::atomic<int>& open) : open_(open) {}
    void enqueue(std::function<void()> fn) override {
        ++open_;
        threads_.emplace_back([this, fn] {
            fn();
            --open_;
        });
    }
    void shutdown() override {
        for (std::thread& t : threads_) t.join();
    }

private:
    std::atomic<int>& open_;
    std::vector<std::thread> threads_;
};

// Pooled connections close when their thread ends, not when the server stops.
template <class F>
void onClientThread(F body) { std::thread(body).join(); }

// What a plain request (no headers, no callbacks) reported: success, status, libcurl's result and text.
using Outcome = std::tuple<bool, unsigned long, CURLcode, std::string>;
struct Sent {
    Outcome outcome;
    std::string withHeaders;
};

// The response text the wrapper kept; "(none)" when it reports none (null, length 0).
std::string keptText(NXLibCurl& curl, bool withHeaders = false) {
    size_t length = 1;
    const char* text = curl.GetHttpResponse(length, withHeaders);
    return text ? std::string(text, length) : length ? "(null, length " + std::to_string(length) + ")" : "(none)";
}

// On the calling thread, whose connection it may reuse.
Sent sendGet() {
    NXLibCurl curl;
    EXPECT_TRUE(curl.NXLibCurlInit("", true, true));
    const bool ok = curl.NXLibCurlSendHttpReqLog(NX_HTTP_GET, kUrl, "", 0, false, true);
    return {{ok, curl.GetHttpErrorCode(), curl.GetCurlResult(), keptText(curl)}, keptText(curl, true)};
}

// On a thread of its own: its end, connections closed, comes before the result.
Sent plainGet() { return std::async(std::launch::async, sendGet).get(); }

// A CA and a server certificate it signs for the cloud's blob host names, made once.
const azsim::TlsMaterial& tls() {
    static testsupport::TempDir dir;
    static const azsim::TlsMaterial material = [] {
        azsim::TlsMaterial made;
        std::string error;
        if (!azsim::TlsMaterial::ensure(dir.path(), made, &error)) throw std::runtime_error(error);
        return made;
    }();
    return material;
}

class NXLibCurlTest : public ::testing::Test {
protected:
    void SetUp() override {
        server_.new_task_queue = [this] { return new CountingTaskQueue(openConnections_); };
        server_.set_keep_alive_max_count(100);
        port_ = server_.bind_to_any_port("127.0.0.1");
        ASSERT_GT(port_, 0);
        serverThread_ = std::thread([this] { server_.listen_after_bind(); });
        // Entries and the bundle's path come as a person may write them: spaced out, with an empty entry.
        NXPlatformInfo::setValue("HttpClient", "sConnectTo",
                                 " other.blob.core.windows.net:443:127.0.0.1:1 ;; " + std::string(kHost) +
                                     ":443:127.0.0.1:" + std::to_string(port_) + " ");
        NXPlatformInfo::setValue("HttpClient", "sCABundle", " " + tls().caCertPath + " ");
    }
    void TearDown() override {
        server_.stop();
        serverThread_.join();
        NXPlatformInfo::clearValues();
    }

    // Answers every request to the disk with `status` (0: the server's own, 206 for a range)
    // and `text`, keeping what was asked.
    void serve(int status = 0, const std::string& text = "ok") {
        auto answer = [this, status, text](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard<std::mutex> lock(seenMutex_);
            seen_.push_back(req);
            if (status) res.status = status;
            res.set_content(text, "text/plain");
        };
        server_.Get("/disks/vm0.vhd", answer);
        server_.Put("/disks/vm0.vhd", answer);
        server_.Post("/disks/vm0.vhd", answer);
        server_.Delete("/disks/vm0.vhd", answer);
    }
    // Well before the server's own keep-alive timeout would close them.
    bool allConnectionsClosed() {
        for (int i = 0; i < 300 && openConnections_ > 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return openConnections_ == 0;
    }

    httplib::SSLServer server_{tls().serverCertPath.c_str(), tls().serverKeyPath.c_str()};
    std::thread serverThread_;
    int port_ = 0;
    std::atomic<int> openConnections_{0};
    std::mutex seenMutex_;
    std::vector<httplib::Request> seen_;
};

// A line break inside a header text would let whoever supplies the text add headers of its own: such a
// content type is refused with the request, such a header line adds nothing. What a caller's writer receives
// the disk reader's tests compare.
TEST_F(NXLibCurlTest, RangeGetKeepsNoTextForACallerWriterSendsItsHeadersAndRefusesLineBreaksInThem) {
    const std::string blob = pattern(64 * 1024);
    serve(0, blob);
    onClientThread([&] {
        for (const char* type :
             {"Content-Type: text/plain\r\nX-Injected: type", "Content-Type: text/plain\nX-Injected: type"}) {
            NXLibCurl refused;
            EXPECT_FALSE(refused.NXLibCurlInit(type, true, true)) << type;
            EXPECT_FALSE(refused.NXLibCurlSendHttpReqLog(NX_HTTP_GET, kUrl, "", 0, false, false));
        }
        NXLibCurl curl;
        ASSERT_TRUE(curl.NXLibCurlInit("Content-Type: application/x-www-form-urlencoded", true, true));
        curl.NXLibCurlFreeHttpHeaderList();
        for (const char* line : {"x-ms-version: 1\r\nX-Injected: crlf", "x-ms-version: 1\nX-Injected: lf",
                                 "x-ms-version: 1\rX-Injected: cr"})
            EXPECT_FALSE(curl.NXLibCurlAppendHeader(NX_HTTP_HDR_LINE, line)) << line;
        for (const char* line : {"User-Agent: curl/7.32.0", "Range: bytes=1000-4999", "x-ms-version:2018-03-28"})
            ASSERT_TRUE(curl.NXLibCurlAppendHeader(NX_HTTP_HDR_LINE, line));
        SCURLData data(4000);
        ASSERT_TRUE(curl.NXLibCurlSetCallbackWriteFunction(copyBuffer<true>));
        ASSERT_TRUE(curl.NXLibCurlSetWriteData(&data));
        EXPECT_TRUE(curl.NXLibCurlSendHttpReqLog(NX_HTTP_GET, kUrl, "", 0, false, false));
        EXPECT_EQ(206u, curl.GetHttpErrorCode());
        EXPECT_EQ("(none)", keptText(curl));
    });
    ASSERT_EQ(1u, seen_.size());
    EXPECT_EQ(0u, seen_[0].headers.count("X-Injected"));
    EXPECT_EQ(1u, seen_[0].headers.count("x-ms-version"));
    for (const auto& [name, value] : {std::pair<const char*, const char*>{"x-ms-version", "2018-03-28"},
                                      {"User-Agent", "curl/7.32.0"},
                                      {"Content-Type", "application/x-www-form-urlencoded"}})
        EXPECT_EQ(value, seen_[0].get_header_value(name)) << name;
}

// The options a page write sets, of either value type, are taken; the disk writer's tests read its body back.
TEST_F(NXLibCurlTest, PutTakesOptionsOfEitherValueTypeAndPullsBodyFromReadCallback) {
    const std::string page = pattern(1536 * 1024);
    serve(201);
    onClientThread([&] {
        NXLibCurl curl;
        ASSERT_TRUE(curl.NXLibCurlInit("Content-Type: application/octet-stream", true, true));
        curl.NXLibCurlFreeHttpHeaderList();
        ASSERT_TRUE(curl.NXLibCurlAppendHeader(NX_HTTP_HDR_LINE, "x-ms-page-write: Update"));
        ASSERT_TRUE(curl.NXLibCurlAppendHeader(NX_HTTP_HDR_LINE, "Content-Length: " + std::to_string(page.size())));
        ASSERT_TRUE(curl.NXLibCurlSetAdditionalOptionsIntValue(NX_CURLOPT_PUT, 1));
        ASSERT_TRUE(curl.NXLibCurlSetAdditionalOptions(CURLOPT_UPLOAD));
        ASSERT_TRUE(curl.NXLibCurlSetAdditionalOptionsIntValue(CURLOPT_INFILESIZE_LARGE, int(page.size())));
        SCURLData data(page.data(), page.size());
        ASSERT_TRUE(curl.NXLibCurlSetReadData(&data));
        ASSERT_TRUE(curl.NXLibCurlSetCallbackReadFunction(copyBuffer<false>));
        ASSERT_TRUE(curl.NXLibCurlSetCallbackWriteFunction(NXLibCurl::libcurl_callback));
        EXPECT_TRUE(curl.NXLibCurlSendHttpReqLog(NX_HTTP_PUT, kUrl + "?comp=page", "", 0, false, false));
        EXPECT_EQ(201u, curl.GetHttpErrorCode());
    });
}

// A request that ends without a 2xx status fails, and says why: libcurl's result, or the status and body.
TEST_F(NXLibCurlTest, FailedSendKeepsCurlResultOrStatusAndBody) {
    const std::string error = "<Error><Code>AuthenticationFailed</Code></Error>";
    serve(403, error);
    NXPlatformInfo::removeValue("HttpClient", "sCABundle");  // the server's certificate is untrusted without it
    EXPECT_EQ(Outcome(false, 0, CURLE_PEER_FAILED_VERIFICATION, "(none)"), plainGet().outcome);
    NXPlatformInfo::setValue("HttpClient", "sCABundle", tls().caCertPath);
    Sent sent = plainGet();
    EXPECT_EQ(Outcome(false, 403, CURLE_OK, error), sent.outcome);
    EXPECT_EQ(0u, sent.withHeaders.find("HTTP/1.1 403")) << sent.withHeaders;
    EXPECT_EQ(sent.withHeaders.size() - error.size(), sent.withHeaders.find(error)) << sent.withHeaders;
}

// Ended by the 2 s timeout, not by the server's answer after 30 s or by the longer default.
TEST_F(NXLibCurlTest, StalledServerEndsRequestAtLowSpeedTimeout) {
    NXPlatformInfo::setValue("HttpClient", "nLowSpeedTimeSeconds", "2");
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();  // outlives the test if the handler must
    server_.Get("/disks/vm0.vhd", [released](const httplib::Request&, httplib::Response& res) {
        released.wait_for(std::chrono::seconds(30));
        res.set_content("late", "text/plain");
    });
    EXPECT_EQ(Outcome(false, 0, CURLE_OPERATION_TIMEDOUT, "(none)"), plainGet().outcome);
    release.set_value();
}

// Without a read callback the body is the first `length` bytes of the text handed to the send call.
TEST_F(NXLibCurlTest, SendCallCarriesItsBodyForPutPostAndDeleteButNotForHead) {
    serve();
    onClientThread([] {
        for (const auto& [method, length] : std::vector<std::pair<_http_req_type_, size_t>>{
                 {NX_HTTP_PUT, 4}, {NX_HTTP_POST, 3}, {NX_HTTP_DELETE, 2}, {NX_HTTP_DELETE, 0}, {NX_HTTP_HEAD, 6}}) {
            NXLibCurl curl;
            ASSERT_TRUE(curl.NXLibCurlInit("", true, true));
            EXPECT_TRUE(curl.NXLibCurlSendHttpReqLog(method, kUrl, "abcdef", length, false, false)) << method;
        }
    });
    std::vector<std::string> got;
    for (const httplib::Request& req : seen_) got.push_back(req.method + " " + req.body);
    EXPECT_EQ((std::vector<std::string>{"PUT abcd", "POST abc", "DELETE ab", "DELETE ", "HEAD "}), got);
}

// Requests of one thread share one connection (one handshake), closed at thread exit; threads never share.
TEST_F(NXLibCurlTest, EachThreadReusesOneConnectionOfItsOwn) {
    serve();
    const NXLibCurlStats before = NXLibCurl::stats();
    auto worker = [] {
        for (int i = 0; i < 3; ++i) EXPECT_TRUE(std::get<0>(sendGet().outcome));
    };
    std::thread a(worker), b(worker);
    a.join();
    b.join();
    const NXLibCurlStats after = NXLibCurl::stats();
    EXPECT_EQ(std::make_pair(2ul, 6ul),
              std::make_pair(after.connections - before.connections, after.requests - before.requests));
    EXPECT_TRUE(allConnectionsClosed());
}

// The connect-to entries and the CA bundle as a person writes them are read by the tests above.
TEST(NXHttpClientSettings, UnsetKeysKeepTimeoutsOnAndConnectWhereTheUrlSays) {
    NXPlatformInfo::clearValues();
    NXHttpClientSettings defaults = NXHttpClientSettings::load();
    EXPECT_EQ(std::make_tuple(true, std::string(), 30ul, 60ul),
              std::make_tuple(defaults.connectTo.empty(), defaults.caBundle, defaults.connectTimeoutSeconds,
                              defaults.lowSpeedTimeSeconds));
    NXPlatformInfo::setValue("HttpClient", "nConnectTimeoutSeconds", "5");
    NXPlatformInfo::setValue("HttpClient", "nLowSpeedTimeSeconds", "7");
    NXHttpClientSettings set = NXHttpClientSettings::load();
    EXPECT_EQ(std::make_pair(5ul, 7ul), std::make_pair(set.connectTimeoutSeconds, set.lowSpeedTimeSeconds));
    NXPlatformInfo::clearValues();
}

}  // namespace
