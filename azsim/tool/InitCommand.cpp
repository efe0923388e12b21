#include <fstream>
#include <iostream>
#include <sstream>

#include "azsim/scenarios/Scenario.h"
#include "azsim/tool/Commands.h"

namespace azsimtool {

namespace {

const char* const kUsage =
    "usage: azsim init --state DIR [--scenario FILE]\n"
    "\n"
    "Creates a simulated subscription in DIR (which must not hold one yet) from the\n"
    "scenario FILE, or from the built-in demo scenario, and prints the credentials\n"
    "to sign in with.\n";

}  // namespace

int RunInit(int argc, char** argv) {
    CommandLine line;
    int exit = ParseCommand(argc, argv, {{"scenario", true}}, kUsage, line);
    if (exit >= 0) return exit;

    nlohmann::json scenario;
    if (line.has("scenario")) {
        std::ifstream in(line.value("scenario"));
        if (!in) return Fail("init", "scenario [" + line.value("scenario") + "] cannot be read");
        std::stringstream text;
        text << in.rdbuf();
        scenario = nlohmann::json::parse(text.str(), nullptr, false);
        if (scenario.is_discarded()) return Fail("init", "scenario [" + line.value("scenario") + "] is not valid JSON");
    } else {
        scenario = azsim::DemoScenario();
    }
    azsim::StateDocument doc = azsim::InitState(line.value("state"), scenario);
    const azsim::Subscription& sub = doc.subscription();
    std::cout << "subscription id: " << sub.id << "\n"
              << "application id: " << sub.applicationId << "\n"
              << "secret: " << sub.secret << "\n";
    return kExitOk;
}

}  // namespace azsimtool
