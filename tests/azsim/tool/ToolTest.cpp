// The azsim tool's commands: help, init, show, write, hash, fault and guest.
#include "azsim/faults/FaultBook.h"
#include "azsim/guest/GuestLog.h"
#include "azsim/model/ResourceIds.h"
#include "azsim/model/SubscriptionState.h"
#include "tests/azsim/model/JsonContains.h"
#include "tests/azsim/tool/ToolFixture.h"

namespace {

TEST_F(ToolTest, EveryCommandExplainsItself) {
    for (const char* command : {"init", "serve", "show", "write", "hash", "fault", "standby"}) {
        ToolResult r = run({command, "--help"});
        EXPECT_EQ(0, r.exitCode) << command;
        EXPECT_NE(std::string::npos, r.out.find(std::string("usage: azsim ") + command)) << r.out;
    }
    EXPECT_EQ(0, run({"--help"}).exitCode);
    ToolResult unknown = run({"frobnicate"});
    EXPECT_EQ(2, unknown.exitCode);
    EXPECT_NE(std::string::npos, unknown.err.find("frobnicate"));
    ToolResult noState = run({"show"});
    EXPECT_EQ(2, noState.exitCode);
    EXPECT_NE(std::string::npos, noState.err.find("--state"));
    EXPECT_EQ(2, run({"show", "--state", state(), "--bogus"}).exitCode);
}

TEST_F(ToolTest, InitShowWriteAndHashAgree) {
    init();
    ToolResult show = run({"show", "--state", state(), "vms"});
    ASSERT_EQ(0, show.exitCode) << show.err;
    EXPECT_TRUE(azsimtest::JsonContains(nlohmann::json::parse(show.out), {{{"name", "vm1"}}})) << show.out;
    EXPECT_NE(0, run({"show", "--state", state(), "nosuchkind"}).exitCode);
    EXPECT_NE(0, run({"init", "--state", state()}).exitCode);  // already initialised

    std::string whole = hash({"--vm", "vm1", "--disk", "0"});
    std::string dataDisk = hash({"--vm", "vm1", "--disk", "1"});
    ToolResult write = run({"write", "--state", state(), "--vm", "vm1", "--offset", "2097152", "--text", "guest data"});
    ASSERT_EQ(0, write.exitCode) << write.err;
    EXPECT_NE(whole, hash({"--vm", "vm1"}));
    std::string page = std::string("guest data") + std::string(502, '\0');
    EXPECT_EQ(Sha256Hex(page), hash({"--vm", "vm1", "--offset", "2097152", "--length", "512"}));

    // Clearing the page brings back the bytes of the never-written disk.
    ASSERT_EQ(0, onState("write", {"--vm", "vm1", "--offset", "2097152", "--zero", "--length", "512"}).exitCode);
    EXPECT_EQ(whole, hash({"--vm", "vm1"}));

    // The managed disk's access URL names the same bytes.
    const std::vector<std::string> randomPages = {"--vm", "vm1", "--disk", "1", "--offset", "4096", "--random", "42",
                                                  "--length", "8192"};
    ASSERT_EQ(0, onState("write", randomPages).exitCode);
    azsim::StateDocument doc = azsim::SubscriptionState(state()).load();
    std::string url = azsim::ManagedDiskAccessUrl(*doc.diskBlob(*doc.findVm("vm1"), 1));
    EXPECT_EQ(hash({"--vm", "vm1", "--disk", "1"}), hash({"--blob", url}));
    EXPECT_NE(dataDisk, hash({"--blob", url}));
}

TEST_F(ToolTest, BadWritesAreRefusedWithTheReason) {
    init();
    std::string before = hash({"--vm", "vm1"});
    const struct { std::vector<std::string> args; const char* reason; } cases[] = {
        {{"--vm", "vm1", "--offset", "1000", "--text", "x"}, "offset 1000 is not a multiple of 512"},
        {{"--vm", "vm1", "--offset", "0", "--random", "1", "--length", "100"}, "512"},
        {{"--vm", "vm1", "--offset", "8388608", "--zero", "--length", "512"}, ""},
        {{"--vm", "nosuch", "--offset", "0", "--text", "x"}, "nosuch"},
        {{"--vm", "vm1", "--disk", "7", "--offset", "0", "--text", "x"}, ""},
        {{"--vm", "vm1", "--offset", "0", "--text", "x", "--zero"}, ""}};
    for (const auto& c : cases) {
        ToolResult r = onState("write", c.args);
        EXPECT_NE(0, r.exitCode) << c.args[3];
        EXPECT_NE(std::string::npos, r.err.find(c.reason)) << r.err;
    }
    EXPECT_EQ(before, hash({"--vm", "vm1"}));
    EXPECT_NE(0, run({"hash", "--state", state(), "--vm", "vm1", "--offset", "9999999999"}).exitCode);
}

TEST_F(ToolTest, FaultRulesAreAddedListedAndCleared) {
    init();
    auto fault = [this](const std::vector<std::string>& args) { return onState("fault", args); };
    ASSERT_EQ(0, fault({"add-sdk", "--op", "CreateDiskSnapshots", "--code", "5", "--text", "vault firewall", "--times",
                        "2"}).exitCode);
    ASSERT_EQ(0, fault({"add-http", "--method", "GET", "--path", "/md-*/*/abcd", "--kind", "status", "--status", "503",
                        "--error-code", "ServerBusy", "--times", "-1"}).exitCode);
    EXPECT_EQ(2, fault({"add-http", "--kind", "sideways"}).exitCode);
    EXPECT_EQ(2, fault({"add-sdk", "--op", "X", "--code", "1", "--times", "0"}).exitCode);

    EXPECT_EQ("sdk op=CreateDiskSnapshots code=5 times=2 text=vault firewall\n"
              "http method=GET path=/md-*/*/abcd kind=status status=503 error-code=ServerBusy delay-ms=0 bytes=0 "
              "times=-1\n",
              fault({"list"}).out);
    // The rules the tool wrote fire.
    EXPECT_TRUE(azsim::FaultBook(state()).takeHttpFault("GET", "/md-0123456789ab/c0ffee/abcd"));
    ASSERT_EQ(0, fault({"clear"}).exitCode);
    EXPECT_EQ("", fault({"list"}).out);
}

TEST_F(ToolTest, GuestShowsEveryLoggedRunWithItsOutcome) {
    EXPECT_NE(std::string::npos, run({"guest", "--help"}).out.find("usage: azsim guest --state DIR [--json]"));
    EXPECT_EQ(1, run({"guest", "--state", state()}).exitCode);  // no subscription yet
    init();
    ToolResult empty = run({"guest", "--state", state()});
    EXPECT_EQ(0, empty.exitCode) << empty.err;
    EXPECT_EQ("", empty.out);

    azsim::GuestLog log(state());
    // As the log holds them: one run that succeeded, one that failed.
    const nlohmann::json ok = {{"time", "2026-12-07T00:00:00Z"}, {"vm", "vm1"}, {"resourceGroup", "rg1"},
                               {"script", "echo one\necho two"}, {"parameters", "-x"}, {"guestContext", "ctx"},
                               {"guestDetail", "detail"}, {"outcome", "succeeded"}};
    nlohmann::json failed = ok;
    failed.update({{"script", ""}, {"outcome", "failed"}, {"error", "exit code 3"}});
    log.append(azsim::GuestRun::fromJson(ok));
    log.append(azsim::GuestRun::fromJson(failed));

    ToolResult text = run({"guest", "--state", state()});
    ASSERT_EQ(0, text.exitCode) << text.err;
    EXPECT_NE(std::string::npos, text.out.find("2026-12-07T00:00:00Z  vm1 (rg1)  succeeded\n")) << text.out;
    EXPECT_NE(std::string::npos, text.out.find("    | echo one\n    | echo two\n")) << text.out;
    EXPECT_NE(std::string::npos, text.out.find("failed: exit code 3")) << text.out;

    ToolResult json = run({"guest", "--state", state(), "--json"});
    ASSERT_EQ(0, json.exitCode) << json.err;
    EXPECT_EQ(ok.dump() + "\n" + failed.dump() + "\n", json.out);
}

}  // namespace
