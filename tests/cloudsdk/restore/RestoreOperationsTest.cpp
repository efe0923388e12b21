// Restore deployments, their clean-up, VM deletion, and the cross-subscription question of the SDK
// wrapper over the demo subscription.
#include <unistd.h>

#include "azsim/StateFolder.h"
#include "host/settings/NXPlatformInfo.h"
#include "tests/cloudsdk/restore/WrapperFixture.h"

using namespace wrappertest;

namespace {

const char* const kConfig = R"({"name": "src", "tags": {"app": "web"},
    "properties": {"storageProfile": {"osDisk": {"osType": "Windows"}}}})";

class RestoreOperations : public WrapperTest {
protected:
    std::string Upload(const std::string& name, bool os, const std::string& group = "rg-prod",
                       const std::string& size = "Standard_D2s_v3") {
        return WrapperTest::Upload(name, os, group, size, "efi");
    }
    // A managed VM in rg-prod from two staged blobs named after `blobs` (else the VM): the OS disk and a data disk
    // at LUN 3.
    SVMInfo StagedVm(const std::string& name, std::string blobs = "") {
        blobs = blobs.empty() ? name : blobs;
        SVMInfo vm = Vm(name);
        vm.disks = {BlobDisk(blobs + "-os.vhd", true, 0), BlobDisk(blobs + "-data.vhd", false, 3)};
        Stage(blobs + "-os.vhd", 'o');
        Stage(blobs + "-data.vhd", 'd');
        return vm;
    }
    bool RestoreManaged(SVMInfo& vm) {
        return sdk.RestoreVM(vm, vm.disks[0].name, kConfig, true, false, true, true, "", "", true, false);
    }
};

// Staged blobs become managed disks imported from them and their records go; the VM takes the configuration's OS
// type and tags, and everything made carries the job's tag and is listed in one deployment.
TEST_F(RestoreOperations, ManagedRestoreImportsStagedBlobsAndForgetsThem) {
    SVMInfo vm = StagedVm("r1");
    const azsim::BlobKey staged[] = {{kStaging, "vhds", "r1-os.vhd"}, {kStaging, "vhds", "r1-data.vhd"}};
    ASSERT_TRUE(RestoreManaged(vm)) << sdk.GetLastErrorString();
    const azsim::StateDocument doc = state.load();
    const azsim::VirtualMachine* made = doc.findVmByGuid(vm.guid);
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(std::tie(made->managed, made->powerState, made->osType),
              std::make_tuple(true, azsim::PowerState::Running, "Windows"));
    EXPECT_EQ(made->tags, (azsim::Tags{{"app", "web"}, {"createdByJob", testsupport::JobGuidOf(7)}}));
    ASSERT_EQ(made->disks.size(), 2u);
    for (int i : {0, 1}) {
        const azsim::ManagedDisk* disk = doc.findManagedDisk(made->disks[i].id);
        ASSERT_NE(disk, nullptr);
        EXPECT_EQ(std::tie(made->disks[i].lun, disk->sourceId, disk->tags.at("createdByJob")),
                  std::make_tuple(i ? 3 : -1, azsim::PageBlobUri(staged[i]), testsupport::JobGuidOf(7)));
        EXPECT_EQ(doc.findUnmanagedDisk(staged[i]), nullptr);
    }
    EXPECT_EQ(doc.findManagedDisk(made->disks[0].id)->osType, "Windows");
    ASSERT_EQ(doc.deployments.size(), 1u);
    EXPECT_EQ(doc.deployments[0].resources.size(), 5u);  // VM, two disks, NIC, public IP
}

// An unmanaged VM runs on its page blobs, named or by URL, in the region's first network; without deployFlag it
// stays deallocated.
TEST_F(RestoreOperations, UnmanagedRestoreAttachesBlobsByUrlOnTheRegionsFirstNetwork) {
    const azsim::BlobKey os = Stage("u1-os.vhd", 'o', "legacystore01");
    const azsim::BlobKey data = Stage("u1-data.vhd", 'd', "legacystore01");
    SVMInfo vm = Vm("u1", "rg-legacy", "standard_a2");
    vm.availabilityZones = "None";
    vm.disks = {BlobDisk("u1-os.vhd", true, 0, "legacystore01\\vhds"), BlobDisk("ignored", false, 0, "")};
    vm.disks[1].uri = azsim::PageBlobUri(data);
    ASSERT_TRUE(sdk.RestoreVM(vm, "u1-os.vhd", "", false, false, false, false, "", "", false, false))
        << sdk.GetLastErrorString();
    const azsim::StateDocument doc = state.load();
    const azsim::VirtualMachine* made = doc.findVmByGuid(vm.guid);
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(std::tie(made->managed, made->size, made->powerState, made->storageAccount, made->disks.at(0).id,
                       made->disks.at(1).id),
              std::make_tuple(false, "Standard_A2", azsim::PowerState::Deallocated, "legacystore01",
                              azsim::PageBlobUri(os), azsim::PageBlobUri(data)));
    EXPECT_TRUE(state.blobs().exists(os));
    EXPECT_EQ(doc.findNetworkInterface("u1-nic0")->subnet,
              azsim::SubnetId(SimulatedCloud::kSubscriptionId, "rg-legacy", "vnet-legacy", "default"));
    EXPECT_TRUE(doc.publicIps.empty());
}

