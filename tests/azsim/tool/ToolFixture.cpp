#include "tests/azsim/tool/ToolFixture.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>

namespace {

// Starts the tool with `args`: stdout (and stderr, when named) to files, in `workDir` when named.
pid_t Spawn(std::vector<std::string> args, const std::string& outPath, const std::string& errPath,
            const std::string& workDir) {
    std::vector<char*> argv{const_cast<char*>(AZSIM_TOOL)};
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
        if (!errPath.empty()) dup2(open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(126);
        execv(AZSIM_TOOL, argv.data());
        _exit(127);
    }
    return pid;
}

int ExitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

}  // namespace

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

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

ServeProcess::ServeProcess(const std::string& workDir, std::vector<std::string> args, const std::string& outPath) {
    pid_ = Spawn(std::move(args), outPath, "", workDir);
    for (int i = 0; i < 200 && printed.find("\nca ") == std::string::npos; ++i) {
        usleep(50 * 1000);
        printed = ReadFile(outPath);
    }
    std::istringstream lines(printed);
    std::string word;
    lines >> word >> port >> word >> connectTo >> word >> ca;
}

ServeProcess::~ServeProcess() {
    if (pid_ > 0) stop(SIGKILL, nullptr);
}

int ServeProcess::stop(int signal, double* seconds) {
    const auto start = std::chrono::steady_clock::now();
    kill(pid_, signal);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    if (seconds) *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return ExitCode(status);
}

ToolResult ToolTest::run(std::vector<std::string> args) {
    std::string outPath = scratch_.sub("out"), errPath = scratch_.sub("err");
    pid_t pid = Spawn(std::move(args), outPath, errPath, "");
    int status = 0;
    waitpid(pid, &status, 0);
    ToolResult r;
    r.exitCode = ExitCode(status);
    r.out = ReadFile(outPath);
    r.err = ReadFile(errPath);
    return r;
}

void ToolTest::init() {
    std::ofstream(scratch_.sub("scenario.json")) << R"({
      "subscriptions": [{"id": "sub-9", "name": "S", "tenantId": "t", "applicationId": "app-9", "secret": "pw-9"}],
      "regions": [{"name": "westeurope", "displayName": "West Europe"}],
      "resourceGroups": [{"name": "rg", "region": "westeurope"}],
      "vms": [{"name": "vm1", "resourceGroup": "rg", "disks": [
        {"name": "vm1-os", "sizeMiB": 8, "content": [{"offset": 0, "length": 1048576, "fill": "text", "text": "ABCD"}]},
        {"name": "vm1-data", "sizeMiB": 4}]}]})";
    ToolResult r = run({"init", "--state", state(), "--scenario", scratch_.sub("scenario.json")});
    ASSERT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ("subscription id: sub-9\napplication id: app-9\nsecret: pw-9\n", r.out);
}

ToolResult ToolTest::onState(const std::string& command, const std::vector<std::string>& args) {
    std::vector<std::string> all = {command, "--state", state()};
    all.insert(all.end(), args.begin(), args.end());
    return run(all);
}

std::string ToolTest::hash(std::vector<std::string> args) {
    ToolResult r = onState("hash", args);
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ(65u, r.out.size()) << r.out;
    return r.out.substr(0, 64);
}
