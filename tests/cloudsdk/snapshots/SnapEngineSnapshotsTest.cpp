// Snapshot-engine sets (the VM snapshots CreateVMSnapshot takes) beside a backup's set of the same disks:
// each carries its kind's marker, and the look-ups by set GUID find only the kind they are asked for.
#include <boost/algorithm/string/case_conv.hpp>

#include "tests/cloudsdk/restore/WrapperFixture.h"

using namespace wrappertest;
using boost::algorithm::to_upper_copy;

namespace {

const char* const kEngineMarker = "_ORVALENTA_QDMD_SNAP_";

class SnapEngineSnapshots : public WrapperTest {
protected:
    // A VM snapshot of `vm` taken as the snapshot engine asks for one; returns the set's GUID.
    std::string EngineSet(const std::string& vm, std::vector<SDisk>& snapped) {
        std::string id, ref;
        EXPECT_TRUE(sdk.CreateVMSnapshot(vm, state.load().findVm(vm)->guid, true, "", 5, id, snapped, ref));
        return id;
    }
    // A backup's set of every disk of `vm`; returns its GUID.
    std::string BackupSet(const std::string& vm, std::vector<SDisk>& snapped) {
        SVMInfo info;
        std::string guid;
        EXPECT_TRUE(sdk.GetVMInfoForVM(vm, "", "", 0, 0, info) &&
                    sdk.CreateDiskSnapshots(info.disks, info.resourceGroup, info.region, vm, 1, 1, guid, snapped));
        return guid;
    }
    // Gives every snapshot of the set `from` the GUID `to`, as if two kinds had been taken under one GUID.
    void Retag(const std::string& from, const std::string& to) {
        Edit([&](azsim::StateDocument& doc) {
            for (azsim::ManagedSnapshot& s : doc.snapshots)
                if (s.tags["QD_SNAPSHOT_GUID"] == from) s.tags["QD_SNAPSHOT_GUID"] = to;
            for (azsim::BlobSnapshot& s : doc.blobSnapshots)
                if (s.metadata["QD_SNAPSHOT_GUID"] == from) s.metadata["QD_SNAPSHOT_GUID"] = to;
        });
    }
};

TEST_F(SnapEngineSnapshots, EveryMemberOfAVmSnapshotShowsItsGuidMarkerAndJob) {
    for (const bool managed : {true, false}) {
        std::vector<SDisk> snapped;
        const std::string guid = EngineSet(managed ? "web-linux01" : "legacy-vm01", snapped);
        const nlohmann::json shown = state.load().toJson()[managed ? "snapshots" : "blobSnapshots"];  // as printed
        ASSERT_EQ(shown.size(), snapped.size());
        for (const nlohmann::json& snap : shown) {
            const nlohmann::json& tags = snap[managed ? "tags" : "metadata"];
            EXPECT_EQ(tags.value("QD_SNAPSHOT_GUID", "") + tags.value("QD_SNAPSHOT_MARKER", ""), guid + kEngineMarker);
            EXPECT_EQ(tags.value("createdByJob", ""), testsupport::JobGuidOf(7));
            EXPECT_TRUE(!managed || snap["name"].get<std::string>().find(kEngineMarker) != std::string::npos);
        }
        // A disk made from the snapped disk (managed disk id or page blob URL) and the set GUID holds the snapshot's
        // bytes, not the disk's later ones, and is the job's own.
        const azsim::StateDocument doc = state.load();
        const azsim::VirtualMachine& vm = *doc.findVm(managed ? "web-linux01" : "legacy-vm01");
        const azsim::BlobKey live = *doc.diskBlob(vm, 0), made{kStaging, "vhds", "made.vhd"};
        const std::string atSnap = Read(live), url = azsim::PageBlobUri(live), later(1024, 'q');
        ASSERT_TRUE(state.blobs().writePages(live, 0, later.data(), later.size(), nullptr));
        std::string id;
        ASSERT_TRUE(managed ? sdk.CreateManagedDiskFromSnapshot(vm.disks[0].id, "", guid, "m1", "rg-prod", "", "", "",
                                                                "", false, true, true, "", id)
                            : sdk.CreateDiskFromSnapshot(url, made.account, "vhds", made.name, guid, id, false, false))
            << sdk.GetLastErrorString();
        EXPECT_EQ(Read(managed ? state.load().findManagedDisk(id)->blob : made), atSnap);
        auto unmark = [&](azsim::StateDocument& d) { return d.findUnmanagedDisk(made)->tags.erase("createdByJob") == 1; };
        if (managed) continue;
        ASSERT_TRUE(state.mutate(unmark));
        // A blob written over keeps whose it was (here no one's), and one a VM holds is refused.
        ASSERT_TRUE(sdk.CreateDiskFromSnapshot(url, made.account, "vhds", made.name, guid, id, true, false));
        EXPECT_EQ(state.load().findUnmanagedDisk(made)->tags.count("createdByJob"), 0u);
        EXPECT_FALSE(sdk.CreateDiskFromSnapshot(url, live.account, "vhds", live.name, guid, id, true, false));
    }
}

// Each look-up finds only the kind, GUID and group it asks for; a refusal or fault says why and leaves the
// caller's list as it was.
TEST_F(SnapEngineSnapshots, DiskSnapshotsAreFoundByGuidKindAndGroupOrRefusedSayingWhy) {
    std::vector<SDisk> backup, engine, full;
    const std::string guid = EngineSet("web-linux01", engine);
    Retag(BackupSet("web-linux01", backup), guid);  // the backup's snapshots, listed after, carry that GUID too
    Edit([](azsim::StateDocument& doc) { doc.findRegion("westeurope")->incrementalSnapshots = false; });
    const std::string fullGuid = EngineSet("web-linux01", full);
    const std::string disk = state.load().findVm("web-linux01")->disks[1].id;
    SDisk byId, byUri, noId;
    byId.managedDiskId = disk;
    byUri.uri = disk;  // the disk names its source by uri alone
    noId.name = "orphan";
    azsim::FaultBook(cloud.dir()).addSdkFault({"GetManagedDiskSnapshotsForDisk", 5, "Throttled: try later", 1});
    const int general = AzureSDKCppBridge::SDK_ERR_GENERAL;
    const struct {
        const char* what;
        const SDisk& source;
        std::string guid;
        bool snapBackup;
        const char* group;
        bool allGroups;
        std::string found;  // the one snapshot expected; empty: none
        int code;
        const char* text;   // empty: the look-up succeeds
    } rows[] = {
        {"injected fault, used up here", byId, guid, true, "rg-prod", false, "", 5, "Throttled: try later"},
        {"no GUID", byId, "", true, "rg-prod", false, "", general, "No snapshot set GUID given"},
        {"no managed disk", noId, guid, true, "rg-prod", false, "", general, "Disk [orphan] names no managed disk"},
        {"no group", byId, guid, true, "", false, "", general, "No resource group given"},
        {"engine's, in its group", byId, guid, true, "rg-prod", false, engine[1].managedDiskId, 0, ""},
        {"GUID and group in capitals", byId, to_upper_copy(guid), true, "RG-PROD", false, engine[1].managedDiskId, 0,
         ""},
        {"source named by uri", byUri, guid, true, "rg-prod", false, engine[1].managedDiskId, 0, ""},
        {"backup's, marker clear", byId, guid, false, "rg-prod", false, backup[1].managedDiskId, 0, ""},
        {"full snapshot", byId, fullGuid, true, "rg-prod", false, full[1].managedDiskId, 0, ""},
        {"full snapshot is no backup's", byId, fullGuid, false, "rg-prod", false, "", 0, ""},
        {"another group", byId, guid, true, "rg-test", false, "", 0, ""},
        {"another group, all searched", byId, guid, true, "rg-test", true, engine[1].managedDiskId, 0, ""},
        {"no group, all searched", byId, guid, true, "", true, engine[1].managedDiskId, 0, ""},
        {"unknown GUID", byId, "0f0f0f0f-0000-0000-0000-000000000000", true, "", true, "", 0, ""},
    };
    const std::size_t journaled = cloud.journal("GetManagedDiskSnapshotsForDisk").size();
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        std::vector<SDisk> found(1);  // a stale entry a successful call must not leave behind
        const bool ok = sdk.GetManagedDiskSnapshotsForDisk(r.source, r.guid, r.snapBackup, r.group, r.allGroups, found);
        ASSERT_EQ(ok, *r.text == '\0') << sdk.GetLastErrorString();
        if (!ok) {
            EXPECT_EQ(sdk.GetLastErrorCode(), r.code);
            EXPECT_TRUE(ErrorHas(r.text) && found.size() == 1) << sdk.GetLastErrorString();
            continue;
        }
        ASSERT_EQ(found.size(), r.found.empty() ? 0u : 1u);
        if (r.found.empty()) continue;
        const azsim::StateDocument doc = state.load();
        const azsim::ManagedSnapshot& snap = *doc.findSnapshot(r.found);
        EXPECT_EQ(std::tie(found[0].managedDiskId, found[0].uri, found[0].name, found[0].resourceGroup),
                  std::tie(snap.id, snap.id, snap.name, snap.resourceGroup));
        EXPECT_EQ(std::make_tuple(found[0].capacity, found[0].isManaged, found[0].incrementalSnapshot),
                  std::make_tuple(static_cast<long long>(snap.sizeBytes), true, r.guid != fullGuid));
    }
    const std::vector<nlohmann::json> calls = cloud.journal("GetManagedDiskSnapshotsForDisk");
    ASSERT_EQ(calls.size(), journaled + std::size(rows));
    EXPECT_EQ(calls.back()["args"]["disk"], disk);
    // The previous-snapshot look-up of incremental backups keeps the kinds apart the same way.
    std::string backupId, engineId;
    ASSERT_TRUE(sdk.GetManagedDiskSnapshotIDForSnapshotGUID(disk, guid, false, "rg-prod", backupId));
    ASSERT_TRUE(sdk.GetManagedDiskSnapshotIDForSnapshotGUID(disk, guid, true, "rg-prod", engineId));
    EXPECT_EQ(backupId + " " + engineId, backup[1].managedDiskId + " " + engine[1].managedDiskId);
}

