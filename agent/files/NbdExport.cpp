#include "agent/files/NbdExport.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <list>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

namespace vsagent {

namespace {

constexpr std::uint64_t kServerMagic = 0x4e42444d41474943ull;  // "NBDMAGIC"
constexpr std::uint64_t kOptionMagic = 0x49484156454f5054ull;  // "IHAVEOPT"
constexpr std::uint64_t kOptionReplyMagic = 0x3e889045565a9ull;
constexpr std::uint32_t kRequestMagic = 0x25609513u;
constexpr std::uint32_t kSimpleReplyMagic = 0x67446698u;
constexpr std::uint16_t kFixedNewstyle = 1;
constexpr std::uint16_t kNoZeroes = 2;
// Has flags, read-only, and every connection sees the same bytes (clients may open several).
constexpr std::uint16_t kTransmissionFlags = 1 | 2 | (1 << 8);
constexpr std::uint32_t kMaxOptionBytes = 4096;
constexpr std::uint32_t kPreferredBlock = 4096;
constexpr int kPollMilliseconds = 200;

enum Option : std::uint32_t { kExportName = 1, kAbort = 2, kList = 3, kInfo = 6, kGo = 7 };
enum OptionReply : std::uint32_t { kAck = 1, kServer = 2, kInfoReply = 3, kUnsupported = 0x80000001u, kInvalid = 0x80000003u };
enum InfoType : std::uint16_t { kInfoExport = 0, kInfoBlockSize = 3 };
enum Command : std::uint16_t { kRead = 0, kWrite = 1, kDisconnect = 2, kTrim = 4, kWriteZeroes = 6 };
enum Error : std::uint32_t { kOk = 0, kNotPermitted = 1, kIoError = 5, kInvalidArgument = 22 };

// Big-endian fields of a message, in order.
class Message {
public:
    Message& u16(std::uint16_t v) { return put(v, 2); }
    Message& u32(std::uint32_t v) { return put(v, 4); }
    Message& u64(std::uint64_t v) { return put(v, 8); }
    Message& text(const std::string& v) {
        bytes_ += v;
        return *this;
    }
    const std::string& bytes() const { return bytes_; }

private:
    Message& put(std::uint64_t v, int width) {
        for (int shift = (width - 1) * 8; shift >= 0; shift -= 8) bytes_ += static_cast<char>((v >> shift) & 0xff);
        return *this;
    }
    std::string bytes_;
};

std::uint64_t BigEndian(const unsigned char* p, int width) {
    std::uint64_t v = 0;
    for (int i = 0; i < width; ++i) v = (v << 8) | p[i];
    return v;
}

// Thrown when a connection ends: the client left or broke the protocol, or the export stops.
struct ConnectionEnds {};

class Connection {
public:
    Connection(int fd, const ByteSource& disk, const std::atomic<bool>& stopping)
        : fd_(fd), disk_(disk), stopping_(stopping) {}

    void run() {
        try {
            if (handshake()) transmit();
        } catch (const ConnectionEnds&) {
        }
    }

private:
    void receive(void* out, std::size_t length) {
        auto* p = static_cast<unsigned char*>(out);
        while (length > 0) {
            pollfd wait{fd_, POLLIN, 0};
            const int ready = poll(&wait, 1, kPollMilliseconds);
            if (stopping_) throw ConnectionEnds();
            if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
            const ssize_t got = recv(fd_, p, length, 0);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) throw ConnectionEnds();
            p += got;
            length -= static_cast<std::size_t>(got);
        }
    }
    std::uint64_t field(int width) {
        unsigned char bytes[8];
        receive(bytes, static_cast<std::size_t>(width));
        return BigEndian(bytes, width);
    }
    void send(const void* data, std::size_t length, int more = 0) {
        auto* p = static_cast<const char*>(data);
        while (length > 0) {
            const ssize_t sent = ::send(fd_, p, length, MSG_NOSIGNAL | more);
            if (sent < 0 && errno == EINTR) continue;
            if (sent <= 0) throw ConnectionEnds();
            p += sent;
            length -= static_cast<std::size_t>(sent);
        }
    }
    void send(const Message& message, int more = 0) { send(message.bytes().data(), message.bytes().size(), more); }
    void optionReply(std::uint32_t option, std::uint32_t type, const Message& data = Message()) {
        send(Message().u64(kOptionReplyMagic).u32(option).u32(type).u32(static_cast<std::uint32_t>(data.bytes().size()))
                 .text(data.bytes()));
    }

    // Options until the client picks the export (true) or leaves (false).
    bool handshake() {
        send(Message().u64(kServerMagic).u64(kOptionMagic).u16(kFixedNewstyle | kNoZeroes));
        const std::uint32_t clientFlags = static_cast<std::uint32_t>(field(4));
        if (!(clientFlags & kFixedNewstyle) || (clientFlags & ~std::uint32_t{kFixedNewstyle | kNoZeroes}))
            return false;
        for (;;) {
            if (field(8) != kOptionMagic) return false;
            const std::uint32_t option = static_cast<std::uint32_t>(field(4));
            const std::uint32_t length = static_cast<std::uint32_t>(field(4));
            if (length > kMaxOptionBytes) return false;
            std::string data(length, '\0');
            receive(&data[0], length);
            switch (option) {
            case kExportName:
                send(Message().u64(disk_.size()).u16(kTransmissionFlags));
                if (!(clientFlags & kNoZeroes)) send(std::string(124, '\0').data(), 124);
                return true;
            case kAbort: optionReply(option, kAck); return false;
            case kList:
                if (length) optionReply(option, kInvalid);
                else {
                    optionReply(option, kServer, Message().u32(0));
                    optionReply(option, kAck);
                }
                break;
            case kInfo:
            case kGo:
                if (answerInfo(option, data) && option == kGo) return true;
                break;
            default: optionReply(option, kUnsupported);
            }
        }
    }

