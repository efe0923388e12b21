// Replication test fixture: the demo subscription over HTTPS, a plugin whose cloud file-system hooks answer (so
// the flow runs past its first step), and replication runs driven through the restore slots as the host drives them.
#pragma once

#include <gtest/gtest.h>

#include "azsim/Journal.h"
#include "azsim/faults/FaultBook.h"
#include "azsim/model/SubscriptionState.h"
#include "host/sys/Time.h"
#include "host/util/FileSystem.h"
#include "plugin/frame/AzureInfo.h"
#include "tests/support/SimulatedCloud.h"

namespace replicationtest {

using testsupport::SimulatedCloud;

class ReplicaPlugin : public CAzureInfo {
public:
    using CAzureInfo::CAzureInfo;
    using CAzureInfo::CheckIfBlobsExist;
    using CAzureInfo::DeleteExistingBlobs;
    using CAzureInfo::GetReplicationDiskGuid;
    using CAzureInfo::IsDiskSizeIncreasedinSourceVM;
    using CAzureInfo::sdk;
    using CAzureInfo::VerifyIntegrity;
    bool cloudFs = true;  // clear: the hooks behave as on this platform

protected:
    bool InitVSCloudFS() override { return cloudFs || CAzureInfo::InitVSCloudFS(); }
    bool AccessCloudFSPath(const std::string& path) override { return cloudFs || CAzureInfo::AccessCloudFSPath(path); }
};

constexpr long long kDiskBytes = 4 << 20;
const azsim::BlobKey kOsBlob{"prodstaging01", "vhds", "rg-prod-replica01.vhd"};
const azsim::BlobKey kDataBlob{"prodstaging01", "vhds", "rg-prod-replica01-1.vhd"};

class Replication : public ::testing::Test {
public:
    void SetUp() override {
        CVMInfo::SetDmiDirectory(cloud.dir() + "/no-dmi");
        StartJob(23);
    }
    // A job of its own, as each run of a replication is: its identity and its plugin object.
    void StartJob(NXJobID jobId) {
        plugin.reset();
        identity.reset();  // the old identity is given back first, the new one then taken
        identity.reset(new testsupport::JobIdentityScope("vsagent", "Instance001", jobId));
        plugin.reset(new ReplicaPlugin(VSINST_AZURE_RESOURCE_MANAGER, 0));
        ASSERT_EQ(1, plugin->Connect(SimulatedCloud::kSubscriptionId, SimulatedCloud::kApplicationId,
                                     SimulatedCloud::kSecret)) << plugin->GetLastVMErrorDetails();
    }
    // The first replication of web-linux01 (OS disk and one data disk) into VM replica01 of rg-prod.
    RestoreCtx Ctx() const {
        RestoreCtx ctx;
        ctx.restoreType = RESTORE_TYPE_REPLICATION;
        ctx.vmName = "replica01", ctx.resourceGroup = "rg-prod", ctx.region = "west europe";
        ctx.storageAccount = "prodstaging01", ctx.m_vmSize = "Standard_D2s_v3", ctx.sourceVmName = "web-linux01";
        ctx.isFirstReplication = ctx.restoreWithoutConfig = true;
        ctx.nics.push_back(SVMNetworkCard{"replica01-nic0", "vnet-prod", "default"});
        ctx.stagingRoot = staging.path(), ctx.stagingPath = staging.path() + "/job";
        CreateFolderIfNotPresent(ctx.stagingPath);
        for (const char* name : {"web-linux01-osdisk", "web-linux01-data0"}) {
            SDisk disk;
            disk.name = disk.originalName = name, disk.storageAccount = "prodstaging01";
            disk.capacity = kDiskBytes, disk.isOsDisk = ctx.disks.empty();
            ctx.disks.push_back(disk);
        }
        return ctx;
    }
    // The next run of the replication `done` left, as the host starts it (a new job): disks known by their
    // replication GUIDs.
    RestoreCtx Next(const RestoreCtx& done) {
        StartJob(24);
        RestoreCtx ctx = Ctx();
        ctx.isFirstReplication = false;
        for (std::size_t i = 0; i < ctx.disks.size(); ++i)
            ctx.disks[i].guid = ctx.disks[i].replicationGuid = done.disks[i].replicationGuid;
        return ctx;
    }
    // The host's writes after InitRestoreVM: the first page of every disk, `fill` repeated.
    bool Write(const RestoreCtx& ctx, unsigned char fill) {
        std::vector<unsigned char> page(512, fill);
        for (const SDisk& disk : ctx.disks) {
            VmdkHandle handle;
            if (plugin->CreateVmdk("", "", disk.uri, handle, kDiskBytes) != 1 ||
                plugin->WriteVmdk(handle, 0, 512, page.data()) != 1 || plugin->CloseVmdk(handle) != 1)
                return false;
        }
        return true;
    }
    // How far a run as the host drives it gets: 0 init failed, 1 pre, 2 deployment, 3 post, 4 all done.
    int Run(RestoreCtx& ctx, unsigned char fill) {
        if (plugin->InitRestoreVM(ctx) != 1) return 0;
        if (!Write(ctx, fill) || plugin->PreRestoreVM(ctx) != 1) return 1;
        return plugin->RestoreVM(ctx) != 1 ? 2 : plugin->PostRestoreVM(ctx) != 1 ? 3 : 4;
    }
    unsigned char Byte(const azsim::BlobKey& key, std::uint64_t offset = 0) const {
        unsigned char out = 0xff;
        Blobs().read(key, "", offset, &out, 1);
        return out;
    }
    void Page(const azsim::BlobKey& key, std::uint64_t offset, unsigned char fill) const {
        const std::vector<unsigned char> page(512, fill);
        ASSERT_TRUE(Blobs().writePages(key, offset, page.data(), page.size(), nullptr));
    }
    azsim::StateDocument State() const { return azsim::SubscriptionState(cloud.dir()).load(); }
    void Mutate(const std::function<void(azsim::StateDocument&)>& change) const {
        azsim::SubscriptionState(cloud.dir()).mutate([&](azsim::StateDocument& doc) { return change(doc), true; });
    }
    azsim::PageBlobStore Blobs() const { return azsim::SubscriptionState(cloud.dir()).blobs(); }

    testsupport::ServedCloud cloud;
    testsupport::TempDir staging;
    std::unique_ptr<testsupport::JobIdentityScope> identity;
    EvLogCapture log;
    NxRecordingSleeper sleeper;
    std::unique_ptr<ReplicaPlugin> plugin;
};

}  // namespace replicationtest
