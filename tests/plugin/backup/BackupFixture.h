// Backup flow fixture: the demo subscription, an inspectable connected plugin, a mount folder, settings reset.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "azsim/faults/FaultBook.h"
#include "azsim/model/ResourceIds.h"
#include "azsim/model/SubscriptionState.h"
#include "host/log/EvDebug.h"
#include "host/settings/NXPlatformInfo.h"
#include "host/sys/Time.h"
#include "host/util/CKaFile.h"
#include "plugin/frame/AzureInfo.h"
#include "tests/support/SimulatedCloud.h"

namespace backuptest {

using testsupport::SimulatedCloud;

constexpr NXJobID kJobId = 77;
const char* const kMountTag = "virtual int CAzureInfo::MountVM(const MountCtx&)";
const char* const kDriverTag = "int CAzureInfo::_MountVM(const MountCtx&)";
const char* const kUnmountTag = "virtual int CAzureInfo::UnmountVM(const MountCtx&)";

// The plugin with its protected state and steps opened to the tests.
class TestPlugin : public CAzureInfo {
public:
    using CAzureInfo::CAzureInfo;
    using CAzureInfo::changeIdBase;
    using CAzureInfo::diskMap;
    using CAzureInfo::ExcludeUltraSsdDisks;
    using CAzureInfo::liveBrowseAttachedDisks;
    using CAzureInfo::liveBrowseDiskManagers;
    using CAzureInfo::ParseMediaLinkURI;
    using CAzureInfo::referenceSnapshotId;
    using CAzureInfo::sdk;
    // Forgets the detected local VM so that the next object detects it again.
    static void ForgetLocalVm() { c_localVMGuid.clear(); }
};

struct DemoCloud : SimulatedCloud {
    DemoCloud() : SimulatedCloud(Seed::Demo) {}
};

struct VmRef { const char *name, *guid, *group; };
const VmRef kWeb{"web-linux01", "3b7f1c2a-9d4e-4f60-8a1b-2c3d4e5f6071", "rg-prod"};
const VmRef kLegacy{"legacy-vm01", "1e2f3a4b-5c6d-4e7f-8a9b-0c1d2e3f4a5b", "rg-legacy"};
const VmRef kSecure{"secure-db01", "9f8e7d6c-5b4a-4392-8180-7f6e5d4c3b2a", "rg-test"};
const VmRef kUltra{"ultra-vm01", "4d5e6f70-8192-4a3b-9c4d-5e6f708192a3", "rg-test"};

template <class Cloud>
class BackupFlow : public ::testing::Test {
protected:
    void SetUp() override {
        TestPlugin::ForgetLocalVm();
        CVMInfo::SetDmiDirectory(cloud.dir() + "/no-dmi");
    }
    void TearDown() override {
        TestPlugin::ForgetLocalVm();
        for (const char* key : {"bUseHotAddForAzureLiveBrowse", "bSkipDeleteSnapshotsForAzure", "nExpireSnapshotHours",
                                "nBackupSnapshotLimit", "nEnableCBTForDifferential", "bSkipDataDisksForBackup",
                                "AzureRegion"})
            NXPlatformInfo::removeValue("VirtualServer", key);
    }

    template <class Plugin = TestPlugin>
    std::unique_ptr<Plugin> Connected(VirtualServerInstanceType type = VSINST_AZURE_RESOURCE_MANAGER) {
        std::unique_ptr<Plugin> plugin(new Plugin(type, 0));
        EXPECT_EQ(plugin->Connect(SimulatedCloud::kSubscriptionId, SimulatedCloud::kApplicationId,
                                  SimulatedCloud::kSecret),
                  1);
        return plugin;
    }

    MountCtx Ctx(const VmRef& vm) const {
        MountCtx ctx;
        ctx.vmName = vm.name;
        ctx.vmGuid = vm.guid;
        ctx.hostName = vm.group;
        ctx.mountPath = mountDir.path() + "/mount";
        ctx.jobId = kJobId;
        ctx.appId = 12;
        return ctx;
    }

    // Mounts `ctx`, which must succeed; returns it as the mount left it.
    MountCtx Mounted(TestPlugin& plugin, MountCtx ctx) {
        EXPECT_EQ(plugin.MountVM(ctx), 1) << plugin.GetLastVMErrorDetails();
        return ctx;
    }
    // Mounts `ctx`, which must fail with `code`; returns it as the mount left it.
    MountCtx Refused(TestPlugin& plugin, MountCtx ctx, EVMInfoError code) {
        EXPECT_EQ(plugin.MountVM(ctx), 0);
        EXPECT_EQ(plugin.GetLastVMError(), code);
        return ctx;
    }
    azsim::StateDocument State() const { return azsim::SubscriptionState(cloud.dir()).load(); }
    void Fault(const std::string& op, int code, const std::string& text, int times = 1) {
        azsim::FaultBook(cloud.dir()).addSdkFault({op, code, text, times});
    }
    // Adds snapshot sets of `vm` created `ageHours` ago, each of one managed snapshot tagged as the
    // wrapper tags its sets; returns their GUIDs.
    std::vector<std::string> OldSets(const VmRef& vm, int count, int ageHours) {
        std::vector<std::string> guids;
        azsim::SubscriptionState(cloud.dir()).mutate([&](azsim::StateDocument& doc) {
            for (int i = 0; i < count; ++i) {
                const std::string guid = "00000000-0000-4000-8000-" + std::to_string(100000000000LL + i * 7 + ageHours);
                const std::string name = "old-" + guid, id = azsim::SnapshotId(doc.subscription().id, vm.group, name);
                const std::int64_t created = NxClock::nowSeconds() - ageHours * 3600LL;
                doc.snapshots.push_back({id, name, vm.group, "westeurope", "", false, created, 0,
                                         {{"QD_SNAPSHOT_GUID", guid}, {"QD_VM_NAME", vm.name}, {"QD_VM_GUID", vm.guid},
                                          {"QD_VM_RESOURCE_GROUP", vm.group}},
                                         {}, "", {}});
                doc.snapshotSets.push_back({guid, vm.name, vm.guid, vm.group, created, "", "", {id}});
                guids.push_back(guid);
            }
            return true;
        });
        return guids;
    }
    // The reason of the one failure record a mount or unmount left, or how many it left.
    static std::string OnlyFailure(const MountCtx& ctx) {
        return ctx.mountFailures.size() == 1 ? ctx.mountFailures[0].reason : std::to_string(ctx.mountFailures.size());
    }
    std::vector<std::string> SetGuids() const {
        std::vector<std::string> out;
        for (const azsim::SnapshotSet& set : State().snapshotSets) out.push_back(set.guid);
        return out;
    }

    Cloud cloud;
    testsupport::TempDir mountDir;
    testsupport::JobIdentityScope identity{"vsagent", "Instance001", kJobId};
    NxRecordingSleeper sleeper;
    EvLogCapture log;
};

}  // namespace backuptest
