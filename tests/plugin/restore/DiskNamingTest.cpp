// Restore disk naming and placement against the demo subscription: names, stamps, containers,
// disk-map records, refused duplicates and free LUNs.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "azsim/model/SubscriptionState.h"
#include "host/log/EvDebug.h"
#include "host/settings/NXPlatformInfo.h"
#include "host/sys/Time.h"
#include "plugin/frame/AzureInfo.h"
#include "tests/support/SimulatedCloud.h"

namespace {

class NamingPlugin : public CAzureInfo {
public:
    NamingPlugin() : CAzureInfo(VSINST_AZURE_RESOURCE_MANAGER, 0) {}
    using CAzureInfo::diskMap;
    using CAzureInfo::directUploadRestore;
    using CAzureInfo::GenerateUniqueDiskName;
    using CAzureInfo::GetFirstAvailableLUN;
};

// Every requested wait is kept and, unless `frozen`, moves a fixed clock on by its length.
class SteppingClock {
public:
    static constexpr std::time_t kStart = 1626356700;  // 2021-07-15 13:45:00 UTC
    SteppingClock() {
        NxClock::fix(std::chrono::system_clock::from_time_t(kStart));
        previous_ = NxSetSleepHook([this](unsigned long ms) {
            waits.push_back(ms);
            if (frozen) return;
            now_ += std::chrono::milliseconds(ms);
            NxClock::fix(now_);
        });
    }
    ~SteppingClock() {
        NxSetSleepHook(previous_);
        NxClock::unfix();
    }
    // The local-time stamp a name made `seconds` after the start carries.
    static std::string Stamp(int seconds) {
        const std::time_t t = kStart + seconds;
        struct tm local;
        localtime_r(&t, &local);
        char text[32];
        std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
        return text;
    }
    std::vector<unsigned long> waits;
    bool frozen = false;

private:
    std::chrono::system_clock::time_point now_ = std::chrono::system_clock::from_time_t(kStart);
    NxSleepHook previous_;
};

SDisk Disk(const std::string& name, bool os, const std::string& account = "prodstaging01") {
    SDisk disk;
    disk.name = name;
    disk.originalName = name;
    disk.isOsDisk = os;
    disk.storageAccount = account;
    return disk;
}

class DiskNaming : public ::testing::Test {
protected:
    void SetUp() override {
        CVMInfo::SetDmiDirectory(cloud.dir() + "/no-dmi");
        ASSERT_EQ(1, plugin->Connect(testsupport::SimulatedCloud::kSubscriptionId,
                                     testsupport::SimulatedCloud::kApplicationId, testsupport::SimulatedCloud::kSecret));
    }
    RestoreCtx Ctx(int kind, std::vector<SDisk> disks) const {
        RestoreCtx ctx;
        ctx.restoreType = kind;
        ctx.vmName = "Web01";
        ctx.resourceGroup = "rg-prod";
        ctx.region = "westeurope";
        ctx.disks = std::move(disks);
        SDisk config;
        config.type = DISK_TYPE_FILE;
        config.name = config.indexName = "web01.json";
        ctx.disks.push_back(config);
        return ctx;
    }
    std::vector<std::string> Names(const RestoreCtx& ctx) const {
        std::vector<std::string> out;
        for (const SDisk& disk : ctx.disks) out.push_back(disk.name);
        return out;
    }

