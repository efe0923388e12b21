// The azsim tool, run as its own process.
#include <curl/curl.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <vector>

#include "azsim/auth/AccessAuthority.h"
#include "azsim/faults/FaultBook.h"
#include "azsim/model/ResourceIds.h"
#include "azsim/model/SubscriptionState.h"
#include "tests/azsim/model/TempFolder.h"

namespace {

struct Result {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<char*> Argv(std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(AZSIM_TOOL));
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    return argv;
}

class ToolTest : public ::testing::Test {
protected:
    Result run(std::vector<std::string> args) {
        std::string outPath = scratch_.sub("out"), errPath = scratch_.sub("err");
        std::vector<char*> argv = Argv(args);
        pid_t pid = fork();
        if (pid == 0) {
            int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            dup2(err, 2);
            execv(AZSIM_TOOL, argv.data());
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        Result r;
        r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = ReadFile(outPath);
        r.err = ReadFile(errPath);
        return r;
    }

    // A small subscription: one managed VM whose OS disk holds "ABCD" in its first MiB.
    void init() {
        std::ofstream(scratch_.sub("scenario.json")) << R"({
          "subscriptions": [{"id": "sub-9", "name": "S", "tenantId": "t", "applicationId": "app-9", "secret": "pw-9"}],
          "regions": [{"name": "westeurope", "displayName": "West Europe"}],
          "resourceGroups": [{"name": "rg", "region": "westeurope"}],
          "vms": [{"name": "vm1", "resourceGroup": "rg", "disks": [
            {"name": "vm1-os", "sizeMiB": 8, "content": [{"offset": 0, "length": 1048576, "fill": "text", "text": "ABCD"}]},
            {"name": "vm1-data", "sizeMiB": 4}]}]})";
        Result r = run({"init", "--state", state(), "--scenario", scratch_.sub("scenario.json")});
        ASSERT_EQ(0, r.exitCode) << r.err;
        EXPECT_NE(std::string::npos, r.out.find("subscription id: sub-9"));
        EXPECT_NE(std::string::npos, r.out.find("application id: app-9"));
        EXPECT_NE(std::string::npos, r.out.find("secret: pw-9"));
    }

    std::string hash(std::vector<std::string> args) {
        args.insert(args.begin(), {"hash", "--state", state()});
        Result r = run(args);
        EXPECT_EQ(0, r.exitCode) << r.err;
        EXPECT_EQ(65u, r.out.size()) << r.out;
        return r.out.substr(0, 64);
    }

    std::string state() const { return scratch_.sub("state"); }

    azsimtest::TempFolder scratch_;
};

std::string Sha256Hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr);
    std::string hex;
    char two[3];
    for (unsigned int i = 0; i < size; ++i) {
        snprintf(two, sizeof two, "%02x", digest[i]);
        hex += two;
    }
    return hex;
}

TEST_F(ToolTest, EveryCommandExplainsItself) {
    for (const char* command : {"init", "serve", "show", "write", "hash", "fault"}) {
        Result r = run({command, "--help"});
        EXPECT_EQ(0, r.exitCode) << command;
        EXPECT_NE(std::string::npos, r.out.find(std::string("usage: azsim ") + command)) << r.out;
    }
    EXPECT_EQ(0, run({"--help"}).exitCode);
    Result unknown = run({"frobnicate"});
    EXPECT_EQ(2, unknown.exitCode);
    EXPECT_NE(std::string::npos, unknown.err.find("frobnicate"));
    Result noState = run({"show"});
    EXPECT_EQ(2, noState.exitCode);
    EXPECT_NE(std::string::npos, noState.err.find("--state"));
    EXPECT_EQ(2, run({"show", "--state", state(), "--bogus"}).exitCode);
}

