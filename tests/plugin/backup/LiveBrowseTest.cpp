// Live browse: snapshot disks attached to the agent's own VM and readable there as local devices.
#include <tuple>

#include "tests/plugin/backup/BackupFixture.h"

namespace backuptest {
namespace {

const char* const kProxyGuid = "aaaaaaaa-0000-4000-8000-000000000001";

class LiveBrowse : public BackupFlow<testsupport::ServedCloud> {
protected:
    void SetUp() override {
        TestPlugin::ForgetLocalVm();
        // The agent's own VM: a copy of web-linux01 with an OS disk of its own and no data disk.
        azsim::SubscriptionState(cloud.dir()).mutate([](azsim::StateDocument& doc) {
            azsim::ManagedDisk os = *doc.findManagedDiskByName("web-linux01-osdisk");
            os.name = "backup-proxy01-osdisk";
            os.id = azsim::ManagedDiskId(doc.subscription().id, "rg-prod", os.name);
            os.blob = azsim::NewManagedDiskBlob();
            azsim::VirtualMachine vm = *doc.findVmByGuid(kWeb.guid);
            vm.name = "backup-proxy01";
            vm.guid = kProxyGuid;
            vm.disks = {{os.id, -1}};
            doc.managedDisks.push_back(os);
            doc.vms.push_back(vm);
            return true;
        });
        std::filesystem::create_directories(dmi.path());
        std::ofstream(dmi.path() + "/product_uuid") << "AAAAAAAA-0000-4000-8000-000000000001\n";
        CVMInfo::SetDmiDirectory(dmi.path());
        NXPlatformInfo::setValue("DiskMapper", "sDeviceFolder", devices.path());
        NXPlatformInfo::setValue("VirtualServer", "bUseHotAddForAzureLiveBrowse", "1");
    }
    void TearDown() override {
        BackupFlow::TearDown();
        NXPlatformInfo::removeValue("DiskMapper", "sDeviceFolder");
    }
    MountCtx BrowseCtx() {
        MountCtx ctx = Ctx(kWeb);
        ctx.liveBrowse = true;
        ctx.archFileId = 5;
        ctx.refJobId = 900;
        std::filesystem::create_directories(ctx.mountPath);
        return ctx;
    }
    std::vector<azsim::DiskAttachment> ProxyDisks() const { return State().findVmByGuid(kProxyGuid)->disks; }
    // Nothing of a browse is left attached: the agent's VM has its own disk only, and no device or state remains.
    void ExpectNothingAttached(const TestPlugin& plugin) const {
        EXPECT_EQ(std::make_tuple(1u, 0u, 0u, 0u, 0u, 3u),
                  std::make_tuple(ProxyDisks().size(), DeviceCount(), plugin.liveBrowseDiskManagers.size(),
                                  plugin.liveBrowseAttachedDisks.size(), State().snapshotSets.size(),
                                  State().findVmByGuid(kWeb.guid)->disks.size()));
    }
    size_t DeviceCount() const {
        return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(devices.path()),
                                                 std::filesystem::directory_iterator()));
    }

    testsupport::TempDir dmi;
    testsupport::TempDir devices;
};

// A browse attaches readable disks to the local VM and releases them at unmount; an unmount that cannot find the
// local VM drops the state and sets no error.
TEST_F(LiveBrowse, AttachesReadableDisksToTheLocalVmAndReleasesThemAtUnmount) {
    auto plugin = Connected();
    MountCtx ctx = Mounted(*plugin, BrowseCtx());
    EXPECT_EQ(plugin->GetLastVMError(), VMINFO_ERR_NONE);

    ASSERT_EQ(std::make_tuple(4u, 3u, 1u, 3u),
              std::make_tuple(ProxyDisks().size(), ctx.vmInfo.disks.size(),
                              plugin->liveBrowseDiskManagers.count(std::string(kWeb.guid) + "-5"), DeviceCount()));

    azsim::StateDocument doc = State();
    const azsim::ManagedDisk* source = doc.findManagedDiskByName("web-linux01-osdisk");
    const SDisk& osCopy = ctx.vmInfo.disks[0];
    const azsim::ManagedDisk* created = doc.findManagedDisk(osCopy.managedDiskId);
    EXPECT_EQ(std::make_tuple(0u, false, std::string("Attached")),
              std::make_tuple(osCopy.name.rfind("ORVALENTA_LB_900_", 0), osCopy.isOsDisk, created ? created->state : ""))
        << osCopy.name;
    const std::string device = devices.path() + "/" + osCopy.name + ".img";
    EXPECT_TRUE(log.contains("bool CAzureInfo::GetDiskInfoForVM_HotAdd(const MountCtx&)",
                             "Disk [" + osCopy.name + "] [] is attached at [" + device + "]"));
    EXPECT_EQ(std::filesystem::file_size(device), source->sizeBytes);
    std::string image;
    ASSERT_TRUE(CKaFile::ReadWholeFile(device, image));
    std::string expected(image.size(), '\0');
    azsim::PageBlobStore(cloud.dir()).read(source->blob, "", 0, &expected[0], expected.size());
    EXPECT_TRUE(image == expected);
    for (const azsim::ManagedSnapshot& snap : doc.snapshots) EXPECT_FALSE(snap.grant.active) << snap.name;

    ASSERT_EQ(plugin->UnmountVM(ctx), 1);
    ExpectNothingAttached(*plugin);
    EXPECT_EQ(State().findManagedDisk(osCopy.managedDiskId)->state, "Unattached");

    MountCtx again = Mounted(*plugin, BrowseCtx());
    Fault("GetLocalVMInfo", 0, "ResourceNotFound: gone");
    EXPECT_EQ(plugin->UnmountVM(again), 1);
    EXPECT_EQ(plugin->GetLastVMError(), VMINFO_ERR_NONE);
    EXPECT_TRUE(log.contains("void CAzureInfo::_CleanUpSnapLiveBrowseState(const MountCtx&)",
                             "Warning: Failed to get VM Info for VM [aaaaaaaa-0000-4000-8000-000000000001], "
                             "[ResourceNotFound: gone]"));
    EXPECT_TRUE(log.contains("virtual int CAzureInfo::GetLocalVMInfo(SVMInfo&, UINT64, int)",
                             std::string("GetLocalVMInfo Failed for VM [") + kProxyGuid +
                                 "]. Backup agent is running on physical host"));
    EXPECT_EQ(std::make_tuple(0u, 0u, 0u), std::make_tuple(plugin->liveBrowseDiskManagers.size(),
                                                           plugin->liveBrowseAttachedDisks.size(), DeviceCount()));
}