    testsupport::SimulatedCloud cloud{testsupport::SimulatedCloud::Seed::Demo};
    testsupport::JobIdentityScope identity{"vsagent", "Instance001", 51};
    SteppingClock clock;
    EvLogCapture log;
    std::unique_ptr<NamingPlugin> plugin{new NamingPlugin()};
};

// A full-VM restore names the OS disk after the VM and every other disk with a stamp one second
// after the previous one, in lower case; each disk gets a record under its backed-up name.
TEST_F(DiskNaming, FullVmNamesAreTheVmNameAndStampsOneSecondApart) {
    RestoreCtx ctx = Ctx(RESTORE_TYPE_FULL_VM, {Disk("Data-A", false), Disk("OS", true), Disk("Data-B", false)});
    ASSERT_TRUE(plugin->GenerateUniqueDiskName(ctx, "Standard_D2s_v3"));

    const std::string first = "web01-" + SteppingClock::Stamp(1) + ".vhd";
    const std::string second = "web01-" + SteppingClock::Stamp(2) + ".vhd";
    EXPECT_EQ((std::vector<std::string>{first, "web01.vhd", second, "web01.json"}), Names(ctx));
    EXPECT_EQ((std::vector<unsigned long>{1000, 1000}), clock.waits);
    const char* const backedUp[] = {"Data-A", "OS", "Data-B"};
    for (int i = 0; i < 3; ++i) {
        const SDisk& disk = ctx.disks[i];
        EXPECT_EQ(backedUp[i], disk.uri);
        EXPECT_EQ(backedUp[i], disk.sourceDiskName);
        EXPECT_EQ(disk.name, disk.targetName);
        EXPECT_EQ(disk.name, disk.restoredName);
        EXPECT_EQ(23, disk.diskFormat);
        const SAzureDiskInfo& record = plugin->diskMap.at(backedUp[i]);
        EXPECT_EQ(disk.name, record.blobName);
        EXPECT_EQ(backedUp[i], record.originalDiskName);
        EXPECT_EQ("rg-prod", record.resourceGroup);
        EXPECT_EQ(disk.isOsDisk, record.isOsDisk);
        EXPECT_FALSE(record.directUpload);
        EXPECT_FALSE(record.createdByJob);
    }
    EXPECT_EQ(0, ctx.disks[3].diskFormat);
}

// Where the name comes from by restore kind; a name the user chose is not checked for snapshots.
TEST_F(DiskNaming, NameSourcesByKind) {
    struct Row {
        int kind;
        bool os;
        const char* name;
        const char* target;
        std::string expected;
        size_t waits;
        size_t snapshotChecks;
    };
    const Row rows[] = {
        {RESTORE_TYPE_DISK_ATTACH, false, "src", "Data1", "data1.vhd", 0, 0},
        {RESTORE_TYPE_DISK_ATTACH, false, "src", "Data2.VHD", "data2.vhd", 0, 0},
        {RESTORE_TYPE_DISK_ATTACH, true, "src", "", "web01-" + SteppingClock::Stamp(1) + ".vhd", 1, 1},
        {RESTORE_TYPE_REPLICATION, false, "web01-20210101-000000.vhd", "", "web01-20210101-000000.vhd", 0, 1},
        {RESTORE_TYPE_REPLICATION, true, "Src", "", "web01.vhd", 0, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.expected);
        SteppingClock fresh;
        const size_t checks = cloud.journal("GetBlobSnapshotCount").size();
        SDisk disk = Disk(row.name, row.os);
        disk.targetName = row.target;
        RestoreCtx ctx = Ctx(row.kind, {disk});
        ASSERT_TRUE(plugin->GenerateUniqueDiskName(ctx));
        EXPECT_EQ(row.expected, ctx.disks[0].name);
        EXPECT_EQ(row.waits, fresh.waits.size());
        EXPECT_EQ(row.snapshotChecks, cloud.journal("GetBlobSnapshotCount").size() - checks);
    }
}

// "account\container" places the disk in that container (created when missing), and the disk keeps
// the account alone; an account without a container uses vhds.
TEST_F(DiskNaming, PlacementSplitsAccountAndContainer) {
    struct Row {
        const char* account;
        const char* container;
    };
    for (const Row& row : {Row{"prodstaging01\\backups", "backups"}, Row{"prodstaging01", "vhds"}}) {
        SCOPED_TRACE(row.account);
        RestoreCtx ctx = Ctx(RESTORE_TYPE_FULL_VM, {Disk("OS", true, row.account)});
        ASSERT_TRUE(plugin->GenerateUniqueDiskName(ctx));
        EXPECT_EQ("prodstaging01", ctx.disks[0].storageAccount);
        const SAzureDiskInfo& record = plugin->diskMap.at("OS");
        EXPECT_EQ("prodstaging01", record.storageAccount);
        EXPECT_EQ(row.container, record.container);
        const azsim::StateDocument state = azsim::SubscriptionState(cloud.dir()).load();
        const azsim::StorageAccount* account = state.findStorageAccount("prodstaging01");
        ASSERT_NE(nullptr, account);
        EXPECT_NE(account->containers.end(),
                  std::find(account->containers.begin(), account->containers.end(), row.container));
    }
}

// A managed target with direct upload writes each disk into a managed disk of the region and size.
TEST_F(DiskNaming, DirectUploadRecordsCarryRegionSizeAndFirmware) {
    for (const char* setting : {"0", "1"}) {
        SCOPED_TRACE(setting);
        NXPlatformInfo::setValue("VirtualServer", "bAzureEnableDirectUploadToManagedDisk", setting);
        plugin.reset(new NamingPlugin());
        plugin->directUploadRestore = true;
        ASSERT_EQ(1, plugin->Connect(testsupport::SimulatedCloud::kSubscriptionId,
                                     testsupport::SimulatedCloud::kApplicationId, testsupport::SimulatedCloud::kSecret));
        RestoreCtx ctx = Ctx(RESTORE_TYPE_FULL_VM, {Disk("OS", true)});
        ctx.restoreAsManagedVM = true;
        ctx.originalInfo.firmware = "efi";
        ASSERT_TRUE(plugin->GenerateUniqueDiskName(ctx, "Standard_B2s"));
        const SAzureDiskInfo& record = plugin->diskMap.at("OS");
        const bool direct = std::string(setting) == "1";
        EXPECT_EQ(direct, record.directUpload);
        EXPECT_EQ(direct, record.isManaged);
        EXPECT_EQ(direct, ctx.disks[0].isManaged);
        EXPECT_EQ(direct ? "westeurope" : "", record.location);
        EXPECT_EQ(direct ? "Standard_B2s" : "", record.vmSize);
        EXPECT_EQ(direct ? "efi" : "", record.firmware);
    }
    NXPlatformInfo::removeValue("VirtualServer", "bAzureEnableDirectUploadToManagedDisk");
}

// Two disks that would end up under one name are refused, naming both; distinct names pass.
TEST_F(DiskNaming, DisksThatWouldShareANameAreRefused) {
    struct Row {
        int kind;
        const char* firstTarget;
        const char* secondTarget;
        bool frozenClock;
        bool refused;
    };
    const Row rows[] = {
        {RESTORE_TYPE_DISK_ATTACH, "Data1", "data1.vhd", false, true},
        {RESTORE_TYPE_DISK_ATTACH, "Data1", "Data2", false, false},
        {RESTORE_TYPE_FULL_VM, "", "", true, true},   // a clock that stands still stamps both alike
        {RESTORE_TYPE_FULL_VM, "", "", false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.firstTarget) + "/" + row.secondTarget + (row.frozenClock ? " frozen" : ""));
        clock.frozen = row.frozenClock;
        plugin->diskMap.clear();
        plugin->SetLastVMError(VMINFO_ERR_NONE);
        SDisk first = Disk("disk-a", false);
        first.targetName = row.firstTarget;
        SDisk second = Disk("disk-b", false);
        second.targetName = row.secondTarget;
        RestoreCtx ctx = Ctx(row.kind, {first, second});
        EXPECT_EQ(!row.refused, plugin->GenerateUniqueDiskName(ctx));
        EXPECT_EQ(row.refused ? 1u : 2u, plugin->diskMap.size());
        if (!row.refused) continue;
        EXPECT_EQ(VMINFO_ERR_RESTORE_DEPLOY, plugin->GetLastVMError());
        const std::string message = plugin->GetLastVMErrorMessage();
        EXPECT_NE(std::string::npos, message.find("[disk-a] and [disk-b]")) << message;
        EXPECT_EQ("disk-b", ctx.disks[1].name);
    }
}

TEST_F(DiskNaming, FirstAvailableLunSkipsUsedOnesUpToFifteen) {
    auto Luns = [](std::vector<int> luns) {
        std::vector<SDisk> disks;
        for (int lun : luns) {
            SDisk disk;
            disk.unitNumber = lun;
            disks.push_back(disk);
        }
        return disks;
    };
    std::vector<int> all;
    for (int lun = 0; lun <= 15; ++lun) all.push_back(lun);
    struct Row {
        std::vector<int> used;
        int after;
        int expected;
    };
    const Row rows[] = {
        {{0, 1, 3}, -1, 2}, {{0, 1, 3}, 2, 4}, {all, -1, -1}, {{}, 14, 15}, {{}, 15, -1}, {{0}, -7, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.after);
        EXPECT_EQ(row.expected, plugin->GetFirstAvailableLUN(Luns(row.used), row.after));
    }
}

}  // namespace