TEST_F(ToolTest, InitShowWriteAndHashAgree) {
    init();
    Result show = run({"show", "--state", state(), "vms"});
    ASSERT_EQ(0, show.exitCode) << show.err;
    nlohmann::json vms = nlohmann::json::parse(show.out);
    ASSERT_EQ(1u, vms.size());
    EXPECT_EQ("vm1", vms[0]["name"]);
    EXPECT_NE(0, run({"show", "--state", state(), "nosuchkind"}).exitCode);
    EXPECT_NE(0, run({"init", "--state", state()}).exitCode);  // already initialised

    // The hash of the text region is the hash of the bytes the scenario asked for.
    std::string abcd;
    for (int i = 0; i < 1024 * 1024 / 4; ++i) abcd += "ABCD";
    EXPECT_EQ(Sha256Hex(abcd), hash({"--vm", "vm1", "--offset", "0", "--length", "1048576"}));

    std::string whole = hash({"--vm", "vm1", "--disk", "0"});
    std::string firstMiB = hash({"--vm", "vm1", "--length", "1048576"});
    std::string dataDisk = hash({"--vm", "vm1", "--disk", "1"});
    Result write = run({"write", "--state", state(), "--vm", "vm1", "--offset", "2097152", "--text", "guest data"});
    ASSERT_EQ(0, write.exitCode) << write.err;
    EXPECT_NE(whole, hash({"--vm", "vm1"}));
    EXPECT_EQ(firstMiB, hash({"--vm", "vm1", "--length", "1048576"}));
    EXPECT_EQ(dataDisk, hash({"--vm", "vm1", "--disk", "1"}));
    std::string page = std::string("guest data") + std::string(502, '\0');
    EXPECT_EQ(Sha256Hex(page), hash({"--vm", "vm1", "--offset", "2097152", "--length", "512"}));

    // Clearing the page brings back the bytes of the never-written disk.
    ASSERT_EQ(
        0,
        run({"write", "--state", state(), "--vm", "vm1", "--offset", "2097152", "--zero", "--length", "512"}).exitCode);
    EXPECT_EQ(whole, hash({"--vm", "vm1"}));

    // The managed disk's access URL names the same bytes.
    ASSERT_EQ(0, run({"write", "--state", state(), "--vm", "vm1", "--disk", "1", "--offset", "4096", "--random", "42",
                      "--length", "8192"})
                     .exitCode);
    azsim::StateDocument doc = azsim::SubscriptionState(state()).load();
    std::string url = azsim::ManagedDiskAccessUrl(*doc.diskBlob(*doc.findVm("vm1"), 1));
    EXPECT_EQ(hash({"--vm", "vm1", "--disk", "1"}), hash({"--blob", url}));
    EXPECT_NE(dataDisk, hash({"--blob", url}));
}

TEST_F(ToolTest, BadWritesAreRefusedWithTheReason) {
    init();
    std::string before = hash({"--vm", "vm1"});
    Result misaligned = run({"write", "--state", state(), "--vm", "vm1", "--offset", "1000", "--text", "x"});
    EXPECT_NE(0, misaligned.exitCode);
    EXPECT_NE(std::string::npos, misaligned.err.find("offset 1000 is not a multiple of 512")) << misaligned.err;
    Result shortLength =
        run({"write", "--state", state(), "--vm", "vm1", "--offset", "0", "--random", "1", "--length", "100"});
    EXPECT_NE(0, shortLength.exitCode);
    EXPECT_NE(std::string::npos, shortLength.err.find("512")) << shortLength.err;
    Result pastEnd =
        run({"write", "--state", state(), "--vm", "vm1", "--offset", "8388608", "--zero", "--length", "512"});
    EXPECT_NE(0, pastEnd.exitCode);
    Result noVm = run({"write", "--state", state(), "--vm", "nosuch", "--offset", "0", "--text", "x"});
    EXPECT_NE(0, noVm.exitCode);
    EXPECT_NE(std::string::npos, noVm.err.find("nosuch"));
    EXPECT_NE(
        0, run({"write", "--state", state(), "--vm", "vm1", "--disk", "7", "--offset", "0", "--text", "x"}).exitCode);
    EXPECT_NE(0, run({"write", "--state", state(), "--vm", "vm1", "--offset", "0", "--text", "x", "--zero"}).exitCode);
    EXPECT_EQ(before, hash({"--vm", "vm1"}));
    EXPECT_NE(0, run({"hash", "--state", state(), "--vm", "vm1", "--offset", "9999999999"}).exitCode);
}

