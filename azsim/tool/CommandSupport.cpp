#include <iostream>

#include "azsim/tool/Commands.h"

namespace azsimtool {

int ParseCommand(int argc, char** argv, std::vector<OptionSpec> specs, const char* usage, CommandLine& line) {
    specs.push_back({"help", false});
    specs.push_back({"state", true});
    std::string error;
    if (!line.parse(argc, argv, 2, specs, error)) {
        if (line.has("help")) {
            std::cout << usage;
            return kExitOk;
        }
        std::cerr << "azsim " << argv[1] << ": " << error << "\n" << usage;
        return kExitUsage;
    }
    if (line.has("help")) {
        std::cout << usage;
        return kExitOk;
    }
    if (line.value("state").empty()) {
        std::cerr << "azsim " << argv[1] << ": --state DIR is required\n" << usage;
        return kExitUsage;
    }
    return -1;
}

int Fail(const char* command, const std::string& message, int exitCode) {
    std::cerr << "azsim " << command << ": " << message << "\n";
    return exitCode;
}

}  // namespace azsimtool
