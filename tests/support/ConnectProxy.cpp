#include "tests/support/ConnectProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/beast/core/detail/base64.hpp>
#include <stdexcept>

namespace testsupport {

namespace {

std::string Base64(const std::string& text) {
    std::string out(boost::beast::detail::base64::encoded_size(text.size()), '\0');
    out.resize(boost::beast::detail::base64::encode(out.data(), text.data(), text.size()));
    return out;
}

void SendAll(int fd, const std::string& text) {
    for (std::size_t sent = 0; sent < text.size();) {
        const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += static_cast<std::size_t>(n);
    }
}

// Copies bytes both ways until either side ends.
void Relay(int a, int b) {
    char buffer[16384];
    pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
    while (::poll(fds, 2, 10000) > 0) {
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            const ssize_t n = ::recv(fds[i].fd, buffer, sizeof buffer, 0);
            if (n <= 0) return;
            SendAll(fds[1 - i].fd, std::string(buffer, static_cast<std::size_t>(n)));
        }
    }
}

}  // namespace

ConnectProxy::ConnectProxy(int targetPort, std::string user, std::string password)
    : targetPort_(targetPort), expectedAuth_("Basic " + Base64(user + ":" + password)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener_, 16) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &length) != 0)
        throw std::runtime_error("the test proxy cannot listen");
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

ConnectProxy::~ConnectProxy() {
    stopping_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    ::close(listener_);
    acceptor_.join();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (int client : clients_) ::shutdown(client, SHUT_RDWR);
    }
    for (std::thread& t : tunnels_) t.join();
    for (int client : clients_) ::close(client);
}

std::string ConnectProxy::address() const { return "127.0.0.1:" + std::to_string(port_); }

std::vector<std::string> ConnectProxy::asked() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return asked_;
}

void ConnectProxy::acceptLoop() {
    while (!stopping_) {
        const int client = ::accept(listener_, nullptr, nullptr);
        if (client < 0) return;
        std::lock_guard<std::mutex> lock(mutex_);
        clients_.push_back(client);
        tunnels_.emplace_back([this, client] { serve(client); });
    }
}

void ConnectProxy::serve(int client) {
    std::string head;
    char c;
    while (head.size() < 8192 && head.find("\r\n\r\n") == std::string::npos && ::recv(client, &c, 1, 0) == 1)
        head += c;
    const std::size_t space = head.find(' ');
    const std::string target = head.compare(0, 8, "CONNECT ") == 0 ? head.substr(8, head.find(' ', 8) - 8) : "";
    {
        std::lock_guard<std::mutex> lock(mutex_);
        asked_.push_back(space == std::string::npos ? head : target);
    }
    if (head.find("Proxy-Authorization: " + expectedAuth_ + "\r\n") == std::string::npos) {
        ++refused_;
        SendAll(client, "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"test\"\r\n"
                        "Content-Length: 0\r\nConnection: close\r\n\r\n");
        return;
    }
    const int upstream = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(targetPort_));
    if (upstream >= 0 && ::connect(upstream, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        SendAll(client, "HTTP/1.1 200 Connection established\r\n\r\n");
        Relay(client, upstream);
    }
    if (upstream >= 0) ::close(upstream);
}

}  // namespace testsupport
