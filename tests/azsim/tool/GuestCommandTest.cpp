// azsim guest: the guest log as a person and a script read it.
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
