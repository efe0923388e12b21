// Disk data path fixture: the demo subscription over HTTPS, a connected plugin, disks mounted as a backup does.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
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
    using CAzureInfo::curl_read_callback;
    using CAzureInfo::InitCBT;
    using CAzureInfo::nativeDownload;
    using CAzureInfo::nativeUpload;
    using CAzureInfo::referenceSnapshotId;
    using CAzureInfo::sdk;
    using CAzureInfo::uploadAccessToken;
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

constexpr std::uint64_t kMiB = 1 << 20;

// Bytes recognisable by disk, position and pass, with whole zero pages among them.
inline std::vector<unsigned char> Pattern(std::uint64_t offset, std::uint64_t length, unsigned seed) {
    std::vector<unsigned char> out(length);
    for (std::uint64_t i = 0; i < length; ++i) {
        const std::uint64_t at = offset + i;
        out[i] = (at / 512) % 7 == 3 ? 0 : static_cast<unsigned char>((at * 2654435761u >> 11) + seed * 31 + 1);
    }
    return out;
}

// Pages are written over the plugin's own HTTP route unless a test switches it off.
class DiskDataPath : public ::testing::Test {
protected:
    void SetUp() override {
        settings.set("VirtualServer", "bAzureEnableNativeUpload", "1");
        CVMInfo::SetDmiDirectory((cloud.dir() + "/no-dmi").c_str());
        Connect(new DiskPlugin());
    }
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
    // A backup of VM `vm` with change tracking; `referencePoint` names the previous backup (none: a full one).
    MountCtx Ctx(const char* vm, const char* group, const std::string& referencePoint = std::string()) {
        MountCtx ctx;
        ctx.vmName = vm;
        ctx.hostName = group;
        ctx.mountPath = mountDir.path() + "/mount";
        ctx.jobId = 42;
        ctx.cbtEnabled = true;
        ctx.referencePoint = referencePoint;
        return ctx;
    }
    // A full backup of VM `vm`, mounted: managed disks read their snapshots through SAS URLs, unmanaged
    // ones staging copies of their snapshots.
    MountCtx Mounted(const char* vm, const char* group) {
        MountCtx ctx = Ctx(vm, group);
        EXPECT_EQ(1, plugin->MountVM(ctx)) << plugin->GetLastVMErrorDetails();
        return ctx;
    }
    VmdkHandle OpenMounted(const char* vm, const char* group, size_t index) {
        return Open(Mounted(vm, group).vmInfo.disks.at(index).uri);
    }
    void AddHttpFault(const char* method, azsim::HttpFaultKind kind, int status, int times, std::uint64_t bodyBytes = 0) {
        azsim::FaultBook(cloud.dir()).addHttpFault({method, "", kind, status, "InternalError", 0, bodyBytes, times});
    }
    void AddSdkFault(const azsim::SdkFault& fault) { azsim::FaultBook(cloud.dir()).addSdkFault(fault); }
    // True when a line under `tag` contains `fragment`.
    bool Logged(const std::string& tag, const std::string& fragment) const {
        for (const std::string& text : log.texts(tag))
            if (text.find(fragment) != std::string::npos) return true;
        return false;
    }
    size_t Journalled(const std::string& operation) const { return cloud.journal(operation).size(); }
    // The host's last error: its code and its text.
    std::pair<EVMInfoError, std::string> LastError() const {
        return {plugin->GetLastVMError(), plugin->GetLastVMErrorDetails()};
    }
    // Reads the whole blob in blocks of `blockSectors` sectors (the last one clamped) and compares every block.
    void ExpectWholeDiskRead(const VmdkHandle& handle, UINT blockSectors) {
        const std::uint64_t size = handle.diskInfo->blobSize;
        const std::uint64_t block = blockSectors * 512ULL;
        std::vector<unsigned char> buffer(block);
        for (std::uint64_t index = 0; index * block < size; ++index) {
            ASSERT_EQ(1, plugin->ReadVmdk(handle, index, blockSectors, buffer.data())) << index;
            buffer.resize(std::min(block, size - index * block));  // the bytes past the blob's end are not compared
            ASSERT_EQ(Stored(handle.diskInfo->sourceUri, index * block, buffer.size()), buffer) << "block " << index;
        }
    }
    // A page blob already holding 0xee in every byte (kept by CreateVmdk), registered as a restore does.
    VmdkHandle Create(const std::string& name, std::uint64_t size) {
        azsim::BlobKey key{"legacystore01", "vhds", name};
        azsim::PageBlobStore store = azsim::SubscriptionState(cloud.dir()).blobs();
        EXPECT_TRUE(store.createPageBlob(key, size, false, nullptr));
        EXPECT_TRUE(store.writePages(key, 0, std::vector<unsigned char>(size, 0xee).data(), size, nullptr));
        Register(name).dataUrl = azsim::PageBlobUri(key);
        VmdkHandle handle;
        EXPECT_EQ(1, plugin->CreateVmdk("", "", name, handle, size / 2));
        return handle;
    }
    // A page blob of account legacystore01, container vhds, registered as a restore does.
    SAzureDiskInfo& Register(const std::string& name) {
        SAzureDiskInfo& info = plugin->diskMap[name];
        info.storageAccount = "legacystore01";
        info.container = "vhds";
        info.blobName = name;
        info.resourceGroup = "rg-legacy";
        return info;
    }
    int Write(const VmdkHandle& handle, std::uint64_t offset, std::uint64_t length, unsigned seed = 1) {
        std::vector<unsigned char> data = Pattern(offset, length, seed);
        return plugin->WriteVmdk(handle, offset, static_cast<UINT>(length), data.data());
    }
    // Runs `pass(id, n)` on eight threads, passes n = 1, 2, ... until `enough()` holds after a pass (60 s at
    // most), while `meanwhile` runs on this thread.
    void OnEightThreads(const std::function<bool()>& enough, const std::function<void(int, int)>& pass,
                        const std::function<void()>& meanwhile = [] {}) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        std::vector<std::thread> threads;
        for (int id = 0; id < 8; ++id)
            threads.emplace_back([&, id] {
                for (int n = 1; n == 1 || (!enough() && std::chrono::steady_clock::now() < deadline); ++n) pass(id, n);
            });
        meanwhile();
        for (std::thread& t : threads) t.join();
    }

    testsupport::ServedCloud cloud;
    testsupport::TempDir mountDir;
    testsupport::JobIdentityScope identity{"vsagent", "Instance001", 42};
    NxRecordingSleeper sleeper;
    EvLogCapture log;
    SettingsScope settings;
    std::unique_ptr<DiskPlugin> plugin;
};
