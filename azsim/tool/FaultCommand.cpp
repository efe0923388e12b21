#include <iostream>
#include <map>

#include "azsim/faults/FaultBook.h"
#include "azsim/tool/Commands.h"

namespace azsimtool {

namespace {

const char* const kUsage =
    "usage: azsim fault --state DIR add-sdk --op NAME --code C --text T [--times N]\n"
    "       azsim fault --state DIR add-http --method M --path PATTERN --kind status|delay|drop|short\n"
    "                   [--status S] [--error-code CODE] [--delay-ms D] [--bytes B] [--times N]\n"
    "       azsim fault --state DIR list\n"
    "       azsim fault --state DIR clear\n"
    "\n"
    "add-sdk makes the SDK operation NAME fail with error code C and text T.\n"
    "add-http makes blob requests with method M (\"*\" or empty: any) whose path\n"
    "\"/account/container/blob\" matches PATTERN (wildcards * and ?) answer status S\n"
    "with the service error CODE (status), wait D ms first (delay), lose the connection\n"
    "(drop), or send only B bytes of the body (short).\n"
    "Rules fire N times (default 1; -1: always). list prints the rules, clear removes all.\n";

const std::map<std::string, azsim::HttpFaultKind> kKinds = {{"status", azsim::HttpFaultKind::Status},
                                                            {"delay", azsim::HttpFaultKind::Delay},
                                                            {"drop", azsim::HttpFaultKind::Drop},
                                                            {"short", azsim::HttpFaultKind::ShortBody}};

std::string KindName(azsim::HttpFaultKind kind) {
    for (const auto& entry : kKinds)
        if (entry.second == kind) return entry.first;
    return "?";
}

bool Times(const CommandLine& line, int& times, std::string& error) {
    std::int64_t value = 1;
    if (line.has("times") && !line.signedNumber("times", value, error)) return false;
    if (value == 0 || value < -1 || value > 1000000) {
        error = "--times must be a positive count or -1 (always)";
        return false;
    }
    times = static_cast<int>(value);
    return true;
}

int AddSdk(const CommandLine& line, azsim::FaultBook& book) {
    std::string error;
    azsim::SdkFault fault;
    std::int64_t code = 0;
    if (!line.has("op") || !line.has("code")) return Fail("fault", "add-sdk needs --op and --code", kExitUsage);
    if (!line.signedNumber("code", code, error) || !Times(line, fault.times, error))
        return Fail("fault", error, kExitUsage);
    fault.operation = line.value("op");
    fault.code = static_cast<int>(code);
    fault.text = line.value("text");
    book.addSdkFault(fault);
    return kExitOk;
}

int AddHttp(const CommandLine& line, azsim::FaultBook& book) {
    std::string error;
    azsim::HttpFault fault;
    auto kind = kKinds.find(line.value("kind"));
    if (kind == kKinds.end()) return Fail("fault", "--kind must be status, delay, drop or short", kExitUsage);
    fault.kind = kind->second;
    fault.method = line.value("method") == "*" ? std::string() : line.value("method");
    fault.pathPattern = line.value("path");
    fault.errorCode = line.value("error-code", fault.errorCode);
    std::uint64_t status = static_cast<std::uint64_t>(fault.status);
    std::uint64_t delay = 0;
    if (!Times(line, fault.times, error) || (line.has("status") && !line.number("status", status, error)) ||
        (line.has("delay-ms") && !line.number("delay-ms", delay, error)) ||
        (line.has("bytes") && !line.number("bytes", fault.bodyBytes, error)))
        return Fail("fault", error, kExitUsage);
    if (status < 100 || status > 599) return Fail("fault", "--status must be an HTTP status", kExitUsage);
    fault.status = static_cast<int>(status);
    fault.delayMs = static_cast<int>(std::min<std::uint64_t>(delay, 3600000));
    book.addHttpFault(fault);
    return kExitOk;
}

void List(const azsim::FaultBook& book) {
    for (const azsim::SdkFault& f : book.sdkFaults())
        std::cout << "sdk op=" << f.operation << " code=" << f.code << " times=" << f.times << " text=" << f.text
                  << "\n";
    for (const azsim::HttpFault& f : book.httpFaults())
        std::cout << "http method=" << (f.method.empty() ? "*" : f.method) << " path=" << f.pathPattern
                  << " kind=" << KindName(f.kind) << " status=" << f.status << " error-code=" << f.errorCode
                  << " delay-ms=" << f.delayMs << " bytes=" << f.bodyBytes << " times=" << f.times << "\n";
}

}  // namespace

int RunFault(int argc, char** argv) {
    CommandLine line;
    int exit = ParseCommand(argc, argv,
                            {{"op", true},
                             {"code", true},
                             {"text", true},
                             {"times", true},
                             {"method", true},
                             {"path", true},
                             {"kind", true},
                             {"status", true},
                             {"error-code", true},
                             {"delay-ms", true},
                             {"bytes", true}},
                            kUsage, line);
    if (exit >= 0) return exit;
    if (line.positional().size() != 1)
        return Fail("fault", "name one of add-sdk, add-http, list and clear", kExitUsage);
    azsim::FaultBook book(line.value("state"));
    const std::string& action = line.positional().front();
    if (action == "add-sdk") return AddSdk(line, book);
    if (action == "add-http") return AddHttp(line, book);
    if (action == "list") {
        List(book);
        return kExitOk;
    }
    if (action == "clear") {
        book.clear();
        return kExitOk;
    }
    return Fail("fault", "unknown action [" + action + "]", kExitUsage);
}

}  // namespace azsimtool
