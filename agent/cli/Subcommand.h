// Command groups whose subcommands each run one operation through a connected plugin
// ("vsagent vm start", "vsagent standby create", ...) and show its result as text or JSON.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent/cli/CommandLine.h"
#include "agent/host/CancelSignal.h"
#include "agent/vmops/PluginSession.h"

namespace vsagent {

struct Subcommand {
    const char* usage;
    std::vector<OptionSpec> options;
    std::vector<const char*> required;
    // Runs the operation; returns the exit code. `out` is the result shown as text or JSON.
    std::function<int(PluginSession&, const CommandLine&, nlohmann::json& out, std::string& error)> run;
};

// Runs "vsagent GROUP SUB ..." with the subcommand argv[2] names among `subs`.
int Dispatch(int argc, char** argv, const char* group, const std::map<std::string, Subcommand>& subs,
             CancelSignal& cancel);

}  // namespace vsagent
