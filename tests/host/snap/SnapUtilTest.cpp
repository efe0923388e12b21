// The host's snapshot records, job XML, index cache and archive files.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "host/log/EvDebug.h"

#include "host/snap/CVMSnapUtil.h"
#include "host/vminfo/CVMInfo.h"
#include "tests/support/SimulatedCloud.h"

namespace fs = std::filesystem;

namespace {

// Snaps every volume but the one of VM GUID "g-b".
class ListEngine : public ISnapEngine {
public:
    bool TakeSnapshots(const MountCtx&, SMVolSnapInfo& info) override {
        for (std::size_t i = 0; i < info.volumes.size(); ++i) {
            SMSnapInfo snap;
            const bool fails = info.volumes[i].sourceGuid == "g-b";
            snap.status = fails ? SM_SNAP_STATUS_FAILED : SM_SNAP_STATUS_SUCCESS;
            snap.uniqueIdentifier = fails ? "" : "set-" + info.volumes[i].sourceGuid;
            info.addSnap(static_cast<int>(i), snap);
        }
        return true;
    }
};

class SnapUtilTest : public ::testing::Test {
protected:
    SnapUtilTest() { CVMSnapUtil::SetCatalogRoot(dir_.path() + "/catalog"); }
    ~SnapUtilTest() override {
        CVMSnapUtil::SetCatalogRoot("");
        CVMSnapUtil::InstallEngine(nullptr);
    }
    static VMInfoStructs::SVMInfo Vm(const std::string& name, const std::string& guid) {
        VMInfoStructs::SVMInfo vm;
        vm.name = name;
        vm.guid = guid;
        VMInfoStructs::SDisk disk;
        disk.name = name + "-os";
        disk.capacity = 1LL << 33;
        vm.disks.push_back(disk);
        return vm;
    }

    testsupport::TempDir dir_;
    EvEvent event_;
    CVMSnapUtil util_{event_};
};

}  // namespace

TEST_F(SnapUtilTest, SnapshotsArePersistedAndAPartFailureNeedsThePartialFlag) {
    MountCtx ctx;
    ctx.refJobId = (1LL << 31) + 5;  // a 64-bit id names its own records
    SMVolSnapInfo info;
    for (const char* guid : {"g-a", "g-b"}) {
        SMVolumeInfo volume;
        volume.sourceGuid = guid;
        volume.jobId = ctx.refJobId;
        info.addVolume(volume, 1);
    }
    EXPECT_EQ(0, util_.CreateHWSnapshot(ctx, info));  // no engine
    CVMSnapUtil::InstallEngine(std::make_shared<ListEngine>());
    info.setSnapActionFlagsEx(VOLSNAP_ACTIONFLAGS_PARTIAL_SNAP);
    info.updateTransientMetadata(0, 1, SM_TRANSIENT_FILTERED_DISKS, "uri-1,uri-2");
    ASSERT_EQ(1, util_.CreateHWSnapshot(ctx, info));

    SMVolSnapInfo loaded;
    ASSERT_EQ(1, util_.GetVOLSNAPInfo(ctx, loaded, false));
    EXPECT_EQ("1/2 set-g-a 2 uri-1,uri-2 " + std::to_string(VOLSNAP_ACTIONFLAGS_PARTIAL_SNAP),
              std::to_string(loaded.numOfSnap()) + "/" + std::to_string(loaded.snaps.size()) + " " +
                  loaded.snaps.at(0).uniqueIdentifier + " " + std::to_string(loaded.volSnapMap.at(1).volumeId) + " " +
                  loaded.volumes.at(0).transientMetadata.at(SM_TRANSIENT_FILTERED_DISKS) + " " +
                  std::to_string(loaded.getSnapActionFlagsEx()));
}