TEST_F(ToolTest, FaultRulesAreAddedListedAndCleared) {
    init();
    ASSERT_EQ(0, run({"fault", "--state", state(), "add-sdk", "--op", "CreateDiskSnapshots", "--code", "5", "--text",
                      "vault firewall", "--times", "2"})
                     .exitCode);
    ASSERT_EQ(0, run({"fault", "--state", state(), "add-http", "--method", "GET", "--path", "/md-*/*/abcd", "--kind",
                      "status", "--status", "503", "--error-code", "ServerBusy", "--times", "-1"})
                     .exitCode);
    EXPECT_EQ(2, run({"fault", "--state", state(), "add-http", "--kind", "sideways"}).exitCode);
    EXPECT_EQ(2, run({"fault", "--state", state(), "add-sdk", "--op", "X", "--code", "1", "--times", "0"}).exitCode);

    Result list = run({"fault", "--state", state(), "list"});
    ASSERT_EQ(0, list.exitCode);
    EXPECT_NE(std::string::npos, list.out.find("op=CreateDiskSnapshots code=5 times=2 text=vault firewall"));
    EXPECT_NE(std::string::npos, list.out.find("path=/md-*/*/abcd kind=status status=503 error-code=ServerBusy"));

    azsim::FaultBook book(state());
    auto http = book.takeHttpFault("GET", "/md-0123456789ab/c0ffee/abcd");
    ASSERT_TRUE(http);
    EXPECT_EQ(503, http->status);
    EXPECT_EQ(-1, http->times);
    auto sdk = book.takeSdkFault("CreateDiskSnapshots");
    ASSERT_TRUE(sdk);
    EXPECT_EQ("vault firewall", sdk->text);

    ASSERT_EQ(0, run({"fault", "--state", state(), "clear"}).exitCode);
    EXPECT_EQ("", run({"fault", "--state", state(), "list"}).out);
    EXPECT_FALSE(book.takeHttpFault("GET", "/md-0123456789ab/c0ffee/abcd"));
}

size_t Collect(char* data, size_t size, size_t count, void* sink) {
    static_cast<std::string*>(sink)->append(data, size * count);
    return size * count;
}

TEST_F(ToolTest, ServedRangeMatchesTheHashOfTheSameRange) {
    init();
    std::string outPath = scratch_.sub("serve.out");
    std::vector<std::string> args = {"serve", "--state", state()};
    std::vector<char*> argv = Argv(args);
    pid_t server = fork();
    if (server == 0) {
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        execv(AZSIM_TOOL, argv.data());
        _exit(127);
    }
    std::string printed;
    for (int i = 0; i < 200 && printed.find("\nca ") == std::string::npos; ++i) {
        usleep(50 * 1000);
        printed = ReadFile(outPath);
    }
    std::istringstream lines(printed);
    std::string word, connectTo, ca;
    int port = 0;
    lines >> word >> port >> word >> connectTo >> word >> ca;
    ASSERT_GT(port, 0) << printed;

    azsim::StateDocument doc = azsim::SubscriptionState(state()).load();
    std::string url = azsim::ManagedDiskAccessUrl(*doc.diskBlob(*doc.findVm("vm1"), 0));
    std::string token = azsim::AccessAuthority(state()).issueToken("tool-test");
    std::string body;
    CURL* curl = curl_easy_init();
    curl_slist* headers = curl_slist_append(nullptr, ("Authorization: Bearer " + token).c_str());
    headers = curl_slist_append(headers, "x-ms-version: 2021-08-06");
    curl_slist* route = curl_slist_append(nullptr, connectTo.c_str());
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_CONNECT_TO, route);
    curl_easy_setopt(curl, CURLOPT_CAINFO, ca.c_str());
    curl_easy_setopt(curl, CURLOPT_RANGE, "524288-4718591");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    CURLcode result = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_slist_free_all(headers);
    curl_slist_free_all(route);
    curl_easy_cleanup(curl);

    kill(server, SIGTERM);
    int exitStatus = 0;
    waitpid(server, &exitStatus, 0);
    EXPECT_TRUE(WIFEXITED(exitStatus) && WEXITSTATUS(exitStatus) == 0);

    ASSERT_EQ(CURLE_OK, result) << curl_easy_strerror(result);
    EXPECT_EQ(206, status) << body;
    ASSERT_EQ(4u * 1024 * 1024, body.size());
    EXPECT_EQ(hash({"--vm", "vm1", "--offset", "524288", "--length", "4194304"}), Sha256Hex(body));
}

}  // namespace
