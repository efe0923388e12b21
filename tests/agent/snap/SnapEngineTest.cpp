// The agent's snapshot engine, its job record and the undoing of killed snapshot-engine jobs,
// against a plugin that answers snapshot operations from a table; the undoing of killed reverts.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "agent/snap/PluginSnapEngine.h"
#include "agent/snap/SnapCleanup.h"
#include "agent/snap/SnapRestoreCleanup.h"
#include "agent/snap/SnapJobRecord.h"
#include "agent/store/FolderLock.h"
#include "azsim/model/SubscriptionState.h"
#include "host/snap/CVMSnapUtil.h"
#include "host/snap/SnapCatalog.h"
#include "host/vminfo/CVMInfo.h"
#include "tests/support/SimulatedCloud.h"

namespace fs = std::filesystem;
using namespace vsagent;

namespace {

// Answers each entity by its GUID: a status, a set id and a failure reason.
struct Answer {
    int status = 0;
    std::string snapshotId;
    std::string reason;
};

class TablePlugin : public CVMInfo {
public:
    TablePlugin() : CVMInfo(VSINST_AZURE_RESOURCE_MANAGER) {}
    int PerformSnapOperation(const SnapOperationCtx& constOp) override {
        SnapOperationCtx& op = const_cast<SnapOperationCtx&>(constOp);
        calls.push_back(op);
        for (SSnapEntityInfo& e : op.entities) {
            const Answer& a = answers[e.guid];
            e.status = a.status;
            e.snapshotId = a.snapshotId.empty() && op.operation == SNAP_OP_DELETE ? e.snapshotId : a.snapshotId;
            e.failure.reason = a.reason;
        }
        if (op.entities.size() == 1 && op.entities[0].status != 0)
            SetLastVMError(VMINFO_ERR_VM_SNAPSHOT_CREATE, "the only VM failed");
        return result;
    }
    std::map<std::string, Answer> answers;
    std::vector<SnapOperationCtx> calls;
    int result = 1;
};

SMVolSnapInfo Volumes(const std::vector<std::pair<std::string, std::string>>& vms, NXJobID jobId) {
    SMVolSnapInfo info;
    for (const auto& [guid, filtered] : vms) {
        SMVolumeInfo volume;
        volume.sourceGuid = guid;
        volume.sourceDevice = "vm-" + guid;
        volume.jobId = jobId;
        const int index = info.addVolume(volume, 1);
        if (!filtered.empty()) info.updateTransientMetadata(index, 1, SM_TRANSIENT_FILTERED_DISKS, filtered);
    }
    return info;
}

class SnapEngine : public ::testing::Test {
protected:
    ~SnapEngine() override {
        CVMSnapUtil::InstallEngine(nullptr);
        CVMSnapUtil::SetCatalogRoot("");
    }
    testsupport::TempDir dir;
    TablePlugin plugin;
};

}  // namespace

TEST_F(SnapEngine, EachVolumeGetsItsEntityAndItsOutcome) {
    // A lone VM's failure reads the plugin's error text, which is stale for any later operation of several.
    SMVolSnapInfo one = Volumes({{"g-lone", ""}}, 5);
    plugin.answers["g-lone"] = {SNAP_ENTITY_CREATE_FAILED, "", ""};
    ASSERT_TRUE(PluginSnapEngine(plugin).TakeSnapshots(MountCtx(), one));
    EXPECT_EQ(one.snaps.at(0).errorText, "the only VM failed");
    plugin.calls.clear();

    plugin.answers = {{"g-ok", {0, "set-ok", ""}},
                      {"g-bad", {SNAP_ENTITY_CREATE_FAILED, "", "quota exceeded"}},
                      {"g-empty", {0, "", ""}}};  // "ok" without a set is no snapshot
    const std::string disks = "/subscriptions/s/resourceGroups/g/providers/Microsoft.Compute/disks/d1,,"
                              "https://acct.blob.core.windows.net/vhds/d2.vhd";
    SMVolSnapInfo info = Volumes({{"g-ok", disks}, {"g-bad", ""}, {"g-empty", ""}}, (1LL << 33) + 1);
    ASSERT_TRUE(PluginSnapEngine(plugin).TakeSnapshots(MountCtx(), info));

    ASSERT_EQ(plugin.calls.size(), 1u);  // every VM in one operation
    const SnapOperationCtx& op = plugin.calls[0];
    EXPECT_EQ(op.operation, SNAP_OP_CREATE);
    ASSERT_EQ(op.entities.size(), 3u);
    EXPECT_EQ(op.entities[0].name, "vm-g-ok");
    EXPECT_EQ(op.entities[0].filteredDisks, "d1,d2.vhd");
    EXPECT_EQ(op.entities[1].filteredDisks, "");
    EXPECT_EQ(op.entities[2].jobId, (1LL << 33) + 1);

    ASSERT_EQ(info.snaps.size(), 3u);
    EXPECT_EQ(info.numOfSnap(), 1u);
    struct Row {
        int status, code;
        const char* id;
        const char* text;
    } rows[] = {{SM_SNAP_STATUS_SUCCESS, 0, "set-ok", ""},
                {SM_SNAP_STATUS_FAILED, 39, "", "quota exceeded"},
                {SM_SNAP_STATUS_FAILED, 39, "", "the snapshot of VM [vm-g-empty] was not created"}};
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(info.volSnapMap[i].volumeId, info.volumes[i].volumeId);
        EXPECT_EQ(info.snaps[i].status, rows[i].status);
        EXPECT_EQ(info.snaps[i].errorCode, rows[i].code);
        EXPECT_EQ(info.snaps[i].uniqueIdentifier, rows[i].id);
        EXPECT_EQ(info.snaps[i].errorText, rows[i].text);
    }

    // An operation that fails records nothing.
    plugin.result = 0;
    SMVolSnapInfo refused = Volumes({{"g-ok", ""}}, 5);
    EXPECT_FALSE(PluginSnapEngine(plugin).TakeSnapshots(MountCtx(), refused));
    EXPECT_TRUE(refused.snaps.empty());
}

