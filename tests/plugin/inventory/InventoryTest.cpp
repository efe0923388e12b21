// Browse tree and inventory queries of the plugin over the demo subscription.
#include <gtest/gtest.h>

#include <stdexcept>

#include "azsim/faults/FaultBook.h"
#include "azsim/model/SubscriptionState.h"
#include "host/sys/Time.h"
#include "plugin/frame/AzureInfo.h"
#include "tests/support/SimulatedCloud.h"

using testsupport::SimulatedCloud;

namespace {

const UINT64 kTemplates = 0x4000000000000000ULL;

// The plugin, counting the Disconnect calls its own steps make.
class CountingPlugin : public CAzureInfo {
public:
    explicit CountingPlugin(VirtualServerInstanceType type) : CAzureInfo(type, 0) {}
    int Disconnect() override {
        ++disconnects;
        return CAzureInfo::Disconnect();
    }
    using CAzureInfo::CopyVMInfoListToInventoryList;
    using CAzureInfo::SortInventoryList;
    int disconnects = 0;
};

SInventoryInfo Node(const std::string& name, std::vector<SInventoryInfo> children = {}) {
    SInventoryInfo node;
    node.name = name;
    node.children = std::move(children);
    return node;
}

class Inventory : public ::testing::Test {
protected:
    void SetUp() override {
        CVMInfo::SetDmiDirectory(cloud.dir() + "/no-dmi");
        // Mixed-case names and a stopped VM make the ordering and the power flag observable.
        state.mutate([](azsim::StateDocument& doc) {
            doc.findVm("app-win01")->name = "Web-App01";
            for (azsim::VirtualMachine& vm : doc.vms)
                vm.powerState = vm.name == "ultra-vm01" ? azsim::PowerState::Deallocated : azsim::PowerState::Running;
            return true;
        });
        plugin = Make(VSINST_AZURE_RESOURCE_MANAGER);
    }
    std::unique_ptr<CountingPlugin> Make(VirtualServerInstanceType type) {
        auto p = std::unique_ptr<CountingPlugin>(new CountingPlugin(type));
        // The classic model signs in with the subscription as the user.
        bool classic = type == VSINST_AZURE_CLASSIC;
        EXPECT_EQ(p->Connect(SimulatedCloud::kSubscriptionId,
                             classic ? SimulatedCloud::kSubscriptionId : SimulatedCloud::kApplicationId,
                             SimulatedCloud::kSecret),
                  1);
        return p;
    }
    std::vector<SInventoryInfo> Browse(const std::string& path, IVMInfo* target = nullptr) {
        std::vector<SInventoryInfo> out;
        EXPECT_EQ((target ? target : plugin.get())->BrowseInventory(path, SInventoryInfo(), out, 7, 3), 1);
        return out;
    }
    static std::vector<std::string> Names(const std::vector<SInventoryInfo>& nodes) {
        std::vector<std::string> names;
        for (const auto& n : nodes) names.push_back(n.name);
        return names;
    }

