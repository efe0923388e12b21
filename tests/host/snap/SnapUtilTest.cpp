#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "host/log/EvDebug.h"

#include "host/snap/CVMSnapUtil.h"
#include "host/snap/SnapCatalog.h"
#include "host/vminfo/CVMInfo.h"
#include "tests/support/SimulatedCloud.h"

namespace fs = std::filesystem;

namespace {

// Snaps every volume whose VM GUID is not listed as failing.
class ListEngine : public ISnapEngine {
public:
    explicit ListEngine(std::set<std::string> failing) : failing_(std::move(failing)) {}
    bool TakeSnapshots(const MountCtx&, SMVolSnapInfo& info) override {
        for (std::size_t i = 0; i < info.volumes.size(); ++i) {
            SMSnapInfo snap;
            const bool fails = failing_.count(info.volumes[i].sourceGuid) > 0;
            snap.status = fails ? SM_SNAP_STATUS_FAILED : SM_SNAP_STATUS_SUCCESS;
            snap.uniqueIdentifier = fails ? "" : "set-" + info.volumes[i].sourceGuid;
            info.addSnap(static_cast<int>(i), snap);
        }
        return true;
    }

private:
    std::set<std::string> failing_;
};

class SnapUtilTest : public ::testing::Test {
protected:
    SnapUtilTest() { CVMSnapUtil::SetCatalogRoot((fs::path(dir_.path()) / "catalog").string()); }
    ~SnapUtilTest() override {
        CVMSnapUtil::SetCatalogRoot("");
        CVMSnapUtil::InstallEngine(nullptr);
    }
    static SMVolSnapInfo TwoVolumes(NXJobID jobId) {
        SMVolSnapInfo info;
        for (const char* guid : {"g-a", "g-b"}) {
            SMVolumeInfo volume;
            volume.sourceGuid = guid;
            volume.jobId = jobId;
            info.addVolume(volume, 1);
        }
        return info;
    }
    static VMInfoStructs::SVMInfo Vm(const std::string& name, const std::string& guid) {
        VMInfoStructs::SVMInfo vm;
        vm.name = name;
        vm.guid = guid;
        VMInfoStructs::SDisk disk;
        disk.name = name + "-os";
        disk.uri = "/subscriptions/s/resourceGroups/g/providers/Microsoft.Compute/disks/" + disk.name;
        disk.isOsDisk = true;
        disk.capacity = 1LL << 33;
        vm.disks.push_back(disk);
        return vm;
    }
    std::string metadataDir() const { return (fs::path(dir_.path()) / "meta").string(); }

    testsupport::TempDir dir_;
    EvEvent event_;
    CVMSnapUtil util_{event_};
};

}  // namespace

TEST_F(SnapUtilTest, SnapshotsArePersistedAndAPartFailureNeedsThePartialFlag) {
    MountCtx ctx;
    ctx.refJobId = (1LL << 31) + 5;  // a 64-bit id names its own records
    SMVolSnapInfo noEngine = TwoVolumes(ctx.refJobId);
    EXPECT_EQ(0, util_.CreateHWSnapshot(ctx, noEngine));

    CVMSnapUtil::InstallEngine(std::make_shared<ListEngine>(std::set<std::string>{"g-b"}));
    SMVolSnapInfo strict = TwoVolumes(ctx.refJobId);
    EXPECT_EQ(0, util_.CreateHWSnapshot(ctx, strict));
    SMVolSnapInfo partial = TwoVolumes(ctx.refJobId);
    partial.setSnapActionFlagsEx(VOLSNAP_ACTIONFLAGS_PARTIAL_SNAP);
    partial.updateTransientMetadata(0, 1, SM_TRANSIENT_FILTERED_DISKS, "uri-1,uri-2");
    ASSERT_EQ(1, util_.CreateHWSnapshot(ctx, partial));

    SMVolSnapInfo loaded;
    ASSERT_EQ(1, util_.GetVOLSNAPInfo(ctx, loaded, false));
    EXPECT_EQ(1u, loaded.numOfSnap());
    ASSERT_EQ(2u, loaded.snaps.size());
    EXPECT_EQ("set-g-a", loaded.snaps[0].uniqueIdentifier);
    EXPECT_EQ(2u, loaded.volSnapMap[1].volumeId);
    EXPECT_EQ("uri-1,uri-2", loaded.volumes[0].transientMetadata.at(SM_TRANSIENT_FILTERED_DISKS));
    EXPECT_EQ(VOLSNAP_ACTIONFLAGS_PARTIAL_SNAP, loaded.getSnapActionFlagsEx());
    ctx.refJobId = 5;
    EXPECT_EQ(0, util_.GetVOLSNAPInfo(ctx, loaded, false));  // another job's records are not these
}

