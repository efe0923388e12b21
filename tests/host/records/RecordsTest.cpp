// Host records: the non-zero defaults the host relies on.
#include <type_traits>

#include <gtest/gtest.h>

#include "host/vminfo/IVMInfo.h"
#include "plugin/frame/records/Records.h"

static_assert(std::has_virtual_destructor<IVMInfo>::value, "plugins are deleted through IVMInfo");
static_assert(sizeof(EInventoryType) == 4, "inventory type is a 32-bit field");

TEST(RecordsTest, DefaultsDifferingFromZero) {
    SDisk disk;
    EXPECT_EQ(DISK_TYPE_VIRTUAL_DISK, disk.type);
    EXPECT_EQ(1, disk.includeFlag);
    RestoreCtx restore;
    EXPECT_TRUE(restore.createVm);
    EXPECT_FALSE(restore.restoreWithoutConfig || restore.restoreAsManagedVM || restore.snapRestore);
    EXPECT_EQ(nullptr, VmdkHandle().diskInfo);
}
