// Host records: defaults the host relies on and value semantics of the contexts.
#include <type_traits>

#include <gtest/gtest.h>

#include "host/vminfo/IVMInfo.h"
#include "plugin/frame/records/Records.h"

static_assert(std::is_abstract<IVMInfo>::value, "IVMInfo is an interface");
static_assert(std::has_virtual_destructor<IVMInfo>::value, "plugins are deleted through IVMInfo");
static_assert(sizeof(EInventoryType) == 4, "inventory type is a 32-bit field");

TEST(RecordsTest, DefaultsDifferingFromZero) {
    SDisk disk;
    EXPECT_EQ(DISK_TYPE_VIRTUAL_DISK, disk.type);
    EXPECT_EQ(1, disk.includeFlag);
    EXPECT_EQ(0, disk.volumeSlot);
    EXPECT_FALSE(disk.isOsDisk);

    RestoreCtx restore;
    EXPECT_TRUE(restore.createVm);
    EXPECT_FALSE(restore.restoreWithoutConfig);
    EXPECT_FALSE(restore.restoreAsManagedVM);
    EXPECT_FALSE(restore.snapRestore);

    VmdkHandle handle;
    EXPECT_EQ(nullptr, handle.diskInfo);
}

TEST(RecordsTest, MountCtxCopyIsDeep) {
    MountCtx original;
    SDisk disk;
    disk.uri = "https://a.blob/vhds/os.vhd";
    original.vmInfo.guid = "vm-1";
    original.vmInfo.disks.push_back(disk);
    original.vmInfoByGuid["vm-1"] = original.vmInfo;
    original.filteredDisksByVm["vm-1"].push_back(disk);
    SVolSnap group;
    group.vmList.push_back(original.vmInfo);
    original.volSnaps.push_back(group);

    MountCtx copy = original;
    copy.vmInfo.disks[0].uri = "changed";
    copy.vmInfoByGuid["vm-1"].disks[0].uri = "changed";
    copy.filteredDisksByVm["vm-1"][0].uri = "changed";
    copy.volSnaps[0].vmList[0].disks[0].uri = "changed";

    EXPECT_EQ(disk.uri, original.vmInfo.disks[0].uri);
    EXPECT_EQ(disk.uri, original.vmInfoByGuid["vm-1"].disks[0].uri);
    EXPECT_EQ(disk.uri, original.filteredDisksByVm["vm-1"][0].uri);
    EXPECT_EQ(disk.uri, original.volSnaps[0].vmList[0].disks[0].uri);
}

TEST(RecordsTest, RestoreCtxAndInventoryCopiesAreDeep) {
    RestoreCtx original;
    original.disks.resize(2);
    original.vmInfo.nics.resize(1);
    original.originalInfo.firmware = "efi";

    RestoreCtx copy = original;
    copy.disks[1].name = "data1";
    copy.vmInfo.nics[0].subnetId = "subnet";
    copy.originalInfo.firmware = "bios";

    EXPECT_TRUE(original.disks[1].name.empty());
    EXPECT_TRUE(original.vmInfo.nics[0].subnetId.empty());
    EXPECT_EQ("efi", original.originalInfo.firmware);

    SInventoryInfo root;
    root.children.resize(1);
    root.children[0].children.resize(1);
    SInventoryInfo tree = root;
    tree.children[0].children[0].name = "vm";
    EXPECT_TRUE(root.children[0].children[0].name.empty());
}
