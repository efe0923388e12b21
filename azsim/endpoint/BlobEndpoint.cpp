#include "azsim/endpoint/BlobEndpoint.h"

#include <httplib.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <thread>

#include "azsim/arm/ManagementService.h"
#include "azsim/endpoint/BlobService.h"
#include "azsim/endpoint/OpenConnections.h"
#include "azsim/endpoint/TlsMaterial.h"

namespace azsim {

namespace {

// Worker threads of the server. A kept-alive connection holds its worker while idle, and a
// connection beyond the workers waits until an idle one times out: there are enough for an
// agent's 32 reader threads, the management connections its other threads keep open, and
// parallel benchmark clients, so that no request waits on another client's idle connection.
constexpr std::size_t kWorkers = 128;
constexpr std::size_t kMaxRequestsPerConnection = 100000;
constexpr time_t kKeepAliveSeconds = 5;
constexpr std::size_t kMaxRequestBody = 64 * 1024 * 1024;

// The state folder as an absolute path, so that the CA path handed out holds from any working directory.
std::string absoluteFolder(const std::string& dir) {
    std::error_code ec;
    std::filesystem::path path = std::filesystem::weakly_canonical(dir, ec);
    if (ec) path = std::filesystem::absolute(dir, ec);
    return ec ? dir : path.string();
}

}  // namespace

struct BlobEndpoint::Impl {
    std::string stateDir;
    TlsMaterial tls;
    std::unique_ptr<BlobService> service;
    std::unique_ptr<ManagementService> management;
    std::unique_ptr<httplib::SSLServer> server;
    std::thread listener;
    int port = 0;
    std::atomic<std::uint64_t> handshakes{0};
    OpenConnections connections;

    static void onTlsEvent(const SSL* ssl, int where, int /*ret*/) {
        auto* self = static_cast<Impl*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
        if (!self) return;
        // The callback's SSL is the connection's own, handed over as const by OpenSSL's signature.
        if (where & SSL_CB_HANDSHAKE_START) self->connections.opened(const_cast<SSL*>(ssl));
        if (where & SSL_CB_HANDSHAKE_DONE) ++self->handshakes;
    }