    SimulatedCloud cloud{SimulatedCloud::Seed::Demo};
    azsim::SubscriptionState state{cloud.dir()};
    testsupport::JobIdentityScope identity{"vsagent", "Instance001", 1};
    EvLogCapture log;
    std::unique_ptr<CountingPlugin> plugin;
};

// View lists come unsorted, per instance type; the lists under them are sorted without case.
TEST_F(Inventory, EveryViewListsItsNodes) {
    auto stack = Make(VSINST_AZURE_STACK_HUB);
    CountingPlugin classic(VSINST_AZURE_CLASSIC);
    const std::vector<std::string> views{"VMs", "Resource Groups", "Regions", "Storage Accounts", "Tags"};
    const std::vector<std::string> prod{"Web-App01", "web-linux01"};
    const struct {
        IVMInfo* target;
        const char* path;
        std::vector<std::string> names;
    } rows[] = {
        {plugin.get(), "", views},
        {stack.get(), "", views},
        {&classic, "", {"VMs", "Cloud Services", "Regions", "Storage Accounts"}},
        {plugin.get(), "VMs", {"legacy-vm01", "secure-db01", "ultra-vm01", "Web-App01", "web-linux01"}},
        {plugin.get(), "vms", {}},
        {plugin.get(), "Unknown View", {}},
        {plugin.get(), "Resource Groups", {"rg-legacy", "rg-prod", "rg-test"}},
        {plugin.get(), "Resource Groups\\no-such-group", {}},
        {plugin.get(), "Cloud Services\\rg-test", {"secure-db01", "ultra-vm01"}},
        {plugin.get(), "Resource Groups\\rg-prod", prod},
        {plugin.get(), "Resource Groups\\rg-prod\\ignored", prod},  // the last host asked for
        {plugin.get(), "Storage Accounts", {"legacystore01", "prodpremium01", "prodstaging01", "testzrs01"}},
    };
    for (const auto& row : rows) EXPECT_EQ(Names(Browse(row.path, row.target)), row.names) << row.path;
    EXPECT_FALSE(Browse("Regions").empty());
    // The caller's flags (7) and option (3) are dropped; only the VM lists ask the wrapper for VMs.
    EXPECT_EQ(cloud.journal("GetHostInfoForHost").back()["args"],
              nlohmann::json({{"hostName", "rg-prod"}, {"flags", 0x20000000u}, {"option", 0}}));
    for (const auto& vm : Browse("VMs")) {
        EXPECT_EQ(vm.type, INVENTORY_TYPE_VM);
        EXPECT_EQ(vm.flags, vm.name == "ultra-vm01" ? 0u : 1u) << vm.name;
        EXPECT_FALSE(vm.id.empty());
    }
    EXPECT_EQ(cloud.journal("GetHostInfoList").back()["args"], nlohmann::json({{"flags", 0x20000000u}, {"option", 0}}));
    for (const auto& g : Browse("Resource Groups")) {
        EXPECT_EQ(g.type, INVENTORY_TYPE_HOST);
        EXPECT_EQ(g.id, g.name);
    }
    plugin->ResetCaches();
    Browse("Resource Groups");
    EXPECT_EQ(cloud.journal("GetHostInfoList").back()["args"], nlohmann::json({{"flags", 0u}, {"option", 0}}));
}

// A plugin whose cache refresh throws what it is given.
template <class Thrown>
class ThrowingPlugin : public CAzureInfo {
public:
    explicit ThrowingPlugin(Thrown thrown) : CAzureInfo(VSINST_AZURE_RESOURCE_MANAGER, 0), thrown_(thrown) {}
    int _RefreshHostInfoCache(UINT64, int) override { throw thrown_; }

private:
    Thrown thrown_;
};

// A browse whose wrapper call fails is logged and still answers, empty; one that throws anything fails.
TEST_F(Inventory, FailedWrapperBrowsesAreLoggedAndAnswerButThrowingOnesFail) {
    EXPECT_FALSE(Browse("Tags").empty());
    EXPECT_FALSE(Browse("Images").empty());
    azsim::FaultBook faults(cloud.dir());
    for (const char* op : {"BrowseRegions", "BrowseStorageAccounts", "BrowseTags", "BrowseImages", "GetHostInfoForHost"})
        faults.addSdkFault({op, 0, "throttled", 1});
    SInventoryInfo parent = Node("root");
    for (const char* path : {"Regions", "Storage Accounts", "Tags", "Images", "Resource Groups\\rg-prod"}) {
        std::vector<SInventoryInfo> out;
        EXPECT_EQ(plugin->BrowseInventory(path, parent, out, 0, 0), 1) << path;
        EXPECT_TRUE(out.empty()) << path;
    }
    EXPECT_EQ(cloud.journal("BrowseRegions").back()["args"]["parent"], "root");
    for (const std::string what : {"Regions", "StorageAccounts", "Tags"})
        EXPECT_TRUE(log.containsError("bool CAzureInfo::Browse" + what + "(SInventoryInfo, std::vector<SInventoryInfo>&)",
                                      "Failed to Browse Azure " + what + " for Node [root], Error [throttled]"))
            << what;
    EXPECT_TRUE(log.texts("bool CAzureInfo::BrowseHostList(const string&, std::vector<SInventoryInfo>&, UINT64, int)")
                    .empty());

    ThrowingPlugin<std::runtime_error> standard(std::runtime_error("bad"));
    ThrowingPlugin<int> foreign(42);
    for (IVMInfo* target : std::vector<IVMInfo*>{&standard, &foreign}) {
        log.clear();
        std::vector<SInventoryInfo> out;
        EXPECT_EQ(target->BrowseInventory("VMs", SInventoryInfo(), out, 0, 0), 0);
        EXPECT_TRUE(log.containsError("virtual int CAzureInfo::BrowseInventory(const string&, const SInventoryInfo&, "
                                      "std::vector<SInventoryInfo>&, UINT64, int)",
                                      "Caught unhandled exception"));
    }
}

// Lists are sorted without case at every level; the GUID map keeps the later of two VMs; VM lists per inventory
// object append to what the caller holds, and a VM node is refused.
TEST_F(Inventory, VmListsAreSortedMappedAndAppendedPerInventoryObject) {
    std::vector<SInventoryInfo> list{Node("c"), Node("b", {Node("z"), Node("Y", {Node("q"), Node("P")})}), Node("A")};
    plugin->SortInventoryList(list);
    EXPECT_EQ(Names(list), (std::vector<std::string>{"A", "b", "c"}));
    EXPECT_EQ(Names(list[1].children), (std::vector<std::string>{"Y", "z"}));
    EXPECT_EQ(Names(list[1].children[0].children), (std::vector<std::string>{"P", "q"}));

    std::vector<SVMInfo> vms(2);
    vms[0].name = "first";
    vms[1].name = "second";
    vms[0].guid = vms[1].guid = "g";
    std::map<std::string, SVMInfo> byGuid;
    std::vector<SInventoryInfo> out;
    plugin->CopyVMInfoListToInventoryList(vms, out, &byGuid);
    EXPECT_EQ(Names(out), (std::vector<std::string>{"first", "second"}));
    ASSERT_EQ(byGuid.size(), 1u);
    EXPECT_EQ(byGuid["g"].name, "second");

    vms.resize(1);
    vms[0].name = "sentinel";
    EXPECT_EQ(plugin->GetVMInfoListForInventoryObject("vm", INVENTORY_TYPE_VM, 0, 0, vms), 0);
    ASSERT_EQ(vms.size(), 1u);
    EXPECT_EQ(cloud.journal("GetVMInfoForVM").size(), 0u);

    EXPECT_EQ(plugin->GetVMInfoListForInventoryObject("", INVENTORY_TYPE_ROOT, 0, 0, vms), 1);
    EXPECT_EQ(vms.size(), 6u);
    EXPECT_EQ(plugin->GetVMInfoListForInventoryObject("rg-prod", INVENTORY_TYPE_HOST, 0, 0, vms), 1);
    EXPECT_EQ(plugin->GetVMInfoListForInventoryObject("rg-prod", INVENTORY_TYPE_HOST, 0, 0, vms), 1);
    EXPECT_EQ(vms.size(), 10u);
    EXPECT_EQ(plugin->GetVMInfoListForInventoryObject("germanywestcentral", INVENTORY_TYPE_REGION, 0, 0, vms), 1);
    EXPECT_EQ(vms.back().name, "legacy-vm01");
    EXPECT_EQ(plugin->GetVMInfoListForInventoryObject("legacystore01", INVENTORY_TYPE_STORAGE_ACCOUNT, 0, 0, vms), 1);
    EXPECT_EQ(vms.back().name, "legacy-vm01");
    ASSERT_EQ(vms.size(), 12u);

    EXPECT_EQ(plugin->GetVMInfoListForInventoryObject("Atlantis", INVENTORY_TYPE_REGION, 0, 0, vms), 0);
    EXPECT_EQ(vms.size(), 12u);
    EXPECT_TRUE(log.contains("bool CAzureInfo::_GetVMInfoListForRegion(const string&, UINT64, int, std::vector<SVMInfo>&)",
                             "Failed to fetch VMInfo list for Region [Atlantis], Error [LocationNotAvailableForResourceType: 'Atlantis']"));
}

// The host list is reused while fresh and fetched again when stale, or when it holds templates: browsing never asks
// for them, only bit 62 does (all ones never). A failed template fetch fails the refresh without a disconnect.
TEST_F(Inventory, HostCacheServesOnlyAFreshListWithoutTemplates) {
    NxClock::fix(NxClock::time_point(std::chrono::seconds(2000000000)));
    Browse("VMs");
    Browse("VMs");
    EXPECT_EQ(cloud.journal("GetHostInfoList").size(), 1u);
    NxClock::fix(NxClock::time_point(std::chrono::seconds(2000000000 + 301)));
    Browse("VMs");
    NxClock::unfix();
    EXPECT_EQ(cloud.journal("GetHostInfoList").size(), 2u);
    EXPECT_TRUE(cloud.journal("GetTemplateInfoList").empty());

    ASSERT_EQ(plugin->_RefreshHostInfoCache(0x20000000 | kTemplates, 0), 1);
    ASSERT_EQ(cloud.journal("GetTemplateInfoList").size(), 1u);
    const SHostInfo templates = plugin->GetHostInfoCache().back();
    EXPECT_EQ(templates.name, "");
    ASSERT_EQ(templates.vmList.size(), 1u);
    EXPECT_EQ(templates.vmList[0].name, "tmpl-web-linux");
    for (const SInventoryInfo& vm : Browse("VMs")) EXPECT_NE(vm.name, "tmpl-web-linux");
    EXPECT_EQ(cloud.journal("GetHostInfoList").size(), 4u);
    plugin->ResetCaches();
    ASSERT_EQ(plugin->_RefreshHostInfoCache(~0ULL, 0), 1);
    EXPECT_EQ(cloud.journal("GetTemplateInfoList").size(), 1u);

    azsim::FaultBook(cloud.dir()).addSdkFault({"GetTemplateInfoList", 0, "throttled", 1});
    EXPECT_EQ(plugin->_RefreshHostInfoCache(kTemplates, 0), 0);
    EXPECT_EQ(plugin->disconnects, 0);
    EXPECT_EQ(plugin->GetHostInfoCache().size(), 3u);
}

// A failed fetch disconnects, and leaves no list to serve: the next request fetches again.
TEST_F(Inventory, FailedHostListFetchDisconnectsAndLeavesTheCacheStale) {
    ASSERT_EQ(Browse("Resource Groups").size(), 3u);
    azsim::FaultBook(cloud.dir()).addSdkFault({"GetHostInfoList", 0, "The operation timed out", 1});
    EXPECT_TRUE(Browse("VMs").empty());
    EXPECT_EQ(plugin->disconnects, 1);
    EXPECT_TRUE(log.contains("virtual int CAzureInfo::_RefreshHostInfoCache(UINT64, int)",
                             "Failed to get host info list [The operation timed out]"));
    EXPECT_TRUE(log.containsError("bool CAzureInfo::BrowseVMList(std::vector<SInventoryInfo>&, UINT64, int)",
                                  "Failed to refresh host info cache"));
    EXPECT_EQ(Names(Browse("Resource Groups")), (std::vector<std::string>{"rg-legacy", "rg-prod", "rg-test"}));
    EXPECT_EQ(cloud.journal("GetHostInfoList").size(), 3u);

    plugin->ResetCaches();
    azsim::FaultBook(cloud.dir()).addSdkFault({"GetHostInfoList", 0, "throttled", 1});
    std::vector<SVMInfo> vms(1);
    EXPECT_EQ(plugin->GetVMInfoListForInventoryObject("", INVENTORY_TYPE_ROOT, 0, 0, vms), 0);
    EXPECT_EQ(vms.size(), 1u);
    EXPECT_TRUE(log.containsError("int CAzureInfo::GetVMInfoListForRootInventoryObject(const string&, EInventoryType, "
                                  "UINT64, int, std::vector<SVMInfo>&)",
                                  "Failed to refresh local host info cache"));
}


// Host, storage-account, VM-size, tag and image queries: a region-qualified host name asks for that region (without
// blanks where the cloud wants none); failures log their texts, and only VM sizes (198) and images set details.
TEST_F(Inventory, QueriesAskForTheirRegionAndLogTheirFailures) {
    SHostInfo host;
    host.name = "kept";
    ASSERT_EQ(plugin->GetHostInfoForHost("rg-prod|West Europe", 0, 0, host), 1);
    EXPECT_EQ(cloud.journal("GetDCInfoForDC").back()["args"]["region"], "WestEurope");
    EXPECT_EQ(host.name, "kept");
    EXPECT_TRUE(host.vmList.empty());
    EXPECT_FALSE(host.datastores.empty());
    EXPECT_FALSE(host.networks.empty());
    EXPECT_FALSE(host.securityGroups.empty());
    EXPECT_EQ(plugin->GetHostInfoForHost("rg|Moon Base", 0, 0, host), 0);
    EXPECT_TRUE(log.contains("virtual int CAzureInfo::GetHostInfoForHost(const string&, UINT64, int, SHostInfo&)",
                             "GetHostInfoForHost Failed for region [MoonBase]"));
    SHostInfo plain;
    ASSERT_EQ(plugin->GetHostInfoForHost("rg-test", 0, 0, plain), 1);
    EXPECT_EQ(plain.vmList.size(), 2u);

    std::vector<SVMInfo> vms;
    ASSERT_EQ(plugin->GetVMInfoListForTag("ignored", "env:prod", INVENTORY_TYPE_VM, 0, 0, vms), 1);
    EXPECT_EQ(cloud.journal("GetVMInfoListForTag").back()["args"]["tag"], "env:prod");
    EXPECT_FALSE(vms.empty());
    azsim::FaultBook(cloud.dir()).addSdkFault({"GetVMInfoListForTag", 0, "throttled", 1});
    EXPECT_EQ(plugin->GetVMInfoListForTag("", "env:prod", INVENTORY_TYPE_VM, 0, 0, vms), 0);
    EXPECT_TRUE(log.contains("virtual int CAzureInfo::GetVMInfoListForTag(const string&, const string&, EInventoryType, "
                             "UINT64, int, std::vector<SVMInfo>&)",
                             "Failed to fetch VMInfo list for Tag [env:prod], Error [throttled]"));
    const std::string dsListTag =
        "virtual int CAzureInfo::GetDSInfoListForHost(const string&, std::vector<SDatastoreInfo>&, UINT64, int)";
    std::vector<SDatastoreInfo> accounts;
    ASSERT_EQ(plugin->GetDSInfoListForHost("rg-prod|West Europe", accounts, 0, 0), 1);
    EXPECT_EQ(cloud.journal("GetStorageAccountInfoListForRegion").back()["args"]["region"], "West Europe");
    EXPECT_EQ(plugin->GetDSInfoListForHost("rg-prod", accounts, 0, 0), 1);
    EXPECT_EQ(plugin->GetDSInfoListForHost("no-such-group", accounts, 0, 0), 0);
    EXPECT_TRUE(log.contains(dsListTag, "GetDSInfoListForHost Failed for Host [no-such-group]"));
    EXPECT_EQ(plugin->GetDSInfoListForHost("rg|Moon Base", accounts, 0, 0), 0);
    EXPECT_TRUE(log.contains(dsListTag, "GetStorageAccountInfoListForRegion Failed for region [Moon Base]"));
    SDatastoreInfo account;
    EXPECT_EQ(plugin->GetDSInfoForDS("testzrs01", "", "", 0, 0, account), 1);
    EXPECT_EQ(plugin->GetDSInfoForDS("nostore", "", "", 0, 0, account), 0);
    EXPECT_TRUE(log.contains("virtual int CAzureInfo::GetDSInfoForDS(const string&, const string&, const string&, "
                             "UINT64, int, SDatastoreInfo&)",
                             "GetStorageAccountInfo Failed for StorageAccount [nostore]"));
    EXPECT_EQ(plugin->GetLastVMErrorDetails(), "");

    std::vector<SVMSizeInfo> sizes;
    ASSERT_EQ(plugin->GetAvailableVMSizesForHost("rg-legacy|Germany West Central", sizes, 0, 0), 1);
    EXPECT_EQ(cloud.journal("GetAvailableVMSizesInLocation").back()["args"]["location"], "GermanyWestCentral");
    EXPECT_FALSE(sizes.empty());
    azsim::FaultBook(cloud.dir()).addSdkFault({"GetAvailableVMSizesForHost", 0, "throttled", 1});
    EXPECT_EQ(plugin->GetAvailableVMSizesForHost("rg-prod", sizes, 0, 0), 0);
    EXPECT_EQ(plugin->GetLastVMError(), VMINFO_ERR_VM_SIZE);
    EXPECT_EQ(plugin->GetLastVMErrorMessage(), "Failed to get list of available VM Sizes for Azure ResourceGroup [rg-prod]");
    EXPECT_EQ(plugin->GetLastVMErrorDetails(), "throttled");
    EXPECT_EQ(plugin->GetAvailableVMSizesInLocation("Atlantis", sizes, 0, 0), 0);
    EXPECT_EQ(plugin->GetLastVMErrorMessage(), "Failed to get list of available VM Sizes for Azure region [Atlantis]");
    auto classic = Make(VSINST_AZURE_CLASSIC);
    sizes.clear();
    EXPECT_EQ(classic->GetAvailableVMSizesForHost("no-such-service", sizes, 0, 0), 0);
    EXPECT_EQ(classic->GetLastVMErrorMessage(),
              "Failed to get list of available VM Sizes for Azure CloudService [no-such-service]");
    EXPECT_TRUE(sizes.empty());

    plugin->SetLastVMError(VMINFO_ERR_NONE, "");
    EXPECT_TRUE(plugin->GetImageList("westeurope", "Canonical\\0001-com-ubuntu-server-jammy", "", vms));
    EXPECT_FALSE(plugin->GetImageList("westeurope", "Nobody\\Nothing", "", vms));
    EXPECT_TRUE(log.contains("virtual bool CAzureInfo::GetImageList(const string&, const string&, const string&, "
                             "std::vector<SVMInfo>&)",
                             "Failed to get details of image with publisher\\name as [Nobody\\Nothing] in location "
                             "[westeurope]."));
    EXPECT_EQ(plugin->GetLastVMError(), VMINFO_ERR_NONE);
    EXPECT_EQ(plugin->GetLastVMErrorDetails().rfind("PlatformImageNotFound", 0), 0u);
}

}  // namespace
