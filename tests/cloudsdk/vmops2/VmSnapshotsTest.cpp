// VM snapshots (a snapshot set of a VM's disks) and the removal of expired disks.
#include "host/sys/Time.h"
#include "tests/cloudsdk/restore/WrapperFixture.h"

using namespace wrappertest;

namespace {

using VmOps = WrapperTest;

TEST_F(VmOps, VmSnapshotCoversTheDisksLeftInAndIsDeletedByReference) {
    // `byRef`: delete naming the reference alone
    // `encrypted`: every disk's mark, as the VM's instance view shows it
    struct Case { const char *vm, *filter; size_t members; bool byRef; bool encrypted; } cases[] = {
        {"web-linux01", "", 3, false, false},                      // managed: every disk
        {"web-linux01", " web-linux01-data1 ,", 2, true, false},  // a disk left out by name
        {"secure-db01", "", 2, false, true},                       // encrypted disks
        {"legacy-vm01", "", 2, false, false},                      // unmanaged: blob snapshots
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.vm) + " filter [" + c.filter + "]");
        const std::string guid = state.load().findVm(c.vm)->guid;
        std::string id, ref;
        std::vector<SDisk> disks;
        ASSERT_TRUE(sdk.CreateVMSnapshot(c.vm, guid, true, c.filter, 4242, id, disks, ref)) << sdk.GetLastErrorString();
        azsim::StateDocument doc = state.load();
        const azsim::SnapshotSet* set = doc.findSnapshotSet(id);
        ASSERT_NE(set, nullptr);
        EXPECT_EQ(std::make_tuple(ref, set->members.size(), disks.size(), set->vmGuid, set->jobTag),
                  std::make_tuple(id, c.members, c.members, guid, "4242"));
        for (const SDisk& disk : disks) EXPECT_EQ(disk.isEncrypted, c.encrypted) << disk.name;
        // A disk left out by name is not taken (each member's job mark is checked with the snapshot engine's sets).
        for (const azsim::ManagedSnapshot& snap : doc.snapshots)
            EXPECT_TRUE(!c.byRef || snap.name.find("web-linux01-data1") == std::string::npos) << snap.name;

        // The backups' sweep of expired snapshot sets leaves a VM snapshot alone, however old.
        NxClock::fix(NxClock::now() + std::chrono::hours(24 * 365));
        const bool swept = sdk.DeleteExpiredSnapshots("", c.vm, 1, {});
        NxClock::unfix();
        ASSERT_TRUE(swept);
        ASSERT_NE(state.load().findSnapshotSet(id), nullptr);
        ASSERT_TRUE(sdk.DeleteVMSnapshot(c.vm, guid, c.byRef ? "" : id, c.byRef ? ref : "", false))
            << sdk.GetLastErrorString();
        doc = state.load();
        EXPECT_TRUE(!doc.findSnapshotSet(id) && doc.snapshots.empty() && doc.blobSnapshots.empty());
        EXPECT_FALSE(sdk.DeleteVMSnapshot(c.vm, guid, id, "", false));
        EXPECT_EQ(sdk.GetLastErrorCode(), AzureSDKCppBridge::SDK_ERR_NOT_FOUND);
    }
}