    // The export's size and flags, and its block sizes when asked; false when the request was malformed.
    bool answerInfo(std::uint32_t option, const std::string& data) {
        const auto* p = reinterpret_cast<const unsigned char*>(data.data());
        const std::uint64_t nameLength = data.size() >= 4 ? BigEndian(p, 4) : ~0ull;
        const std::uint64_t requests = nameLength + 6 <= data.size() ? BigEndian(p + 4 + nameLength, 2) : ~0ull;
        if (requests == ~0ull || data.size() != 6 + nameLength + 2 * requests) {
            optionReply(option, kInvalid);
            return false;
        }
        optionReply(option, kInfoReply, Message().u16(kInfoExport).u64(disk_.size()).u16(kTransmissionFlags));
        for (std::uint64_t i = 0; i < requests; ++i)
            if (BigEndian(p + 6 + nameLength + 2 * i, 2) == kInfoBlockSize)
                optionReply(option, kInfoReply,
                            Message().u16(kInfoBlockSize).u32(1).u32(kPreferredBlock).u32(NbdExport::kMaxRequestBytes));
        optionReply(option, kAck);
        return true;
    }

    void reply(std::uint64_t cookie, std::uint32_t error, int more = 0) {
        send(Message().u32(kSimpleReplyMagic).u32(error).u64(cookie), more);
    }

    void transmit() {
        std::vector<unsigned char> buffer;
        for (;;) {
            if (field(4) != kRequestMagic) return;
            field(2);  // command flags: none changes how a read is served
            const std::uint16_t type = static_cast<std::uint16_t>(field(2));
            const std::uint64_t cookie = field(8);
            const std::uint64_t offset = field(8);
            const std::uint32_t length = static_cast<std::uint32_t>(field(4));
            if (type == kDisconnect) return;
            if (type == kWrite) {
                if (length > NbdExport::kMaxRequestBytes) return;  // its payload cannot be skipped safely
                buffer.resize(length);
                receive(buffer.data(), length);
                reply(cookie, kNotPermitted);
            } else if (type != kRead) {
                reply(cookie, type == kTrim || type == kWriteZeroes ? kNotPermitted : kInvalidArgument);
            } else if (length > NbdExport::kMaxRequestBytes || offset > disk_.size() || length > disk_.size() - offset) {
                reply(cookie, kInvalidArgument);
            } else {
                read(cookie, offset, length, buffer);
            }
        }
    }

    void read(std::uint64_t cookie, std::uint64_t offset, std::uint32_t length, std::vector<unsigned char>& buffer) {
        buffer.resize(length);
        try {
            disk_.read(offset, length, buffer.data());
        } catch (const std::exception&) {
            reply(cookie, kIoError);
            return;
        }
        reply(cookie, kOk, MSG_MORE);
        send(buffer.data(), length);
    }

    int fd_;
    const ByteSource& disk_;
    const std::atomic<bool>& stopping_;
};

[[noreturn]] void ThrowSocketError(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

NbdExport::~NbdExport() {
    if (listener_ >= 0) close(listener_);
    if (!socketPath_.empty()) unlink(socketPath_.c_str());
}

// The socket is bound and listening under a passing name first and appears at
// `path` only then, so that a client that sees it can connect; the hard link that
// puts it there refuses to replace whatever is at `path` already.
void NbdExport::listenUnix(const std::string& path) {
    const std::string passing = path + ".binding-" + std::to_string(getpid());
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || passing.size() >= sizeof address.sun_path)
        throw std::runtime_error("socket path [" + path + "] is empty or longer than " +
                                 std::to_string(sizeof address.sun_path - 1 - (passing.size() - path.size())) + " bytes");
    std::memcpy(address.sun_path, passing.c_str(), passing.size());
    listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) ThrowSocketError("cannot make a unix socket");
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        ThrowSocketError("cannot bind a socket at [" + passing + "]");
    const bool listening = listen(listener_, 16) == 0;
    const bool linked = listening && link(passing.c_str(), path.c_str()) == 0;
    const int error = errno;
    unlink(passing.c_str());
    errno = error;
    if (!listening) ThrowSocketError("cannot listen on [" + passing + "]");
    if (!linked) ThrowSocketError("cannot put the socket at [" + path + "]");
    socketPath_ = path;
}

void NbdExport::listenTcp(int port) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) ThrowSocketError("cannot make a TCP socket");
    const int on = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        ThrowSocketError("cannot bind 127.0.0.1:" + std::to_string(port));
    if (listen(listener_, 16) != 0) ThrowSocketError("cannot listen on 127.0.0.1:" + std::to_string(port));
}

void NbdExport::serve(const std::function<bool()>& stop) {
    struct Client {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::list<Client> clients;
    while (!stop()) {
        clients.remove_if([](Client& client) {
            if (!*client.done) return false;
            client.thread.join();
            return true;
        });
        pollfd wait{listener_, POLLIN, 0};
        if (poll(&wait, 1, kPollMilliseconds) <= 0) continue;
        const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {  // the client gave up before it was taken, or descriptors ran out for a moment
            std::this_thread::sleep_for(std::chrono::milliseconds(kPollMilliseconds));
            continue;
        }
        auto done = std::make_shared<std::atomic<bool>>(false);
        clients.push_back({std::thread([this, fd, done] {
                               serveClient(fd);
                               *done = true;
                           }),
                           done});
    }
    stopping_ = true;
    for (Client& client : clients) client.thread.join();
}

void NbdExport::serveClient(int fd) const {
    Connection(fd, disk_, stopping_).run();
    close(fd);
}

}  // namespace vsagent
