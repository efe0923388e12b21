// Restore disk naming and placement: names and stamps, containers, disk-map records, refused duplicates and
// free LUNs.
#include <chrono>
#include <ctime>

#include "tests/plugin/restore/RestoreFixture.h"

namespace restoretest {
namespace {

class DiskNaming : public RestoreTest {
protected:
    static constexpr std::time_t kStart = 1626356700;  // 2021-07-15 13:45:00 UTC
    void SetUp() override {
        CVMInfo::SetDmiDirectory(cloud.dir() + "/no-dmi");
        ASSERT_EQ(1, plugin.Connect(SimulatedCloud::kSubscriptionId, SimulatedCloud::kApplicationId,
                                    SimulatedCloud::kSecret));
    }
    // The local-time stamp of a name made `seconds` after the start.
    static std::string Stamped(int seconds) {
        const std::time_t t = kStart + seconds;
        struct tm local;
        localtime_r(&t, &local);
        char text[32];
        std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
        return "web01-" + std::string(text) + ".vhd";
    }
    // Names `disks` (and a configuration file after them) for a restore of `kind` as Web01.
    RestoreCtx Named(int kind, std::vector<SDisk> disks) {
        RestoreCtx ctx;
        ctx.restoreType = kind;
        ctx.vmName = "Web01";
        ctx.resourceGroup = "rg-prod";
        ctx.region = "westeurope";
        ctx.disks = std::move(disks);
        ctx.disks.push_back(File("web01.json"));
        NxClock::fix(std::chrono::system_clock::from_time_t(kStart));
        clock.waits.clear();
        plugin.diskMap.clear();
        result = plugin.GenerateUniqueDiskName(ctx);
        return ctx;
    }