TEST_F(VmOps, VmSnapshotRefusalsLeaveTheStateAsItWas) {
    const std::string web = state.load().findVm("web-linux01")->guid;
    const std::string app = state.load().findVm("app-win01")->guid;
    std::string id, ref;
    std::vector<SDisk> disks;
    ASSERT_TRUE(sdk.CreateVMSnapshot("web-linux01", web, true, "", 1, id, disks, ref));
    const std::string before = StateBytes();
    struct Case { const char* vm; std::string guid; const char *filter, *text; } creates[] = {
        {"web-linux01", app, "", "No VM named 'web-linux01' with GUID"},  // GUID of another VM
        {"no-such-vm", "", "", "No VM named 'no-such-vm'"},
        {"web-linux01", web, "web-linux01-data9", "Disk [web-linux01-data9] to leave out"},
        {"web-linux01", web, "web-linux01-osdisk,web-linux01-data0,web-linux01-data1", "no disk left"},
    };
    for (const Case& c : creates) {
        std::string otherId;
        EXPECT_FALSE(sdk.CreateVMSnapshot(c.vm, c.guid, true, c.filter, 1, otherId, disks, ref)) << c.text;
        EXPECT_NE(sdk.GetLastErrorString().find(c.text), std::string::npos) << sdk.GetLastErrorString();
        EXPECT_TRUE(otherId.empty());
    }
    // A set is deleted only for the VM it was taken of, only when one is named, and never when a
    // backup took it as its reference.
    EXPECT_FALSE(sdk.DeleteVMSnapshot("app-win01", app, id, "", false));
    EXPECT_FALSE(sdk.DeleteVMSnapshot("web-linux01", web, "", "", false));
    SVMInfo vm;
    ASSERT_TRUE(sdk.GetVMInfoForVM("web-linux01", web, "", 0, 0, vm));
    std::string backupSet;
    ASSERT_TRUE(sdk.CreateDiskSnapshots(vm.disks, vm.resourceGroup, vm.region, vm.name, 1, 1, backupSet, disks));
    const std::string withBackupSet = StateBytes();
    EXPECT_FALSE(sdk.DeleteVMSnapshot("web-linux01", web, backupSet, "", false));
    EXPECT_NE(sdk.GetLastErrorString().find("is a backup's snapshot set"), std::string::npos);
    EXPECT_EQ(StateBytes(), withBackupSet);
    ASSERT_TRUE(sdk.DeleteDiskSnapshots(backupSet, disks, "rg-test", false));
    EXPECT_EQ(StateBytes(), before);
}

TEST_F(VmOps, ExpiredDisksAreOnlyUnattachedOldDisksThisProductCreated) {
    const long long now = NxClock::nowSeconds(), old = now - 10 * 86400, expiry = now - 86400;
    struct Case { const char *name, *region; bool tagged; long long createdAt; bool attached, goes; } cases[] = {
        {"customer-old", "westeurope", false, old, false, false},
        {"job-new", "westeurope", true, now, false, false},
        {"job-old-attached", "westeurope", true, old, true, false},
        {"job-old-elsewhere", "northeurope", true, old, false, false},
        {"job-old", "westeurope", true, old, false, true},
    };
    azsim::PageBlobStore blobs = state.blobs();
    Edit([&](azsim::StateDocument& doc) {
        for (const Case& c : cases) {
            azsim::ManagedDisk d;
            d.name = c.name;
            d.resourceGroup = "rg-test";
            d.id = azsim::ManagedDiskId(doc.subscription().id, d.resourceGroup, d.name);
            d.region = c.region;
            d.sizeBytes = 1 << 20;
            d.createdAt = c.createdAt;
            if (c.tagged) d.tags["createdByJob"] = testsupport::JobGuidOf(99);  // a job of another run
            d.blob = {"mdexpiry", "disks", c.name};
            std::string error;
            EXPECT_TRUE(blobs.createPageBlob(d.blob, d.sizeBytes, false, &error)) << error;
            if (c.attached) {
                d.state = "Attached";
                doc.findVm("secure-db01")->disks.push_back({d.id, 5});
            }
            doc.managedDisks.push_back(d);
        }
    });
    ASSERT_TRUE(sdk.DeleteExpiredDisks("West Europe", expiry)) << sdk.GetLastErrorString();
    azsim::StateDocument doc = state.load();
    for (const Case& c : cases) {
        EXPECT_EQ(doc.findManagedDiskByName(c.name) == nullptr, c.goes) << c.name;
        EXPECT_EQ(blobs.exists({"mdexpiry", "disks", c.name}), !c.goes) << c.name;
    }
    EXPECT_FALSE(sdk.DeleteExpiredDisks("atlantis", now));
    EXPECT_EQ(sdk.GetLastErrorCode(), AzureSDKCppBridge::SDK_ERR_NOT_FOUND);
}

}  // namespace
