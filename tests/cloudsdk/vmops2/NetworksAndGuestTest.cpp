// Virtual networks and scripts run in a VM's guest.
#include "azsim/guest/GuestLog.h"
#include "tests/cloudsdk/restore/WrapperFixture.h"

using namespace wrappertest;
using VMInfoStructs::SNetworkInfo;

namespace {

using VmOps = WrapperTest;

SNetworkInfo Network(const std::string& name, std::vector<std::string> subnets = {}) {
    SNetworkInfo net;
    net.name = name;
    net.subnets = std::move(subnets);
    return net;
}

SNetworkInfo Prefixed(const std::string& prefix, const std::string& name = "vnet-x") {
    SNetworkInfo net = Network(name);
    net.addressPrefix = prefix;
    return net;
}

// A network is made tagged in its group, refused when its name, group, prefix or subnets are wrong, and deleted only
// while no interface uses it.
TEST_F(VmOps, NetworkIsCreatedOrRefusedAndDeletedOnlyWhileNoInterfaceUsesIt) {
    SNetworkInfo net = Network("vnet-new", {"front", "back"});
    ASSERT_TRUE(sdk.CreateVirtualNetwork(net, "rg-test")) << sdk.GetLastErrorString();
    // The limits themselves are accepted: 64 characters, a name ending in '_', /2 and /29 prefixes.
    for (SNetworkInfo edge : {Network(std::string(63, 'v') + "_", {"s"}), Prefixed("64.0.0.0/2", "vnet-a"),
                              Prefixed("192.168.7.248/29", "vnet-b")})
        EXPECT_TRUE(sdk.CreateVirtualNetwork(edge, "rg-test")) << sdk.GetLastErrorString();
    const azsim::StateDocument doc = state.load();
    const azsim::VirtualNetwork* stored = doc.findVirtualNetwork("vnet-new", "rg-test");
    ASSERT_NE(stored, nullptr);
    ASSERT_EQ(stored->subnets.size(), 2u);
    // Located in the group's region, with the default prefix.
    EXPECT_EQ(std::tie(net.id, net.location, net.addressPrefix, stored->tags.at("createdByJob"), stored->subnets[1].id),
              std::make_tuple(azsim::VirtualNetworkId(SimulatedCloud::kSubscriptionId, "rg-test", "vnet-new"),
                              "westeurope", "10.0.0.0/16", testsupport::JobGuidOf(7), stored->id + "/subnets/back"));

    const std::string before = StateBytes();
    struct Case { SNetworkInfo net; const char* group; const char* text; } refused[] = {
        {Network("VNET-NEW"), "rg-test", "already exists"},
        {Network("vnet-x"), "rg-nowhere", "ResourceGroupNotFound"},
        {Network("vnet-x", {"a", "A"}), "rg-test", "DuplicateResourceName"},
        {Network(""), "rg-test", "has no name"},
        {Network("../x"), "rg-test", "name [../x] is refused"},
        {Network("v"), "rg-test", "2 to 64 characters"},
        {Network(std::string(65, 'v')), "rg-test", "2 to 64 characters"},
        {Network("vnet-"), "rg-test", "end with a letter"},
        {Network("vnet-x", {"front", "bad/sub"}), "rg-test", "subnet name [bad/sub]"},
        {Prefixed("abc"), "rg-test", "prefix [abc] is refused"},
        {Prefixed("10.0.0.0/33"), "rg-test", "n from 2 to 29"},
        {Prefixed("10.0.0.0/30"), "rg-test", "n from 2 to 29"},
        {Prefixed("10.0.0.1/16"), "rg-test", "no bits set past"},
        {Prefixed("10.0.256.0/24"), "rg-test", "parts 0-255"},
        {Prefixed("10.0.0.0/16 "), "rg-test", "prefix [10.0.0.0/16 ]"},
    };
    for (Case& c : refused) {
        EXPECT_FALSE(sdk.CreateVirtualNetwork(c.net, c.group)) << c.text;
        EXPECT_NE(sdk.GetLastErrorString().find(c.text), std::string::npos) << sdk.GetLastErrorString();
    }
    EXPECT_EQ(StateBytes(), before);

    // An interface resource of no VM still uses its subnet.
    Edit([&](azsim::StateDocument& doc) {
        azsim::NetworkInterface nic;
        nic.name = "spare-nic";
        nic.resourceGroup = "rg-test";
        nic.virtualNetwork = "vnet-new";
        nic.subnet = doc.findVirtualNetwork("vnet-new")->subnets[0].id;
        doc.networkInterfaces.push_back(nic);
    });
    const std::string inUse = StateBytes();
    EXPECT_FALSE(sdk.DeleteVirtualNetwork(net, "rg-test"));
    EXPECT_NE(sdk.GetLastErrorString().find("[spare-nic]"), std::string::npos) << sdk.GetLastErrorString();
    EXPECT_FALSE(sdk.DeleteVirtualNetwork(Network("vnet-prod"), "rg-prod"));  // VM cards use it
    EXPECT_NE(sdk.GetLastErrorString().find("of VM [web-linux01]"), std::string::npos) << sdk.GetLastErrorString();
    EXPECT_FALSE(sdk.DeleteVirtualNetwork(Network("vnet-prod"), "rg-test"));  // not in that group
    EXPECT_EQ(sdk.GetLastErrorCode(), AzureSDKCppBridge::SDK_ERR_NOT_FOUND);
    EXPECT_EQ(StateBytes(), inUse);

    Edit([&](azsim::StateDocument& doc) { doc.networkInterfaces.pop_back(); });
    ASSERT_TRUE(sdk.DeleteVirtualNetwork(net, "rg-test")) << sdk.GetLastErrorString();
    EXPECT_EQ(state.load().findVirtualNetwork("vnet-new"), nullptr);
    EXPECT_NE(state.load().findVirtualNetwork("vnet-prod"), nullptr);
}

// A new network's subnets take ranges cut in turn from its prefix: /24 ranges while they fit, else narrower ones
// down to /29; more subnets than that are refused.
TEST_F(VmOps, NewNetworkSubnetsTakeRangesOfItsPrefix) {
    const struct { std::string prefix; std::vector<std::string> subnets, ranges; } rows[] = {
        {"", {}, {"10.0.0.0/24"}},
        {"10.4.0.0/16", {"a", "b"}, {"10.4.0.0/24", "10.4.1.0/24"}},
        {"10.4.0.0/24", {"a", "b", "c"}, {"10.4.0.0/26", "10.4.0.64/26", "10.4.0.128/26"}},
        {"192.168.7.248/29", {"a"}, {"192.168.7.248/29"}},
        {"10.0.0.0/28", {"a", "b"}, {"10.0.0.0/29", "10.0.0.8/29"}},
        {"10.0.0.0/28", {"a", "b", "c"}, {}},
    };
    int n = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.prefix);
        SNetworkInfo net = Prefixed(row.prefix, "vnet-r" + std::to_string(n++));
        net.subnets = row.subnets;
        ASSERT_EQ(sdk.CreateVirtualNetwork(net, "rg-test"), !row.ranges.empty()) << sdk.GetLastErrorString();
        std::vector<std::string> ranges;
        const azsim::StateDocument doc = state.load();
        if (const azsim::VirtualNetwork* stored = doc.findVirtualNetwork(net.name))
            for (const azsim::Subnet& subnet : stored->subnets) ranges.push_back(subnet.addressPrefix);
        EXPECT_EQ(ranges, row.ranges);
    }
}