TEST_F(SnapEngineSnapshots, BlobSnapshotUriIsTheOneOfTheKindAskedFor) {
    std::vector<SDisk> backup, engine;
    const std::string backupGuid = BackupSet("legacy-vm01", backup);
    const std::string guid = EngineSet("legacy-vm01", engine);
    const std::string blob = backup[0].uri.substr(0, backup[0].uri.find('?'));
    // `found`: empty for none (code 8)
    const struct { const char* what; std::string guid; bool snapBackup; std::string found; } rows[] = {
        {"engine's", guid, true, engine[0].uri},
        {"engine's, GUID in capitals", to_upper_copy(guid), true, engine[0].uri},
        {"engine's is no backup's", guid, false, ""},
        {"backup's", backupGuid, false, backup[0].uri},
        {"backup's is no engine's", backupGuid, true, ""},
    };
    for (const auto& r : rows) {
        std::string uri = "unchanged";
        EXPECT_EQ(sdk.GetSnapshotURI(blob, r.guid, r.snapBackup, uri), !r.found.empty()) << r.what;
        EXPECT_EQ(uri, r.found.empty() ? "unchanged" : r.found) << r.what;
        EXPECT_TRUE(!r.found.empty() || sdk.GetLastErrorCode() == AzureSDKCppBridge::SDK_ERR_NOT_FOUND) << r.what;
    }
    // Under one GUID (the backup's snapshot listed first), each kind still answers with its own.
    Retag(backupGuid, guid);
    std::string engineUri, backupUri;
    ASSERT_TRUE(sdk.GetSnapshotURI(blob, guid, true, engineUri) && sdk.GetSnapshotURI(blob, guid, false, backupUri));
    EXPECT_EQ(engineUri + " " + backupUri, engine[0].uri + " " + backup[0].uri);
}

}  // namespace
