// Snapshot-engine fixture: the demo subscription over HTTPS, a snapshot catalog, and an engine that takes
// real VM snapshot sets through the wrapper, so that a snap job leaves records, XML and index files
// a copy job can mount.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>
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

class SnapPlugin : public CAzureInfo {
public:
    explicit SnapPlugin(VirtualServerInstanceType type) : CAzureInfo(type, 0) {}
    using CAzureInfo::_GetFileListForRevertFromSnapXML;
    using CAzureInfo::_GetSnapIdFromVolSnap;
    using CAzureInfo::_ParseResourceID;
    using CAzureInfo::indexUploadFiles;
    using CAzureInfo::ReadDSListFromSnapBackupXML;
    using CAzureInfo::SetVMStatusInSnapMetadataXml;
    using CAzureInfo::sdk;
    using CAzureInfo::volSnapInfo;
};

// Snaps each volume's VM through the wrapper's VM snapshot, as the agent's engine does, except the VMs listed
// as failing.
class WrapperEngine : public ISnapEngine {
public:
    WrapperEngine(SnapPlugin& plugin, std::set<std::string> failing) : plugin_(plugin), failing_(std::move(failing)) {}
    bool TakeSnapshots(const MountCtx&, SMVolSnapInfo& info) override {
        for (std::size_t i = 0; i < info.volumes.size(); ++i) {
            const SMVolumeInfo& v = info.volumes[i];
            SMSnapInfo snap;
            std::vector<SDisk> disks;
            std::string ref;
            const bool ok = failing_.count(v.sourceGuid) == 0 &&
                            plugin_.sdk->CreateVMSnapshot(v.sourceDevice, v.sourceGuid, true, "", v.jobId,
                                                          snap.uniqueIdentifier, disks, ref);
            snap.status = ok ? SM_SNAP_STATUS_SUCCESS : SM_SNAP_STATUS_FAILED;
            info.addSnap(static_cast<int>(i), snap);
        }
        return true;
    }

private:
    SnapPlugin& plugin_;
    std::set<std::string> failing_;
};

const SVMBasicInfo kWeb{"web-linux01", "3b7f1c2a-9d4e-4f60-8a1b-2c3d4e5f6071", "rg-prod"};
const SVMBasicInfo kLegacy{"legacy-vm01", "1e2f3a4b-5c6d-4e7f-8a9b-0c1d2e3f4a5b", "rg-legacy"};

class SnapTest : public ::testing::Test {
protected:
    SnapTest() {
        CVMInfo::SetDmiDirectory(cloud.dir() + "/no-dmi");
        CVMSnapUtil::SetCatalogRoot(folder("catalog"));
    }
    ~SnapTest() override {
        CVMSnapUtil::InstallEngine(nullptr);
        CVMSnapUtil::SetCatalogRoot("");
        for (const char* key : {"bSkipDataDisksForBackup", "bAllowPartialHWSnapshot"})
            NXPlatformInfo::removeValue("VirtualServer", key);
    }
    std::string folder(const std::string& name) const {
        const std::string path = dirs.path() + "/" + name;
        std::filesystem::create_directories(path);
        return path;
    }
    std::unique_ptr<SnapPlugin> Connected(VirtualServerInstanceType type = VSINST_AZURE_RESOURCE_MANAGER) {
        auto plugin = std::make_unique<SnapPlugin>(type);
        EXPECT_EQ(1, plugin->Connect(testsupport::SimulatedCloud::kSubscriptionId,
                                     testsupport::SimulatedCloud::kApplicationId,
                                     testsupport::SimulatedCloud::kSecret));
        return plugin;
    }
    // A snap job of `vms` for `plugin`, whose engine snaps every VM but the failing ones.
    MountCtx Job(SnapPlugin& plugin, std::vector<SVMBasicInfo> vms, std::set<std::string> failing = {}) {
        CVMSnapUtil::InstallEngine(std::make_shared<WrapperEngine>(plugin, std::move(failing)));
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
    // The snap job of `vms`, run by a fresh plugin: their snapshot sets, records and job XML; the
    // context is left at the first VM as the host mounts it, with `vmInfo` as the job recorded it.
    MountCtx SnapJob(const std::vector<SVMBasicInfo>& vms) {
        snapPlugin = Connected();
        MountCtx ctx = Job(*snapPlugin, vms);
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
    std::vector<snapcatalog::ArchiveFile> Archives(NXJobID jobId) const {
        std::vector<snapcatalog::ArchiveFile> files;
        std::string error;
        EXPECT_TRUE(snapcatalog::ListArchiveFiles(jobId, files, error)) << error;
        return files;
    }
    bool ArchiveFileValid(std::uint32_t id) const {
        for (const snapcatalog::ArchiveFile& file : Archives(kSnapJob))
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