TEST_F(SnapEngine, RecordIsReadBackOnlyWhenWellFormedForItsFolder) {
    const std::string folder = SnapJobFolder(dir.path(), 12);
    fs::create_directories(folder);
    SnapJobRecord record;
    record.jobId = 12;
    record.jobGuid = "guid-12";
    record.vms = {{"a", "g-a", "rg", 0, "", 3, "set-a", 0}, {"b", "g-b", "rg", 39, "quota", 4, "", 17}};
    record.write(folder);
    std::optional<SnapJobRecord> read = SnapJobRecord::Read(folder);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->state, SnapJobRecord::kRunning);
    ASSERT_EQ(read->vms.size(), 2u);
    EXPECT_EQ(read->vms[1].status, 39);
    EXPECT_EQ(read->vms[1].details, "quota");
    EXPECT_EQ(read->vms[0].snapshotGuid, "set-a");
    EXPECT_EQ(read->vms[1].archiveFileId, 4u);
    EXPECT_EQ(read->vms[1].childJobId, 17);

    struct Bad {
        const char* why;
        std::function<void(SnapJobRecord&)> change;
    } bad[] = {{"another job's record", [](SnapJobRecord& r) { r.jobId = 13; }},
               {"no job mark", [](SnapJobRecord& r) { r.jobGuid.clear(); }},
               {"unknown state", [](SnapJobRecord& r) { r.state = "paused"; }},
               {"VM without GUID", [](SnapJobRecord& r) { r.vms[0].guid.clear(); }}};
    for (const Bad& b : bad) {
        SnapJobRecord changed = record;
        b.change(changed);
        changed.write(folder);
        EXPECT_FALSE(SnapJobRecord::Read(folder)) << b.why;
    }
}

TEST_F(SnapEngine, KilledJobLosesOnlyTheSetsItsMarkIsOn) {
    testsupport::SimulatedCloud cloud;
    azsim::SubscriptionState(cloud.dir()).mutate([](azsim::StateDocument& doc) {
        for (const char* job : {"dead", "live", "done"}) {
            azsim::ManagedSnapshot snap;
            snap.id = std::string("snap-") + job;
            snap.tags = {{"QD_SNAPSHOT_GUID", std::string("set-") + job}, {"createdByJob", std::string("mark-") + job},
                         {"QD_VM_NAME", std::string("vm-") + job}, {"QD_VM_GUID", std::string("g-") + job}};
            doc.snapshots.push_back(snap);
        }
        return true;
    });
    const CloudCredentials credentials{testsupport::SimulatedCloud::kSubscriptionId,
                                       testsupport::SimulatedCloud::kApplicationId,
                                       testsupport::SimulatedCloud::kSecret};
    PluginSnapEngine::Install(plugin, dir.path());  // the catalog the store's snap jobs write to
    ASSERT_EQ(CVMSnapUtil::GetCatalogRoot(), (fs::path(dir.path()) / "snapshots").string());
    std::map<std::string, std::optional<FolderLock>> locks;
    for (const auto& [job, state] : std::map<std::string, const char*>{
             {"dead", SnapJobRecord::kRunning}, {"live", SnapJobRecord::kRunning}, {"done", SnapJobRecord::kComplete}}) {
        SnapJobRecord record;
        record.jobId = job == "dead" ? 1 : job == "live" ? 2 : 3;
        record.jobGuid = "mark-" + job;
        record.state = state;
        record.vms = {{"vm-" + job, "g-" + job, "rg", 0, "", 0, "", record.jobId + 10}};  // a VM-centric child job
        const std::string folder = SnapJobFolder(dir.path(), record.jobId);
        fs::create_directories(folder);
        record.write(folder);
        std::uint32_t id = 0;
        std::string error;
        for (long long owner : {record.jobId, record.jobId + 10})
            ASSERT_TRUE(snapcatalog::CreateArchiveFile(owner, "g-" + job, id, error)) << error;
        if (job == "live") locks[job] = FolderLock::Try(folder, FolderLock::Mode::Exclusive);  // still running
    }
    // A deletion that fails keeps the dead job for a later run.
    plugin.answers["g-dead"] = {SNAP_ENTITY_DELETE_FAILED, "", "locked"};
    std::vector<std::string> notes = UndoDeadSnapJobs(plugin, dir.path(), credentials);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NE(notes[0].find("is kept for a later run"), std::string::npos) << notes[0];
    EXPECT_EQ(SnapJobRecord::Read(SnapJobFolder(dir.path(), 1))->state, SnapJobRecord::kRunning);

    plugin.answers["g-dead"] = {};
    plugin.calls.clear();
    notes = UndoDeadSnapJobs(plugin, dir.path(), credentials);
    ASSERT_EQ(notes.size(), 1u);
    ASSERT_EQ(plugin.calls.size(), 1u);
    EXPECT_EQ(plugin.calls[0].operation, SNAP_OP_DELETE);
    ASSERT_EQ(plugin.calls[0].entities.size(), 1u);
    EXPECT_EQ(plugin.calls[0].entities[0].snapshotId, "set-dead");
    EXPECT_EQ(plugin.calls[0].entities[0].name, "vm-dead");
    EXPECT_EQ(SnapJobRecord::Read(SnapJobFolder(dir.path(), 1))->state, SnapJobRecord::kUndone);
    for (long long job : {1LL, 2LL, 3LL, 11LL, 12LL, 13LL}) {
        std::vector<snapcatalog::ArchiveFile> files;
        std::string error;
        ASSERT_TRUE(snapcatalog::ListArchiveFiles(job, files, error));
        ASSERT_EQ(files.size(), 1u);
        EXPECT_EQ(files[0].valid, job % 10 != 1) << job;
    }
    EXPECT_TRUE(UndoDeadSnapJobs(plugin, dir.path(), credentials).empty());  // undone once
}

