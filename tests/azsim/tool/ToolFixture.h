// The azsim tool run as its own process over a small subscription in a
// temporary folder, and an `azsim serve` child for tests of the endpoint.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/azsim/model/TempFolder.h"

struct ToolResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string ReadFile(const std::string& path);
std::string Sha256Hex(const std::string& bytes);

// A running `azsim serve` and the port, connect-to entry and CA path it printed.
// Stopped (SIGKILL) when it goes out of scope still running.
class ServeProcess {
public:
    // Starts `azsim <args>` in `workDir` and waits until it has printed its CA line.
    ServeProcess(const std::string& workDir, std::vector<std::string> args, const std::string& outPath);
    ~ServeProcess();
    ServeProcess(const ServeProcess&) = delete;
    ServeProcess& operator=(const ServeProcess&) = delete;

    // Sends `signal` and waits for the exit: the exit code (-1 unless a normal exit) and the seconds it took.
    int stop(int signal, double* seconds);

    int port = 0;
    std::string connectTo;
    std::string ca;
    std::string printed;

private:
    pid_t pid_ = -1;
};

class ToolTest : public ::testing::Test {
protected:
    ToolResult run(std::vector<std::string> args);
    // `azsim <command> --state DIR <args>`.
    ToolResult onState(const std::string& command, const std::vector<std::string>& args);
    // A small subscription: one managed VM whose 8 MiB OS disk holds "ABCD" in its first MiB,
    // and an empty 4 MiB data disk.
    void init();
    // The hash command's digest for `args` (after "hash --state DIR").
    std::string hash(std::vector<std::string> args);
    std::string state() const { return scratch_.sub("state"); }

    azsimtest::TempFolder scratch_;
};
