// The operation slot, the storage operation and guest scripts (a local file's text, or text given directly),
// driven as the host drives them.
#include <fstream>

#include "tests/plugin/vmops/VmOpsFixture.h"

namespace vmopstest {
namespace {

const char* const kOperationTag = "virtual int CAzureInfo::PerformVMOperation(const OperationCtx&)";

// Codes 2 and 3 stop the VM with one and the same call; codes without a handler fail with 20 and call nothing; a
// handler whose wrapper call fails ends with a code and the wrapper's text.
TEST_F(VmOpsTest, OperationCodesReachTheirHandlersAndFailWithACodeAndText) {
    for (int code : {VM_OP_POWER_OFF, VM_OP_SHUTDOWN}) EXPECT_EQ(1, plugin->PerformVMOperation(Op(code))) << code;
    const std::vector<nlohmann::json> stops = Calls("ShutdownVM");
    ASSERT_EQ(2u, stops.size());
    EXPECT_EQ(stops[0]["args"], stops[1]["args"]);
    EXPECT_EQ(nlohmann::json({{"vmName", kWebVm}, {"vmGuid", kWebGuid}, {"waitForCompletion", true}}), stops[0]["args"]);

    const std::size_t calls = Calls().size();
    for (int code : {0, 8, 12, 15, -1}) {
        plugin->SetLastVMError(VMINFO_ERR_NONE, "");
        EXPECT_EQ(0, plugin->PerformVMOperation(Op(code))) << code;
        EXPECT_TRUE(log.containsError(kOperationTag, "Operation [" + std::to_string(code) + "] is not supported"));
        EXPECT_EQ(VMINFO_ERR_RESTORE_DEPLOY, plugin->GetLastVMError());
    }
    EXPECT_EQ(calls, Calls().size());

    struct Row { int operation; const char* call; EVMInfoError code; };
    for (const Row& row : {Row{VM_OP_POWER_ON, "StartVM", VMINFO_ERR_RESTORE_DEPLOY},
                           Row{VM_OP_SHUTDOWN, "ShutdownVM", VMINFO_ERR_RESTORE_DEPLOY},
                           Row{VM_OP_RECONFIGURE, "ReconfigureVM", VMINFO_ERR_RESTORE_DEPLOY},
                           Row{VM_OP_DELETE, "DeleteVM", VMINFO_ERR_RESTORE_DEPLOY},
                           Row{VM_OP_CREATE_SNAPSHOT, "CreateVMSnapshot", VMINFO_ERR_VM_SNAPSHOT_CREATE}}) {
        plugin->SetLastVMError(VMINFO_ERR_NONE, "");
        Fault(row.call, std::string("refused: ") + row.call);
        OperationCtx ctx = Op(row.operation);
        ctx.vmInfo.vmSize = "Standard_D2s_v3";
        EXPECT_EQ(0, plugin->PerformVMOperation(ctx)) << row.call;
        EXPECT_EQ(row.code, plugin->GetLastVMError()) << row.call;
        EXPECT_NE(std::string::npos, plugin->GetLastVMErrorDetails().find(std::string("refused: ") + row.call));
    }
}

// A deploy after a cancel and a snapshot deletion without a reference stop before the cloud.
TEST_F(VmOpsTest, CancelledDeployAndUnnamedSnapshotMakeNoCall) {
    plugin->CancelJob();
    EXPECT_EQ(0, plugin->PerformVMOperation(Op(VM_OP_DEPLOY)));
    EXPECT_EQ(VMINFO_ERR_JOB_CANCELLED, plugin->GetLastVMError());
    EXPECT_TRUE(log.contains("int CAzureInfo::DeployVM(const OperationCtx&)", "Quit flag set, terminating JobWait"));
    EXPECT_TRUE(Calls("DeployVMFromOSDisk").empty());
    EXPECT_EQ(0, Connected()->PerformVMOperation(Op(VM_OP_DEPLOY)));
    EXPECT_EQ(1u, Calls("DeployVMFromOSDisk").size());

    OperationCtx snapshot = Op(VM_OP_CREATE_SNAPSHOT);
    ASSERT_EQ(1, plugin->PerformVMOperation(snapshot)) << plugin->GetLastVMErrorDetails();
    const std::size_t calls = Calls().size();
    EXPECT_EQ(0, plugin->PerformVMOperation(Op(VM_OP_DELETE_SNAPSHOT)));
    EXPECT_EQ(calls, Calls().size());
    OperationCtx remove = Op(VM_OP_DELETE_SNAPSHOT);
    remove.snapshotId = snapshot.snapshotId;
    EXPECT_EQ(1, plugin->PerformVMOperation(remove)) << plugin->GetLastVMErrorDetails();
    remove.snapshotName = "gone";  // the name wins over the id
    EXPECT_EQ(0, plugin->PerformVMOperation(remove));
    EXPECT_EQ(VMINFO_ERR_SNAPSHOT_DELETE, plugin->GetLastVMError());
    EXPECT_EQ("gone", Calls("DeleteVMSnapshot").back()["args"]["snapshotId"]);
}

// The storage operation answers 0 for success and 1 for every failure, with its text in the context.
TEST_F(VmOpsTest, StorageOperationFailsWithOneAndText) {
    struct Row { int operation; const char* refusal; int result; const char* text; };
    const Row rows[] = {{2, "", 1, "Invalid operation type"},
                        {0, "", 1, "Invalid operation type"},
                        {STORAGE_OP_DELETE_EXPIRED_DISKS, "InternalError: refused", 1, "InternalError: refused"},
                        {STORAGE_OP_DELETE_EXPIRED_DISKS, "", 0, ""}};
    for (const Row& row : rows) {
        if (*row.refusal) Fault("DeleteExpiredDisks", row.refusal);
        const std::size_t calls = Calls("DeleteExpiredDisks").size();
        StorageOperationCtx ctx{row.operation, "westeurope", 1700000000, ""};
        EXPECT_EQ(row.result, plugin->PerformStorageOperation(ctx)) << row.operation;
        EXPECT_EQ(row.text, ctx.errorText) << row.operation;
        EXPECT_EQ(calls + (row.operation == 1 ? 1 : 0), Calls("DeleteExpiredDisks").size()) << row.operation;
    }
}

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