// Direct-upload disks are attached as they are, the OS disk found wherever it is listed; key backups encrypt.
TEST_F(RestoreOperations, DirectUploadDisksAreAttachedAsTheyAreToAnEncryptedGen2Vm) {
    SVMInfo vm = Vm("d1");
    vm.firmware = "EFI";
    vm.availabilityZones = "2, 3";
    vm.disks = {ManagedEntry(Upload("d1-data", false), false, 1), ManagedEntry(Upload("d1-os", true), true, 0)};
    for (SDisk& disk : vm.disks) disk.uri = disk.name;
    const SDisk &data = vm.disks[0], &os = vm.disks[1];
    const std::size_t disksBefore = state.load().managedDisks.size();
    ASSERT_TRUE(sdk.RestoreVM(vm, "d1-os", "", false, false, true, true, "dek-text", "kek-text", false, false))
        << sdk.GetLastErrorString();
    const azsim::StateDocument doc = state.load();
    const azsim::VirtualMachine* made = doc.findVmByGuid(vm.guid);
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(std::tie(made->firmware, made->zones, made->disks.at(0).id, made->disks.at(1).id, made->disks.at(1).lun),
              std::make_tuple("efi", "2,3", os.managedDiskId, data.managedDiskId, 1));
    EXPECT_EQ(doc.managedDisks.size(), disksBefore);
    EXPECT_TRUE(made->encryption.encrypted);
    EXPECT_EQ(made->encryption.dekBackup + made->encryption.kekBackup, "dek-textkek-text");
}

// Each demo VM comes back as a new VM of its own group, region, size, zones, generation and networks.
TEST_F(RestoreOperations, EveryDemoVmCanBeRestoredAsItWas) {
    const azsim::StateDocument demo = state.load();
    for (const azsim::VirtualMachine& source : demo.vms) {
        SVMInfo vm;
        ASSERT_TRUE(sdk.GetVMInfoForVM(source.name, source.guid, source.resourceGroup, 0, 0, vm));
        vm.name += "-copy";
        vm.guid.clear();
        for (SDisk& disk : vm.disks) {
            const std::string name = vm.name + "-" + std::to_string(disk.isOsDisk ? -1 : disk.unitNumber);
            disk = BlobDisk(source.managed ? name : name + ".vhd", disk.isOsDisk, disk.unitNumber, vm.storageAccount);
            if (source.managed)
                disk.managedDiskId = disk.uri =
                    WrapperTest::Upload(name, disk.isOsDisk, vm.resourceGroup, vm.vmSize, source.firmware);
            else
                Stage(disk.name, 'x', vm.storageAccount);
        }
        ASSERT_TRUE(sdk.RestoreVM(vm, "", "", false, false, source.managed, true, "", "", false, false))
            << source.name << ": " << sdk.GetLastErrorString();
        const azsim::StateDocument doc = state.load();
        const azsim::VirtualMachine* copy = doc.findVmByGuid(vm.guid);
        ASSERT_NE(copy, nullptr);
        EXPECT_EQ(std::tie(copy->region, copy->size, copy->zones, copy->firmware, copy->securityGroups),
                  std::tie(source.region, source.size, source.zones, source.firmware, source.securityGroups));
        EXPECT_EQ(copy->nics.at(0).subnetId, source.nics.at(0).subnetId) << source.name;
    }
}

