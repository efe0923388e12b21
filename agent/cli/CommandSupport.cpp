#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "agent/cli/Commands.h"
#include "agent/host/CancelSignal.h"
#include "agent/host/AgentCloud.h"
#include "host/log/EvDebug.h"
#include "host/settings/NXPlatformInfo.h"

namespace vsagent {

namespace {

const char* const kGlobalHelp =
    "\n"
    "Global options:\n"
    "  --cloud DIR      state folder of the simulated subscription (default ~/.vsagent/cloud,\n"
    "                   seeded with the demo subscription when it does not exist)\n"
    "  --azure          a real subscription instead: the service principal's credentials come from\n"
    "                   AZURE_SUBSCRIPTION_ID, AZURE_TENANT_ID, AZURE_CLIENT_ID, AZURE_CLIENT_SECRET,\n"
    "                   the endpoints from the settings (section CloudSdk; Azure's public cloud by default)\n"
    "  --settings FILE  host settings file (INI: [VirtualServer] nBackupSnapshotLimit=10 ...)\n"
    "  --log FILE       job log (default ~/.vsagent/vsagent.log)\n"
    "  --json           machine-readable output\n";

// The job log goes to --log FILE, else beside the default cloud folder when that can be created.
bool OpenLog(const CommandLine& line, std::string& error) {
    std::string path = line.value("log");
    if (path.empty()) {
        std::filesystem::path folder = std::filesystem::path(AgentCloud::DefaultDir()).parent_path();
        std::error_code ec;
        std::filesystem::create_directories(folder, ec);
        if (!folder.empty() && !ec) EvDebug::setLogFile((folder / "vsagent.log").string());
        return true;
    }
    if (!EvDebug::setLogFile(path)) {
        error = "cannot open the log file [" + path + "]";
        return false;
    }
    return true;
}

}  // namespace

int ParseCommand(int argc, char** argv, const std::vector<OptionSpec>& specs, std::size_t maxPositional,
                 const char* usage, CommandLine& line) {
    std::string error;
    if (!line.parse(argc, argv, 2, specs, maxPositional, error)) {
        std::cerr << "vsagent " << argv[1] << ": " << error << "\n\n" << usage << kGlobalHelp;
        return kExitUsage;
    }
    if (line.has("help")) {
        std::cout << usage << kGlobalHelp;
        return kExitOk;
    }
    if (line.has("settings") && !NXPlatformInfo::loadFile(line.value("settings")))
        return Fail(argv[1], "cannot read the settings file [" + line.value("settings") + "]", kExitUsage);
    if (!OpenLog(line, error)) return Fail(argv[1], error, kExitUsage);
    return -1;
}

int Fail(const char* command, const std::string& message, int exitCode) {
    std::cerr << "vsagent " << command << ": " << message << "\n";
    return exitCode;
}

bool NeedStore(const CommandLine& line, const char* command, int& exit) {
    if (!line.value("store").empty()) return true;
    exit = Fail(command, "--store DIR is required", kExitUsage);
    return false;
}

StopRequested StopOn(const CancelSignal& cancel) {
    return [&cancel] { return cancel.cancelled(); };
}

CloudChoice ChooseCloud(const CommandLine& line) {
    if (line.has("azure") && line.has("cloud"))
        throw std::runtime_error("--azure and --cloud name two different subscriptions: give one");
    CloudChoice choice = CloudChoice::Simulated(line.value("cloud", AgentCloud::DefaultDir()));
    choice.azure = line.has("azure");
    return choice;
}

}  // namespace vsagent
