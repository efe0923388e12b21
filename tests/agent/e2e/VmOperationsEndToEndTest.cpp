// vsagent vm, network, storage and guest run as a person runs them.
#include <fstream>
#include <tuple>
#include <utility>

#include "azsim/model/ResourceIds.h"
#include "tests/agent/e2e/VsagentFixture.h"

namespace {

using e2e::json;
using ::testing::HasSubstr;

class VsagentVmOps : public e2e::Vsagent {
protected:
    std::string BrowseLine(const std::string& vm) {
        const std::string out = Agent({"browse", "VMs", "--depth", "1"}).out;
        const std::size_t at = out.find(vm + "  (vm");
        return at == std::string::npos ? std::string() : out.substr(at, out.find('\n', at) - at);
    }
};

// A guest script runs on a running VM and is logged; a stopped one refuses it.
TEST_F(VsagentVmOps, StopAndStartShowInTheBrowseAndAStoppedVmRefusesAGuestScript) {
    const std::string script = dir.path() + "/hello.sh";
    std::ofstream(script) << "echo hello from the guest\n";
    Succeeds({"guest", "run", "--vm", "web-linux01", "--script", script, "--params", "-v"});
    e2e::Run log = Azsim({"guest", "--json"});
    EXPECT_THAT(log.out, HasSubstr("echo hello from the guest"));
    EXPECT_THAT(log.out, HasSubstr("web-linux01"));
    EXPECT_EQ(Agent({"guest", "run", "--vm", "web-linux01", "--script", dir.path() + "/none.sh"}).exitCode, 1);

    Succeeds({"vm", "stop", "--vm", "web-linux01"});
    EXPECT_THAT(BrowseLine("web-linux01"), HasSubstr("stopped"));
    e2e::Run refused = Agent({"guest", "run", "--vm", "web-linux01", "--script", script});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_THAT(refused.err, HasSubstr("not running"));
    Succeeds({"vm", "stop", "--vm", "web-linux01"});  // a second stop changes nothing
    const json started = Succeeds({"vm", "start", "--vm", "web-linux01"});
    EXPECT_EQ(started["powerState"], "running");
    EXPECT_THAT(BrowseLine("web-linux01"), HasSubstr("running"));
    e2e::Run missing = Agent({"vm", "start", "--vm", "no-such-vm"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_THAT(missing.err, HasSubstr("error 1,"));
}

TEST_F(VsagentVmOps, ADeployFromASpareDiskRunsOnThatDisk) {
    // A spare disk in the group: a copy of web-linux01's OS disk, attached to nothing.
    azsim::SubscriptionState state(cloud);
    azsim::StateDocument doc = state.load();
    azsim::ManagedDisk spare = *doc.findManagedDiskByName("web-linux01-osdisk");
    spare.name = "spare-os";
    spare.id = azsim::ManagedDiskId(doc.subscription().id, "rg-prod", "spare-os");
    spare.state = "Unattached";
    const azsim::BlobKey source = spare.blob;
    spare.blob = azsim::NewManagedDiskBlob();
    ASSERT_TRUE(state.blobs().copyBlob(source, "", spare.blob, nullptr));
    doc.managedDisks.push_back(spare);
    state.save(doc);

    const json deployed = Succeeds({"vm", "deploy", "--vm", "dep1", "--group", "rg-prod", "--os-disk", "spare-os",
                                "--size", "Standard_D2s_v3"});
    EXPECT_EQ(deployed["powerState"], "running");
    EXPECT_EQ(CloudHashes("dep1", 1), CloudHashes("web-linux01", 1));
    // A taken name is refused and changes nothing.
    EXPECT_EQ(Agent({"vm", "deploy", "--vm", "dep1", "--group", "rg-prod", "--os-disk", "spare-os"}).exitCode, 1);
}

// A VM on page blobs and one on managed disks alike.
TEST_F(VsagentVmOps, ACloneFromASnapshotHoldsTheSnapshotsBytesAndGoesWithItsDisksAndNic) {
    for (const auto& [source, disks] : {std::pair{"legacy-vm01", 2}, std::pair{"app-win01", 2}}) {
        SCOPED_TRACE(source);
        const std::string name = std::string(source) + "-clone";
        const std::vector<std::string> atSnapshot = CloudHashes(source, disks);
        const json snapshot = Succeeds({"vm", "snapshot", "--vm", source});
        ASSERT_TRUE(snapshot.contains("snapshot")) << snapshot.dump();
        GuestWrite(source, 0, 1048576, 65536, 5);
        const std::vector<std::string> afterWrite = CloudHashes(source, disks);
        ASSERT_NE(afterWrite, atSnapshot);
        const azsim::StateDocument before = azsim::SubscriptionState(cloud).load();

        Succeeds({"vm", "clone", "--vm", source, "--name", name, "--snapshot", snapshot["snapshot"]});
        EXPECT_EQ(CloudHashes(name, disks), atSnapshot);
        azsim::StateDocument doc = azsim::SubscriptionState(cloud).load();
        const azsim::VirtualMachine* clone = doc.findVm(name);
        ASSERT_NE(clone, nullptr);
        const std::vector<azsim::DiskAttachment> cloneDisks = clone->disks;
        const std::vector<azsim::NetworkCard> cloneNics = clone->nics;
        ASSERT_FALSE(cloneNics.empty());
        EXPECT_EQ(clone->osType, doc.findVm(source)->osType);
        EXPECT_EQ(clone->firmware, doc.findVm(source)->firmware);
        // What the clone went through is gone: no blob or snapshot set but the clone's own disks is new.
        EXPECT_EQ(doc.unmanagedDisks.size(), before.unmanagedDisks.size());
        EXPECT_EQ(doc.snapshotSets.size(), before.snapshotSets.size());

        Succeeds({"vm", "delete", "--vm", name});
        doc = azsim::SubscriptionState(cloud).load();
        EXPECT_EQ(doc.findVm(name), nullptr);
        for (const azsim::DiskAttachment& disk : cloneDisks) EXPECT_EQ(doc.findManagedDisk(disk.id), nullptr) << disk.id;
        for (const azsim::NetworkInterface& nic : doc.networkInterfaces) EXPECT_NE(nic.name, cloneNics.front().name);
        EXPECT_EQ(CloudHashes(source, disks), afterWrite);  // the source is as it was
        Succeeds({"vm", "unsnapshot", "--vm", source, "--snapshot", snapshot["snapshot"]});
    }
}

TEST_F(VsagentVmOps, NetworksAndExpiredDisks) {
    Succeeds({"network", "create", "--name", "vnet-e2e", "--group", "rg-test"});
    EXPECT_NE(azsim::SubscriptionState(cloud).load().findVirtualNetwork("vnet-e2e", "rg-test"), nullptr);
    Succeeds({"network", "delete", "--name", "vnet-e2e", "--group", "rg-test"});
    EXPECT_EQ(azsim::SubscriptionState(cloud).load().findVirtualNetwork("vnet-e2e", "rg-test"), nullptr);
    // A network a VM's interface uses is refused.
    EXPECT_EQ(Agent({"network", "delete", "--name", "vnet-prod", "--group", "rg-prod"}).exitCode, 1);
    // A name or prefix the cloud would refuse is refused up front, with the rule.
    for (const auto& [name, prefix, rule] : {std::tuple{"../x", "10.0.0.0/16", "only letters, digits"},
                                             std::tuple{"vnet-bad", "10.0.0.0/33", "n from 2 to 29"}}) {
        e2e::Run refused = Agent({"network", "create", "--name", name, "--group", "rg-test", "--prefix", prefix});
        EXPECT_EQ(refused.exitCode, 2) << name << " " << prefix;
        EXPECT_THAT(refused.err, HasSubstr(rule));
    }

    const std::size_t disks = azsim::SubscriptionState(cloud).load().managedDisks.size();
    Succeeds({"storage", "expire-disks", "--region", "westeurope", "--older-than", "1h"});
    EXPECT_EQ(azsim::SubscriptionState(cloud).load().managedDisks.size(), disks);  // customers' disks stay
    EXPECT_EQ(Agent({"storage", "expire-disks", "--region", "westeurope", "--older-than", "soon"}).exitCode, 2);
}

}  // namespace

namespace {

// With --azure the agent serves nothing and reaches the subscription only over the protocol, as it
// would reach Azure: here the simulated one, named by the settings, with the service principal from
// the environment. A missing variable or a second subscription is refused before anything is asked.
TEST(VsagentAzure, ARealSubscriptionIsReachedWithTheEnvironmentsServicePrincipal) {
    testsupport::SimulatedCloud cloud{testsupport::SimulatedCloud::Seed::Demo};
    testsupport::TempDir scratch;
    const std::string settings = scratch.path() + "/azure.ini";
    std::ofstream(settings) << "[HttpClient]\nsConnectTo=::127.0.0.1:" << cloud.port() << "\nsCABundle=" << cloud.dir()
                            << "/tls/ca.pem\n";
    const auto agent = [&](std::vector<std::string> args) {
        args.insert(args.end(), {"--azure", "--settings", settings, "--log", scratch.path() + "/job.log"});
        return e2e::Execute(VSAGENT_BINARY, args, scratch.path());
    };
    const std::pair<const char*, const char*> variables[] = {
        {"AZURE_SUBSCRIPTION_ID", testsupport::SimulatedCloud::kSubscriptionId},
        {"AZURE_TENANT_ID", "72f988bf-86f1-41af-91ab-2d7cd011db47"},
        {"AZURE_CLIENT_ID", testsupport::SimulatedCloud::kApplicationId},
        {"AZURE_CLIENT_SECRET", testsupport::SimulatedCloud::kSecret}};
    for (const auto& [name, value] : variables) setenv(name, value, 1);
    unsetenv("AZURE_CLIENT_SECRET");
    e2e::Run missing = agent({"vm", "stop", "--vm", "web-linux01"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_THAT(missing.err, HasSubstr("AZURE_CLIENT_SECRET is not set"));
    setenv("AZURE_CLIENT_SECRET", testsupport::SimulatedCloud::kSecret, 1);
    e2e::Run both = agent({"vm", "stop", "--vm", "web-linux01", "--cloud", scratch.path() + "/cloud"});
    EXPECT_NE(both.exitCode, 0);
    EXPECT_THAT(both.err, HasSubstr("--azure and --cloud"));

    e2e::Run stopped = agent({"vm", "stop", "--vm", "web-linux01", "--json"});
    for (const auto& variable : variables) unsetenv(variable.first);
    EXPECT_EQ(stopped.exitCode, 0) << stopped.err << stopped.out;
    EXPECT_EQ(azsim::SubscriptionState(cloud.dir()).load().findVm("web-linux01")->powerState,
              azsim::PowerState::Deallocated);
    EXPECT_FALSE(std::filesystem::exists(scratch.path() + "/cloud"));
}

}  // namespace
