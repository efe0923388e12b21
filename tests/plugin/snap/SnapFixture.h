// Snapshot-engine fixture: the demo subscription over HTTPS, a snapshot catalog, and an engine that takes
// real VM snapshot sets through a plugin's own create operation, so that a snap job leaves records, XML and
// index files a copy job can mount.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "azsim/faults/FaultBook.h"
#include "azsim/model/SubscriptionState.h"
#include "host/log/EvDebug.h"
#include "host/settings/NXPlatformInfo.h"
#include "host/snap/SnapCatalog.h"
#include "host/sys/Time.h"
#include "plugin/frame/AzureInfo.h"
#include "tests/support/SimulatedCloud.h"

namespace snaptest {

const char* const kFullTag = "virtual int CAzureInfo::GetFullMountInfo(const MountCtx&, std::vector<SMountInfoFull>&)";
const char* const kSnapToTapeTag = "bool CAzureInfo::_MountVM_SnapToTape(const MountCtx&)";
const char* const kMountSnapTag = "virtual int CAzureInfo::MountSnap(const MountCtx&)";
constexpr NXJobID kSnapJob = (1LL << 32) + 21;  // past 32 bits: every file must carry the whole id
constexpr NXJobID kCopyJob = 900;

using LastError = std::pair<EVMInfoError, std::string>;

class SnapPlugin : public CAzureInfo {
public:
    explicit SnapPlugin(VirtualServerInstanceType type) : CAzureInfo(type, 0) {}
    using CAzureInfo::_ForgetSnapV2VMs;
    using CAzureInfo::_GenerateVMSnapMetadataFilePath_VMCentric;
    using CAzureInfo::_GetFileListForRevertFromSnapXML;
    using CAzureInfo::_GetSnapIdFromVolSnap;
    using CAzureInfo::_ParseResourceID;
    using CAzureInfo::_PreRestoreVM_Snap;
    using CAzureInfo::c_SnapV2VMInfoMap;
    using CAzureInfo::indexUploadFiles;
    using CAzureInfo::restoredVmGuid;
    using CAzureInfo::ReadDSListFromSnapBackupXML;
    using CAzureInfo::SetVMStatusInSnapMetadataXml;
    using CAzureInfo::volSnapInfo;
    LastError Last() { return {GetLastVMError(), GetLastVMErrorDetails()}; }
};

inline std::unique_ptr<SnapPlugin> Connected(VirtualServerInstanceType type = VSINST_AZURE_RESOURCE_MANAGER) {
    auto plugin = std::make_unique<SnapPlugin>(type);
    EXPECT_EQ(1, plugin->Connect(testsupport::SimulatedCloud::kSubscriptionId,
                                 testsupport::SimulatedCloud::kApplicationId, testsupport::SimulatedCloud::kSecret));
    return plugin;
}

// Snaps each volume as one VM snapshot set, asking a plugin of its own as the agent's engine does.
class PluginSnapEngine : public ISnapEngine {
public:
    bool TakeSnapshots(const MountCtx&, SMVolSnapInfo& info) override {
        SnapOperationCtx op{SNAP_OP_CREATE, {}};
        for (const SMVolumeInfo& volume : info.volumes)
            op.entities.push_back({volume.sourceDevice, volume.sourceGuid, "", "", volume.jobId, "", {}, 0});
        if (Connected()->PerformSnapOperation(op) != 1) return false;
        for (std::size_t i = 0; i < op.entities.size(); ++i) {
            const bool ok = op.entities[i].status == SNAP_ENTITY_OK;
            info.addSnap(static_cast<int>(i), {0, op.entities[i].snapshotId,
                                               ok ? SM_SNAP_STATUS_SUCCESS : SM_SNAP_STATUS_FAILED,
                                               op.entities[i].status, "", 0});
        }
        return true;
    }
};

const SVMBasicInfo kWeb{"web-linux01", "3b7f1c2a-9d4e-4f60-8a1b-2c3d4e5f6071", "rg-prod"};
const SVMBasicInfo kLegacy{"legacy-vm01", "1e2f3a4b-5c6d-4e7f-8a9b-0c1d2e3f4a5b", "rg-legacy"};
const SVMBasicInfo kApp{"app-win01", "8c2d4e6f-1a3b-4c5d-9e7f-a0b1c2d3e4f5", "rg-prod"};
const SVMBasicInfo kSecure{"secure-db01", "9f8e7d6c-5b4a-4392-8180-7f6e5d4c3b2a", "rg-test"};

class SnapTest : public ::testing::Test {
protected:
    SnapTest() {
        CVMInfo::SetDmiDirectory(cloud.dir() + "/no-dmi");
        CVMSnapUtil::SetCatalogRoot(folder("catalog"));
        CVMSnapUtil::InstallEngine(std::make_shared<PluginSnapEngine>());
    }
    ~SnapTest() override {
        CVMSnapUtil::InstallEngine(nullptr);
        CVMSnapUtil::SetCatalogRoot("");
        for (const char* key : {"bSkipDataDisksForBackup", "bAllowPartialHWSnapshot", "InjectFaultForVM"})
            NXPlatformInfo::removeValue("VirtualServer", key);
    }
    std::string folder(const std::string& name) const {
        const std::string path = dirs.path() + "/" + name;
        std::filesystem::create_directories(path);
        return path;
    }
    // A snap job of `vms`.
    MountCtx Job(std::vector<SVMBasicInfo> vms) {
        MountCtx ctx;
        ctx.jobId = kSnapJob;
        ctx.isSnapJob = true;
        ctx.snapEngine = SNAP_ENGINE_CLOUD_VVOL;
        ctx.appId = 12;
        ctx.orbitId = 3;
        ctx.metadataDir = dirs.path() + "/snap-meta";  // the job creates it
        ctx.vmList = std::move(vms);
        return ctx;
    }
    // Snap job `job` of `vms`, run by a fresh plugin: their snapshot sets, records and job XML; the
    // context is left at the first VM as the host mounts it, with `vmInfo` as the job recorded it.
    MountCtx SnapJob(const std::vector<SVMBasicInfo>& vms, NXJobID job = kSnapJob) {
        snapPlugin = Connected();
        MountCtx ctx = Job(vms);
        ctx.jobId = job;
        EXPECT_EQ(1, snapPlugin->PreSnap(ctx)) << snapPlugin->GetLastVMErrorDetails();
        ctx.vmName = vms[0].name;
        ctx.vmGuid = vms[0].guid;
        ctx.vmInfo = ctx.vmInfoByGuid[vms[0].guid];
        return ctx;
    }
    // Uploads the job XML and the VM's configuration files to the index, as the host does after the mount info.
    void Upload(const MountCtx& ctx) {
        std::vector<std::string> files;
        ASSERT_EQ(1, snapPlugin->GetMetadataFiles(ctx, files, METADATA_FILES_VM_CONFIG));
        EvEvent event;
        ASSERT_EQ(1, CVMSnapUtil(event).UploadIndexFiles(ctx, files));
    }
    MountCtx CopyJob(const SVMBasicInfo& vm) {
        MountCtx ctx;
        ctx.vmName = vm.name;
        ctx.vmGuid = vm.guid;
        ctx.hostName = vm.host;
        ctx.jobId = kCopyJob;
        ctx.refJobId = kSnapJob;
        ctx.isSnapJob = true;  // a copy of a snapshot-engine job; the copy flag decides
        ctx.isBackupCopy = true;
        ctx.metadataDir = folder("copy-meta-" + std::to_string(++copies));
        ctx.mountPath = folder("copy-mount-" + std::to_string(copies));
        return ctx;
    }
    azsim::StateDocument State() const { return azsim::SubscriptionState(cloud.dir()).load(); }
    void Fault(const std::string& op, int code, const std::string& text) {
        azsim::FaultBook(cloud.dir()).addSdkFault({op, code, text, 1});
    }
    static std::vector<snapcatalog::ArchiveFile> Archives(NXJobID jobId) {
        std::vector<snapcatalog::ArchiveFile> files;
        std::string error;
        EXPECT_TRUE(snapcatalog::ListArchiveFiles(jobId, files, error)) << error;
        return files;
    }
    static bool ArchiveFileValid(std::uint32_t id, NXJobID jobId = kSnapJob) {
        for (const snapcatalog::ArchiveFile& file : Archives(jobId))
            if (file.id == id) return file.valid;
        ADD_FAILURE() << "no archive file " << id;
        return false;
    }

    testsupport::ServedCloud cloud;
    testsupport::TempDir dirs;
    testsupport::JobIdentityScope identity{"vsagent", "Instance001", kSnapJob};
    NxRecordingSleeper sleeper;
    EvLogCapture log;
    std::unique_ptr<SnapPlugin> snapPlugin;
    int copies = 0;
};

using SnapPhase = SnapTest;
using SnapMount = SnapTest;

}  // namespace snaptest
