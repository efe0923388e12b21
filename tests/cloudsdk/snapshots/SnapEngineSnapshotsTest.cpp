// Snapshot-engine sets (the VM snapshots CreateVMSnapshot takes) beside a backup's set of the same disks:
// each carries its kind's marker, and the look-ups by set GUID find only the kind they are asked for.
#include "tests/cloudsdk/restore/WrapperFixture.h"

using namespace wrappertest;

namespace {

const char* const kEngineMarker = "_ORVALENTA_QDMD_SNAP_";

class SnapEngineSnapshots : public WrapperTest {
protected:
    // A VM snapshot of `vm` taken as the snapshot engine asks for one; returns the set's GUID.
    std::string EngineSet(const std::string& vm, std::vector<SDisk>& snapped) {
        std::string id, ref;
        EXPECT_TRUE(sdk.CreateVMSnapshot(vm, state.load().findVm(vm)->guid, true, "", 5, id, snapped, ref))
            << sdk.GetLastErrorString();
        return id;
    }
    // A backup's set of every disk of `vm`; returns its GUID.
    std::string BackupSet(const std::string& vm, std::vector<SDisk>& snapped) {
        SVMInfo info;
        EXPECT_TRUE(sdk.GetVMInfoForVM(vm, "", "", 0, 0, info));
        std::string guid;
        EXPECT_TRUE(sdk.CreateDiskSnapshots(info.disks, info.resourceGroup, info.region, vm, 1, 1, guid, snapped))
            << sdk.GetLastErrorString();
        return guid;
    }
    // Gives every snapshot of the set `from` the GUID `to`, as if two kinds had been taken under one GUID.
    void Retag(const std::string& from, const std::string& to) {
        state.mutate([&](azsim::StateDocument& doc) {
            for (azsim::ManagedSnapshot& s : doc.snapshots)
                if (s.tags["QD_SNAPSHOT_GUID"] == from) s.tags["QD_SNAPSHOT_GUID"] = to;
            for (azsim::BlobSnapshot& s : doc.blobSnapshots)
                if (s.metadata["QD_SNAPSHOT_GUID"] == from) s.metadata["QD_SNAPSHOT_GUID"] = to;
            return true;
        });
    }
    std::string SourceDisk(const std::string& vm, size_t index) { return state.load().findVm(vm)->disks[index].id; }
};

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

TEST_F(SnapEngineSnapshots, EveryMemberOfAVmSnapshotShowsItsGuidMarkerAndJob) {
    for (const char* vm : {"web-linux01", "legacy-vm01"}) {  // managed snapshots, page-blob snapshots
        SCOPED_TRACE(vm);
        std::vector<SDisk> snapped;
        const std::string guid = EngineSet(vm, snapped);
        nlohmann::json shown = state.load().toJson();  // what the tool's show command prints
        const bool managed = std::string(vm) == "web-linux01";
        size_t members = 0;
        for (const nlohmann::json& snap : shown[managed ? "snapshots" : "blobSnapshots"]) {
            const nlohmann::json& tags = snap[managed ? "tags" : "metadata"];
            ++members;
            EXPECT_EQ(tags.value("QD_SNAPSHOT_GUID", ""), guid);
            EXPECT_EQ(tags.value("QD_SNAPSHOT_MARKER", ""), kEngineMarker);
            EXPECT_EQ(tags.value("createdByJob", ""), testsupport::JobGuidOf(7));
            EXPECT_TRUE(!managed || snap["name"].get<std::string>().find(kEngineMarker) != std::string::npos);
        }
        EXPECT_EQ(members, snapped.size());
        ASSERT_TRUE(sdk.DeleteVMSnapshot(vm, "", guid, "", true));
    }
}

TEST_F(SnapEngineSnapshots, DiskSnapshotsAreFoundByGuidKindAndGroup) {
    std::vector<SDisk> backup, engine, full;
    const std::string guid = EngineSet("web-linux01", engine);
    Retag(BackupSet("web-linux01", backup), guid);  // the backup's snapshots, listed after, carry that GUID too
    state.mutate([](azsim::StateDocument& doc) {
        doc.findRegion("westeurope")->incrementalSnapshots = false;
        return true;
    });
    const std::string fullGuid = EngineSet("web-linux01", full);
    const std::string disk = SourceDisk("web-linux01", 1);

    struct Row {
        const char* what;
        std::string guid;
        bool snapBackup;
        const char* group;
        bool allGroups;
        bool byUri;  // the disk names its source by uri alone
        std::string found;  // the one snapshot expected; empty: none
        bool incremental;
    } rows[] = {
        {"engine's, in its group", guid, true, "rg-prod", false, false, engine[1].managedDiskId, true},
        {"GUID and group in capitals", Upper(guid), true, "RG-PROD", false, false, engine[1].managedDiskId, true},
        {"source named by uri", guid, true, "rg-prod", false, true, engine[1].managedDiskId, true},
        {"backup's, marker clear", guid, false, "rg-prod", false, false, backup[1].managedDiskId, true},
        {"full snapshot", fullGuid, true, "rg-prod", false, false, full[1].managedDiskId, false},
        {"full snapshot is no backup's", fullGuid, false, "rg-prod", false, false, "", false},
        {"another group", guid, true, "rg-test", false, false, "", false},
        {"another group, all searched", guid, true, "rg-test", true, false, engine[1].managedDiskId, true},
        {"no group, all searched", guid, true, "", true, false, engine[1].managedDiskId, true},
        {"unknown GUID", "0f0f0f0f-0000-0000-0000-000000000000", true, "", true, false, "", false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        SDisk source;
        (r.byUri ? source.uri : source.managedDiskId) = disk;
        std::vector<SDisk> found(1);  // a stale entry the call must not leave behind
        ASSERT_TRUE(sdk.GetManagedDiskSnapshotsForDisk(source, r.guid, r.snapBackup, r.group, r.allGroups, found))
            << sdk.GetLastErrorString();
        if (r.found.empty()) {
            EXPECT_TRUE(found.empty());
            continue;
        }
        ASSERT_EQ(found.size(), 1u);
        const azsim::StateDocument doc = state.load();
        const azsim::ManagedSnapshot* snap = doc.findSnapshot(r.found);
        ASSERT_NE(snap, nullptr);
        EXPECT_EQ(std::tie(found[0].managedDiskId, found[0].uri, found[0].name, found[0].resourceGroup),
                  std::tie(snap->id, snap->id, snap->name, snap->resourceGroup));
        EXPECT_EQ(found[0].capacity, static_cast<long long>(snap->sizeBytes));
        EXPECT_GT(found[0].capacity, 0);
        EXPECT_TRUE(found[0].isManaged);
        EXPECT_EQ(found[0].incrementalSnapshot, r.incremental);
    }
    // The previous-snapshot look-up of incremental backups keeps the kinds apart the same way.
    std::string id;
    ASSERT_TRUE(sdk.GetManagedDiskSnapshotIDForSnapshotGUID(disk, guid, false, "rg-prod", id));
    EXPECT_EQ(id, backup[1].managedDiskId);
    ASSERT_TRUE(sdk.GetManagedDiskSnapshotIDForSnapshotGUID(disk, guid, true, "rg-prod", id));
    EXPECT_EQ(id, engine[1].managedDiskId);
}

TEST_F(SnapEngineSnapshots, DiskLookupRefusalsAndFaultsSayWhy) {
    std::vector<SDisk> engine;
    const std::string guid = EngineSet("web-linux01", engine);
    SDisk disk, noId;
    disk.managedDiskId = SourceDisk("web-linux01", 0);
    noId.name = "orphan";
    azsim::FaultBook(cloud.dir()).addSdkFault({"GetManagedDiskSnapshotsForDisk", 5, "Throttled: try later", 1});
    struct Row {
        SDisk disk;
        std::string guid;
        const char* group;
        bool allGroups;
        int code;
        const char* text;
    } rows[] = {
        {disk, guid, "rg-prod", false, 5, "Throttled: try later"},  // the injected fault, used up here
        {disk, "", "rg-prod", false, AzureSDKCppBridge::SDK_ERR_GENERAL, "No snapshot set GUID given"},
        {noId, guid, "rg-prod", false, AzureSDKCppBridge::SDK_ERR_GENERAL, "Disk [orphan] names no managed disk"},
        {disk, guid, "", false, AzureSDKCppBridge::SDK_ERR_GENERAL, "No resource group given"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text);
        std::vector<SDisk> found(1);
        EXPECT_FALSE(sdk.GetManagedDiskSnapshotsForDisk(r.disk, r.guid, true, r.group, r.allGroups, found));
        EXPECT_EQ(sdk.GetLastErrorCode(), r.code);
        EXPECT_TRUE(ErrorHas(r.text)) << sdk.GetLastErrorString();
        EXPECT_EQ(found.size(), 1u);
    }
    std::vector<SDisk> found;
    ASSERT_TRUE(sdk.GetManagedDiskSnapshotsForDisk(disk, guid, true, "rg-prod", false, found));
    EXPECT_EQ(found.size(), 1u);
    const std::vector<nlohmann::json> calls = cloud.journal("GetManagedDiskSnapshotsForDisk");
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls.back()["args"]["disk"], disk.managedDiskId);
}

TEST_F(SnapEngineSnapshots, BlobSnapshotUriIsTheOneOfTheKindAskedFor) {
    std::vector<SDisk> backup, engine;
    const std::string backupGuid = BackupSet("legacy-vm01", backup);
    const std::string guid = EngineSet("legacy-vm01", engine);
    const std::string blob = backup[0].uri.substr(0, backup[0].uri.find('?'));
    struct Row {
        const char* what;
        std::string guid;
        bool snapBackup;
        std::string found;  // empty: none, code 8
    } rows[] = {
        {"engine's", guid, true, engine[0].uri},
        {"engine's, GUID in capitals", Upper(guid), true, engine[0].uri},
        {"engine's is no backup's", guid, false, ""},
        {"backup's", backupGuid, false, backup[0].uri},
        {"backup's is no engine's", backupGuid, true, ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        std::string uri = "unchanged";
        EXPECT_EQ(sdk.GetSnapshotURI(blob, r.guid, r.snapBackup, uri), !r.found.empty());
        EXPECT_EQ(uri, r.found.empty() ? "unchanged" : r.found);
        EXPECT_TRUE(!r.found.empty() || sdk.GetLastErrorCode() == AzureSDKCppBridge::SDK_ERR_NOT_FOUND);
    }
    // Under one GUID (the backup's snapshot listed first), each kind still answers with its own.
    Retag(backupGuid, guid);
    std::string uri;
    ASSERT_TRUE(sdk.GetSnapshotURI(blob, guid, true, uri));
    EXPECT_EQ(uri, engine[0].uri);
    ASSERT_TRUE(sdk.GetSnapshotURI(blob, guid, false, uri));
    EXPECT_EQ(uri, backup[0].uri);
}

}  // namespace