    bool setUpTls(SSL_CTX& ctx) {
        SSL_CTX_set_min_proto_version(&ctx, TLS1_2_VERSION);
        SSL_CTX_set_app_data(&ctx, this);
        SSL_CTX_set_info_callback(&ctx, onTlsEvent);
        // The server picks the suite, and the cheapest of TLS 1.3's first: the data plane moves every disk
        // byte through it, on the machine that also runs the agent.
        SSL_CTX_set_ciphersuites(&ctx, "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256");
        SSL_CTX_set_options(&ctx, SSL_OP_CIPHER_SERVER_PREFERENCE);
        return SSL_CTX_use_certificate_file(&ctx, tls.serverCertPath.c_str(), SSL_FILETYPE_PEM) == 1 &&
               SSL_CTX_use_PrivateKey_file(&ctx, tls.serverKeyPath.c_str(), SSL_FILETYPE_PEM) == 1 &&
               SSL_CTX_check_private_key(&ctx) == 1;
    }
};

BlobEndpoint::BlobEndpoint(std::string stateDir) : impl_(std::make_unique<Impl>()) {
    impl_->stateDir = absoluteFolder(stateDir);
}

BlobEndpoint::~BlobEndpoint() { stop(); }

bool BlobEndpoint::start(std::string* error, int port) {
    auto fail = [error](const std::string& text) {
        if (error) *error = text;
        return false;
    };
    if (impl_->server) return fail("the endpoint is running already");
    if (!TlsMaterial::ensure(impl_->stateDir, impl_->tls, error)) return false;

    Impl* impl = impl_.get();
    auto server = std::make_unique<httplib::SSLServer>([impl](SSL_CTX& ctx) { return impl->setUpTls(ctx); });
    if (!server->is_valid()) return fail("the TLS certificate or key in [" + impl->stateDir + "/tls] cannot be used");
    impl->service = std::make_unique<BlobService>(impl->stateDir);
    impl->management = std::make_unique<ManagementService>(impl->stateDir);
    server->new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
    server->set_keep_alive_max_count(kMaxRequestsPerConnection);
    server->set_keep_alive_timeout(kKeepAliveSeconds);
    server->set_payload_max_length(kMaxRequestBody);
    server->set_tcp_nodelay(true);
    BlobService* service = impl->service.get();
    ManagementService* management = impl->management.get();
    // The identity and Resource Manager hosts go to the management side, every other host to the blob service.
    auto handler = [service, management](const httplib::Request& req, httplib::Response& res) {
        if (ManagementService::Serves(req.get_header_value("Host")))
            management->handle(req, res);
        else
            service->handle(req, res);
    };
    server->Get(".*", handler);
    server->Delete(".*", handler);
    // Only the management side has POST operations; the blob service refuses the verb (recorded as refused).
    server->Post(".*", [management](const httplib::Request& req, httplib::Response& res) {
        if (ManagementService::Serves(req.get_header_value("Host")))
            management->handle(req, res);
        else
            res.status = 405;
    });
    // A request body is the blob's bytes whatever type it names. Read by the HTTP library itself, a body
    // named as a form would be parsed as one, and refused past 8 KiB.
    server->Put(".*", [service, management](const httplib::Request& req, httplib::Response& res,
                                            const httplib::ContentReader& read) {
        // Room for the announced body at once: grown piece by piece, a 4 MiB page would end in a buffer of
        // twice its size, and every server thread would keep that much.
        std::string body;
        body.reserve(static_cast<std::size_t>(
            std::min<std::uint64_t>(req.get_header_value<std::uint64_t>("Content-Length"), kMaxRequestBody)));
        auto append = [&body](const char* data, std::size_t length) {
            body.append(data, length);
            return true;
        };
        // Multipart bodies have no meaning here either; their parts are taken as one run of bytes.
        bool whole = req.is_multipart_form_data()
                         ? read([](const httplib::MultipartFormData&) { return true; }, append)
                         : read(append);
        if (!whole) return;  // answered by the HTTP library (a body past its limit, a broken stream)
        // The request handed out as const is the library's own non-const local.
        const_cast<httplib::Request&>(req).body = std::move(body);
        if (ManagementService::Serves(req.get_header_value("Host")))
            management->handle(req, res);
        else
            service->handle(req, res);
    });
    // Answers the HTTP library gives without the service (an unknown method, an oversized body) are
    // errors; the request record keeps them too.
    server->set_error_handler(
        httplib::Server::HandlerWithResponse([service](const httplib::Request& req, httplib::Response& res) {
            service->recordRefused(req, res);
            return httplib::Server::HandlerResponse::Unhandled;
        }));

    int bound =
        port == 0 ? server->bind_to_any_port("127.0.0.1") : (server->bind_to_port("127.0.0.1", port) ? port : -1);
    if (bound <= 0) return fail("cannot listen on 127.0.0.1:" + std::to_string(port));
    impl->port = bound;
    impl->handshakes = 0;
    impl->connections.reset();
    impl->server = std::move(server);
    httplib::SSLServer* running = impl->server.get();
    impl->listener = std::thread([running] { running->listen_after_bind(); });
    // The server only honours stop() once its accept loop runs.
    while (!running->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
}

void BlobEndpoint::stop() {
    if (!impl_->server) return;
    impl_->server->stop();
    // The server's workers wait for their connections; ending those lets them, and so stop(), finish now.
    impl_->connections.closeAll();
    if (impl_->listener.joinable()) impl_->listener.join();
    impl_->server.reset();
    impl_->port = 0;
}

int BlobEndpoint::port() const { return impl_->port; }

std::string BlobEndpoint::caBundlePath() const { return impl_->stateDir + "/tls/ca.pem"; }

std::string BlobEndpoint::connectToEntry() const { return "::127.0.0.1:" + std::to_string(impl_->port); }

BlobEndpoint::Counters BlobEndpoint::counters() const {
    Counters counters;
    counters.requests = impl_->service ? impl_->service->requests() : 0;
    counters.tlsHandshakes = impl_->handshakes.load();
    return counters;
}

}  // namespace azsim