// Every refusal of a deployment names its cause and comes before any change; none carries code 3.
TEST_F(RestoreOperations, EveryRefusalComesBeforeAnyChange) {
    Stage("premium.vhd", 'p', "prodpremium01");
    Stage("web-linux01-data1.vhd", 'x');
    std::string url, uploading, ref;
    ASSERT_TRUE(
        sdk.CreateDirectUploadManagedDisk("uploading", "rg-prod", "", kMiB, false, "", "", url, uploading, ref));
    const std::string attached = state.load().findManagedDiskByName("web-linux01-data0")->id;
    // One deployment request: the VM record, the configuration text and the target's two flags.
    struct Ask {
        SVMInfo vm;
        std::string config = kConfig;
        bool managed = true, convert = true;
        SDisk& data() { return vm.disks[1]; }
    };
    const std::vector<std::pair<const char*, std::function<void(Ask&)>>> rows = {
        {"cannot be read: the text is not JSON", [](Ask& a) { a.config = "{oops"; }},
        {"cannot be read: the text is not a JSON object", [](Ask& a) { a.config = "[1]"; }},
        {"ResourceGroupNotFound", [](Ask& a) { a.vm.resourceGroup = "rg-none"; }},
        {"LocationNotAvailable", [](Ask& a) { a.vm.region = "mars"; }},
        {"A VM named 'web-linux01' already exists", [](Ask& a) { a.vm.name = "web-linux01"; }},
        {"Availability zone '4'", [](Ask& a) { a.vm.availabilityZones = "1,4"; }},
        {"does not support Generation 2", [](Ask& a) { a.vm.firmware = "efi", a.vm.vmSize = "Standard_A2"; }},
        {"A Generation 2 VM needs managed disks", [](Ask& a) { a.vm.firmware = "efi", a.managed = false; }},
        {"zone needs managed disks", [](Ask& a) { a.vm.availabilityZones = "1", a.managed = false; }},
        {"exactly one OS disk; 2", [](Ask& a) { a.data().isOsDisk = true; }},
        {"exactly one OS disk; 0", [](Ask& a) { a.vm.disks[0].isOsDisk = false; }},
        {"is not the disk the list marks", [](Ask& a) { a.vm.disks[0].name = "other.vhd"; }},
        // An unmanaged target: a managed one imports each blob into a disk before the VM is asked for.
        {"at most 4 data disks",
         [](Ask& a) {
             for (int lun = 4; lun < 8; ++lun) a.vm.disks.push_back(BlobDisk("any.vhd", false, lun));
             a.managed = false;
         }},
        {"LUN 3 is used by more than one disk", [](Ask& a) { a.vm.disks.push_back(a.data()); }},
        {"is not a blob URL", [](Ask& a) { a.data().uri = "vhds/x.vhd"; }},
        {"names no storage account", [](Ask& a) { a.data().storageAccount = ""; }},
        {"cannot be attached to an unmanaged VM",
         [&](Ask& a) { a.data().managedDiskId = uploading, a.managed = false; }},
        {"BlobNotFound", [](Ask& a) { a.data().name = "absent.vhd", a.managed = false; }},
        {"source blob 'https://prodstaging01.blob.core.windows.net/vhds/absent.vhd' does not exist",
         [](Ask& a) { a.data().name = "absent.vhd"; }},
        {"NotFound: The disk", [&](Ask& a) { a.data().managedDiskId = uploading + "x"; }},
        {"already attached to VM 'web-linux01'", [&](Ask& a) { a.data().managedDiskId = attached; }},
        {"already attached to VM 'legacy-vm01'",
         [](Ask& a) { a.data() = BlobDisk("legacy-vm01-data0.vhd", false, 3, "legacystore01"), a.managed = false; }},
        {"is being uploaded", [&](Ask& a) { a.data().managedDiskId = uploading; }},
        {"A disk named 'web-linux01-data1' already exists", [](Ask& a) { a.data().name = "web-linux01-data1.vhd"; }},
        {"does not support premium storage",
         [](Ask& a) { a.vm.vmSize = "Standard_A2", a.data() = BlobDisk("premium.vhd", false, 3, "prodpremium01"); }},
        {"at most 2 network interfaces", [](Ask& a) { a.vm.nics.resize(3); }},
        {"Virtual network 'vnet-legacy' was not found in location 'westeurope'",
         [](Ask& a) { a.vm.nics = {{"", "vnet-legacy", ""}}; }},
        {"Subnet 'nope' was not found", [](Ask& a) { a.vm.nics = {{"", "vnet-prod", "nope"}}; }},
        {"Location 'northeurope' has no virtual network", [](Ask& a) { a.vm.region = "North Europe"; }},
        {"Network security group 'nsg-none'",
         [](Ask& a) { a.vm.securityGroups = {{"nsg-prod", "", ""}, {"nsg-none", "", ""}}; }},
    };
    SVMInfo base = StagedVm("t1");
    const std::string before = StateBytes();
    for (const auto& [expected, change] : rows) {
        SCOPED_TRACE(expected);
        Ask a;
        a.vm = base;
        change(a);
        EXPECT_FALSE(
            sdk.RestoreVM(a.vm, "t1-os.vhd", a.config, true, false, a.managed, true, "", "", a.convert, false));
        EXPECT_TRUE(ErrorHas(expected)) << sdk.GetLastErrorString();
        EXPECT_NE(sdk.GetLastErrorCode(), AzureSDKCppBridge::SDK_ERR_VM_CREATED_LATER_STEP_FAILED);
        EXPECT_TRUE(a.vm.guid.empty());
        EXPECT_EQ(StateBytes(), before);
    }
    // The unchanged request deploys, and without configuration text the source's tags stay behind.
    ASSERT_TRUE(sdk.RestoreVM(base, "t1-os.vhd", "{oops", false, false, true, true, "", "", true, true))
        << sdk.GetLastErrorString();
    EXPECT_EQ(state.load().findVmByGuid(base.guid)->tags.count("app"), 0u);
}

