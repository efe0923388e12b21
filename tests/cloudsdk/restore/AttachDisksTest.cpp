// Attaching restored disks to an existing VM of the demo subscription and taking them off again.
#include "tests/cloudsdk/restore/WrapperFixture.h"

using namespace wrappertest;

namespace {

class AttachDisks : public WrapperTest {
protected:
    SVMInfo Vm(const std::string& name) {
        SVMInfo vm;
        EXPECT_TRUE(sdk.GetVMInfoForVM(name, "", "", 0, 0, vm)) << sdk.GetLastErrorString();
        return vm;
    }
};

// Live browse names a page blob attached to an unmanaged VM by its URL in the managed-disk id; detaching it keeps
// the blob. A blob another VM uses is never removed, even once a managed VM imported it.
TEST_F(AttachDisks, ABlobIsKeptWhileAVmUsesIt) {
    const SVMInfo legacy = Vm("legacy-vm01");
    const DiskList own = Attachments("legacy-vm01");
    const azsim::BlobKey blob = Stage("u-data.vhd", 'u', "legacystore01");
    ASSERT_TRUE(sdk.AddDisksToVM(legacy, {BlobDisk("u-data.vhd", false, 1, "legacystore01")})) << sdk.GetLastErrorString();
    ASSERT_NE(Attachments("legacy-vm01"), own);
    SDisk asLiveBrowse = BlobDisk("u-data.vhd", false, 1, "");
    asLiveBrowse.managedDiskId = azsim::PageBlobUri(blob);
    ASSERT_TRUE(sdk.DeleteDisksFromVM(legacy, {asLiveBrowse})) << sdk.GetLastErrorString();
    EXPECT_EQ(Attachments("legacy-vm01"), own);
    EXPECT_TRUE(state.blobs().exists(blob));
    // A managed VM imports another VM's page blob as a copy: the blob it was imported from stays.
    const azsim::BlobKey legacyOs{"legacystore01", "vhds", "legacy-vm01-osdisk.vhd"};
    ASSERT_TRUE(sdk.AddDisksToVM(Vm("web-linux01"), {BlobDisk(legacyOs.name, false, 2, legacyOs.account)}))
        << sdk.GetLastErrorString();
    EXPECT_TRUE(state.blobs().exists(legacyOs) && state.load().findUnmanagedDisk(legacyOs));
}

TEST_F(AttachDisks, EveryRefusalComesBeforeAnyChange) {
    Stage("r-data.vhd", 'r');
    Stage("r-more.vhd", 'm');
    Stage("r-third.vhd", 't');
    Stage("loose.vhd", 'l');
    const std::string loose = Upload("loose", false, "rg-prod", "", "");
    struct Row { const char* expected; std::function<void(SVMInfo&, std::vector<SDisk>&)> change; };
    const std::vector<Row> rows = {
        {"was not found", [](SVMInfo& vm, auto&) { vm.name = "no-such-vm"; }},
        {"has GUID", [](SVMInfo& vm, auto&) { vm.guid.clear(); }},
        {"A disk at LUN 1 already exists", [](auto&, std::vector<SDisk>& d) { d[0].unitNumber = 1; }},
        {"A disk at LUN 2 already exists", [](auto&, auto& d) { d.push_back(BlobDisk("r-more.vhd", false, 2)); }},
        {"listed more than once", [](auto&, auto& d) { d.push_back(BlobDisk("r-data.vhd", false, 3)); }},
        {"is 4; 5 were given",
         [](auto&, auto& d) {
             d = {BlobDisk("r-data.vhd", false, 2), BlobDisk("r-more.vhd", false, 3), BlobDisk("r-third.vhd", false, 4)};
         }},
        {"does not exist or is not a page blob", [](auto&, auto& d) { d[0].name = "absent.vhd"; }},
        {"A disk named 'loose' already exists", [](auto&, auto& d) { d[0].name = "loose.vhd"; }},
        {"managed disk to a VM with blob based disks",
         [&](SVMInfo& vm, auto& d) { vm = Vm("legacy-vm01"), d = {ManagedEntry(loose, false, 1)}; }},
    };
    const std::string before = Everything();
    for (const Row& row : rows) {
        SVMInfo vm = Vm("web-linux01");
        std::vector<SDisk> disks = {BlobDisk("r-data.vhd", false, 2)};
        row.change(vm, disks);
        EXPECT_FALSE(sdk.AddDisksToVM(vm, disks)) << row.expected;
        EXPECT_TRUE(ErrorHas(row.expected)) << row.expected << " / " << sdk.GetLastErrorString();
        EXPECT_EQ(Everything(), before) << row.expected;
    }
    // The unrefused request attaches, so each refusal above was its row's own.
    EXPECT_TRUE(sdk.AddDisksToVM(Vm("web-linux01"), {BlobDisk("r-data.vhd", false, 2)})) << sdk.GetLastErrorString();
}

// A managed VM (web-linux01: data disks at LUNs 0 and 1) imports a staged blob into a managed disk at its LUN
// and forgets the blob; detaching takes off only the listed disks and removes only this job's imports.
TEST_F(AttachDisks, DetachingTouchesOnlyTheListedDisksAndRemovesOnlyThisJobsImports) {
    const SVMInfo web = Vm("web-linux01");
    const azsim::BlobKey staged = Stage("r-data.vhd", 'r');
    const std::string uploaded = Upload("uploaded", false, "rg-prod", "", "");
    const std::vector<SDisk> imported = {BlobDisk("r-data.vhd", false, 2)};
    ASSERT_TRUE(sdk.AddDisksToVM(web, {imported[0], ManagedEntry(uploaded, false, 3)})) << sdk.GetLastErrorString();
    const auto own = Attachments("web-linux01");
    ASSERT_EQ(own.size(), 5u);
    const azsim::StateDocument made = state.load();
    const azsim::ManagedDisk* disk = made.findManagedDisk(own[3].first);
    ASSERT_NE(disk, nullptr);
    EXPECT_EQ(std::tie(disk->name, disk->resourceGroup, disk->region, disk->sourceId, disk->state,
                       disk->tags.at("createdByJob"), own[3].second),
              std::make_tuple("r-data", "rg-prod", "westeurope", azsim::PageBlobUri(staged), "Attached",
                              testsupport::JobGuidOf(7), 2));
    EXPECT_TRUE(!state.blobs().exists(staged) && !made.findUnmanagedDisk(staged));

    // Another job's wrapper finds nothing of its own to take off.
    CAzureSDKCppBridge other;
    Connect(other, 8);
    const std::string attached = StateBytes();
    EXPECT_TRUE(other.DeleteDisksFromVM(web, imported)) << other.GetLastErrorString();
    EXPECT_EQ(StateBytes(), attached);

    SVMInfo wrongGuid = web;
    wrongGuid.guid = Vm("app-win01").guid;
    EXPECT_FALSE(sdk.DeleteDisksFromVM(wrongGuid, imported));
    EXPECT_TRUE(ErrorHas("has GUID"));
    EXPECT_EQ(StateBytes(), attached);

    ASSERT_TRUE(sdk.DeleteDisksFromVM(web, imported)) << sdk.GetLastErrorString();
    EXPECT_EQ(Attachments("web-linux01"), (DiskList{own[0], own[1], own[2], own[4]}));
    EXPECT_EQ(state.load().findManagedDiskByName("r-data"), nullptr);

    // A listed disk the job did not import is detached and kept.
    ASSERT_TRUE(sdk.DeleteDisksFromVM(web, {ManagedEntry(uploaded, false, 3)})) << sdk.GetLastErrorString();
    EXPECT_EQ(Attachments("web-linux01"), (DiskList{own[0], own[1], own[2]}));
    const azsim::StateDocument doc = state.load();
    ASSERT_NE(doc.findManagedDisk(uploaded), nullptr);
    EXPECT_EQ(doc.findManagedDisk(uploaded)->state, "Unattached");

    // A disk another job imported from a page blob, listed by this one, is detached and kept: it is not this job's.
    Stage("o-data.vhd", 'o');
    ASSERT_TRUE(other.AddDisksToVM(web, {BlobDisk("o-data.vhd", false, 4)})) << other.GetLastErrorString();
    const std::string foreign = state.load().findManagedDiskByName("o-data")->id;
    ASSERT_TRUE(sdk.DeleteDisksFromVM(web, {ManagedEntry(foreign, false, 4)})) << sdk.GetLastErrorString();
    EXPECT_EQ(Attachments("web-linux01"), (DiskList{own[0], own[1], own[2]}));
    ASSERT_NE(state.load().findManagedDiskByName("o-data"), nullptr);
    EXPECT_EQ(state.load().findManagedDiskByName("o-data")->state, "Unattached");

    // Nothing listed is attached any more: nothing to do.
    const std::string detached = StateBytes();
    EXPECT_TRUE(sdk.DeleteDisksFromVM(web, {imported[0], ManagedEntry(uploaded, false, 3)}));
    EXPECT_EQ(StateBytes(), detached);
}

}  // namespace