TEST_F(SnapUtilTest, MetadataXmlIsWrittenPerDatastoreReadBackAndUpdated) {
    MountCtx ctx;
    ctx.jobId = ctx.refJobId = 42;
    ctx.metadataDir = metadataDir();
    fs::create_directories(ctx.metadataDir);
    VMInfoStructs::SDatastoreInfo first{"acct1", "", "acct1", "east", 0, {Vm("a", "g-a")}};
    VMInfoStructs::SDatastoreInfo second{"acct2", "", "acct2", "east", 0, {Vm("b", "g-b")}};
    ASSERT_EQ(1, util_.GenerateMetadataXML(ctx, first, {}));
    ASSERT_EQ(1, util_.GenerateMetadataXML(ctx, second, {}));
    ASSERT_EQ(1, util_.GenerateMetadataXML(ctx, second, {}));  // a repeat replaces, it does not add
    const std::string path = (fs::path(ctx.metadataDir) / util_.GetSnapMetadataFileName(42)).string();
    ASSERT_EQ(1, util_.SetVMStatusInMetadataXml(path, "b", "G-B", 39, "no snapshot"));
    EXPECT_EQ(0, util_.SetVMStatusInMetadataXml(path, "c", "g-c", 39, "absent"));

    std::vector<VMInfoStructs::SDatastoreInfo> read;
    ASSERT_EQ(1, util_.ReadSnapMetadataXML(read, ctx));
    ASSERT_EQ(2u, read.size());
    EXPECT_EQ(0u, read[0].vmList[0].snapStatus);
    EXPECT_EQ(39u, read[1].vmList[0].snapStatus);
    EXPECT_EQ("no snapshot", read[1].vmList[0].snapStatusDetails);
    EXPECT_EQ(1LL << 33, read[1].vmList[0].disks[0].capacity);
    EXPECT_TRUE(read[1].vmList[0].disks[0].isOsDisk);

    // A damaged file is refused with the field that is wrong.
    std::string text;
    {
        std::ifstream in(path);
        text.assign(std::istreambuf_iterator<char>(in), {});
    }
    text.replace(text.find("capacity=\""), 10, "capacity=\"x");
    std::ofstream(path, std::ios::trunc) << text;
    EvLogCapture log;
    EXPECT_EQ(0, util_.ReadSnapMetadataXML(read, ctx));
    const std::vector<EvLogRecord> lines = log.records();
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(std::string::npos, lines.back().text.find("'capacity'")) << lines.back().text;
}

TEST_F(SnapUtilTest, IndexCacheKeepsFilesInsideTheJob) {
    MountCtx ctx;
    ctx.jobId = ctx.refJobId = 7;
    ctx.metadataDir = metadataDir();
    ctx.vmInfo.guid = "g-a";
    ctx.vmInfo.name = "a";
    const fs::path vmFolder = fs::path(ctx.metadataDir) / "Metadata" / "7" / "g-a";
    fs::create_directories(vmFolder);
    std::ofstream(vmFolder / "a.json") << "{}";
    std::ofstream(fs::path(ctx.metadataDir) / "backup_7.xml") << "<snapMetadata/>";
    EXPECT_EQ(0, util_.UploadIndexFiles(ctx, {(fs::path(dir_.path()) / "outside.txt").string()}));
    ASSERT_EQ(1, util_.UploadIndexFiles(ctx, {(vmFolder / "a.json").string(),
                                              (fs::path(ctx.metadataDir) / "backup_7.xml").string()}));

    const fs::path target = fs::path(dir_.path()) / "later";
    EXPECT_EQ(0, util_.DownloadMetadataFiles(ctx, target.string(), {"../backup_7.xml"}));
    EXPECT_EQ(0, util_.DownloadMetadataFiles(ctx, target.string(), {"backup_8.xml"}));
    ASSERT_EQ(1, util_.DownloadMetadataFiles(ctx, target.string(), {"backup_7.xml"}));
    EXPECT_TRUE(fs::exists(target / "backup_7.xml"));

    const std::vector<std::string> files{(target / "a.json").string(), (target / "kek.bkp").string()};
    ASSERT_EQ(1, util_.DownloadVMFiles(ctx, target.string(), files));  // a missing key backup is skipped
    EXPECT_TRUE(fs::exists(target / "a.json"));
    ctx.vmInfo.guid = "g-b";
    EXPECT_EQ(0, util_.DownloadVMFiles(ctx, target.string(), files));  // a missing configuration is not
    ctx.vmInfo.guid = "..";
    EXPECT_EQ(0, util_.DownloadVMFiles(ctx, target.string(), files));
    EXPECT_EQ("", util_.GetSnapMetadataFolderForVM(ctx, "a/b"));
}

TEST_F(SnapUtilTest, ArchiveFilesAreInvalidatedOnlyForTheirOwnJob) {
    CVMInfo host(VSINST_AZURE_RESOURCE_MANAGER);
    MountCtx job1, job2;
    job1.jobId = 1;
    job2.jobId = 2;
    std::uint32_t a = 0, b = 0, c = 0;
    ASSERT_EQ(1, host.CreateArchiveFileForSnapBackup(job1, a, "g-a"));
    ASSERT_EQ(1, host.CreateArchiveFileForSnapBackup(job1, b, "g-b"));
    ASSERT_EQ(1, host.CreateArchiveFileForSnapBackup(job2, c, "g-a"));
    EXPECT_EQ(0, host.InvalidateArchiveFiles({a, c}, 1, 0));  // c is job 2's: nothing changes
    ASSERT_EQ(1, host.InvalidateArchiveFiles({b}, 1, 0));
    std::vector<snapcatalog::ArchiveFile> files;
    std::string error;
    ASSERT_TRUE(snapcatalog::ListArchiveFiles(1, files, error));
    ASSERT_EQ(2u, files.size());
    EXPECT_TRUE(files[0].valid);
    EXPECT_FALSE(files[1].valid);
    ASSERT_EQ(1, host.InvalidateArchiveFiles(job2));
    ASSERT_TRUE(snapcatalog::ListArchiveFiles(2, files, error));
    EXPECT_FALSE(files.at(0).valid);

    // Ids stay unique when several threads create archive files at once.
    std::vector<std::uint32_t> ids(8);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < ids.size(); ++i)
        threads.emplace_back([&, i] { host.CreateArchiveFileForSnapBackup(job2, ids[i], "g-x"); });
    for (std::thread& t : threads) t.join();
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids.end(), std::adjacent_find(ids.begin(), ids.end()));
    EXPECT_NE(0u, ids.front());
}
