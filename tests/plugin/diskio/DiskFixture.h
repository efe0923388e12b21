// Disk data path fixture: the demo subscription over HTTPS, a connected plugin, disks registered as a mount does.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "azsim/faults/FaultBook.h"
#include "azsim/model/ResourceIds.h"
#include "azsim/model/SubscriptionState.h"
#include "host/settings/NXPlatformInfo.h"
#include "host/sys/Time.h"
#include "plugin/frame/AzureInfo.h"
#include "tests/support/SimulatedCloud.h"

class DiskPlugin : public CAzureInfo {
public:
    DiskPlugin() : CAzureInfo(VSINST_AZURE_RESOURCE_MANAGER, 0) {}
    using CAzureInfo::diskMap;
    using CAzureInfo::downloadAccessToken;
    using CAzureInfo::InitCBT;
    using CAzureInfo::nativeDownload;
    using CAzureInfo::referenceSnapshotId;
    using CAzureInfo::sdk;

    struct SnapshotSet {
        std::string guid;
        SVMInfo vm;                      // disks rewritten to their snapshots
        std::vector<std::string> paths;  // disk-map keys, in disk order
    };
    SVMInfo Vm(const std::string& name, const std::string& resourceGroup) {
        SVMInfo vm;
        EXPECT_TRUE(sdk->GetVMInfoForVM(name, "", resourceGroup, 0, 0, vm)) << sdk->GetLastErrorString();
        return vm;
    }
    // Snapshots the VM's disks as one set and registers every snapshot; a page
    // blob is read from a staging copy of its snapshot when `staging` is set.
    SnapshotSet Snapshot(const SVMInfo& vm, bool staging) {
        SnapshotSet set;
        set.vm = vm;
        EXPECT_TRUE(sdk->CreateDiskSnapshots(vm.disks, vm.resourceGroup, vm.region, vm.name, 7, 42, set.guid,
                                             set.vm.disks))
            << sdk->GetLastErrorString();
        for (const SDisk& disk : set.vm.disks) {
            SAzureDiskInfo info;
            info.sourceUri = disk.uri;
            info.dataUrl = disk.uri;
            info.isManaged = disk.isManaged;
            info.snapshotId = disk.managedDiskId;
            info.resourceGroup = disk.resourceGroup;
            info.vmResourceGroup = vm.resourceGroup;
            if (!disk.isManaged) {
                std::optional<azsim::BlobUri> uri = azsim::ParseBlobUri(disk.uri);
                info.storageAccount = uri->account;
                info.container = uri->container;
                info.blobName = uri->blob;
                if (staging) {
                    EXPECT_TRUE(sdk->CreateBackupBlobFromSnapshot(disk.uri, uri->account, uri->container,
                                                                  uri->blob + "-staging" + set.guid.substr(0, 8),
                                                                  info.dataUrl));
                    info.readsStagingBlob = true;
                }
            }
            diskMap[disk.uri] = info;
            set.paths.push_back(disk.uri);
        }
        return set;
    }
};

// Throws once, from the first log line that contains `trigger`: any exception inside a slot.
class ThrowingLog : public EvLogSink {
public:
    explicit ThrowingLog(std::string trigger) : trigger_(std::move(trigger)) { EvDebug::addSink(this); }
    ~ThrowingLog() override { EvDebug::removeSink(this); }
    void write(const EvLogRecord& record, const std::string&) override {
        if (thrown_ || record.text.find(trigger_) == std::string::npos) return;
        thrown_ = true;
        throw std::runtime_error("injected: " + trigger_);
    }

private:
    std::string trigger_;
    bool thrown_ = false;
};

// Settings of this process while it lives; removed again when a test ends, also after a failed assertion.
class SettingsScope {
public:
    void set(const std::string& section, const std::string& key, const std::string& value) {
        NXPlatformInfo::setValue(section, key, value);
        keys_.emplace_back(section, key);
    }
    ~SettingsScope() {
        for (const auto& [section, key] : keys_) NXPlatformInfo::removeValue(section, key);
    }

private:
    std::vector<std::pair<std::string, std::string>> keys_;
};

class DiskDataPath : public ::testing::Test {
protected:
    void SetUp() override {
        CVMInfo::SetDmiDirectory((cloud.dir() + "/no-dmi").c_str());
        Connect(NewPlugin());
    }
    virtual DiskPlugin* NewPlugin() { return new DiskPlugin(); }
    // Makes `fresh` the plugin under test, connected to the subscription.
    void Connect(DiskPlugin* fresh) {
        plugin.reset(fresh);
        ASSERT_EQ(1, plugin->Connect(testsupport::SimulatedCloud::kSubscriptionId,
                                     testsupport::SimulatedCloud::kApplicationId, testsupport::SimulatedCloud::kSecret));
    }
    // The bytes the subscription holds at `length` bytes from `offset` of the blob version `url` names.
    std::vector<unsigned char> Stored(const std::string& url, std::uint64_t offset, std::uint64_t length) const {
        std::optional<azsim::BlobUri> uri = azsim::ParseBlobUri(url);
        std::vector<unsigned char> out(length, 0);
        EXPECT_EQ(static_cast<std::int64_t>(length),
                  azsim::SubscriptionState(cloud.dir()).blobs().read(uri->key(), uri->snapshot, offset, out.data(),
                                                                     length));
        return out;
    }
    VmdkHandle Open(const std::string& path) {
        VmdkHandle handle;
        EXPECT_EQ(1, plugin->OpenVmdk("", "", path, handle));
        ULONGLONG sectors = 0;
        EXPECT_EQ(1, plugin->GetVmdkCapacity(handle, sectors));
        return handle;
    }
    // Disk `index` of a new snapshot set of VM `vm`, opened.
    VmdkHandle OpenSnapshot(const std::string& vm, const std::string& group, size_t index, bool staging = false) {
        return Open(plugin->Snapshot(plugin->Vm(vm, group), staging).paths.at(index));
    }
    void AddHttpFault(const char* method, azsim::HttpFaultKind kind, int status, int times, std::uint64_t bodyBytes = 0) {
        azsim::HttpFault fault;
        fault.method = method;
        fault.kind = kind;
        fault.status = status;
        fault.times = times;
        fault.bodyBytes = bodyBytes;
        azsim::FaultBook(cloud.dir()).addHttpFault(fault);
    }
    void AddSdkFault(const azsim::SdkFault& fault) { azsim::FaultBook(cloud.dir()).addSdkFault(fault); }
    // True when a line under `tag` contains `fragment`.
    bool Logged(const std::string& tag, const std::string& fragment) const {
        for (const std::string& text : log.texts(tag))
            if (text.find(fragment) != std::string::npos) return true;
        return false;
    }
    size_t Journalled(const std::string& operation) const { return cloud.journal(operation).size(); }

    testsupport::ServedCloud cloud;
    testsupport::JobIdentityScope identity{"vsagent", "Instance001", 42};
    NxRecordingSleeper sleeper;
    EvLogCapture log;
    SettingsScope settings;
    std::unique_ptr<DiskPlugin> plugin;
};
