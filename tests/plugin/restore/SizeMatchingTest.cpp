// VM size matching: the best-match scan over hand-made size lists, and the validation of a requested size
// against the demo subscription's West Europe sizes (A2 standard; B2s, D2s_v3, D4s_v3, E4s_v3 premium-capable,
// Gen 2, zones 1,2,3).
#include "tests/plugin/restore/RestoreFixture.h"

namespace restoretest {
namespace {

class SizeMatching : public RestoreTest {};

SVMSizeInfo Size(const std::string& uuid, int disks, int nics, int cpus, int memoryMB, bool premium = false,
                 bool gen2 = false, const std::string& zones = "") {
    return {uuid, uuid, cpus, disks, memoryMB, nics, premium, gen2, zones};
}

// The best match is only replaced by a fitting candidate no larger in any value and offering the requested zones;
// confidential sizes never match.
TEST_F(SizeMatching, BestMatchReplacesTheBestOnlyWithACandidateNoLargerInAnyValue) {
    const SVMSizeInfo a = Size("A", 4, 2, 2, 8192), b = Size("B", 8, 2, 2, 4096), small = Size("N1", 2, 1, 2, 4096);
    const SVMSizeInfo z1 = Size("Z1", 2, 1, 2, 4096, false, false, "1"), three = Size("N3", 4, 3, 2, 8192);
    const SVMSizeInfo z123 = Size("Z123", 4, 2, 2, 8192, false, false, "1,2,3");
    const VirtualServerInstanceType arm = VSINST_AZURE_RESOURCE_MANAGER;
    const SVMSizeInfo standard = Size("S", 4, 2, 2, 4096), premium = Size("P", 4, 2, 2, 4096, true);
    struct Case { VirtualServerInstanceType type; std::vector<SVMSizeInfo> sizes; int nics; const char* zones;
                  bool gen2; const char* expected; bool premiumStorage = false; } cases[] = {
        {arm, {a, b}, 1, "", false, "A"},  // B has more disks
        {arm, {b, a}, 1, "", false, "B"},  // A has more memory
        {arm, {Size("Standard_DC2s", 2, 1, 2, 4096), a}, 1, "", false, "A"},
        {arm, {z1, z123}, 1, "1, 2", false, "Z123"},  // spaces around a zone do not count
        {arm, {z1}, 1, "none", false, "Z1"},  // "None" in any case asks for no zone
        {arm, {Size("G1", 2, 1, 2, 4096), Size("G2", 4, 2, 2, 8192, false, true)}, 1, "", true, "G2"},
        {arm, {small, three}, 3, "", false, "N3"},
        {VSINST_AZURE_STACK_HUB, {small, three}, 3, "", false, "N1"},  // NICs are not counted on Stack
        {arm, {Size("Small", 1, 1, 1, 1024)}, 1, "", false, ""},
        {arm, {Size("T1", 4, 2, 2, 8192), Size("T2", 4, 2, 2, 8192)}, 1, "", false, "T2"},  // a tie: the later one
        // Premium storage restricts the search to premium-capable sizes, which are also the fallback otherwise.
        {arm, {premium, standard}, 1, "", false, "S"},       {arm, {premium, standard}, 1, "", false, "P", true},
        {arm, {premium}, 1, "", false, "P"},                 {arm, {standard}, 1, "", false, "", true},
        {arm, {premium, standard}, 1, "", true, ""},  // neither runs Gen 2
    };
    for (const Case& c : cases) {
        TestPlugin plugin(c.type, 0);
        SVMSizeInfo required = Size("", 2, c.nics, 2, 4096, false, false, c.zones), best;
        EXPECT_EQ(plugin.GetBestMatchingVMSizeInfo(c.sizes, required, c.premiumStorage, c.gen2, best), !!*c.expected);
        EXPECT_EQ(best.uuid, c.expected) << &c - cases;
    }
}

// A requested size is validated against the destination (the OS disk and NICs without a network not counted): it
// must hold the VM's data disks, NICs and generation; with auto-selection a fitting one replaces it.
TEST_F(SizeMatching, RequestedSizeIsValidatedOrReplaced) {
    const char *standard = "prodstaging01", *premium = "prodpremium01";
    const char* const noFit = "Failed to auto select VM Size for VM [restored01] ";
    // nics: NICs on a network (one without a network is added); gen2: the source runs Gen 2.
    struct Case { const char* size; int dataDisks, nics; bool gen2; const char *zones, *account; bool managed;
                  int memoryMB, cpus; bool autoSelect; const char *after, *refusal; } cases[] = {
        {"Standard_D2s_v3 (2 vcpus)", 1, 1, false, "", standard, false, 4096, 2, false, "Standard_D2s_v3", nullptr},
        {"Standard_D2s_v3", 4, 1, true, "", standard, false, 4096, 2, false, "Standard_D2s_v3", nullptr},
        {"Standard_D2s_v3", 5, 1, false, "", standard, false, 4096, 2, false, "Standard_D2s_v3",
         "Selected VM Size [Standard_D2s_v3] only supports [4] disks"},
        {"Standard_D2s_v3", 1, 2, false, "", standard, false, 4096, 2, false, "Standard_D2s_v3", nullptr},
        {"Standard_D2s_v3", 1, 3, false, "", standard, false, 4096, 2, false, "Standard_D2s_v3",
         "Selected VM Size [Standard_D2s_v3] only supports [2] NICs"},
        {"Standard_A2", 1, 1, true, "", standard, false, 2048, 2, false, "Standard_A2",
         "Selected VM Size [Standard_A2] does not support Gen 2 VMs"},
        {"Standard_A2", 1, 1, false, "1,2", standard, false, 2048, 2, false, "Standard_A2",
         "Selected VM Size [Standard_A2] does not supports Azure Availability Zones [1,2]"},
        {"Standard_A2", 1, 1, false, "1,2", standard, false, 2048, 2, true, "Standard_B2s", nullptr},
        {"Standard_A2", 1, 1, false, "", premium, false, 2048, 2, false, "Standard_A2",
         "Selected VM Size [Standard_A2] could not be deployed in a premium storage account [prodpremium01]"},
        {"Standard_A2", 1, 1, false, "", premium, false, 2048, 2, true, "Standard_B2s", nullptr},
        {"Standard_Z9", 1, 1, false, "", standard, false, 2048, 2, true, "Standard_A2", nullptr},  // standard first
        {"Standard_A2", 1, 1, false, "", premium, true, 2048, 2, false, "Standard_A2", nullptr},  // managed: not checked
        {"Standard_Z9", 1, 1, false, "", premium, true, 2048, 2, true, "Standard_B2s", nullptr},
        {"Standard_Z9", 1, 1, false, "", "", true, 2048, 2, true, "Standard_A2", nullptr},  // no account looked up
        {"Standard_Z9", 1, 1, false, "", standard, false, 4096, 64, true, "Standard_Z9", noFit},
        {"Standard_Z9", 1, 1, false, "", standard, false, 4096, -1, true, "Standard_Z9", noFit},  // beyond signed range
    };
    auto plugin = Connected();
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        RestoreCtx ctx = Ctx();
        ctx.m_vmSize = c.size;
        ctx.disks = {Disk("os.vhd", c.account, true)};
        ctx.disks.resize(1 + c.dataDisks, Disk("data.vhd", standard));
        ctx.nics.assign(c.nics, ctx.nics[0]);
        ctx.nics.push_back(SVMNetworkCard());
        ctx.originalInfo.firmware = c.gen2 ? "EFI" : "";
        ctx.availabilityZones = ctx.vmInfo.availabilityZones = c.zones;
        ctx.restoreAsManagedVM = c.managed;
        ctx.restoreWithoutConfig = true;  // no failure record for an unknown size
        ctx.vmInfo.memoryMB = c.memoryMB;
        ctx.vmInfo.numCpus = c.cpus;
        plugin->SetLastVMError(VMINFO_ERR_NONE, "");
        EXPECT_EQ(plugin->_ValidateVMSize(ctx, c.autoSelect), !c.refusal);
        EXPECT_EQ(ctx.m_vmSize, c.after);
        EXPECT_EQ(c.refusal ? Error(VMINFO_ERR_VM_SIZE, c.refusal) : LastError(*plugin), LastError(*plugin));
        EXPECT_TRUE(c.refusal || plugin->GetLastVMError() != VMINFO_ERR_STORAGE_ACCOUNT_INFO);
    }
}

// Without a region the sizes come from the resource group; zones the VM holds but the size lacks are dropped, not
// refused; a replica deployed only at failover may not use premium storage.
TEST_F(SizeMatching, SizeSourceDroppedZonesAndPremiumReplicas) {
    auto plugin = Connected();
    RestoreCtx ctx = Ctx();
    ctx.region.clear();
    ctx.m_vmSize = "Standard_D2s_v3";
    EXPECT_TRUE(plugin->_ValidateVMSize(ctx, false));
    ASSERT_EQ(Calls("GetAvailableVMSizesForHost"), 1u);
    EXPECT_EQ(cloud.journal("GetAvailableVMSizesForHost")[0]["args"]["hostName"], "rg-prod");
    EXPECT_EQ(Calls("GetAvailableVMSizesInLocation"), 0u);
    ctx = Ctx();
    ctx.m_vmSize = "Standard_A2";
    ctx.vmInfo.memoryMB = 2048;
    ctx.vmInfo.availabilityZones = "1";
    EXPECT_TRUE(plugin->_ValidateVMSize(ctx, false));
    EXPECT_EQ(ctx.vmInfo.availabilityZones, "");
    ctx = Ctx();
    ctx.restoreType = RESTORE_TYPE_REPLICATION;
    ctx.createVm = false;
    ctx.m_vmSize = "Standard_D2s_v3";
    ctx.disks[1].storageAccount = "prodpremium01";
    EXPECT_FALSE(plugin->_ValidateVMSize(ctx, false));
    EXPECT_EQ(plugin->GetLastVMError(), VMINFO_ERR_PREMIUM_DEPLOY_AT_FAILOVER);
    ctx.createVm = true;
    EXPECT_TRUE(plugin->_ValidateVMSize(ctx, false));
}

// Without a requested size: skipped unless auto-selecting, then the source's size or a default for the VM. A size
// the destination lacks is auto-selected even when the VM (no data disk, no NIC) would pass an empty record's
// limits; only a size the user asked for is reported.
TEST_F(SizeMatching, EmptyOrUnknownSizeIsSkippedDefaultedOrReplaced) {
    const char* const unknown =
        "Requested VM size [Standard_Z9] was not available in the destination location/resource group "
        "[westeurope][rg-prod]. VM [restored01] will be restored with best available size match";
    struct Case { bool autoSelect; const char *requested, *instanceSize, *firmware, *zones, *chosen, *size;
                  bool withoutConfig; const char* failure; } cases[] = {
        {false, "", "Standard_D4s_v3", "", "", nullptr, "", false, nullptr},
        {true, "", "Standard_D4s_v3", "", "", "Standard_D4s_v3", "Standard_D4s_v3", false, nullptr},
        {true, "", "", "", "", "Standard_A1", "Standard_B2s", false, nullptr},
        {true, "", "", "", "None", "Standard_A1", "Standard_B2s", false, nullptr},
        {true, "", "", "EFI", "", "Standard_B1s", "Standard_B2s", false, nullptr},
        {true, "", "", "", "2", "Standard_B1s", "Standard_B2s", false, nullptr},
        {false, "Standard_Z9", "", "", "", nullptr, "Standard_B2s", false, unknown},
        {false, "Standard_Z9", "", "", "", nullptr, "Standard_B2s", true, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.requested) + c.instanceSize + c.firmware + c.zones + (c.withoutConfig ? "!" : ""));
        auto plugin = Connected();
        log.clear();
        RestoreCtx ctx = Ctx();
        ctx.disks.resize(1);
        ctx.nics.clear();
        ctx.m_vmSize = c.requested;
        ctx.restoreWithoutConfig = c.withoutConfig;
        ctx.originalInfo.m_InstanceSize = c.instanceSize;
        ctx.originalInfo.firmware = c.firmware;
        ctx.vmInfo.availabilityZones = c.zones;
        EXPECT_TRUE(plugin->_ValidateVMSize(ctx, c.autoSelect));
        EXPECT_EQ(ctx.m_vmSize, c.size);
        std::vector<std::string> failures, expected;
        for (const auto& f : ctx.restoreFailures) failures.push_back(f.reason);
        if (c.failure) expected.push_back(c.failure);
        EXPECT_EQ(failures, expected);
        EXPECT_EQ(c.chosen != nullptr,
                  log.contains("bool CAzureInfo::_ValidateVMSize(const RestoreCtx&, bool)",
                               std::string("Setting VM Size to [") + (c.chosen ? c.chosen : "") +
                                   "] as no size has been selected by user"));
        EXPECT_TRUE(c.chosen || *c.requested || Calls("GetAvailableVMSizesInLocation") == 0u);
    }
}

}  // namespace
}  // namespace restoretest
