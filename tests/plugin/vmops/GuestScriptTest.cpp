// Guest scripts: a local file's text, or text given directly, handed to the guest of the VM.
#include <fstream>

#include "tests/plugin/vmops/VmOpsFixture.h"

namespace vmopstest {
namespace {

// A missing or oversized file makes no cloud call; an empty one still runs; the text form has no parameters.
TEST_F(VmOpsTest, GuestScriptsReadTheFileBeforeTheGuestIsAsked) {
    testsupport::TempDir files;
    const GuestCtx guest{kWebVm, "detail-2", "context-3"};
    int exitCode = 42;
    const std::string missing = files.path() + "/absent.sh";
    EXPECT_EQ(0, plugin->ExecuteScriptInGuest(guest, missing, "-x", "", 0, "", exitCode));
    const std::string huge = files.path() + "/huge.sh";
    std::ofstream(huge) << std::string((4 << 20) + 1, '#');
    EXPECT_EQ(0, plugin->ExecuteScriptInGuest(guest, huge, "-x", "", 0, "", exitCode));
    EXPECT_EQ("larger than 4194304 bytes", plugin->GetLastVMErrorDetails());
    EXPECT_TRUE(Calls("ExecuteScriptInGuestVM").empty());

    const std::string empty = files.path() + "/empty.sh";
    std::ofstream(empty).close();
    EXPECT_EQ(1, plugin->ExecuteScriptInGuest(guest, empty, "--quiet", "", 0, "", exitCode));
    EXPECT_EQ(42, exitCode);
    EXPECT_TRUE(plugin->ExecuteScriptInGuest(guest, "echo hi", 0));
    const std::vector<nlohmann::json> runs = Calls("ExecuteScriptInGuestVM");
    ASSERT_EQ(2u, runs.size());
    EXPECT_EQ(nlohmann::json({{"guestContext", "context-3"}, {"vmName", kWebVm}, {"guestDetail", "detail-2"},
                              {"scriptBytes", 0}, {"parameters", "--quiet"}}),
              runs[0]["args"]);
    EXPECT_EQ("", runs[1]["args"]["parameters"]);

    Fault("ExecuteScriptInGuestVM", "ScriptFailed: exit status 3");
    EXPECT_FALSE(plugin->ExecuteScriptInGuest(guest, "exit 3", 0));
    EXPECT_EQ("ScriptFailed: exit status 3", plugin->GetLastVMErrorDetails());
    EXPECT_EQ(VMINFO_ERR_NONE, plugin->GetLastVMError());
}

}  // namespace
}  // namespace vmopstest
