// Services of the plugin base class that plugins rely on.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <tuple>
#include <vector>

#include "host/settings/NXPlatformInfo.h"
#include "host/sys/Time.h"
#include "host/vminfo/CVMInfo.h"
#include "tests/support/SimulatedCloud.h"

namespace {

// A plugin whose filter matchers answer from fixed lists, recording the calls the walk makes.
class FilterPlugin : public CVMInfo {
public:
    FilterPlugin() : CVMInfo(VSINST_AZURE_RESOURCE_MANAGER) {}
    bool IsDiskFilteredByPattern(const std::string& pattern, const SDisk& disk) override {
        calls.push_back("pattern:" + pattern);
        return pattern == disk.name;
    }
    bool IsDiskFilteredByTag(const std::string& name, const std::string& value, const SDisk& disk) override {
        calls.push_back("tag:" + name + "=" + value);
        return disk.name == "tagged";
    }
    std::vector<std::string> calls;
};

const UINT64 kVmLists = 0x20000000, kTemplates = 0x4000000000000000ULL;

void fixClock(long long seconds) { NxClock::fix(NxClock::time_point(std::chrono::seconds(seconds))); }

// Slots a plugin leaves to the base fail: the storage operation, whose failure value is 1, with 1.
TEST(CVMInfoServices, SlotsLeftToTheBaseNeverReportSuccess) {
    CVMInfo base(VSINST_AZURE_RESOURCE_MANAGER);
    EXPECT_EQ(base.PerformStorageOperation(StorageOperationCtx()), 1);
    EXPECT_EQ(base.PerformVMOperation(OperationCtx()), 0);
}

TEST(CVMInfoServices, FilterWalkStopsAtTheFirstMatchingRuleAndBaseMatchersFilterNothing) {
    FilterPlugin plugin;
    MountCtx ctx;
    ctx.diskFilters = {{DISK_FILTER_BY_PATH, "vhds/*.vhd", ""},
                       {DISK_FILTER_BY_PATTERN, "data1", ""},
                       {DISK_FILTER_BY_TAG, "backup", "no"},
                       {99, "unknown kind", ""}};
    auto disk = [](const char* name) {
        SDisk d;
        d.name = name;
        return d;
    };
    EXPECT_TRUE(plugin.IsDiskFiltered(ctx, disk("data1")));
    EXPECT_EQ(plugin.calls, (std::vector<std::string>{"pattern:data1"}));

    plugin.calls.clear();
    EXPECT_FALSE(plugin.IsDiskFiltered(ctx, disk("osdisk")));
    EXPECT_EQ(plugin.calls, (std::vector<std::string>{"pattern:data1", "tag:backup=no"}));
    EXPECT_TRUE(plugin.IsDiskFiltered(ctx, disk("tagged")));
}

// Each row asks at a second (after a fixed start) for a level of detail and says whether a new fetch is due.
TEST(CVMInfoServices, HostCacheIsReusedWhileFreshAndRefetchedWhenStaleResetOrAskedForMore) {
    FilterPlugin plugin;
    auto asks = [&](std::vector<std::tuple<long long, UINT64, bool>> rows) {
        for (const auto& [at, flags, expected] : rows) {
            fixClock(1000000 + at);
            EXPECT_EQ(expected, plugin.IsNewHostDiscoveryReq(flags, 0)) << "at " << at << " flags " << flags;
        }
    };
    asks({{0, 0, true}});  // never fetched
    plugin._RefreshHostInfoCache(kVmLists, 0);
    // Less detail than cached is reused; templates were not fetched.
    asks({{0, kVmLists, false}, {0, 0, false}, {0, kTemplates, true}, {299, 0, false}, {300, 0, true}});
    NXPlatformInfo::setValue("HostDiscovery", "nHostInfoCacheSeconds", "600");
    asks({{300, 0, false}, {599, 0, false}, {600, 0, true}});
    NXPlatformInfo::removeValue("HostDiscovery", "nHostInfoCacheSeconds");
    asks({{0, 0, false}});
    plugin.ResetCaches();
    asks({{0, 0, true}});

    // Templates come as one more host of the list, so only a request for them may reuse a list holding them.
    plugin._RefreshHostInfoCache(kVmLists | kTemplates, 0);
    asks({{0, kTemplates, false}, {0, kVmLists | kTemplates, false}, {0, 0, true}, {0, kVmLists, true}});
    plugin._RefreshHostInfoCache(~0ULL, 0);  // the all-ones word fetches no templates
    asks({{0, kVmLists, false}, {0, kTemplates, true}, {0, kVmLists | kTemplates, true}});
    NxClock::unfix();
}

TEST(CVMInfoServices, MountFailuresMountFolderReferenceTimeAndBiosInfo) {
    FilterPlugin plugin;
    MountCtx ctx;
    ctx.vmGuid = "guid-1";
    plugin.AddMountFailure(ctx, "disk0", "Snapshots for Ultra SSD disks are not supported by Azure", false);
    ASSERT_EQ(ctx.mountFailures.size(), 1u);
    EXPECT_EQ(ctx.mountFailures[0].subject + " of " + ctx.mountFailures[0].guid, "disk0 of guid-1");

    testsupport::TempDir dir;
    std::string mount = dir.path() + "/job/1/mount";
    EXPECT_EQ(plugin._PrepareMountPathDirectory(mount, false), 0);
    EXPECT_EQ(plugin._PrepareMountPathDirectory(mount, true), 1);
    EXPECT_EQ(plugin._PrepareMountPathDirectory(mount, false), 1);
    EXPECT_EQ(plugin._PrepareMountPathDirectory("", true), 0);
    std::ofstream(dir.path() + "/file") << "x";
    EXPECT_EQ(plugin._PrepareMountPathDirectory(dir.path() + "/file", true), 0);

    fixClock(1765000000);
    plugin.UpdateMountCtxReferenceTimeWIthCurrentTime(ctx);
    EXPECT_EQ(ctx.referenceTime, 1765000000);
    NxClock::unfix();

    // BIOS data comes from the DMI folder, and fails without a UUID.
    CVMInfo::SetDmiDirectory(dir.path());
    std::string vendor, serial, uuid, other;
    EXPECT_FALSE(plugin.getBiosInfo(vendor, serial, uuid, other));
    std::ofstream(dir.path() + "/product_uuid") << "  ABCDEF01-2345-6789-ABCD-EF0123456789 \n";
    std::ofstream(dir.path() + "/sys_vendor") << "Microsoft Corporation\n";
    std::ofstream(dir.path() + "/chassis_asset_tag") << "7783-7084-3265-9085-8269-3286-77\n";
    EXPECT_TRUE(plugin.getBiosInfo(vendor, serial, uuid, other));
    EXPECT_EQ(std::make_tuple(uuid, vendor, serial, other),
              std::make_tuple("ABCDEF01-2345-6789-ABCD-EF0123456789", "Microsoft Corporation", "",
                              "7783-7084-3265-9085-8269-3286-77"));
    CVMInfo::SetDmiDirectory("/sys/class/dmi/id");
}

}  // namespace
