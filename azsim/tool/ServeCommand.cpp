#include <signal.h>

#include <iostream>

#include "azsim/endpoint/BlobEndpoint.h"
#include "azsim/model/SubscriptionState.h"
#include "azsim/tool/Commands.h"

namespace azsimtool {

namespace {

const char* const kUsage =
    "usage: azsim serve --state DIR [--port N]\n"
    "\n"
    "Serves the blob data of the subscription in DIR over HTTPS on 127.0.0.1 (port N,\n"
    "or any free port) until SIGINT or SIGTERM. Prints the port, the connect-to entry\n"
    "that routes the cloud's host names to it and the CA certificate to trust.\n";

}  // namespace

int RunServe(int argc, char** argv) {
    CommandLine line;
    int exit = ParseCommand(argc, argv, {{"port", true}}, kUsage, line);
    if (exit >= 0) return exit;
    std::uint64_t port = 0;
    std::string error;
    if (line.has("port") && (!line.number("port", port, error) || port > 65535))
        return Fail("serve", error.empty() ? "--port must be at most 65535" : error, kExitUsage);
    if (!azsim::SubscriptionState(line.value("state")).exists())
        return Fail("serve", "state folder [" + line.value("state") + "] holds no subscription");

    // Blocked before the endpoint starts its threads, so only sigwait below sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    azsim::BlobEndpoint endpoint(line.value("state"));
    if (!endpoint.start(&error, static_cast<int>(port))) return Fail("serve", "endpoint cannot start: " + error);
    std::cout << "port " << endpoint.port() << "\n"
              << "connect-to " << endpoint.connectToEntry() << "\n"
              << "ca " << endpoint.caBundlePath() << std::endl;
    int received = 0;
    sigwait(&stopSignals, &received);
    endpoint.stop();
    return kExitOk;
}

}  // namespace azsimtool
