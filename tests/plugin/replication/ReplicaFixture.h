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
        plugin.reset(new ReplicaPlugin(VSINST_AZURE_RESOURCE_MANAGER, 0));
        ASSERT_EQ(1, plugin->Connect(testsupport::SimulatedCloud::kSubscriptionId,
                                     testsupport::SimulatedCloud::kApplicationId, testsupport::SimulatedCloud::kSecret));
    }
    // The first replication of web-linux01 (OS disk and one data disk) into VM replica01 of rg-prod.
    RestoreCtx Ctx() const {
        RestoreCtx ctx;
        ctx.restoreType = RESTORE_TYPE_REPLICATION;
        ctx.vmName = "replica01";
        ctx.resourceGroup = "rg-prod";
        ctx.region = "west europe";
        ctx.storageAccount = "prodstaging01";
        ctx.m_vmSize = "Standard_D2s_v3";
        ctx.sourceVmName = "web-linux01";
        ctx.isFirstReplication = true;
        ctx.restoreWithoutConfig = true;
        ctx.nics.push_back(SVMNetworkCard{"replica01-nic0", "vnet-prod", "default"});
        ctx.stagingRoot = staging.path();
        ctx.stagingPath = staging.path() + "/job";
        CreateFolderIfNotPresent(ctx.stagingPath);
        for (const char* name : {"web-linux01-osdisk", "web-linux01-data0"}) {
            SDisk disk;
            disk.name = disk.originalName = name;
            disk.storageAccount = "prodstaging01";
            disk.capacity = kDiskBytes;
            disk.isOsDisk = ctx.disks.empty();
            ctx.disks.push_back(disk);
        }
        return ctx;
    }
    // The next run of the replication `done` left, as the host starts it: disks known by their replication GUIDs.
    RestoreCtx Next(const RestoreCtx& done) const {
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
    // A whole run as the host drives it, stopping at the first step that fails.
    bool Run(RestoreCtx& ctx, unsigned char fill) {
        return plugin->InitRestoreVM(ctx) == 1 && Write(ctx, fill) && plugin->PreRestoreVM(ctx) == 1 &&
               plugin->RestoreVM(ctx) == 1 && plugin->PostRestoreVM(ctx) == 1;
    }
    unsigned char Byte(const azsim::BlobKey& key, std::uint64_t offset = 0) const {
        unsigned char out = 0xff;
        Blobs().read(key, "", offset, &out, 1);
        return out;
    }
    azsim::StateDocument State() const { return azsim::SubscriptionState(cloud.dir()).load(); }
    azsim::PageBlobStore Blobs() const { return azsim::SubscriptionState(cloud.dir()).blobs(); }
    void Fault(const std::string& op, const std::string& text) { azsim::FaultBook(cloud.dir()).addSdkFault({op, 0, text, 1}); }
    std::size_t Calls(const std::string& op) const { return cloud.journal(op).size(); }

    testsupport::ServedCloud cloud;
    testsupport::TempDir staging;
    testsupport::JobIdentityScope identity{"vsagent", "Instance001", 23};
    EvLogCapture log;
    NxRecordingSleeper sleeper;
    std::unique_ptr<ReplicaPlugin> plugin;
};

}  // namespace replicationtest