// Only a failure after the VM exists carries code 3; one before leaves no trace, not even disk data.
TEST_F(RestoreOperations, OnlyAFailureAfterTheVmExistsIsCodeThree) {
    SVMInfo vm = StagedVm("f1");
    // The document cannot be saved (its temporary file's name is taken): the imported disks' data goes too.
    const std::string before = Everything();
    const std::string blocked = azsim::StateFolder(cloud.dir()).documentPath() + ".tmp." + std::to_string(getpid());
    std::filesystem::create_directory(blocked);
    EXPECT_FALSE(RestoreManaged(vm));
    EXPECT_TRUE(ErrorHas("cannot be written")) << sdk.GetLastErrorString();
    EXPECT_EQ(sdk.GetLastErrorCode(), AzureSDKCppBridge::SDK_ERR_GENERAL);
    std::filesystem::remove(blocked);
    EXPECT_EQ(Everything(), before);
    EXPECT_TRUE(vm.guid.empty());

    azsim::FaultBook(cloud.dir()).addSdkFault({"RestoreVM.AfterCreate", 0, "the extension did not start", 1});
    EXPECT_FALSE(RestoreManaged(vm));
    EXPECT_EQ(sdk.GetLastErrorCode(), AzureSDKCppBridge::SDK_ERR_VM_CREATED_LATER_STEP_FAILED);
    EXPECT_TRUE(ErrorHas("VM 'f1' was created, but the extension did not start"));
    EXPECT_NE(state.load().findVmByGuid(vm.guid), nullptr);
}

// DeleteVM needs the VM's name and GUID; its disks and network go only when asked, else they are detached and
// the next deployment of the name takes the network over.
TEST_F(RestoreOperations, DeleteVmTakesDisksAndNetworkOnlyWhenAskedAndOnlyByNameAndGuid) {
    for (const bool disks : {false, true}) {
        for (const bool network : {false, true}) {
            SCOPED_TRACE(testing::Message() << "disks " << disks << " network " << network);
            SVMInfo vm = StagedVm("x1", "x1-" + std::to_string(disks) + std::to_string(network));
            ASSERT_TRUE(RestoreManaged(vm)) << sdk.GetLastErrorString();
            const azsim::StateDocument made = state.load();
            const azsim::ManagedDisk os = *made.findManagedDisk(made.findVmByGuid(vm.guid)->disks[0].id);
            EXPECT_FALSE(sdk.DeleteVM("x1", "", disks, network));
            EXPECT_FALSE(sdk.DeleteVM("x1", kWebGuid, disks, network));
            EXPECT_EQ(sdk.GetLastErrorCode(), AzureSDKCppBridge::SDK_ERR_NOT_FOUND);
            ASSERT_NE(state.load().findVmByGuid(kWebGuid), nullptr);

            ASSERT_TRUE(sdk.DeleteVM("x1", vm.guid, disks, network)) << sdk.GetLastErrorString();
            const azsim::StateDocument doc = state.load();
            EXPECT_EQ(doc.findVm("x1"), nullptr);
            const azsim::ManagedDisk* kept = doc.findManagedDisk(os.id);
            const azsim::NetworkInterface* nic = doc.findNetworkInterface("x1-nic0");
            const azsim::PublicIpAddress* ip = doc.findPublicIp("x1-ip");
            EXPECT_EQ(kept ? kept->state : "gone", disks ? "gone" : "Unattached");  // kept ones are detached
            EXPECT_EQ(state.blobs().exists(os.blob), !disks);
            EXPECT_EQ(nic ? nic->virtualMachine : "gone", network ? "gone" : "");
            EXPECT_EQ(ip ? ip->virtualMachine : "gone", network ? "gone" : "");
        }
    }
    const azsim::StateDocument after = state.load();
    EXPECT_TRUE(after.networkInterfaces.empty() && after.publicIps.empty());  // kept ones were taken over
    // An unmanaged VM's disks are its page blobs.
    const azsim::BlobKey legacyOs{"legacystore01", "vhds", "legacy-vm01-osdisk.vhd"};
    ASSERT_TRUE(sdk.DeleteVM("legacy-vm01", "1e2f3a4b-5c6d-4e7f-8a9b-0c1d2e3f4a5b", true, false));
    EXPECT_FALSE(state.blobs().exists(legacyOs));
    EXPECT_EQ(state.load().findUnmanagedDisk(legacyOs), nullptr);
}

