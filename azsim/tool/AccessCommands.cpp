// token and journal: credentials for the data plane and the record of SDK calls.
#include <iostream>

#include "azsim/Journal.h"
#include "azsim/auth/AccessAuthority.h"
#include "azsim/model/SubscriptionState.h"
#include "azsim/tool/Commands.h"

namespace azsimtool {

namespace {

const char* const kTokenUsage =
    "usage: azsim token --state DIR\n"
    "\n"
    "Prints a bearer token for the storage service of the subscription, valid for\n"
    "the token lifetime the subscription sets (an hour unless shortened).\n";

const char* const kJournalUsage =
    "usage: azsim journal --state DIR [--op NAME]\n"
    "\n"
    "Prints the SDK operations called against the subscription, one JSON line\n"
    "each, oldest first; with --op only the calls of operation NAME.\n";

}  // namespace

int RunToken(int argc, char** argv) {
    CommandLine line;
    int exit = ParseCommand(argc, argv, {}, kTokenUsage, line);
    if (exit >= 0) return exit;
    if (!azsim::SubscriptionState(line.value("state")).exists())
        return Fail("token", "no subscription in [" + line.value("state") + "]");
    std::cout << azsim::AccessAuthority(line.value("state")).issueToken("azsim-tool") << "\n";
    return kExitOk;
}

int RunJournal(int argc, char** argv) {
    CommandLine line;
    int exit = ParseCommand(argc, argv, {{"op", true}}, kJournalUsage, line);
    if (exit >= 0) return exit;
    azsim::Journal journal(line.value("state"));
    for (const nlohmann::json& entry : line.has("op") ? journal.entries(line.value("op")) : journal.entries())
        std::cout << entry.dump() << "\n";
    return kExitOk;
}

}  // namespace azsimtool
