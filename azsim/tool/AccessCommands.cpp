// token, journal and requests: credentials for the data plane, the record of SDK calls and the
// record of the requests the blob endpoint answered.
#include <iostream>

#include "azsim/Journal.h"
#include "azsim/auth/AccessAuthority.h"
#include "azsim/endpoint/RequestLog.h"
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

const char* const kRequestsUsage =
    "usage: azsim requests --state DIR\n"
    "\n"
    "Prints the HTTP requests the blob endpoint answered, one JSON line each, oldest\n"
    "first: time, method, path and the blob it names, comp, snapshot, prevsnapshot,\n"
    "range, body (bytes received), auth (none, bearer, sas, sharedkey, other), status\n"
    "(0: connection dropped), error code, fault applied and request id.\n";

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

int RunRequests(int argc, char** argv) {
    CommandLine line;
    int exit = ParseCommand(argc, argv, {}, kRequestsUsage, line);
    if (exit >= 0) return exit;
    for (const azsim::RequestRecord& record : azsim::RequestLog::Read(line.value("state")))
        std::cout << record.toJson().dump() << "\n";
    return kExitOk;
}

}  // namespace azsimtool
