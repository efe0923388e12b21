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

// Big-endian fields, each {value, width in bytes}.
std::string Pack(std::initializer_list<std::pair<std::uint64_t, int>> fields) {
    std::string out;
    for (const auto& [value, width] : fields)
        for (int i = width - 1; i >= 0; --i) out += static_cast<char>(value >> (8 * i));
    return out;
}

// A client of the protocol's fixed newstyle handshake, speaking plain bytes.
struct BareClient {
    explicit BareClient(const std::string& socketPath) {
        sockaddr_un address{AF_UNIX, {}};
        std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    ~BareClient() { close(fd); }
    void put(const std::string& bytes) { EXPECT_EQ(send(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size())); }
    std::uint64_t take(std::size_t width, std::string* bytes = nullptr) {
        std::string got(width, '\0');
        EXPECT_EQ(recv(fd, &got[0], width, MSG_WAITALL), static_cast<ssize_t>(width));
        if (bytes) *bytes = got;
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < width && i < 8; ++i) value = (value << 8) | static_cast<unsigned char>(got[i]);
        return value;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
};

using ServeCommand = e2e::Vsagent;

// An incremental job's disk served while prune waits outside: a damaged window is answered with
// EIO, NBD clients read what export writes, writes and reads past the end are refused, and
// Ctrl-C ends it, socket gone, prune free.
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

    // Fixed newstyle without zeroes, then the export by its name (""): its size and flags.
    BareClient client(socketPath);
    client.take(18);
    client.put(Pack({{3, 4}, {0x49484156454f5054ull, 8}, {1, 4}, {0, 4}}));
    const std::uint64_t size = client.take(8);
    EXPECT_EQ(size, fs::file_size(exportFile));
    EXPECT_EQ(client.take(2) & 2, 2u);  // read-only
    const std::string damaged = JobFolder(vm, std::stoll(job)) + "/disk1.img";  // holds what the guest wrote at 3 MiB
    FlipByte(damaged, 3 << 20);
    // Requests of type 0 (read), 1 (write) and 4 (trim), and the error each gets.
    struct Row { std::uint64_t type, offset, length, error; } rows[] = {{0, (3 << 20) - 100, 8192, 5},    {0, size - 512, 512, 0}, {0, size - 512, 1024, 22},
                {0, 0, (32u << 20) + 1, 22}, {1, 0, 4096, 1},       {4, 0, 4096, 1}};
    for (const Row& row : rows) {
        client.put(Pack({{0x25609513, 4}, {0, 2}, {row.type, 2}, {42, 8}, {row.offset, 8}, {row.length, 4}}) +
                   (row.type == 1 ? std::string(row.length, 'w') : ""));
        std::string reply, data, expected(row.error ? 0 : row.length, '\0');
        client.take(16, &reply);
        EXPECT_EQ(reply, Pack({{0x67446698, 4}, {row.error, 4}, {42, 8}})) << row.type << "@" << row.offset;
        if (!row.error) client.take(row.length, &data);
        std::ifstream(exportFile).seekg(static_cast<std::streamoff>(row.offset)).read(&expected[0], expected.size());
        EXPECT_TRUE(data == expected) << row.type << "@" << row.offset;
    }
    // Once the byte is back, the window reads again, and clients read what export wrote.
    FlipByte(damaged, 3 << 20);
    const e2e::Run info = e2e::Execute("/usr/bin/nbdinfo", {"--json", uri}, dir.path());
    ASSERT_EQ(info.exitCode, 0) << info.err << " (nbdinfo, of Debian libnbd-bin, is needed)";
    const json exports = json::parse(info.out, nullptr, false)["exports"];
    ASSERT_EQ(exports.size(), 1u) << info.out;
    EXPECT_EQ(exports[0]["export-size"], fs::file_size(exportFile));
    EXPECT_EQ(exports[0]["is_read_only"], true);
    const e2e::Run copy = e2e::Execute("/usr/bin/nbdcopy", {uri, dir.path() + "/copy.img"}, dir.path());
    ASSERT_EQ(copy.exitCode, 0) << copy.err;
    EXPECT_EQ(e2e::Execute("/usr/bin/sha256sum", {dir.path() + "/copy.img"}, dir.path()).out.substr(0, 64), exported);

    const e2e::Run heldOff = Agent({"prune", "--store", store, "--vm", vm, "--keep-last", "1"});
    EXPECT_EQ(heldOff.exitCode, 1);
    EXPECT_THAT(heldOff.err, HasSubstr("in use"));
    kill(served->pid(), SIGINT);
    const e2e::Run ended = served->finish();
    EXPECT_EQ(ended.exitCode, 0) << ended.err;
    EXPECT_FALSE(fs::exists(socketPath));
    EXPECT_EQ(Agent({"prune", "--store", store, "--vm", vm, "--keep-last", "1"}).exitCode, 0);
}

}  // namespace
