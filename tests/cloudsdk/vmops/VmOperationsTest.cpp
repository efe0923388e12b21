// VM operations of the SDK wrapper over the demo subscription: power, the deploy and clone forms, configuration
// blobs, reconfiguration, OS-disk registration and managed disks from a page blob's integrity snapshot.
#include "tests/cloudsdk/restore/WrapperFixture.h"

using namespace wrappertest;

namespace {

const char* const kLegacyGuid = "1e2f3a4b-5c6d-4e7f-8a9b-0c1d2e3f4a5b";  // legacy-vm01's, deallocated
const char* const kTemplate = "tmpl-web-linux";  // an image of the subscription

class VmOperations : public WrapperTest {
protected:
    // An unattached managed disk of 1 MiB in rg-prod; returns its id.
    std::string Upload(const std::string& name, bool os) {
        return WrapperTest::Upload(name, os, "rg-prod", "Standard_B2s", "");
    }
    // A VM of two fresh managed disks in rg-prod on vnet-prod/backend: the OS disk and a data disk at LUN 2.
    SVMInfo NewVm(const std::string& name) {
        SVMInfo vm = Vm(name, "rg-prod", "Standard_B2s");
        vm.nics = {{"", "vnet-prod", "backend"}};
        vm.disks = {ManagedEntry(Upload(name + "-os", true), true, 0),
                    ManagedEntry(Upload(name + "-data", false), false, 2)};
        return vm;
    }
    std::string Config(const std::string& group, const std::string& vm) {
        std::string text, dek, kek;
        EXPECT_TRUE(sdk.GetVMConfigurationAndKeyBackups(group, vm, text, dek, kek));
        return text;
    }
};

// A repeated start or stop, or a stop of a stopped VM, succeeds and changes nothing; a GUID that is not the named
// VM's changes nothing.
TEST_F(VmOperations, StartAndStopAreIdempotentAndCheckTheGuid) {
    using azsim::PowerState;
    struct Step { const char *what, *vm; bool start; std::string guid; bool ok; PowerState after; };
    const char* const legacy = "legacy-vm01";
    const Step steps[] = {{"start", legacy, true, kLegacyGuid, true, PowerState::Running},
                          {"start again", legacy, true, "", true, PowerState::Running},
                          {"stop by another VM's GUID", legacy, false, kWebGuid, false, PowerState::Running},
                          {"stop by name alone", legacy, false, "", true, PowerState::Deallocated},
                          {"stop again", legacy, false, kLegacyGuid, true, PowerState::Deallocated},
                          {"start by another VM's GUID", legacy, true, kWebGuid, false, PowerState::Deallocated},
                          {"stop a stopped VM", "ultra-vm01", false, "", true, PowerState::Stopped}};
    for (const Step& s : steps) {
        const std::string before = Everything();
        const PowerState was = state.load().findVm(s.vm)->powerState;
        const bool ok = s.start ? sdk.StartVM(s.vm, s.guid) : sdk.ShutdownVM(s.vm, s.guid, true);
        EXPECT_EQ(ok, s.ok) << s.what << ": " << sdk.GetLastErrorString();
        EXPECT_EQ(state.load().findVm(s.vm)->powerState, s.after) << s.what;
        EXPECT_TRUE(ok || sdk.GetLastErrorCode() == AzureSDKCppBridge::SDK_ERR_NOT_FOUND) << s.what;
        EXPECT_TRUE((ok && was != s.after) || Everything() == before) << s.what;
    }
}

// Each deploy form creates a VM with the asked size, network and disks, fills the GUID, tags what it makes, and
// leaves the VM deallocated without deployFlag; a clone's disks are copies of the source's.
TEST_F(VmOperations, EachDeployFormCreatesTheAskedVm) {
    struct Form {
        const char* name;
        std::function<bool(SVMInfo&)> deploy;
        std::string subnet, size;
        bool running;
        size_t disks;
    };
    const std::string webConfig = Config("rg-prod", "web-linux01");
    const Form forms[] = {
        {"dvm", [&](SVMInfo& vm) { return sdk.DeployVM(vm, kTemplate, true); }, "backend", "Standard_B2s", true, 2},
        {"dos",
         [&](SVMInfo& vm) {
             vm.disks[0].isOsDisk = false;  // the OS disk is the one named
             return sdk.DeployVMFromOSDisk(vm, vm.disks[0].managedDiskId, false, true);
         },
         "backend", "Standard_B2s", false, 2},
        {"dcfg",
         [&](SVMInfo& vm) {
             vm.vmSize.clear();  // size and network from the configuration
             vm.nics.clear();
             return sdk.DeployVMFromConfig(webConfig, vm, false);
         },
         "default", "Standard_D2s_v3", false, 2},
        {"clone",
         [&](SVMInfo& vm) {
             vm.vmSize = "Standard_D4s_v3";
             vm.nics.clear();
             return sdk.CloneVMFromConfig(webConfig, vm);
         },
         "default", "Standard_D4s_v3", true, 3}};
    for (const Form& f : forms) {
        SVMInfo vm = NewVm(f.name);
        ASSERT_TRUE(f.deploy(vm)) << f.name << ": " << sdk.GetLastErrorString();
        const azsim::StateDocument doc = state.load();
        const azsim::VirtualMachine* made = doc.findVmByGuid(vm.guid);
        ASSERT_NE(made, nullptr) << f.name;
        ASSERT_EQ(made->nics.size(), 1u) << f.name;
        EXPECT_EQ(std::tie(made->name, made->size, made->powerState, made->tags.at("createdByJob"), made->nics[0].name,
                           made->nics[0].subnetId),
                  std::make_tuple(f.name, f.size, f.running ? azsim::PowerState::Running : azsim::PowerState::Deallocated,
                                  testsupport::JobGuidOf(7), std::string(f.name) + "-nic0",
                                  azsim::SubnetId(SimulatedCloud::kSubscriptionId, "rg-prod", "vnet-prod", f.subnet)));
        ASSERT_EQ(made->disks.size(), f.disks) << f.name;
        EXPECT_EQ(made->disks[0].lun, -1);
        for (const azsim::DiskAttachment& a : made->disks)
            EXPECT_EQ(doc.findManagedDisk(a.id)->state, "Attached") << f.name << " " << a.id;
        if (f.disks == 2) {
            EXPECT_EQ(made->disks[0].id, vm.disks[0].managedDiskId) << f.name;
            EXPECT_EQ(made->disks[1].lun, 2) << f.name;
            continue;
        }
        // The clone runs on copies of the source's disks, holding their bytes, and leaves the source's disks
        // where they are.
        const azsim::VirtualMachine* source = doc.findVmByGuid(kWebGuid);
        EXPECT_EQ(made->osType + made->zones, "Linux1");
        for (size_t i = 0; i < made->disks.size(); ++i) {
            const azsim::ManagedDisk* copy = doc.findManagedDisk(made->disks[i].id);
            const azsim::ManagedDisk* original = doc.findManagedDisk(source->disks.at(i).id);
            ASSERT_TRUE(copy && original);
            EXPECT_EQ(std::tie(copy->name, made->disks[i].lun, copy->sourceId, copy->tags.at("createdByJob"),
                               original->state),
                      std::make_tuple(i ? "clone-data" + std::to_string(source->disks[i].lun) : "clone-osdisk",
                                      source->disks[i].lun, original->id, testsupport::JobGuidOf(7), "Attached"));
            EXPECT_EQ(Read(copy->blob), Read(original->blob));
        }
    }
}

// A taken name, a size the region does not offer or a missing network refuses every form and leaves the
// subscription exactly as it was, disk copies of a clone included.
TEST_F(VmOperations, RefusedDeploysLeaveTheSubscriptionUnchanged) {
    struct Refusal { const char* what; std::function<void(SVMInfo&)> spoil; const char* text; };
    const Refusal refusals[] = {
        {"taken name", [](SVMInfo& vm) { vm.name = "web-linux01"; }, "already exists"},
        {"size not offered", [](SVMInfo& vm) { vm.vmSize = "Standard_Z9"; }, "SkuNotAvailable"},
        {"missing network", [](SVMInfo& vm) { vm.nics = {{"", "vnet-nowhere", ""}}; }, "vnet-nowhere"}};
    const std::string config = Config("rg-prod", "web-linux01");
    const std::function<bool(SVMInfo&)> forms[] = {
        [&](SVMInfo& vm) { return sdk.DeployVM(vm, "", true); },
        [&](SVMInfo& vm) { return sdk.DeployVMFromOSDisk(vm, "", true, false); },
        [&](SVMInfo& vm) { return sdk.DeployVMFromConfig(config, vm, true); },
        [&](SVMInfo& vm) { return sdk.CloneVMFromConfig(config, vm); }};
    const SVMInfo good = NewVm("n1");
    const std::string before = Everything();
    for (const Refusal& r : refusals)
        for (size_t i = 0; i < std::size(forms); ++i) {
            SVMInfo vm = good;
            r.spoil(vm);
            EXPECT_FALSE(forms[i](vm)) << r.what << ", form " << i;
            EXPECT_NE(sdk.GetLastErrorString().find(r.text), std::string::npos)
                << r.what << ", form " << i << ": " << sdk.GetLastErrorString();
            EXPECT_TRUE(vm.guid.empty());
            EXPECT_EQ(Everything(), before) << r.what << ", form " << i;
        }
    SVMInfo vm = good;
    EXPECT_FALSE(sdk.DeployVMFromOSDisk(vm, "not-a-disk", true, false)) << "an OS disk not listed";
    EXPECT_FALSE(sdk.DeployVM(vm, "00000000-0000-0000-0000-000000000000", true)) << "an unknown source VM";
    EXPECT_EQ(Everything(), before);
}

// The configuration blob's one name, its download, and the failures of a missing blob or a page blob.
TEST_F(VmOperations, ConfigBlobsAreNamedOnceAndDownloaded) {
    EXPECT_EQ(CAzureSDKCppBridge::VmConfigBlobName("RG1", "Web01"), "rg1-web01.json");
    const std::string name = CAzureSDKCppBridge::VmConfigBlobName("rg-prod", "Web-Linux01");
    ASSERT_TRUE(state.blobs().putBlockBlob({"prodstaging01", "vhds", name}, "{\"name\": \"web\"}", nullptr));
    Stage("disk.vhd", 'x', "prodstaging01");
    std::string text = "kept";
    EXPECT_FALSE(sdk.DownloadBlockBlobToString("prodstaging01", "vhds", "rg-prod-other.json", text));
    EXPECT_EQ(sdk.GetLastErrorCode(), AzureSDKCppBridge::SDK_ERR_NOT_FOUND);
    EXPECT_FALSE(sdk.DownloadBlockBlobToString("prodstaging01", "vhds", "disk.vhd", text));
    EXPECT_FALSE(sdk.DownloadBlockBlobToString("nosuchaccount", "vhds", name, text));
    EXPECT_EQ(text, "kept");
    ASSERT_TRUE(sdk.DownloadBlockBlobToString("PRODSTAGING01", "vhds", name, text)) << sdk.GetLastErrorString();
    EXPECT_EQ(text, "{\"name\": \"web\"}");
}

// A size change and data disks by LUN: new disks are attached, a disk no longer listed is detached and kept;
// a size not offered or not fitting the VM changes nothing.
TEST_F(VmOperations, ReconfigureChangesSizeAndDataDisksByLun) {
    const std::string extra = Upload("extra", false);
    azsim::StateDocument doc = state.load();
    const azsim::VirtualMachine web = *doc.findVmByGuid(kWebGuid);
    SVMInfo vm = Vm("web-linux01", "rg-prod", "");
    vm.guid = kWebGuid;
    vm.disks = {ManagedEntry(web.disks[0].id, true, 0), ManagedEntry(web.disks[1].id, false, 0),
                ManagedEntry(extra, false, 5)};
    struct Refusal { const char* what; std::string size, guid; };
    const std::string before = Everything();
    for (const Refusal& r : {Refusal{"size not offered", "Standard_Z9", kWebGuid},
                             Refusal{"size without premium storage", "Standard_A2", kWebGuid},
                             Refusal{"another VM's GUID", "Standard_D4s_v3", kLegacyGuid}}) {
        SVMInfo bad = vm;
        bad.vmSize = r.size;
        bad.guid = r.guid;
        EXPECT_FALSE(sdk.ReconfigureVM(bad)) << r.what;
        EXPECT_EQ(Everything(), before) << r.what;
    }
    SVMInfo taken = vm;
    taken.vmSize = "Standard_D4s_v3";
    taken.disks.push_back(ManagedEntry(doc.findVmByGuid("8c2d4e6f-1a3b-4c5d-9e7f-a0b1c2d3e4f5")->disks[1].id, false, 6));
    EXPECT_FALSE(sdk.ReconfigureVM(taken)) << "a disk of another VM";

    // A size's data-disk limit counts the data disks exactly: one over it is refused, exactly the limit passes.
    SVMInfo full = vm;
    full.vmSize = "Standard_D2s_v3";  // at most 4 data disks
    full.disks.push_back(ManagedEntry(Upload("extra2", false), false, 6));
    full.disks.push_back(ManagedEntry(Upload("extra3", false), false, 7));
    SVMInfo over = full;
    over.disks.push_back(ManagedEntry(Upload("extra4", false), false, 8));
    EXPECT_FALSE(sdk.ReconfigureVM(over));
    EXPECT_NE(sdk.GetLastErrorString().find("is 4; 5 were given"), std::string::npos) << sdk.GetLastErrorString();
    ASSERT_TRUE(sdk.ReconfigureVM(full)) << sdk.GetLastErrorString();
    EXPECT_EQ(state.load().findVmByGuid(kWebGuid)->disks.size(), 5u);

    vm.vmSize = "Standard_D4s_v3";
    ASSERT_TRUE(sdk.ReconfigureVM(vm)) << sdk.GetLastErrorString();
    doc = state.load();
    EXPECT_EQ(doc.findVmByGuid(kWebGuid)->size, "Standard_D4s_v3");
    EXPECT_EQ(Attachments("web-linux01"), (DiskList{{web.disks[0].id, -1}, {web.disks[1].id, 0}, {extra, 5}}));
    EXPECT_EQ(doc.findManagedDisk(extra)->state, "Attached");
    const azsim::ManagedDisk* dropped = doc.findManagedDisk(web.disks[2].id);
    ASSERT_NE(dropped, nullptr) << "a data disk no longer listed is kept";
    EXPECT_EQ(dropped->state, "Unattached");
}

// Registration refuses a missing blob; a registered blob gives a VM deployed from it its OS type.
TEST_F(VmOperations, RegisteredOsDiskBlobGivesItsOsType) {
    const std::string before = Everything();
    EXPECT_FALSE(sdk.RegisterBlobAsOSDisk("legacystore01", "vhds", "missing.vhd", true));
    EXPECT_EQ(sdk.GetLastErrorCode(), AzureSDKCppBridge::SDK_ERR_NOT_FOUND);
    EXPECT_EQ(Everything(), before);
    Stage("win-os.vhd", 'w', "legacystore01");
    ASSERT_TRUE(sdk.RegisterBlobAsOSDisk("legacystore01", "vhds", "win-os.vhd", true)) << sdk.GetLastErrorString();
    SVMInfo vm = Vm("w1", "rg-legacy", "Standard_A2");
    vm.disks = {BlobDisk("win-os.vhd", true, 0, "legacystore01")};
    ASSERT_TRUE(sdk.DeployVM(vm, "", true)) << sdk.GetLastErrorString();
    const azsim::StateDocument doc = state.load();
    EXPECT_EQ(std::tie(doc.findVmByGuid(vm.guid)->osType, doc.findVmByGuid(vm.guid)->managed),
              std::make_tuple("Windows", false));
}

// A managed disk made from a page blob's integrity snapshot holds the snapshot's bytes, not the blob's later ones.
TEST_F(VmOperations, ManagedDiskFromIntegritySnapshotHoldsTheSnapshotsBytes) {
    const azsim::BlobKey blob = Stage("src.vhd", 'a', "legacystore01");
    SDisk disk;
    disk.uri = azsim::PageBlobUri(blob);
    std::string guid;
    std::vector<SDisk> snapped;
    ASSERT_TRUE(sdk.CreateDiskSnapshots({disk}, "rg-legacy", "germanywestcentral", "legacy-vm01", 1, 7, guid, snapped))
        << sdk.GetLastErrorString();
    const std::string snapshotBytes = Read(blob);
    Stage("src.vhd", 'b', "legacystore01");
    const std::string before = Everything();
    std::string id;
    auto create = [&](const std::string& setGuid) {
        return sdk.CreateManagedDiskFromSnapshot(disk.uri, "germanywestcentral", setGuid, "d1", "rg-legacy",
                                                 "germanywestcentral", "Standard_A2", "Standard_LRS", "", false, true,
                                                 false, "", id);
    };
    EXPECT_FALSE(create("another-guid"));
    EXPECT_EQ(Everything(), before);
    ASSERT_TRUE(create(guid)) << sdk.GetLastErrorString();
    const azsim::StateDocument doc = state.load();
    const azsim::ManagedDisk* made = doc.findManagedDisk(id);
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(std::tie(made->sizeBytes, made->tags.at("createdByJob"), made->state),
              std::make_tuple(static_cast<std::uint64_t>(kMiB), testsupport::JobGuidOf(7), "Unattached"));
    EXPECT_EQ(Read(made->blob), snapshotBytes);
    EXPECT_NE(Read(blob), snapshotBytes);
}

// DeleteVM stops at the first request the cloud refuses and reports it, keeping what it had not reached; what it
// could not ask about is never taken as absent.
TEST_F(VmOperations, DeleteVmStopsAtTheFirstRefusedRequest) {
    struct Row { const char *method, *path; bool vmGone, disksGone, nicGone; } const rows[] = {
        {"", "", true, true, true},  // nothing refused: all of it goes
        {"GET", "*/virtualMachines", false, false, false},
        {"GET", "*/networkInterfaces/*", false, false, false},
        {"DELETE", "*/virtualMachines/*", false, false, false},
        {"DELETE", "*/disks/*", true, false, false},
        {"DELETE", "*/networkInterfaces/*", true, true, false},
    };
    azsim::FaultBook faults(cloud.dir());
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.method) + " " + row.path);
        SVMInfo vm = NewVm("del" + std::to_string(&row - rows));
        ASSERT_TRUE(sdk.DeployVM(vm, kTemplate, true)) << sdk.GetLastErrorString();
        const std::string nic = state.load().findVm(vm.name)->nics.at(0).name;
        const bool refused = *row.method != '\0';
        if (refused) faults.addHttpFault({row.method, row.path, azsim::HttpFaultKind::Status, 409, "Conflict", 0, 0, -1});
        EXPECT_NE(sdk.DeleteVM(vm.name, vm.guid, true, true), refused);
        EXPECT_EQ(refused, sdk.GetLastErrorCode() == AzureSDKCppBridge::SDK_ERR_GENERAL && ErrorHas("Conflict"))
            << sdk.GetLastErrorString();
        faults.clear();
        const azsim::StateDocument doc = state.load();
        EXPECT_EQ(std::make_tuple(!doc.findVm(vm.name), !doc.findManagedDiskByName(vm.name + "-os") &&
                                                            !doc.findManagedDiskByName(vm.name + "-data"),
                                  !doc.findNetworkInterface(nic) && !doc.findVm(vm.name)),
                  std::make_tuple(row.vmGone, row.disksGone, row.nicGone));
    }
}

}  // namespace
