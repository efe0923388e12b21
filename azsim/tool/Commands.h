// The commands of the azsim tool. Each takes the whole argv (argv[1] is the
// command's name) and returns the process exit code: 0 done, 1 failed, 2 bad usage.
#pragma once

#include <string>
#include <vector>

#include "azsim/tool/CommandLine.h"

namespace azsimtool {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

int RunInit(int argc, char** argv);
int RunServe(int argc, char** argv);
int RunShow(int argc, char** argv);
int RunWrite(int argc, char** argv);
int RunHash(int argc, char** argv);
int RunFault(int argc, char** argv);
int RunUrl(int argc, char** argv);
int RunToken(int argc, char** argv);
int RunJournal(int argc, char** argv);
int RunRequests(int argc, char** argv);
int RunGuest(int argc, char** argv);
int RunStandby(int argc, char** argv);

// Parses the command's options (plus --help and --state, which every command has).
// Returns -1 when the command should go on, else the exit code: --help printed
// `usage` (0) or the command line was wrong (2, message and usage on stderr).
int ParseCommand(int argc, char** argv, std::vector<OptionSpec> specs, const char* usage, CommandLine& line);
// Prints "azsim <command>: <message>" on stderr and returns `exitCode`.
int Fail(const char* command, const std::string& message, int exitCode = kExitFailed);

}  // namespace azsimtool