// A kept interface is taken over by an in-place deployment of its VM's name, bringing its address; one that
// another VM holds refuses the deployment.
TEST_F(RestoreOperations, AKeptInterfaceIsTakenOverButNotOneAnotherVmHolds) {
    SVMInfo vm = StagedVm("k1");
    ASSERT_TRUE(RestoreManaged(vm));
    const std::string nicId = state.load().findNetworkInterface("k1-nic0")->id;
    ASSERT_TRUE(sdk.DeleteVM("k1", vm.guid, false, false));
    auto redeploy = [&](const std::string& os) {  // in place, asking for no address
        SVMInfo again = vm;
        again.guid.clear();
        again.disks = {BlobDisk(os, true, 0)};
        Stage(os, 'o');
        return sdk.RestoreVM(again, os, "", false, true, true, true, "", "", true, false);
    };
    ASSERT_TRUE(redeploy("k2-os.vhd")) << sdk.GetLastErrorString();
    const azsim::StateDocument doc = state.load();
    ASSERT_TRUE(doc.networkInterfaces.size() == 1 && doc.publicIps.size() == 1);
    EXPECT_EQ(std::tie(doc.networkInterfaces[0].id, doc.publicIps[0].virtualMachine),
              std::tie(nicId, doc.networkInterfaces[0].virtualMachine));
    Edit([](azsim::StateDocument& d) {  // now held by a VM of another name
        d.findNetworkInterface("k1-nic0")->virtualMachine =
            "/subscriptions/x/resourceGroups/rg-prod/providers/Microsoft.Compute/virtualMachines/other";
        d.vms.erase(std::remove_if(d.vms.begin(), d.vms.end(),
                                   [](const azsim::VirtualMachine& v) { return v.name == "k1"; }),
                    d.vms.end());
    });
    EXPECT_FALSE(redeploy("k3-os.vhd"));
    EXPECT_TRUE(ErrorHas("Network interface 'k1-nic0' belongs to another VM")) << sdk.GetLastErrorString();
}

