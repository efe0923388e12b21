// A ByteSource served read-only over the network block device protocol (fixed
// newstyle handshake, simple replies), so that any NBD client can read a
// backed-up disk: each client on its own thread, reads served from the source,
// writes and trims refused with EPERM, a range the source cannot prove sound
// answered with EIO rather than with its bytes.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "agent/files/ByteSource.h"

namespace vsagent {

class NbdExport {
public:
    // The largest read one request may ask for; larger ones are answered with EINVAL.
    static constexpr std::uint32_t kMaxRequestBytes = 32u << 20;

    explicit NbdExport(const ByteSource& disk) : disk_(disk) {}
    NbdExport(const NbdExport&) = delete;
    NbdExport& operator=(const NbdExport&) = delete;
    // Closes the listening socket and removes the unix socket it made.
    ~NbdExport();

    // Listens on a new unix socket at `path` (refused when something is there
    // already) or on TCP `port` of the loopback interface; throws std::runtime_error.
    void listenUnix(const std::string& path);
    void listenTcp(int port);
    // Serves clients until `stop` returns true (asked several times a second),
    // then closes every connection and waits for their threads to end.
    void serve(const std::function<bool()>& stop);

private:
    void serveClient(int fd) const;

    const ByteSource& disk_;
    int listener_ = -1;
    std::string socketPath_;
    std::atomic<bool> stopping_{false};
};

}  // namespace vsagent
