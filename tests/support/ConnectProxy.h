// A forward proxy for tests: it takes "CONNECT host:port" requests with basic
// proxy credentials, answers 407 to others, and tunnels every accepted one to
// one local port (the simulated endpoint), whatever host it names. It records
// the targets it was asked for.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class ConnectProxy {
public:
    ConnectProxy(int targetPort, std::string user, std::string password);
    ~ConnectProxy();
    // "127.0.0.1:PORT", as the HTTP client's proxy setting takes it.
    std::string address() const;
    // The "host:port" of each tunnel asked for, with or without the right credentials.
    std::vector<std::string> asked() const;
    // Tunnels refused with 407 for their credentials.
    int refused() const { return refused_; }

private:
    void acceptLoop();
    void serve(int client);

    int targetPort_;
    std::string expectedAuth_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> refused_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> asked_;
    std::vector<std::thread> tunnels_;
    std::vector<int> clients_;  // ended at once when the proxy stops, as kept-alive tunnels would wait
    std::thread acceptor_;
};

}  // namespace testsupport
