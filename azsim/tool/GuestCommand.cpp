// guest: the scripts VMs were asked to run in their guests, from the guest log.
#include <iostream>

#include "azsim/auth/IsoTime.h"
#include "azsim/guest/GuestLog.h"
#include "azsim/model/SubscriptionState.h"
#include "azsim/tool/Commands.h"

namespace azsimtool {

namespace {

const char* const kGuestUsage =
    "usage: azsim guest --state DIR [--json]\n"
    "\n"
    "Prints the script runs VMs were asked for, oldest first: time, VM, resource\n"
    "group, outcome (succeeded or failed, with the guest's error), parameters, the\n"
    "two context strings and the script text. With --json one JSON line per run.\n";

}  // namespace

int RunGuest(int argc, char** argv) {
    CommandLine line;
    int exit = ParseCommand(argc, argv, {{"json", false}}, kGuestUsage, line);
    if (exit >= 0) return exit;
    if (!azsim::SubscriptionState(line.value("state")).exists())
        return Fail("guest", "no subscription in [" + line.value("state") + "]");
    for (const azsim::GuestRun& run : azsim::GuestLog::Read(line.value("state"))) {
        if (line.has("json")) {
            std::cout << run.toJson().dump() << "\n";
            continue;
        }
        std::cout << azsim::formatIsoTime(run.time) << "  " << run.vm << " (" << run.resourceGroup << ")  "
                  << (run.succeeded ? "succeeded" : "failed: " + run.error) << "\n"
                  << "  parameters: [" << run.parameters << "]  context: [" << run.guestContext << "] ["
                  << run.guestDetail << "]\n"
                  << "  script (" << run.script.size() << " bytes):\n";
        std::string::size_type start = 0;
        while (start < run.script.size()) {
            std::string::size_type end = run.script.find('\n', start);
            if (end == std::string::npos) end = run.script.size();
            std::cout << "    | " << run.script.substr(start, end - start) << "\n";
            start = end + 1;
        }
    }
    return kExitOk;
}

}  // namespace azsimtool
