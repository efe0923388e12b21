// The commands of vsagent. Each takes the whole argv (argv[1] is the command's
// name) and returns the process exit code.
#pragma once

#include <string>
#include <vector>

#include "agent/cli/CommandLine.h"
#include "agent/host/AgentCloud.h"
#include "agent/store/StoreError.h"

namespace vsagent {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitCancelled = 130;

class CancelSignal;

int RunBrowse(int argc, char** argv);
int RunBackup(int argc, char** argv, CancelSignal& cancel);
int RunList(int argc, char** argv);
int RunVerify(int argc, char** argv, const CancelSignal& cancel);
int RunExport(int argc, char** argv, const CancelSignal& cancel);
int RunServe(int argc, char** argv, const CancelSignal& cancel);
int RunFiles(int argc, char** argv, const CancelSignal& cancel);
int RunPrune(int argc, char** argv, const CancelSignal& cancel);
int RunRestore(int argc, char** argv, CancelSignal& cancel);
int RunVm(int argc, char** argv, CancelSignal& cancel);
int RunNetwork(int argc, char** argv, CancelSignal& cancel);
int RunStorage(int argc, char** argv, CancelSignal& cancel);
int RunGuest(int argc, char** argv, CancelSignal& cancel);
int RunSnap(int argc, char** argv, CancelSignal& cancel);
int RunStandby(int argc, char** argv, CancelSignal& cancel);
int RunReplicate(int argc, char** argv, CancelSignal& cancel);
int RunSnapRestore(int argc, char** argv, CancelSignal& cancel);  // snap revert, snap restore
int RunDemo(int argc, char** argv, CancelSignal& cancel);

// Parses the command's options and applies the global ones (settings file, log file).
// Returns -1 when the command should go on, else the exit code: --help printed
// `usage` (0) or the command line was wrong (2, message and usage on stderr).
int ParseCommand(int argc, char** argv, const std::vector<OptionSpec>& specs, std::size_t maxPositional,
                 const char* usage, CommandLine& line);
// Prints "vsagent <command>: <message>" on stderr and returns `exitCode`.
int Fail(const char* command, const std::string& message, int exitCode = kExitFailed);
// True when --store DIR was given; else prints the error and sets `exit`.
bool NeedStore(const CommandLine& line, const char* command, int& exit);
// A stop request for the store's long operations: a cancel the signal watcher took.
StopRequested StopOn(const CancelSignal& cancel);
// The subscription a command works on: with --azure a real one, else the simulated one of
// --cloud DIR or of the default folder. Throws std::runtime_error when both are given.
CloudChoice ChooseCloud(const CommandLine& line);

}  // namespace vsagent
