// azsim guest: the guest log as a person and a script read it.
#include <sstream>

#include "azsim/guest/GuestLog.h"
#include "tests/azsim/tool/ToolFixture.h"

namespace {

TEST_F(ToolTest, GuestShowsEveryLoggedRunWithItsOutcome) {
    EXPECT_NE(std::string::npos, run({"guest", "--help"}).out.find("usage: azsim guest --state DIR [--json]"));
    EXPECT_EQ(1, run({"guest", "--state", state()}).exitCode);  // no subscription yet
    init();
    ToolResult empty = run({"guest", "--state", state()});
    EXPECT_EQ(0, empty.exitCode) << empty.err;
    EXPECT_EQ("", empty.out);

    azsim::GuestLog log(state());
    azsim::GuestRun ok;
    ok.time = 1796601600;  // 2026-12-07T00:00:00Z
    ok.vm = "vm1";
    ok.resourceGroup = "rg1";
    ok.script = "echo one\necho two";
    ok.parameters = "-x";
    ok.guestContext = "ctx";
    ok.guestDetail = "detail";
    log.append(ok);
    azsim::GuestRun failed = ok;
    failed.script = "";
    failed.succeeded = false;
    failed.error = "exit code 3";
    log.append(failed);

    ToolResult text = run({"guest", "--state", state()});
    ASSERT_EQ(0, text.exitCode) << text.err;
    EXPECT_NE(std::string::npos, text.out.find("2026-12-07T00:00:00Z  vm1 (rg1)  succeeded\n")) << text.out;
    EXPECT_NE(std::string::npos, text.out.find("    | echo one\n    | echo two\n")) << text.out;
    EXPECT_NE(std::string::npos, text.out.find("failed: exit code 3")) << text.out;

    ToolResult json = run({"guest", "--state", state(), "--json"});
    ASSERT_EQ(0, json.exitCode) << json.err;
    std::istringstream lines(json.out);
    std::string line;
    std::vector<azsim::GuestRun> runs;
    while (std::getline(lines, line)) runs.push_back(azsim::GuestRun::fromJson(nlohmann::json::parse(line)));
    ASSERT_EQ(2u, runs.size());
    EXPECT_EQ(ok.script, runs[0].script);
    EXPECT_EQ("detail", runs[0].guestDetail);
    EXPECT_TRUE(runs[0].succeeded);
    EXPECT_FALSE(runs[1].succeeded);
    EXPECT_EQ("exit code 3", runs[1].error);
}

}  // namespace