TEST_F(VmOps, GuestScriptRunsAreLoggedWithTheirOutcomeAndNeverInAStoppedVm) {
    ASSERT_TRUE(sdk.ExecuteScriptInGuestVM("ctx-3", "web-linux01", "detail-2", "echo hi\nexit 0\n", "-v 1"))
        << sdk.GetLastErrorString();
    ASSERT_TRUE(sdk.ExecuteScriptInGuestVM("", "app-win01", "", "", ""));  // an empty script is still a run
    azsim::FaultBook(cloud.dir()).addSdkFault({"ExecuteScriptInGuestVM", 0, "script exited with 3", 1});
    EXPECT_FALSE(sdk.ExecuteScriptInGuestVM("c", "web-linux01", "d", "false", ""));
    EXPECT_EQ(sdk.GetLastErrorString(), "script exited with 3");
    // Refused before any run: a VM that is not running (its text says so), one that does not exist.
    EXPECT_FALSE(sdk.ExecuteScriptInGuestVM("c", "ultra-vm01", "d", "true", ""));
    EXPECT_NE(sdk.GetLastErrorString().find("is not running"), std::string::npos) << sdk.GetLastErrorString();
    EXPECT_FALSE(sdk.ExecuteScriptInGuestVM("c", "no-such-vm", "d", "true", ""));
    EXPECT_EQ(sdk.GetLastErrorCode(), AzureSDKCppBridge::SDK_ERR_NOT_FOUND);

    using Run = std::tuple<std::string, std::string, std::string, std::string, std::string, std::string, bool,
                           std::string>;
    std::vector<Run> seen;
    for (const azsim::GuestRun& r : azsim::GuestLog::Read(cloud.dir()))
        seen.emplace_back(r.vm, r.resourceGroup, r.script, r.parameters, r.guestContext, r.guestDetail, r.succeeded,
                          r.error);
    EXPECT_EQ(seen, (std::vector<Run>{
                        {"web-linux01", "rg-prod", "echo hi\nexit 0\n", "-v 1", "ctx-3", "detail-2", true, ""},
                        {"app-win01", "rg-prod", "", "", "", "", true, ""},
                        {"web-linux01", "rg-prod", "false", "", "c", "d", false, "script exited with 3"}}));
}

}  // namespace
