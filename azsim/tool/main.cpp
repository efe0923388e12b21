// azsim: creates, serves, inspects and disturbs a simulated subscription kept in a state folder.
#include <cstring>
#include <iostream>

#include "azsim/StateFolder.h"
#include "azsim/tool/Commands.h"

namespace {

struct Command {
    const char* name;
    const char* summary;
    int (*run)(int argc, char** argv);
};

const Command kCommands[] = {
    {"init", "create a subscription from a scenario", azsimtool::RunInit},
    {"serve", "run the HTTPS blob endpoint until interrupted", azsimtool::RunServe},
    {"show", "print resources as JSON", azsimtool::RunShow},
    {"write", "write data to a VM's disk as its guest would", azsimtool::RunWrite},
    {"hash", "SHA-256 of a disk, blob or snapshot", azsimtool::RunHash},
    {"fault", "add, list or clear fault rules", azsimtool::RunFault},
    {"url", "print the URL of a VM's disk on the blob endpoint", azsimtool::RunUrl},
    {"token", "print a bearer token the blob endpoint accepts", azsimtool::RunToken},
    {"journal", "print the SDK calls made against the subscription", azsimtool::RunJournal},
    {"requests", "print the HTTP requests the blob endpoint answered", azsimtool::RunRequests},
    {"guest", "print the scripts VMs were asked to run in their guests", azsimtool::RunGuest},
    {"standby", "seed a standby VM kept as page blobs, as a replication leaves it", azsimtool::RunStandby},
};

void PrintUsage(std::ostream& out) {
    out << "usage: azsim <command> --state DIR [options]\n\ncommands:\n";
    for (const Command& c : kCommands)
        out << "  " << c.name << std::string(10 - std::strlen(c.name), ' ') << c.summary << "\n";
    out << "\n'azsim <command> --help' describes a command.\n";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "help") == 0) {
        PrintUsage(argc < 2 ? std::cerr : std::cout);
        return argc < 2 ? azsimtool::kExitUsage : azsimtool::kExitOk;
    }
    for (const Command& c : kCommands) {
        if (std::strcmp(argv[1], c.name) != 0) continue;
        try {
            return c.run(argc, argv);
        } catch (const std::exception& e) {
            return azsimtool::Fail(c.name, e.what());
        }
    }
    std::cerr << "azsim: unknown command [" << argv[1] << "]\n";
    PrintUsage(std::cerr);
    return azsimtool::kExitUsage;
}
