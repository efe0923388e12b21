// The HTTPS blob endpoint of a simulated subscription, on 127.0.0.1.
//
// Clients reach it under the cloud's own host names (account.blob.core.windows.net,
// managed-disk access hosts, sovereign-cloud suffixes) by mapping every host to
// the endpoint (libcurl's connect-to "::127.0.0.1:<port>") and trusting the CA
// the state folder holds ("tls/ca.pem", created with the server certificate on
// first start). The account is the first label of the Host header; the path is
// "/container/blob"; "?snapshot=" selects a snapshot.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace azsim {

class BlobEndpoint {
public:
    explicit BlobEndpoint(std::string stateDir);
    ~BlobEndpoint();
    BlobEndpoint(const BlobEndpoint&) = delete;
    BlobEndpoint& operator=(const BlobEndpoint&) = delete;

    // Listens on 127.0.0.1:`port` (0: any free port) and serves on background threads.
    bool start(std::string* error, int port = 0);
    void stop();
    int port() const;

    // The CA certificate clients trust, as an absolute path even when the state folder was named relative.
    std::string caBundlePath() const;
    // The connect-to entry that routes every host name to this endpoint.
    std::string connectToEntry() const;

    // Requests received and TLS handshakes completed since start(), for benchmarks.
    struct Counters {
        std::uint64_t requests = 0;
        std::uint64_t tlsHandshakes = 0;
    };
    Counters counters() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace azsim
