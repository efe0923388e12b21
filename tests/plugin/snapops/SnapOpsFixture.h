// Snapshot-engine fixture: the demo subscription, a snapshot catalog in a temporary folder, and an
// engine that takes real VM snapshot sets through a plugin's own PerformSnapOperation.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "azsim/faults/FaultBook.h"
#include "azsim/model/SubscriptionState.h"
#include "host/log/EvDebug.h"
#include "host/settings/NXPlatformInfo.h"
#include "host/snap/SnapCatalog.h"
#include "plugin/frame/AzureInfo.h"
#include "tests/support/SimulatedCloud.h"

namespace snapopstest {

using testsupport::SimulatedCloud;

class TestPlugin : public CAzureInfo {
public:
    using CAzureInfo::CAzureInfo;
    using CAzureInfo::_ForgetSnapV2VMs;
    using CAzureInfo::_GenerateVMSnapMetadataFilePath_VMCentric;
    using CAzureInfo::c_SnapV2VMInfoMap;
    using CAzureInfo::indexUploadFiles;
};

inline std::unique_ptr<TestPlugin> Connected() {
    std::unique_ptr<TestPlugin> plugin(new TestPlugin(VSINST_AZURE_RESOURCE_MANAGER, 0));
    EXPECT_EQ(1, plugin->Connect(SimulatedCloud::kSubscriptionId, SimulatedCloud::kApplicationId,
                                 SimulatedCloud::kSecret));
    return plugin;
}

// Snaps each volume as one VM snapshot set, asking a plugin of its own as the agent's engine does.
class PluginSnapEngine : public ISnapEngine {
public:
    bool TakeSnapshots(const MountCtx&, SMVolSnapInfo& info) override {
        SnapOperationCtx op;
        op.operation = SNAP_OP_CREATE;
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

struct VmRef { const char *name, *guid, *group; };
const VmRef kWeb{"web-linux01", "3b7f1c2a-9d4e-4f60-8a1b-2c3d4e5f6071", "rg-prod"};  // three disks
const VmRef kApp{"app-win01", "8c2d4e6f-1a3b-4c5d-9e7f-a0b1c2d3e4f5", "rg-prod"};
const VmRef kLegacy{"legacy-vm01", "1e2f3a4b-5c6d-4e7f-8a9b-0c1d2e3f4a5b", "rg-legacy"};
const VmRef kSecure{"secure-db01", "9f8e7d6c-5b4a-4392-8180-7f6e5d4c3b2a", "rg-test"};

class SnapOpsTest : public ::testing::Test {
protected:
    SnapOpsTest() {
        CVMInfo::SetDmiDirectory(cloud.dir() + "/no-dmi");
        CVMSnapUtil::SetCatalogRoot(cloud.dir() + "/catalog");
        CVMSnapUtil::InstallEngine(std::make_shared<PluginSnapEngine>());
    }
    ~SnapOpsTest() override {
        NXPlatformInfo::removeValue("VirtualServer", "InjectFaultForVM");
        CVMSnapUtil::InstallEngine(nullptr);
        CVMSnapUtil::SetCatalogRoot("");
    }

    // The mount context of one VM of VM-centric job `jobId`, mounted as child job `altJobId`.
    MountCtx VmCentricCtx(const VmRef& vm, NXJobID jobId, NXJobID altJobId) const {
        MountCtx ctx;
        ctx.isSnapJob = ctx.isVmCentric = true;
        ctx.snapEngine = SNAP_ENGINE_CLOUD_VVOL;
        ctx.jobId = jobId;
        ctx.altJobId = altJobId;
        ctx.vmName = vm.name;
        ctx.vmGuid = vm.guid;
        ctx.metadataDir = cloud.dir() + "/meta";
        for (const VmRef& each : {kWeb, kApp, kLegacy, kSecure}) ctx.vmList.push_back({each.name, each.guid, each.group});
        if (altJobId != 0) ctx.vmInfo.archiveFileId = NewArchiveFile(altJobId, vm.guid);
        return ctx;
    }
    static std::uint32_t NewArchiveFile(NXJobID jobId, const std::string& guid) {
        std::uint32_t id = 0;
        std::string error;
        EXPECT_TRUE(snapcatalog::CreateArchiveFile(jobId, guid, id, error)) << error;
        return id;
    }
    static bool ArchiveFileValid(NXJobID jobId, std::uint32_t id) {
        std::vector<snapcatalog::ArchiveFile> files;
        std::string error;
        EXPECT_TRUE(snapcatalog::ListArchiveFiles(jobId, files, error)) << error;
        for (const snapcatalog::ArchiveFile& file : files)
            if (file.id == id) return file.valid;
        return false;
    }
    static std::string ReadFile(const std::string& path) {
        std::ostringstream text;
        text << std::ifstream(path).rdbuf();
        return text.str();
    }
    static std::size_t Count(const std::string& text, const std::string& what) {
        std::size_t count = 0;
        for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
        return count;
    }
    std::size_t SetCount() const { return azsim::SubscriptionState(cloud.dir()).load().snapshotSets.size(); }
    void Fault(const std::string& op, const std::string& text) {
        azsim::FaultBook(cloud.dir()).addSdkFault({op, 7, text, 1});
    }

    SimulatedCloud cloud{SimulatedCloud::Seed::Demo};
    testsupport::JobIdentityScope identity{"vsagent", "Instance001", 77};
    EvLogCapture log;
};

}  // namespace snapopstest
