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
    const std::string common = R"("guestContext":"ctx","guestDetail":"detail",)";
    const std::string where = R"("parameters":"-x","resourceGroup":"rg1",)";
    EXPECT_EQ("{" + common + R"("outcome":"succeeded",)" + where + R"("script":"echo one\necho two",)" +
                  R"("time":"2026-12-07T00:00:00Z","vm":"vm1"})" + "\n{" + R"("error":"exit code 3",)" + common +
                  R"("outcome":"failed",)" + where + R"("script":"","time":"2026-12-07T00:00:00Z","vm":"vm1"})" + "\n",
              json.out);
}

}  // namespace