TEST_F(SnapUtilTest, MetadataXmlIsWrittenPerDatastoreReadBackAndUpdated) {
    MountCtx ctx;
    ctx.jobId = ctx.refJobId = 42;
    ctx.metadataDir = dir_.path() + "/meta";
    fs::create_directories(ctx.metadataDir);
    ASSERT_EQ(1, util_.GenerateMetadataXML(ctx, {"acct1", "", "acct1", "east", 0, {Vm("a", "g-a")}}, {}));
    ASSERT_EQ(1, util_.GenerateMetadataXML(ctx, {"acct2", "", "acct2", "east", 0, {Vm("b", "g-b")}}, {}));
    const std::string path = ctx.metadataDir + "/" + util_.GetSnapMetadataFileName(42);
    ASSERT_EQ(1, util_.SetVMStatusInMetadataXml(path, "b", "G-B", 39, "no snapshot"));
    EXPECT_EQ(0, util_.SetVMStatusInMetadataXml(path, "c", "g-c", 39, "absent"));

    std::vector<VMInfoStructs::SDatastoreInfo> read;
    ASSERT_EQ(1, util_.ReadSnapMetadataXML(read, ctx));
    ASSERT_EQ(2u, read.size());
    EXPECT_EQ(1LL << 33, read[1].vmList.at(0).disks.at(0).capacity);

    // A damaged file is refused with the field that is wrong.
    std::ifstream in(path);
    std::string text(std::istreambuf_iterator<char>(in), {});
    text.replace(text.find("capacity=\""), 10, "capacity=\"x");
    std::ofstream(path, std::ios::trunc) << text;
    EvLogCapture log;
    EXPECT_EQ(0, util_.ReadSnapMetadataXML(read, ctx));
    ASSERT_FALSE(log.records().empty());
    EXPECT_NE(std::string::npos, log.records().back().text.find("'capacity'")) << log.records().back().text;
}

TEST_F(SnapUtilTest, IndexCacheKeepsFilesInsideTheJob) {
    MountCtx ctx;
    ctx.jobId = ctx.refJobId = 7;
    ctx.metadataDir = dir_.path() + "/meta";
    ctx.vmInfo.guid = "g-a";
    ctx.vmInfo.name = "a";
    const fs::path vmFolder = fs::path(ctx.metadataDir) / "Metadata" / "7" / "g-a";
    fs::create_directories(vmFolder);
    std::ofstream(vmFolder / "a.json") << "{}";
    std::ofstream(ctx.metadataDir + "/backup_7.xml") << "<snapMetadata/>";
    EXPECT_EQ(0, util_.UploadIndexFiles(ctx, {dir_.path() + "/outside.txt"}));
    ASSERT_EQ(1, util_.UploadIndexFiles(ctx, {(vmFolder / "a.json").string(), ctx.metadataDir + "/backup_7.xml"}));

    const fs::path target = fs::path(dir_.path()) / "later";
    EXPECT_EQ(0, util_.DownloadMetadataFiles(ctx, target.string(), {"../backup_7.xml"}));
    EXPECT_EQ(0, util_.DownloadMetadataFiles(ctx, target.string(), {"backup_8.xml"}));
    ASSERT_EQ(1, util_.DownloadMetadataFiles(ctx, target.string(), {"backup_7.xml"}));

    const std::vector<std::string> files{(target / "a.json").string(), (target / "kek.bkp").string()};
    ASSERT_EQ(1, util_.DownloadVMFiles(ctx, target.string(), files));  // a missing key backup is skipped
    ctx.vmInfo.guid = "g-b";
    EXPECT_EQ(0, util_.DownloadVMFiles(ctx, target.string(), files));  // a missing configuration is not
    ctx.vmInfo.guid = "..";
    EXPECT_EQ(0, util_.DownloadVMFiles(ctx, target.string(), files));
    EXPECT_EQ("", util_.GetSnapMetadataFolderForVM(ctx, "a/b"));
}

// Ids stay unique when several threads create archive files at once.
TEST_F(SnapUtilTest, ArchiveFileIdsStayUniqueUnderConcurrentCreation) {
    CVMInfo host(VSINST_AZURE_RESOURCE_MANAGER);
    MountCtx job;
    job.jobId = 2;
    std::vector<std::uint32_t> ids(8);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < ids.size(); ++i)
        threads.emplace_back([&, i] { host.CreateArchiveFileForSnapBackup(job, ids[i], "g-x"); });
    for (std::thread& t : threads) t.join();
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids.end(), std::adjacent_find(ids.begin(), ids.end()));
    EXPECT_NE(0u, ids.front());
}