// The agent's own VM cannot be read once the first disk is attached: the mount fails on the second disk.
class SecondDiskFailsPlugin : public TestPlugin {
public:
    using TestPlugin::TestPlugin;
    int GetLocalVMInfo(SVMInfo& out, UINT64 flags, int option) override {
        if (!failed && oneAttached()) {
            failed = true;
            return 0;
        }
        return TestPlugin::GetLocalVMInfo(out, flags, option);
    }
    std::function<bool()> oneAttached;
    bool failed = false;
};

// A browse is refused without its setting. A mount failing to attach, or failing on a later disk, releases the disks
// it had attached. A mount that attached nothing releases nothing, and its clean-up never replaces the mount's error:
// neither when no local VM is known (none is looked up) nor when the local VM is the very VM being browsed.
TEST_F(LiveBrowse, FailedMountsReleaseWhatTheyAttachedAndKeepTheirErrorCode) {
    NXPlatformInfo::removeValue("VirtualServer", "bUseHotAddForAzureLiveBrowse");
    auto refused = Connected();
    Refused(*refused, BrowseCtx(), VMINFO_ERR_DISK_INFO);
    EXPECT_TRUE(cloud.journal("CreateManagedDiskFromSnapshot").empty());
    EXPECT_TRUE(State().snapshotSets.empty());
    NXPlatformInfo::setValue("VirtualServer", "bUseHotAddForAzureLiveBrowse", "1");
    Fault("AddDisksToVM", 0, "Conflict: busy");
    Refused(*refused, BrowseCtx(), VMINFO_ERR_DISK_INFO);
    EXPECT_TRUE(log.contains("bool CAzureInfo::GetDiskInfoForVM_HotAdd(const MountCtx&)", "Failed to attach Disk"));
    ExpectNothingAttached(*refused);

    auto plugin = Connected<SecondDiskFailsPlugin>();
    plugin->oneAttached = [this] { return ProxyDisks().size() > 1; };
    Refused(*plugin, BrowseCtx(), VMINFO_ERR_DISK_INFO);
    ASSERT_TRUE(plugin->failed);
    ExpectNothingAttached(*plugin);

    TestPlugin::ForgetLocalVm();
    CVMInfo::SetDmiDirectory(dmi.path() + "/missing");
    const size_t lookUps = cloud.journal("GetLocalVMInfo").size();
    Refused(*Connected(), BrowseCtx(), VMINFO_ERR_DISK_INFO);
    EXPECT_EQ(cloud.journal("GetLocalVMInfo").size(), lookUps);

    TestPlugin::ForgetLocalVm();
    std::ofstream(dmi.path() + "/product_uuid") << "3B7F1C2A-9D4E-4F60-8A1B-2C3D4E5F6071\n";  // web-linux01 itself
    CVMInfo::SetDmiDirectory(dmi.path());
    auto inside = Connected();
    Fault("CreateDiskSnapshots", 0, "OperationNotAllowed: quota exceeded");
    const size_t detaches = cloud.journal("DeleteDisksFromVM").size();
    Refused(*inside, BrowseCtx(), VMINFO_ERR_SNAPSHOT_SET_CREATE);
    ExpectNothingAttached(*inside);
    EXPECT_EQ(cloud.journal("DeleteDisksFromVM").size(), detaches);
}

}  // namespace
}  // namespace backuptest
