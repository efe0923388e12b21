// vsagent serve read by the NBD clients a person would use, and by a bare client
// that asks what those clients never ask (writes, reads past the end).
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "tests/agent/e2e/VsagentFixture.h"

using e2e::json;
namespace fs = std::filesystem;
using ::testing::HasSubstr;

namespace {

// A client of the protocol's fixed newstyle handshake, speaking plain bytes.
class BareClient {
public:
    explicit BareClient(const std::string& socketPath) : fd_(socket(AF_UNIX, SOCK_STREAM, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~BareClient() { close(fd_); }
    // Takes the export by name; its size.
    std::uint64_t attach() {
        take(18);
        put(3, 4);                   // fixed newstyle, no zeroes
        put(0x49484156454f5054ull, 8);  // an option: the export by its name (""), no reply but its size
        put(1, 4);
        put(0, 4);
        const std::uint64_t size = take(8);
        take(2);
        return size;
    }
    // The error of one request, its data (if any) read into `data`.
    std::uint32_t request(std::uint16_t type, std::uint64_t offset, std::uint32_t length, std::string* data = nullptr) {
        put(0x25609513, 4);
        put(0, 2);
        put(type, 2);
        put(42, 8);
        put(offset, 8);
        put(length, 4);
        if (type == 1) send(fd_, std::string(length, 'w').data(), length, 0);
        take(4);
        const std::uint32_t error = static_cast<std::uint32_t>(take(4));
        EXPECT_EQ(take(8), 42u);
        if (data && !error) {
            data->resize(length);
            EXPECT_EQ(recv(fd_, &(*data)[0], length, MSG_WAITALL), static_cast<ssize_t>(length));
        }
        return error;
    }
    bool connected() const { return connected_; }

private:
    void put(std::uint64_t value, int width) {
        unsigned char bytes[8];
        for (int i = 0; i < width; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * (width - 1 - i)));
        send(fd_, bytes, static_cast<std::size_t>(width), 0);
    }
    std::uint64_t take(std::size_t width) {
        unsigned char bytes[32] = {};
        EXPECT_EQ(recv(fd_, bytes, width, MSG_WAITALL), static_cast<ssize_t>(width));
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < width && i < 8; ++i) value = (value << 8) | bytes[i];
        return value;
    }
    int fd_;
    bool connected_ = false;
};

using ServeCommand = e2e::Vsagent;

// An incremental job's disk served while prune waits outside: NBD clients read what export
// writes, writes and reads past the end are refused, and Ctrl-C ends it, socket gone, prune free.
TEST_F(ServeCommand, ServedDiskIsItsExportReadOnlyAndHeldAgainstPrune) {
    const std::string vm = "web-linux01";
    Backup(vm);
    GuestWrite(vm, 1, 3 << 20, 65536, 7);
    const std::string job = Backup(vm)["jobId"].dump();
    const std::string exported = Export(std::stoll(job), 1);
    const std::string exportFile = dir.path() + "/export-" + job + "-1";
    const std::string socketPath = dir.path() + "/nbd.sock";
    auto served = StartedWhen({"serve", "--store", store, "--job", job, "--vm", vm, "--disk", "1", "--socket", socketPath},
                              [&] { return fs::exists(socketPath); });
    ASSERT_TRUE(fs::exists(socketPath));
    const std::string uri = "nbd+unix:///?socket=" + socketPath;

    const e2e::Run info = e2e::Execute("/usr/bin/nbdinfo", {"--json", uri}, dir.path());
    ASSERT_EQ(info.exitCode, 0) << info.err << " (nbdinfo, of Debian libnbd-bin, is needed)";
    const json exports = json::parse(info.out, nullptr, false)["exports"];
    ASSERT_EQ(exports.size(), 1u) << info.out;
    EXPECT_EQ(exports[0]["export-size"], fs::file_size(exportFile));
    EXPECT_EQ(exports[0]["is_read_only"], true);
    const e2e::Run copy = e2e::Execute("/usr/bin/nbdcopy", {uri, dir.path() + "/copy.img"}, dir.path());
    ASSERT_EQ(copy.exitCode, 0) << copy.err;
    EXPECT_EQ(e2e::Execute("/usr/bin/sha256sum", {dir.path() + "/copy.img"}, dir.path()).out.substr(0, 64), exported);

    BareClient client(socketPath);
    ASSERT_TRUE(client.connected());
    const std::uint64_t size = client.attach();
    EXPECT_EQ(size, fs::file_size(exportFile));
    struct Row {
        std::uint16_t type;
        std::uint64_t offset;
        std::uint32_t length;
        std::uint32_t error;
    } rows[] = {{0, (3 << 20) - 100, 8192, 0},  {0, size - 512, 512, 0}, {0, size - 512, 1024, 22},
                {0, 0, (32u << 20) + 1, 22}, {1, 0, 4096, 1},       {4, 0, 4096, 1}};
    for (const Row& row : rows) {
        std::string data;
        EXPECT_EQ(client.request(row.type, row.offset, row.length, &data), row.error) << row.type << "@" << row.offset;
        std::string expected(row.error ? 0 : row.length, '\0');
        std::ifstream(exportFile).seekg(static_cast<std::streamoff>(row.offset)).read(&expected[0], expected.size());
        EXPECT_TRUE(data == expected) << row.type << "@" << row.offset;
    }

    const e2e::Run heldOff = Agent({"prune", "--store", store, "--vm", vm, "--keep-last", "1"});
    EXPECT_EQ(heldOff.exitCode, 1);
    EXPECT_THAT(heldOff.err, HasSubstr("in use"));
    kill(served->pid(), SIGINT);
    const e2e::Run ended = served->finish();
    EXPECT_EQ(ended.exitCode, 0) << ended.err;
    EXPECT_THAT(ended.out, HasSubstr("stopped serving"));
    EXPECT_FALSE(fs::exists(socketPath));
    EXPECT_EQ(Agent({"prune", "--store", store, "--vm", vm, "--keep-last", "1"}).exitCode, 0);
}

}  // namespace