    TestPlugin plugin{VSINST_AZURE_RESOURCE_MANAGER, 0};
    SteppingClock clock;
    bool result = false;
};

SDisk Target(const std::string& name, const std::string& target, bool os = false) {
    SDisk disk = Disk(name, "prodstaging01", os);
    disk.uri.clear();
    disk.targetName = target;
    return disk;
}

// The OS disk of a full-VM or replication restore takes the VM's name, other disks a stamp one second after
// the previous one, a disk-attach target the user's name, a replicated blob its own; all in lower case.
// "account\container" places the disk in that container and leaves the account alone on the disk; an account
// without a container uses vhds.
TEST_F(DiskNaming, NamesByKindInLowerCaseAndPlacement) {
    struct Row { int kind; std::vector<SDisk> disks; std::vector<std::string> names; size_t stamps, snapshotChecks;
                 const char* container = "vhds"; };
    const Row rows[] = {
        {RESTORE_TYPE_FULL_VM, {Target("Data-A", ""), Target("OS", "", true), Target("Data-B", "")},
         {Stamped(1), "web01.vhd", Stamped(2)}, 2, 3},
        {RESTORE_TYPE_DISK_ATTACH, {Target("a", "Data1"), Target("b", "Data2.VHD"), Target("c", "", true)},
         {"data1.vhd", "data2.vhd", Stamped(1)}, 1, 1},
        {RESTORE_TYPE_REPLICATION, {Target("web01-20210101-000000.vhd", ""), Target("Src", "", true)},
         {"web01-20210101-000000.vhd", "web01.vhd"}, 0, 2},
        {RESTORE_TYPE_FULL_VM, {Disk("OS", "prodstaging01\\backups", true)}, {"web01.vhd"}, 0, 1, "backups"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.kind);
        const size_t checks = Calls("GetBlobSnapshotCount");
        RestoreCtx ctx = Named(row.kind, row.disks);
        ASSERT_TRUE(result);
        EXPECT_EQ(row.snapshotChecks, Calls("GetBlobSnapshotCount") - checks);  // none for a user's target
        EXPECT_EQ(std::vector<unsigned long>(row.stamps, 1000), clock.waits);
        // Per disk: its name, target and restored name, staging key (the backed-up name), account; then its
        // record's blob, container, account, original name and whether the job created it.
        for (size_t i = 0; i < row.names.size(); ++i) {
            const SDisk& disk = ctx.disks[i];
            const SAzureDiskInfo& record = plugin.diskMap.at(row.disks[i].name);
            const std::string& name = row.names[i], &source = row.disks[i].name;
            EXPECT_EQ(name + "|" + name + "|" + name + "|" + source + "|prodstaging01|" + name + "|" + row.container +
                          "|prodstaging01|" + source + "|0",
                      disk.name + "|" + disk.targetName + "|" + disk.restoredName + "|" + disk.uri + "|" +
                          disk.storageAccount + "|" + record.blobName + "|" + record.container + "|" +
                          record.storageAccount + "|" + record.originalDiskName + "|" +
                          std::to_string(record.createdByJob));
        }
        EXPECT_EQ(0, ctx.disks.back().diskFormat);  // files are not named
    }
}

// Two disks that would end up under one name are refused, naming both; two disks backed up under one name (one
// disk-map record) are refused before any storage call. Distinct names pass.
TEST_F(DiskNaming, DisksThatWouldShareANameAreRefused) {
    struct Row { int kind; const char *first, *second, *secondDisk; bool frozenClock; const char* refusal; };
    const char* const both = "[disk-a] and [disk-b]";  // a frozen clock stamps alike
    for (const Row& row : {Row{RESTORE_TYPE_DISK_ATTACH, "Data1", "data1.vhd", "disk-b", false, both},
                           Row{RESTORE_TYPE_DISK_ATTACH, "Data1", "Data2", "disk-b", false, nullptr},
                           Row{RESTORE_TYPE_FULL_VM, "", "", "disk-b", true, both},
                           Row{RESTORE_TYPE_FULL_VM, "", "", "disk-b", false, nullptr},
                           Row{RESTORE_TYPE_FULL_VM, "", "", "disk-a", false, "named [disk-a]"}}) {
        SCOPED_TRACE(std::string(row.first) + "/" + row.second + row.secondDisk + (row.frozenClock ? " frozen" : ""));
        clock.frozen = row.frozenClock;
        plugin.SetLastVMError(VMINFO_ERR_NONE);
        const std::size_t calls = Calls("DoesContainerExist");
        Named(row.kind, {Target("disk-a", row.first), Target(row.secondDisk, row.second)});
        EXPECT_EQ(!row.refusal, result);
        EXPECT_EQ(row.refusal ? VMINFO_ERR_RESTORE_DEPLOY : VMINFO_ERR_NONE, plugin.GetLastVMError());
        EXPECT_NE(std::string::npos, plugin.GetLastVMErrorMessage().find(row.refusal ? row.refusal : ""));
        EXPECT_EQ(row.refusal == both || !row.refusal, Calls("DoesContainerExist") > calls);
    }
}

// The first free LUN after `after` (below -1: from 0). New data disks of a clone take LUNs from 0, of a reconfigured
// VM the first ones its disks leave free; the OS disk and disks that exist keep theirs; an unknown VM is refused.
TEST_F(DiskNaming, NewDataDisksGetFreeLuns) {
    std::vector<SDisk> used(1);
    used[0].unitNumber = 0;
    EXPECT_EQ(1, plugin.GetFirstAvailableLUN(used, -7));  // below -1: from LUN 0
    struct OpRow { int operation; const char* vmName; std::vector<int> luns; };  // OS, existing, two new; empty: refused
    for (const OpRow& row : {OpRow{VM_OP_CLONE, "clone01", {-1, 5, 0, 1}},
                             OpRow{VM_OP_RECONFIGURE, "web-linux01", {-1, 5, 2, 3}}, OpRow{VM_OP_RECONFIGURE, "nope", {}}}) {
        SCOPED_TRACE(row.vmName);
        OperationCtx op;
        op.operation = row.operation;
        op.vmInfo.name = row.vmName;
        op.vmInfo.disks = {Target("os", "", true), Target("old", ""), Target("new-a", ""), Target("new-b", "")};
        op.vmInfo.disks[0].unitNumber = -1;
        op.vmInfo.disks[1].uri = "https://prodstaging01.blob.core.windows.net/vhds/old.vhd";
        op.vmInfo.disks[1].unitNumber = 5;
        EXPECT_EQ(!row.luns.empty(), plugin._GenerateDiskLun(op));
        for (size_t i = 0; i < row.luns.size(); ++i) EXPECT_EQ(row.luns[i], op.vmInfo.disks[i].unitNumber);
        EXPECT_EQ(row.luns.empty() ? "Virtual machine [nope] [] not found" : "", plugin.GetLastVMErrorMessage());
    }
}

}  // namespace
}  // namespace restoretest
