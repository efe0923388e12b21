// vsagent restore run as a person runs it: backed-up VMs come back as new VMs
// whose disks hold exactly the bytes the cloud had at each backup.
#include "tests/agent/e2e/VsagentFixture.h"

namespace {

using e2e::json;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;

class VsagentRestore : public e2e::Vsagent {
protected:
    // A restore of backup `job`: its run, or its JSON summary when it must succeed.
    std::vector<std::string> RestoreArgs(const json& job, std::vector<std::string> extra) {
        extra.insert(extra.begin(), {"restore", "--store", store, "--job", job["jobId"].dump()});
        return extra;
    }
    e2e::Run RestoreRun(const json& job, std::vector<std::string> extra) { return Agent(RestoreArgs(job, extra)); }
    json Restore(const json& job, std::vector<std::string> extra) { return Succeeds(RestoreArgs(job, extra)); }
    azsim::StateDocument Cloud() { return azsim::SubscriptionState(cloud).load(); }
    // The resources of the subscription, without what only records activity.
    json Resources() {
        json doc = Cloud().toJson();
        doc.erase("deployments");
        return doc;
    }
    // Page blobs (staged or restored disks) and managed disks in the subscription whose name starts with `prefix`.
    std::size_t DisksNamed(const std::string& prefix) {
        const azsim::StateDocument doc = Cloud();
        std::size_t count = 0;
        for (const azsim::UnmanagedDisk& disk : doc.unmanagedDisks) count += disk.blob.name.rfind(prefix, 0) == 0;
        for (const azsim::ManagedDisk& disk : doc.managedDisks) count += disk.name.rfind(prefix, 0) == 0;
        return count;
    }
    bool NoRestoreWorkLeft() { return !fs::exists(store + "/.restore-jobs") || fs::is_empty(store + "/.restore-jobs"); }
    void Mutate(const std::function<void(azsim::StateDocument&)>& change) {
        azsim::SubscriptionState(cloud).mutate([&](azsim::StateDocument& doc) {
            change(doc);
            return true;
        });
    }
    // A record a restore job left in the store, as its release wrote it.
    void LeaveRecord(long long job, json record) {
        const std::string folder = store + "/.restore-jobs/restore-" + std::to_string(job);
        fs::create_directories(folder);
        record["jobId"] = job;
        std::ofstream(folder + "/restore-record.json") << record.dump();
    }
};

TEST_F(VsagentRestore, EachJobOfAManagedChainComesBackAsANewVmOrAnAttachedDiskAndARefusedOneChangesNothing) {
    const std::vector<std::string> atFull = CloudHashes("web-linux01", 3);
    const json full = Backup("web-linux01");
    GuestWrite("web-linux01", 1, 5 * 1048576ull, 65536, 7);
    GuestWrite("web-linux01", 2, 200 * 1048576ull, 4096, 8);
    const std::vector<std::string> atIncremental = CloudHashes("web-linux01", 3);
    const json incremental = Backup("web-linux01");
    ASSERT_EQ(incremental["backupType"], "incremental");

    const json first = Restore(full, {"--name", "web-r1"});
    const json second = Restore(incremental, {"--name", "web-r2", "--direct-upload"});
    EXPECT_EQ(CloudHashes("web-r1", 3), atFull);
    EXPECT_EQ(CloudHashes("web-r2", 3), atIncremental);

    // What a restore writes follows what the backups stored, not the disks' capacity.
    EXPECT_LE(first["bytesWritten"].get<std::uint64_t>(), full["bytesRead"].get<std::uint64_t>());
    // Staging names the account the page blobs went through; a direct upload staged nothing.
    EXPECT_NE(first["disks"][0]["storageAccount"], "");
    EXPECT_EQ(second["disks"][0]["storageAccount"], "");
    EXPECT_GT(first["bytesWritten"].get<std::uint64_t>(), 0u);

    // What the cloud tool shows of each new VM: the backed-up VM's size, zone, generation,
    // a NIC on the region's network, and the data disks on LUNs 0 and 1.
    const json shown = json::parse(Azsim({"show", "vms"}).out, nullptr, false);
    for (const char* name : {"web-r1", "web-r2"}) {
        auto vm = std::find_if(shown.begin(), shown.end(), [&](const json& v) { return v["name"] == name; });
        ASSERT_NE(vm, shown.end()) << name;
        const json fields = {(*vm)["size"], (*vm)["zones"], (*vm)["firmware"], (*vm)["managed"],
                             (*vm)["powerState"], (*vm)["nics"].size(),
                             vm->value(json::json_pointer("/nics/0/virtualNetwork"), "")};
        EXPECT_EQ(fields, json::parse(R"(["Standard_D2s_v3", "1", "", true, "running", 1, "vnet-prod"])")) << name;
        std::vector<int> luns;
        for (const json& disk : (*vm)["disks"]) luns.push_back(disk["lun"]);
        EXPECT_EQ(luns, (std::vector<int>{-1, 0, 1}));
    }
    EXPECT_EQ(first["vmGuid"], Cloud().findVm("web-r1")->guid);
    EXPECT_TRUE(NoRestoreWorkLeft());

    // A data disk of the incremental job, attached to another running VM on its next free LUN.
    const json attached = Restore(incremental, {"--attach-to", "app-win01", "--disks", "1"});
    ASSERT_EQ(attached["disks"].size(), 1u);
    EXPECT_EQ(attached["disks"][0]["lun"], 1);  // LUN 0 holds the VM's own data disk
    EXPECT_EQ(CloudHashes("app-win01", 3)[2], atIncremental[1]);
    const std::string restored = attached["disks"][0]["restoredName"];
    e2e::Run browse = Agent({"browse", "Resource Groups/rg-prod", "--disks"});
    const std::size_t vm = browse.out.find("app-win01  (vm");
    const std::size_t next = browse.out.find("(vm", browse.out.find('\n', vm));
    const std::size_t listedAt = browse.out.find(restored.substr(0, restored.size() - 4) + "  (disk, LUN 1)", vm);
    EXPECT_TRUE(vm != std::string::npos && listedAt != std::string::npos && listedAt < next) << browse.out;
    // Options of a new VM have no meaning for an attach.
    EXPECT_EQ(RestoreRun(full, {"--attach-to", "app-win01", "--size", "x"}).exitCode, 2);
    EXPECT_TRUE(NoRestoreWorkLeft());

    // Refused restores say why and leave the subscription as it was.
    const json before = Resources();
    struct Case {
        std::vector<std::string> args;
        std::string step;
        std::string code;
    };
    const std::vector<Case> cases = {
        {{}, "InitRestoreVM", "error 10,"},                                         // the VM exists
        // no virtual network in the region
        {{"--name", "web-r9", "--region", "northeurope", "--unmanaged", "--storage", "prodstaging01"}, "InitRestoreVM",
         "error 20,"},
        {{"--name", "web-r9", "--unmanaged", "--storage", "testzrs01"}, "InitRestoreVM", "error 198,"},
        // page blobs of a VM with managed disks have no account to go to unless one is named
        {{"--name", "web-r9", "--unmanaged"}, "InitRestoreVM", "give --storage ACCOUNT"},
    };
    for (const Case& c : cases) {
        e2e::Run run = RestoreRun(full, c.args);
        ExpectOneLineFailure(run, c.step);
        EXPECT_THAT(run.err, HasSubstr(c.code));
        EXPECT_EQ(Resources(), before) << run.err;
    }
    // Names the cloud would refuse are refused before anything is asked for, with the rule.
    const std::vector<std::vector<std::string>> badNames = {
        {"--name", "../../etc"}, {"--name", "a/b"}, {"--name", "web\nr9"}, {"--name", "web\"r9"},
        {"--name", std::string(300, 'w')}, {"--group", "rg."}, {"--storage", "Prod/vhds"},
        {"--storage", "prodstaging01/a--b"}};
    for (const std::vector<std::string>& bad : badNames) {
        e2e::Run run = RestoreRun(full, bad);
        EXPECT_EQ(run.exitCode, 2) << bad[1];
        EXPECT_THAT(run.err, HasSubstr("is not one the cloud accepts: "));
    }

    // A byte of the stored image that is not what the backup read fails the job before the VM is
    // deployed, naming the job, the disk and the range.
    const std::string jobFolder = JobFolder("web-linux01", full["jobId"]);
    const json manifest = json::parse(std::ifstream(jobFolder + "/manifest.json"));
    const json& disk = manifest["disks"][0];
    const std::uint64_t at = disk["extents"][0][0].get<std::uint64_t>() + 100;
    const std::uint64_t window = at / 4194304 * 4194304;
    FlipByte(jobFolder + "/" + disk["image"].get<std::string>(), at);
    e2e::Run damaged = RestoreRun(full, {"--name", "web-r9"});
    ExpectOneLineFailure(damaged, "store");
    EXPECT_THAT(damaged.err, HasSubstr("job " + full["jobId"].dump() + ", disk 0 [" + disk["name"].get<std::string>() +
                                       "], bytes " + std::to_string(window) + "-" + std::to_string(window + 4194303)));
    EXPECT_EQ(Resources(), before) << damaged.err;
    FlipByte(jobFolder + "/" + disk["image"].get<std::string>(), at);

    // A job whose own clean-up fails says so and keeps its record; the next run removes the rest.
    for (const char* op : {"RestoreVM", "CleanupRestoreVM", "DeletePageBlob"})
        Fault({"add-sdk", "--op", op, "--code", "1", "--text", "InternalError", "--times", "-1"});
    e2e::Run unclean = RestoreRun(full, {"--name", "web-r8"});
    ExpectOneLineFailure(unclean, "RestoreVM");
    EXPECT_THAT(unclean.err, HasSubstr("Not everything the job created could be removed"));
    EXPECT_THAT(unclean.err, Not(HasSubstr("What the job created was removed")));
    EXPECT_NE(Resources(), before);
    EXPECT_FALSE(NoRestoreWorkLeft());
    Fault({"clear"});
    e2e::Run missing = Agent({"restore", "--store", store, "--job", "99"});
    EXPECT_THAT(missing.err, HasSubstr("undid restore job"));
    EXPECT_EQ(Resources(), before) << missing.err;
    EXPECT_TRUE(NoRestoreWorkLeft());
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_THAT(missing.err, HasSubstr("no complete backup job 99"));
}

TEST_F(VsagentRestore, UnmanagedAndEncryptedVmsComeBackWithTheirBytes) {
    const std::vector<std::string> legacy = CloudHashes("legacy-vm01", 2);
    const json legacyJob = Backup("legacy-vm01");
    const std::vector<std::string> secure = CloudHashes("secure-db01", 2);
    const json secureJob = Backup("secure-db01");

    std::ofstream(dir.path() + "/boot.ini") << "[VirtualServer]\nnMinsWaitForBootTimeout=1\n";
    Restore(legacyJob, {"--name", "legacy-r1", "--power-off", "--settings", dir.path() + "/boot.ini"});
    // A size the region does not offer: the best match is taken, and the summary says which and why.
    const json secureRun = Restore(secureJob, {"--name", "secure-r1", "--size", "Standard_Z9"});
    EXPECT_THAT(secureRun["notes"].dump(), HasSubstr("--size Standard_Z9 is not offered in region westeurope"));
    EXPECT_THAT(secureRun["notes"].dump(), HasSubstr("the VM got size " + secureRun["vmSize"].get<std::string>()));
    EXPECT_EQ(CloudHashes("legacy-r1", 2), legacy);
    EXPECT_EQ(CloudHashes("secure-r1", 2), secure);

    azsim::StateDocument doc = Cloud();
    const azsim::VirtualMachine* unmanaged = doc.findVm("legacy-r1");
    const azsim::VirtualMachine* encrypted = doc.findVm("secure-r1");
    ASSERT_TRUE(unmanaged && encrypted);
    // Unmanaged, stopped (--power-off) and in the backed-up VM's region; encrypted and running.
    const azsim::PowerState running = azsim::PowerState::Running;
    EXPECT_EQ(std::make_tuple(unmanaged->managed, unmanaged->powerState == running, unmanaged->region,
                              encrypted->powerState == running, encrypted->encryption.encrypted),
              std::make_tuple(false, false, std::string("germanywestcentral"), true, true));
    // The page blobs are the VM's disks, in the account the backed-up VM used.
    EXPECT_EQ(DisksNamed("legacy-r1"), 2u);
    EXPECT_EQ(encrypted->encryption.dekBackup, doc.findVm("secure-db01")->encryption.dekBackup);
    EXPECT_TRUE(NoRestoreWorkLeft());
}

TEST_F(VsagentRestore, KilledRestoreIsUndoneByTheNextOneAndACancelledOneLeavesNothing) {
    const json job = Backup("app-win01");
    const json before = Resources();
    Fault({"add-http", "--method", "PUT", "--path", "*", "--kind", "delay", "--delay-ms", "300", "--times", "-1"});
    const std::string jobArg = std::to_string(job["jobId"].get<long long>());
    auto Started = [&](const std::string& name) {
        return StartedWhen({"restore", "--store", store, "--job", jobArg, "--name", name, "--threads", "1"},
                           [&] { return DisksNamed(name) > 0; });
    };
    auto killed = Started("app-r1");
    ASSERT_GT(DisksNamed("app-r1"), 0u);
    // What the job made carries its GUID, which no other agent's job shares, not its number.
    for (const azsim::UnmanagedDisk& blob : Cloud().unmanagedDisks)
        if (blob.blob.name.rfind("app-r1", 0) == 0) {
            EXPECT_EQ(blob.tags.at("createdByJob").size(), 36u);
        }
    kill(killed->pid(), SIGKILL);
    killed->finish();

    // The next restore run undoes the killed job first; this one is then cancelled and undoes itself.
    auto cancelled = Started("app-r2");
    EXPECT_EQ(DisksNamed("app-r1"), 0u);
    kill(cancelled->pid(), SIGINT);
    e2e::Run stopped = cancelled->finish();
    EXPECT_EQ(stopped.exitCode, 130) << stopped.err;
    EXPECT_THAT(stopped.err, AllOf(HasSubstr("cancelled in"), HasSubstr("undid restore job")));
    EXPECT_EQ(Resources(), before);
    Fault({"clear"});
    // A record of a job that had not asked for its deployment never names a VM to remove, even one
    // carrying the job's mark; a record of an older release, which marked with job numbers, removes nothing.
    const std::string mark = "7d4c1b2a-0e3f-4a5b-9c6d-1e2f3a4b5c6d";
    Mutate([&](azsim::StateDocument& doc) {
        doc.findVm("web-linux01")->tags["createdByJob"] = mark;
        doc.findVm("legacy-vm01")->tags["createdByJob"] = "51";
    });
    const json record = {{"format", 2}, {"jobGuid", mark}, {"vmName", "web-linux01"}, {"resourceGroup", "rg-prod"},
                         {"managedVm", true}, {"attach", false}, {"deploying", false}, {"vmGuid", ""},
                         {"disks", json::array()}};
    LeaveRecord(50, record);
    json old = record;
    old.merge_patch({{"format", 1}, {"jobGuid", nullptr}, {"vmName", "legacy-vm01"}, {"deploying", true},
                     {"resourceGroup", Cloud().findVm("legacy-vm01")->resourceGroup}});
    LeaveRecord(51, old);
    // A killed attach with direct upload: its managed disk is found in the record's group.
    const std::string attachMark = "2b9e6f10-3c4d-4e5f-8a7b-6c5d4e3f2a1b";
    Mutate([&](azsim::StateDocument& doc) {
        azsim::ManagedDisk disk;
        disk.name = "attach-r7-disk1";
        disk.resourceGroup = "rg-prod";
        disk.region = doc.findVm("app-win01")->region;
        disk.id = "/subscriptions/s/resourceGroups/rg-prod/providers/Microsoft.Compute/disks/attach-r7-disk1";
        disk.tags = {{"createdByJob", attachMark}};
        disk.blob = {"nosuchaccount", "disks", "attach-r7-disk1"};
        doc.managedDisks.push_back(disk);
    });
    json attach = record;
    attach.merge_patch({{"jobGuid", attachMark}, {"vmName", "app-win01"}, {"attach", true}, {"deploying", true}});
    attach["disks"] = json::array({{{"name", "attach-r7-disk1"}, {"storageAccount", ""}, {"managedDisk", true}}});
    LeaveRecord(52, attach);
    e2e::Run next = Agent({"restore", "--store", store, "--job", jobArg, "--name", "app-r3"});
    EXPECT_EQ(next.exitCode, 0) << next.err;
    EXPECT_THAT(next.out, AllOf(HasSubstr("undid restore job 50"), HasSubstr("older release"),
                                HasSubstr("undid restore job 52")));
    for (const char* vm : {"web-linux01", "legacy-vm01", "app-win01"}) EXPECT_NE(Cloud().findVm(vm), nullptr) << vm;
    EXPECT_EQ(DisksNamed("attach-r7"), 0u);
    fs::remove_all(store + "/.restore-jobs/restore-51");
    ASSERT_NE(Cloud().findVm("app-r3"), nullptr);
    EXPECT_EQ(Cloud().findVm("app-r3")->firmware, "efi");  // a Generation 2 VM stays one
    EXPECT_TRUE(NoRestoreWorkLeft());
}

}  // namespace
