// Snapshot sets, staging copies and configuration of the SDK wrapper over the demo subscription.
#include "host/sys/Time.h"
#include "tests/cloudsdk/restore/WrapperFixture.h"

using namespace wrappertest;

namespace {

class SnapshotOperations : public WrapperTest {
protected:
    // The VM's disks as the wrapper's VM look-up reports them: managed ids or page-blob URIs.
    std::vector<SDisk> DisksOf(const std::string& vmName) {
        azsim::StateDocument doc = state.load();
        const azsim::VirtualMachine* vm = doc.findVm(vmName);
        std::vector<SDisk> disks;
        for (const azsim::DiskAttachment& a : vm->disks) {
            SDisk d;
            d.isManaged = vm->managed;
            (vm->managed ? d.managedDiskId : d.uri) = a.id;
            d.unitNumber = a.lun;
            disks.push_back(d);
        }
        return disks;
    }
    azsim::BlobKey BlobOf(const std::string& vmName, size_t index) {
        azsim::StateDocument doc = state.load();
        return *doc.diskBlob(*doc.findVm(vmName), index);
    }
    void Write(const azsim::BlobKey& key, uint64_t offset, const std::string& bytes) {
        std::string error;
        ASSERT_TRUE(state.blobs().writePages(key, offset, bytes.data(), bytes.size(), &error)) << error;
    }
};

TEST_F(SnapshotOperations, PageBlobSetServesStagingCopiesAndGoesWithItsFrozenData) {
    std::vector<SDisk> disks = DisksOf("legacy-vm01"), snapped;
    std::string guid;
    ASSERT_TRUE(sdk.CreateDiskSnapshots(disks, "rg-legacy", "germanywestcentral", "legacy-vm01", 1, 9, guid, snapped))
        << sdk.GetLastErrorString();
    ASSERT_EQ(snapped.size(), disks.size());
    std::optional<azsim::BlobUri> uri = azsim::ParseBlobUri(snapped[0].uri);
    ASSERT_TRUE(uri);

    int blobSnapshots = 0;
    ASSERT_TRUE(sdk.GetBlobSnapshotCount(uri->account, uri->container, uri->blob, false, blobSnapshots));
    EXPECT_EQ(blobSnapshots, 1);

    Write(uri->key(), 1 << 20, std::string(512, 'w'));
    std::string staging;
    ASSERT_TRUE(sdk.CreateBackupBlobFromSnapshot(snapped[0].uri, uri->account, uri->container, "staging.vhd", staging));
    std::optional<azsim::BlobUri> stagingUri = azsim::ParseBlobUri(staging);
    ASSERT_TRUE(stagingUri);
    EXPECT_EQ(Read(stagingUri->key(), 0, 2 << 20), Read(uri->key(), 0, 2 << 20, uri->snapshot));
    EXPECT_NE(Read(stagingUri->key(), 1 << 20, 512), std::string(512, 'w'));

    // The set goes away with its frozen data.
    ASSERT_TRUE(sdk.DeleteDiskSnapshots(guid, snapped, "rg-legacy", false));
    EXPECT_FALSE(state.blobs().exists(uri->key(), uri->snapshot));
    std::string viaGuid;
    EXPECT_FALSE(sdk.GetSnapshotURI(disks[0].uri, guid, false, viaGuid));
    EXPECT_FALSE(sdk.DeleteDiskSnapshots(guid, snapped, "rg-legacy", false));
}

// Page-blob sets are found through their VM's blobs: counted with the VM's integrity set, left alone by
// another VM's clean-up and (taken on request) by the expiry sweep; a listing that cannot be read fails the
// count instead of reading as no set.
TEST_F(SnapshotOperations, PageBlobSetsAreFoundThroughTheirVmsBlobs) {
    const std::vector<SDisk> disks = DisksOf("legacy-vm01");
    const std::string vm = "legacy-vm01", vmGuid = state.load().findVm(vm)->guid;
    std::vector<SDisk> snapped;
    std::string backup, integrity, engine, ref;
    ASSERT_TRUE(sdk.CreateDiskSnapshots(disks, "rg-legacy", "germanywestcentral", vm, 1, 9, backup, snapped));
    ASSERT_TRUE(sdk.CreateDiskSnapshots(disks, "", "", "", 0, 5, integrity, snapped));
    ASSERT_TRUE(sdk.CreateVMSnapshot(vm, vmGuid, true, "", 5, engine, snapped, ref));
    NxClock::fix(NxClock::now() + std::chrono::hours(49));
    // `count`: the VM's sets
    // `ofBackup`: those of the backup's GUID
    const struct { const char* what; std::function<bool()> step; int count; int ofBackup; } rows[] = {
        {"taken", [] { return true; }, 3, 1},
        {"another VM's clean-up", [&] { return sdk.CleanupVMSnapshot("web-linux01", "", backup, false); }, 3, 1},
        {"expiry sweep", [&] { return sdk.DeleteExpiredSnapshots("rg-legacy", vm, 48, {}); }, 2, 0},
        {"the VM's clean-up", [&] { return sdk.CleanupVMSnapshot(vm, vmGuid, engine, false); }, 1, 0},
    };
    for (const auto& row : rows) {
        int count = -1, ofBackup = -1;
        ASSERT_TRUE(row.step() && sdk.GetVMSnapshotCount(vm, "", "", count) &&
                    sdk.GetVMSnapshotCount(vm, vmGuid, backup, ofBackup))
            << row.what << ": " << sdk.GetLastErrorString();
        EXPECT_EQ(std::make_pair(count, ofBackup), std::make_pair(row.count, row.ofBackup)) << row.what;
    }
    NxClock::unfix();
    azsim::FaultBook(cloud.dir()).addHttpFault({"GET", "/legacystore01/vhds", azsim::HttpFaultKind::Status, 403,
                                                "AuthorizationFailure", 0, 0, -1});
    int count = -1;
    EXPECT_FALSE(sdk.GetVMSnapshotCount(vm, "", "", count));
    EXPECT_TRUE(count == -1 && ErrorHas("AuthorizationFailure")) << sdk.GetLastErrorString();
}

// A failed set leaves nothing behind; a set's members carry its tags and are incremental where the region
// takes incremental snapshots.
TEST_F(SnapshotOperations, FailedSetsLeaveNothingAndMembersCarryTheSetsTags) {
    std::vector<SDisk> disks = DisksOf("web-linux01"), snapped;
    std::vector<SDisk> broken = disks;
    broken[2].managedDiskId += "-gone";
    std::string guid = "untouched";
    EXPECT_FALSE(sdk.CreateDiskSnapshots(broken, "rg-prod", "westeurope", "web-linux01", 1, 1, guid, snapped));
    EXPECT_NE(sdk.GetLastErrorString().find("ResourceNotFound"), std::string::npos);
    EXPECT_EQ(guid, "untouched");
    EXPECT_TRUE(state.load().snapshots.empty());
    EXPECT_TRUE(state.blobs().snapshots(BlobOf("web-linux01", 0)).empty());
    azsim::FaultBook(cloud.dir()).addSdkFault({"CreateDiskSnapshots", 2, "Access denied to key vault", 1});
    EXPECT_FALSE(sdk.CreateDiskSnapshots(disks, "rg-prod", "westeurope", "web-linux01", 1, 1, guid, snapped));
    EXPECT_EQ(sdk.GetLastErrorCode(), 2);

    ASSERT_TRUE(sdk.CreateDiskSnapshots(disks, "rg-prod", "westeurope", "web-linux01", 11, 4242, guid, snapped))
        << sdk.GetLastErrorString();
    ASSERT_EQ(snapped.size(), 3u);
    azsim::StateDocument doc = state.load();
    for (size_t i = 0; i < snapped.size(); ++i) {
        const azsim::ManagedSnapshot* snap = doc.findSnapshot(snapped[i].managedDiskId);
        ASSERT_NE(snap, nullptr) << snapped[i].managedDiskId;
        EXPECT_EQ(std::tie(snap->tags.at("QD_SNAPSHOT_GUID"), snap->tags.at("QD_JOB_TAG"), snap->tags.at("QD_APP_ID"),
                           snapped[i].incrementalSnapshot, snapped[i].unitNumber),
                  std::make_tuple(guid, "4242", "11", true, disks[i].unitNumber));
    }
    Edit([](azsim::StateDocument& doc) { doc.findRegion("westeurope")->incrementalSnapshots = false; });
    ASSERT_TRUE(sdk.CreateDiskSnapshots(DisksOf("app-win01"), "rg-prod", "westeurope", "app-win01", 1, 1, guid, snapped));
    EXPECT_FALSE(snapped[0].incrementalSnapshot);
}

// A sweep and a count look at the named VM's sets alone.
TEST_F(SnapshotOperations, ExpirySweepAndSnapshotCountKeepToTheirVm) {
    std::vector<SDisk> snapped;
    std::string guid;
    NxClock::fix(NxClock::time_point(std::chrono::hours(500000)));
    for (const char* vm : {"web-linux01", "app-win01"})
        ASSERT_TRUE(sdk.CreateDiskSnapshots(DisksOf(vm), "rg-prod", "westeurope", vm, 1, 1, guid, snapped));
    NxClock::fix(NxClock::time_point(std::chrono::hours(500000 + 49)));
    ASSERT_TRUE(sdk.CreateDiskSnapshots(DisksOf("web-linux01"), "rg-prod", "westeurope", "web-linux01", 1, 2, guid, snapped));
    ASSERT_TRUE(sdk.DeleteExpiredSnapshots("rg-prod", "web-linux01", 48, {}));
    int count = 0;
    ASSERT_TRUE(sdk.GetVMSnapshotCount("app-win01", "", "", count));
    EXPECT_EQ(count, 1);
    NxClock::unfix();
}

TEST_F(SnapshotOperations, ConfigurationKeyBackupsTagsAndEndpointSuffixes) {
    std::string config, dek, kek;
    ASSERT_TRUE(sdk.GetVMConfigurationAndKeyBackups("rg-test", "secure-db01", config, dek, kek));
    EXPECT_EQ(nlohmann::json::parse(config)["name"], "secure-db01");
    EXPECT_EQ(sdk.GetLastErrorCode(), 0);

    Edit([](azsim::StateDocument& doc) {
        doc.findVm("secure-db01")->encryption.osDiskOnly = true;
        doc.findManagedDiskByName("secure-db01-data0")->encrypted = false;
    });
    ASSERT_TRUE(sdk.GetVMConfigurationAndKeyBackups("rg-test", "secure-db01", config, dek, kek));
    EXPECT_EQ(sdk.GetLastErrorCode(), AzureSDKCppBridge::SDK_ERR_OS_DISK_ONLY_ENCRYPTED);
    EXPECT_FALSE(sdk.GetVMConfigurationAndKeyBackups("rg-prod", "no-such-vm", config, dek, kek));

    std::string suffix;
    for (const auto& [endpoint, known, expected] : {std::make_tuple("Global", true, "blob.core.windows.net"),
                                                    std::make_tuple("AzureChinaCloud", true, "blob.core.chinacloudapi.cn"),
                                                    std::make_tuple("Mars", false, "blob.core.chinacloudapi.cn")}) {
        EXPECT_EQ(sdk.GetBlobStorageSuffixForAzureEndpoint(endpoint, suffix), known) << endpoint;
        EXPECT_EQ(suffix, expected);
    }
}

// Change ids and names come from outside: a byte that is not UTF-8 fails or answers the call like any other
// unknown name, and reaches the journal and the state document escaped, while valid UTF-8 is kept as it is.
TEST_F(SnapshotOperations, NamesThatAreNotUtf8NeverThrowAndAreStoredEscaped) {
    std::vector<SDisk> managed = DisksOf("web-linux01");
    const std::string blobUri = DisksOf("legacy-vm01")[0].uri;
    const struct { std::string id; std::string journalled; } cases[] = {
        {"guid-\xff", "guid-\\xFF"}, {"guid-\xc3", "guid-\\xC3"}, {"guid-\xc3-x", "guid-\\xC3-x"},
        {"gu\xc3\xaf" "d-\xe2\x82\xac", "gu\xc3\xaf" "d-\xe2\x82\xac"}};
    for (const auto& c : cases) {
        std::string uri = "unchanged";
        EXPECT_FALSE(sdk.GetSnapshotURI(blobUri, c.id, false, uri));
        EXPECT_EQ(sdk.GetLastErrorCode(), AzureSDKCppBridge::SDK_ERR_NOT_FOUND);
        EXPECT_EQ(sdk.GetLastErrorString(), "No snapshot of blob [" + blobUri + "] carries GUID [" + c.id + "]");
        EXPECT_EQ(uri, "unchanged");
        std::string id = "unchanged";
        EXPECT_TRUE(sdk.GetManagedDiskSnapshotIDForSnapshotGUID(managed[0].managedDiskId, c.id, false, "", id));
        EXPECT_EQ(id, "");
        EXPECT_EQ(cloud.journal("GetSnapshotURI").back()["args"]["snapshotGuid"], c.journalled);
    }

    const size_t snapshots = state.load().snapshots.size();
    std::string guid;
    std::vector<SDisk> snapped;
    ASSERT_TRUE(sdk.CreateDiskSnapshots(managed, "rg-\xff", "westeurope", "web-\xc3", 1, 2, guid, snapped))
        << sdk.GetLastErrorString();
    azsim::StateDocument doc = state.load();
    ASSERT_NE(doc.findSnapshotSet(guid), nullptr);
    EXPECT_EQ(doc.findSnapshotSet(guid)->vmName + " " + doc.findSnapshotSet(guid)->resourceGroup, "web-\\xC3 rg-\\xFF");
    EXPECT_EQ(doc.snapshots.size(), snapshots + managed.size());
    ASSERT_TRUE(sdk.DeleteDiskSnapshots(guid, snapped, "rg-\xff", false)) << sdk.GetLastErrorString();
    EXPECT_EQ(state.load().snapshots.size(), snapshots);
}

// Page ranges of a managed snapshot named by its group and name: read through the caller's SAS, or through
// an access granted for the call and ended with it, unless the snapshot was being read already.
TEST_F(SnapshotOperations, SnapshotPageRangesLeaveTheSnapshotsAccessAsTheyFoundIt) {
    std::vector<SDisk> disks = {ManagedEntry(state.load().findVm("web-linux01")->disks[0].id, true, -1)}, snapped;
    disks[0].isManaged = true;
    std::string guid, sas;
    ASSERT_TRUE(sdk.CreateDiskSnapshots(disks, "rg-prod", "westeurope", "web-linux01", 1, 1, guid, snapped))
        << sdk.GetLastErrorString();
    const std::string id = snapped.at(0).managedDiskId, name = id.substr(id.rfind('/') + 1);
    auto read = [&](const std::string& uri) {
        std::vector<VMInfoStructs::SectorRange> ranges;
        EXPECT_TRUE(sdk.GetBlobPageRanges(uri, "rg-prod", name, ranges, true)) << sdk.GetLastErrorString();
        return std::make_pair(ranges.size(), state.load().findSnapshot(id)->grant.active);
    };
    const auto idle = read(disks[0].managedDiskId);
    EXPECT_GT(idle.first, 0u);
    EXPECT_FALSE(idle.second);  // the access granted for the call ended with it
    ASSERT_TRUE(sdk.GetSASTokenURI("rg-prod", name, sas));
    EXPECT_EQ(read(disks[0].managedDiskId), std::make_pair(idle.first, true));  // another reader's access stays
    EXPECT_EQ(read(sas), std::make_pair(idle.first, true));
    std::vector<VMInfoStructs::SectorRange> none;
    EXPECT_FALSE(sdk.GetBlobPageRanges(sas, "rg-prod", "absent", none, true));
    EXPECT_EQ(sdk.GetLastErrorCode(), AzureSDKCppBridge::SDK_ERR_NOT_FOUND);
}

}  // namespace
