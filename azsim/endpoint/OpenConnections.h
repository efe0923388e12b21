// The TLS connections a blob endpoint has open, so that stopping it can end them.
//
// A worker of the HTTP server waits on an idle kept-alive connection, or on a
// client that never finishes its handshake, until the connection's timeout (5 s),
// and stopping the server waits for every worker. Shutting the open sockets down
// ends those waits at once, whatever the clients do.
//
// A connection counts from the start of its TLS handshake until its SSL object is
// freed, which the server does before it closes the socket: a socket number is
// never shut down after it could have been reused.
#pragma once

#include <openssl/ssl.h>

#include <map>
#include <mutex>

namespace azsim {

class OpenConnections {
public:
    OpenConnections() = default;
    OpenConnections(const OpenConnections&) = delete;
    OpenConnections& operator=(const OpenConnections&) = delete;

    // A connection's TLS handshake starts (called from the TLS info callback).
    void opened(SSL* ssl);
    // Shuts every open connection down, and every one that opens from now until reset().
    void closeAll();
    // Lets connections stay open again, for an endpoint that starts anew.
    void reset();

private:
    static int freeNoticeIndex();
    static void onSslFree(void* ssl, void* self, CRYPTO_EX_DATA* data, int index, long argl, void* argp);
    void closed(const SSL* ssl);

    std::mutex mutex_;
    std::map<const SSL*, int> sockets_;
    bool closing_ = false;
};

}  // namespace azsim
