#include "azsim/endpoint/OpenConnections.h"

#include <sys/socket.h>

namespace azsim {

int OpenConnections::freeNoticeIndex() {
    // Process-wide: OpenSSL calls onSslFree for every SSL object freed, ours carry `this`, others nothing.
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, &OpenConnections::onSslFree);
    return index;
}

void OpenConnections::onSslFree(void* ssl, void* self, CRYPTO_EX_DATA* /*data*/, int /*index*/, long /*argl*/,
                                void* /*argp*/) {
    if (self) static_cast<OpenConnections*>(self)->closed(static_cast<const SSL*>(ssl));
}

void OpenConnections::opened(SSL* ssl) {
    const int fd = SSL_get_fd(ssl);
    if (fd < 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (closing_) {
        ::shutdown(fd, SHUT_RDWR);
        return;
    }
    if (SSL_set_ex_data(ssl, freeNoticeIndex(), this) == 1) sockets_[ssl] = fd;
}

void OpenConnections::closed(const SSL* ssl) {
    std::lock_guard<std::mutex> lock(mutex_);
    sockets_.erase(ssl);
}

void OpenConnections::closeAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
    for (const auto& socket : sockets_) ::shutdown(socket.second, SHUT_RDWR);
}

void OpenConnections::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = false;
}

}  // namespace azsim