// Clean-up removes only what carries this job's tag: its VM with disks and network, the listed disks it made.
TEST_F(RestoreOperations, CleanupRemovesOnlyWhatThisJobTagged) {
    // Job 7's VM with imported disks, a direct-upload disk of job 7, and in rg-test an untagged disk of that name.
    SVMInfo vm = StagedVm("c1");
    ASSERT_TRUE(RestoreManaged(vm));
    const SDisk uploaded = ManagedEntry(Upload("c1-spare", false), false, 0),
                twin = ManagedEntry(Upload("c1-spare", false, "rg-test"), false, 0);
    Edit([](azsim::StateDocument& doc) { doc.findManagedDiskByName("c1-spare", "rg-test")->tags.clear(); });

    CAzureSDKCppBridge other;  // another job's wrapper removes none of it, and says why for the VM
    Connect(other, 8);
    const std::string before = StateBytes();
    EXPECT_FALSE(other.CleanupRestoreVM(vm, {vm.disks[0], uploaded}, true));
    EXPECT_NE(other.GetLastErrorString().find("was not created by job " + testsupport::JobGuidOf(8)),
              std::string::npos);
    EXPECT_EQ(StateBytes(), before);

    ASSERT_TRUE(sdk.CleanupRestoreVM(vm, {vm.disks[0], vm.disks[1], uploaded, twin}, true)) << sdk.GetLastErrorString();
    const azsim::StateDocument doc = state.load();
    EXPECT_TRUE(!doc.findVmByGuid(vm.guid) && !doc.findManagedDiskByName("c1-os") &&
                !doc.findManagedDiskByName("c1-spare", "rg-prod"));
    EXPECT_NE(doc.findManagedDiskByName("c1-spare", "rg-test"), nullptr);
    EXPECT_TRUE(doc.networkInterfaces.empty() && doc.publicIps.empty());
    EXPECT_TRUE(sdk.CleanupRestoreVM(vm, {uploaded}, true));  // nothing left: true
    SVMInfo demo;
    demo.guid = kWebGuid;
    EXPECT_FALSE(sdk.CleanupRestoreVM(demo, {}, true));
    EXPECT_NE(state.load().findVm("web-linux01"), nullptr);

    // An unmanaged VM of this job goes with the page blobs the job created.
    const azsim::BlobKey os = Stage("c2-os.vhd", 'o', "legacystore01");
    SVMInfo legacy = Vm("c2", "rg-legacy", "Standard_A2");
    legacy.disks = {BlobDisk("c2-os.vhd", true, 0, "legacystore01")};
    ASSERT_TRUE(sdk.RestoreVM(legacy, "c2-os.vhd", "", false, false, false, true, "", "", false, false));
    ASSERT_TRUE(sdk.CleanupRestoreVM(legacy, legacy.disks, false));
    EXPECT_FALSE(state.blobs().exists(os));
    EXPECT_TRUE(state.blobs().exists({"legacystore01", "vhds", "legacy-vm01-osdisk.vhd"}));
}

// A restore of page blobs and its clean-up, and the cross-subscription question, need no state of the cloud's
// own: a wrapper signed in to a real subscription deploys the VM and removes it with its blobs over the protocols
// alone, and answers the question as the one with the state does. Only a configuration's VM id tells the
// subscription it was backed up from, and a text naming none says so.
TEST_F(RestoreOperations, RestoreCleanupAndTheSubscriptionQuestionGoOverTheProtocolsAlone) {
    NXPlatformInfo::removeValue("CloudSdk", "sStateFolder");
    unsetenv("VSA_CLOUD_STATE");
    CAzureSDKCppBridge remote;
    Connect(remote, 7);
    SVMInfo p1 = Vm("p1", "rg-legacy", "Standard_A2");
    p1.disks = {BlobDisk("p1-os.vhd", true, 0, "legacystore01")};
    const azsim::BlobKey p1os{"legacystore01", "vhds", "p1-os.vhd"};
    ASSERT_TRUE(remote.CreatePageBlob("", "legacystore01", "vhds", "p1-os.vhd", kMiB));
    ASSERT_TRUE(remote.RestoreVM(p1, "p1-os.vhd", "", false, false, false, true, "", "", false, false))
        << remote.GetLastErrorString();
    EXPECT_EQ(state.load().findVmByGuid(p1.guid)->disks.at(0).id, azsim::PageBlobUri(p1os));
    ASSERT_TRUE(remote.CleanupRestoreVM(p1, p1.disks, false)) << remote.GetLastErrorString();
    EXPECT_TRUE(!state.load().findVm("p1") && !state.blobs().exists(p1os));
    const std::string vm = "/resourceGroups/g/providers/Microsoft.Compute/virtualMachines/v";
    for (CAzureSDKCppBridge* wrapper : {&sdk, &remote}) {
        for (const std::string unreadable : {"", "{oops", "[]", R"({"id": 5})", R"({"id": "/not/an/id"})"}) {
            EXPECT_FALSE(wrapper->IsCrossSubscriptionRestore(unreadable)) << unreadable;
            EXPECT_NE(wrapper->GetLastErrorString().find("names no VM resource id"), std::string::npos) << unreadable;
        }
        const std::string own = std::string("/subscriptions/") + SimulatedCloud::kSubscriptionId + vm;
        EXPECT_FALSE(wrapper->IsCrossSubscriptionRestore(nlohmann::json{{"id", own}}.dump()));
        EXPECT_TRUE(wrapper->IsCrossSubscriptionRestore(nlohmann::json{{"id", "/subscriptions/other" + vm}}.dump()))
            << wrapper->GetLastErrorString();
    }
}

}  // namespace
