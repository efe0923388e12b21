#include "tests/plugin/snapops/SnapOpsFixture.h"

#include <thread>

namespace snapopstest {
namespace {

namespace fs = std::filesystem;

const char* const kGenerateTag =
    "int CVMSnapUtil::GenerateMetadataXML(const MountCtx&, const SDatastoreInfo&, const std::vector<SVolSnap>&)";
constexpr NXJobID kJob = 5000000000LL;  // 64-bit job ids key the job's VMs
constexpr NXJobID kOtherJob = 901;

class VmCentric : public SnapOpsTest {
protected:
    ~VmCentric() override {
        TestPlugin::_ForgetSnapV2VMs(kJob);
        TestPlugin::_ForgetSnapV2VMs(kOtherJob);
    }
    static std::size_t Recorded(NXJobID job) {
        const auto found = TestPlugin::c_SnapV2VMInfoMap.find(job);
        return found == TestPlugin::c_SnapV2VMInfoMap.end() ? 0 : found->second.size();
    }
    std::string VmCatalog(const VmRef& vm, NXJobID altJobId) const {
        return cloud.dir() + "/meta/VMCentric/" + vm.guid + "/vmsnap_" + std::to_string(altJobId) + ".xml";
    }
};

// Each VM is snapped alone under its child job; the job-level catalog lists the job's VMs once each.
TEST_F(VmCentric, MountCataloguesAndSnapsEachVmAndPostSnapListsTheJobsVms) {
    auto plugin = Connected();
    MountCtx web = VmCentricCtx(kWeb, kJob, 11);
    ASSERT_EQ(1, plugin->MountVM(web));
    EXPECT_EQ(3u, web.volSnaps.size());
    EXPECT_EQ(3u, log.texts(kGenerateTag).size());
    EXPECT_EQ(11, web.refJobId);
    EXPECT_EQ(std::vector<std::string>{VmCatalog(kWeb, 11)}, plugin->indexUploadFiles);
    EXPECT_EQ(1u, Count(ReadFile(VmCatalog(kWeb, 11)), "<vm "));
    const auto snapshots = cloud.journal("CreateVMSnapshot");
    ASSERT_EQ(1u, snapshots.size());
    EXPECT_EQ(11, snapshots[0]["args"]["jobId"]);
    const std::string firstSet = web.vmInfo.snapshotGuid;
    EXPECT_FALSE(firstSet.empty());
    EXPECT_TRUE(ArchiveFileValid(11, web.vmInfo.archiveFileId));

    // The catalog path falls back to the job's metadata folder when the VM has none.
    std::string path;
    web.snapMetadataFolder.clear();
    plugin->_GenerateVMSnapMetadataFilePath_VMCentric(web, path);
    EXPECT_EQ(cloud.dir() + "/meta/vmsnap_11.xml", path);

    // Mounted again, the VM keeps the record of its first mount; another job's VM stays out.
    MountCtx again = VmCentricCtx(kWeb, kJob, 12);
    ASSERT_EQ(1, plugin->MountVM(again));
    EXPECT_NE(firstSet, again.vmInfo.snapshotGuid);
    EXPECT_EQ(std::vector<std::string>{VmCatalog(kWeb, 12)}, plugin->indexUploadFiles);
    MountCtx legacy = VmCentricCtx(kLegacy, kJob, 13), app = VmCentricCtx(kApp, kOtherJob, 14);
    ASSERT_EQ(1, Connected()->MountVM(legacy));
    ASSERT_EQ(1, Connected()->MountVM(app));

    auto post = Connected();
    MountCtx job = VmCentricCtx(kWeb, kJob, 0);
    ASSERT_EQ(1, post->PostSnap(job));
    const std::string text = ReadFile(post->indexUploadFiles.back());
    EXPECT_EQ(2u, Count(text, "<vm "));
    EXPECT_EQ(1u, Count(text, "guid=\"" + std::string(kWeb.guid) + "\""));
    EXPECT_EQ(1u, Count(text, "snapshotGuid=\"" + firstSet + "\""));
    EXPECT_EQ(1u, Count(text, "guid=\"" + std::string(kLegacy.guid) + "\""));
    EXPECT_EQ(0u, Recorded(kJob));
    EXPECT_EQ(1u, Recorded(kOtherJob));

    // A job that is not VM-centric writes no catalog; a catalog that cannot be written fails the job, which ends.
    MountCtx other = VmCentricCtx(kApp, kOtherJob, 0);
    other.isVmCentric = false;
    EXPECT_EQ(1, post->PostSnap(other));
    EXPECT_EQ(1u, Recorded(kOtherJob));
    std::ofstream(cloud.dir() + "/plain") << "not a folder";
    other.isVmCentric = true;
    other.metadataDir = cloud.dir() + "/plain/meta";
    EXPECT_EQ(0, post->PostSnap(other));
    EXPECT_EQ(VMINFO_ERR_SNAP_RECORDS, post->GetLastVMError());
    EXPECT_EQ(0u, Recorded(kOtherJob));
}

// A VM whose mount fails is not in the job's catalog and its archive file is no longer valid.
TEST_F(VmCentric, FailedMountLeavesTheVmOutAndInvalidatesItsArchiveFile) {
    struct Row {
        bool cancel;
        EVMInfoError error;
        bool catalogWritten;
    };
    // The injected fault fails the snapshot without a cloud call, as a cancelled job makes none.
    const Row rows[] = {{true, VMINFO_ERR_JOB_CANCELLED, false}, {false, VMINFO_ERR_SNAPSHOT_SET_CREATE, true}};
    NXJobID alt = 20;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.cancel ? "cancelled" : "snapshot fails");
        NXPlatformInfo::setValue("VirtualServer", "InjectFaultForVM", row.cancel ? "" : kWeb.guid);
        auto plugin = Connected();
        if (row.cancel) plugin->CancelJob();
        MountCtx ctx = VmCentricCtx(kWeb, kJob, ++alt);
        EXPECT_EQ(0, plugin->MountVM(ctx));
        EXPECT_EQ(row.error, plugin->GetLastVMError());
        EXPECT_EQ(row.catalogWritten, fs::exists(VmCatalog(kWeb, alt)));
        EXPECT_TRUE(cloud.journal("CreateVMSnapshot").empty());
        EXPECT_FALSE(ArchiveFileValid(alt, ctx.vmInfo.archiveFileId));
        EXPECT_EQ(0u, Recorded(kJob));
    }
}

// Eight plugin objects mount VMs of one job at once; each VM is recorded exactly once.
TEST_F(VmCentric, EightThreadsMountVmsOfOneJobAndTheCatalogListsEachOnce) {
    const VmRef vms[] = {kWeb, kApp, kLegacy, kSecure};
    std::vector<MountCtx> contexts;
    for (int i = 0; i < 8; ++i) contexts.push_back(VmCentricCtx(vms[i % 4], kJob, 100 + i));
    std::vector<int> results(8, -1);
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&, i] { results[i] = Connected()->MountVM(contexts[i]); });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(std::vector<int>(8, 1), results);
    auto post = Connected();
    MountCtx job = VmCentricCtx(kWeb, kJob, 0);
    ASSERT_EQ(1, post->PostSnap(job));
    const std::string text = ReadFile(post->indexUploadFiles.back());
    EXPECT_EQ(4u, Count(text, "<vm "));
    for (const VmRef& vm : vms) EXPECT_EQ(1u, Count(text, "guid=\"" + std::string(vm.guid) + "\"")) << vm.name;
}

}  // namespace
}  // namespace snapopstest