TEST(SnapRestoreUndo, RemovesWhatCarriesTheMarkButNeverTheSourceVmsDisks) {
    using testsupport::SimulatedCloud;
    const std::string mark = "8e1f2a3b-4c5d-4e6f-9a0b-1c2d3e4f5a6b";
    // The job's VM was built on the source VM's disks, which carry its mark too: listed in the record as
    // the source's, they stay; unlisted, they are the job's like its own unattached disk.
    for (const bool listed : {true, false}) {
        SCOPED_TRACE(listed);
        SimulatedCloud cloud(SimulatedCloud::Seed::Demo);
        const azsim::SubscriptionState state(cloud.dir());
        SnapRestoreRecord record;
        record.jobId = 7;
        record.jobGuid = mark;
        std::string own;
        state.mutate([&](azsim::StateDocument& doc) {
            azsim::VirtualMachine& vm = *doc.findVm("web-linux01");
            vm.tags["createdByJob"] = mark;
            for (const azsim::DiskAttachment& a : vm.disks) {
                doc.findManagedDisk(a.id)->tags["createdByJob"] = mark;
                if (listed) record.sourceDisks.push_back(a.id);
            }
            azsim::ManagedDisk disk = *doc.findManagedDisk(vm.disks[0].id);
            own = disk.id += "-own";
            disk.name += "-own";
            disk.blob.name += "-own";
            disk.state = "Unattached";
            doc.managedDisks.push_back(disk);
            return true;
        });
        std::string problem;
        EXPECT_TRUE(UndoSnapRestore(record,
                                    {SimulatedCloud::kSubscriptionId, SimulatedCloud::kApplicationId,
                                     SimulatedCloud::kSecret},
                                    problem))
            << problem;
        const azsim::StateDocument doc = state.load();
        EXPECT_EQ(doc.findVm("web-linux01"), nullptr);
        EXPECT_EQ(doc.findManagedDisk(own), nullptr);
        EXPECT_EQ(std::count_if(doc.managedDisks.begin(), doc.managedDisks.end(),
                                [](const azsim::ManagedDisk& d) { return d.name.rfind("web-linux01", 0) == 0; }),
                  listed ? 3 : 0);
        EXPECT_NE(doc.findVm("app-win01"), nullptr);
    }
    // A folder without a record made nothing and goes; a record not of its folder is left for a person;
    // a job whose leftovers cannot be looked up keeps its record for a later run.
    testsupport::TempDir store;
    const std::string empty = SnapRestoreFolder(store.path(), 8), own = SnapRestoreFolder(store.path(), 9),
                      foreign = SnapRestoreFolder(store.path(), 10);
    SnapRestoreRecord record;
    record.jobId = 9;
    record.jobGuid = mark;
    record.vmName = record.resourceGroup = record.sourceVmName = "vm";
    for (const std::string& folder : {empty, own, foreign}) fs::create_directories(folder);
    record.write(own);
    record.write(foreign);
    std::string lines;
    for (const std::string& line : UndoDeadSnapRestores(store.path(), {}))
        lines += line + "\n";
    EXPECT_EQ(std::make_tuple(fs::exists(empty), fs::exists(own), fs::exists(foreign)),
              std::make_tuple(false, true, true));
    for (const char* text : {"of a killed snap restore that had made nothing", "snap restore job 9 did not undo",
                             "restore-10] cannot be read"})
        EXPECT_NE(lines.find(text), std::string::npos) << lines;
}
