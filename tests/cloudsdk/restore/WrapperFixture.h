// The SDK wrapper of job 7 connected to the demo subscription, with the staging and reading helpers that the
// wrapper's restore, attach and VM-operation tests share.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "azsim/faults/FaultBook.h"
#include "azsim/model/ResourceIds.h"
#include "azsim/model/SubscriptionState.h"
#include "cloudsdk/AzureSDKCppBridge.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "tests/support/SimulatedCloud.h"

namespace wrappertest {

using AzureSDKCppBridge::CAzureSDKCppBridge;
using testsupport::SimulatedCloud;
using VMInfoStructs::SDisk;
using VMInfoStructs::SVMInfo;

constexpr long long kMiB = 1 << 20;
const char* const kStaging = "prodstaging01";
const char* const kWebGuid = "3b7f1c2a-9d4e-4f60-8a1b-2c3d4e5f6071";  // web-linux01's

// A VM record's entry for the managed disk `id` at `lun`.
inline SDisk ManagedEntry(const std::string& id, bool os, int lun) {
    SDisk d;
    d.managedDiskId = id;
    d.name = id.substr(id.rfind('/') + 1);
    d.isOsDisk = os;
    d.unitNumber = lun;
    return d;
}

// A VM record of `name` in `group` of `size`, without disks or networks.
inline SVMInfo Vm(const std::string& name, const std::string& group = "rg-prod",
                  const std::string& size = "Standard_D2s_v3") {
    SVMInfo vm;
    vm.name = name;
    vm.resourceGroup = group;
    vm.vmSize = size;
    return vm;
}

// A VM record's entry for the page blob `blob` of `account` at `lun`.
inline SDisk BlobDisk(const std::string& blob, bool os, int lun, const std::string& account = kStaging) {
    SDisk d;
    d.name = blob;
    d.storageAccount = account;
    d.isOsDisk = os;
    d.unitNumber = lun;
    return d;
}

// Signs `wrapper` in as job `job` to the subscription of the cloud made last.
inline void Connect(CAzureSDKCppBridge& wrapper, NXJobID job) {
    EvEvent::setJobGuid(testsupport::JobGuidOf(job));
    ASSERT_TRUE(wrapper.Initialize("focus", "app", job, VSINST_AZURE_RESOURCE_MANAGER));
    ASSERT_TRUE(
        wrapper.Connect(SimulatedCloud::kSubscriptionId, SimulatedCloud::kApplicationId, SimulatedCloud::kSecret));
}

class WrapperTest : public ::testing::Test {
protected:
    void SetUp() override { Connect(sdk, 7); }
    // A page blob of 1 MiB (made when missing) whose second page holds `fill`.
    azsim::BlobKey Stage(const std::string& blob, char fill, const std::string& account = kStaging) {
        const azsim::BlobKey key{account, "vhds", blob};
        EXPECT_TRUE(state.blobs().exists(key) || sdk.CreatePageBlob("", account, "vhds", blob, kMiB));
        const std::string page(512, fill);
        EXPECT_TRUE(sdk.UploadBlobPageFromBufferForOffset(account, "vhds", blob, 512, 512,
                                                          reinterpret_cast<const unsigned char*>(page.data())));
        return key;
    }
    // A direct-upload managed disk of 1 MiB with its upload ended; returns its id.
    std::string Upload(const std::string& name, bool os, const std::string& group, const std::string& size,
                       const std::string& firmware) {
        std::string url, id, ref;
        EXPECT_TRUE(sdk.CreateDirectUploadManagedDisk(name, group, "", kMiB, os, size, firmware, url, id, ref));
        EXPECT_TRUE(sdk.ClosePageBlob(ref, group, url));
        return id;
    }
    // `length` bytes of the blob, or of its snapshot `snapshot`, from `offset`.
    std::string Read(const azsim::BlobKey& key, std::uint64_t offset = 0, std::uint64_t length = 1024,
                     const std::string& snapshot = "") {
        std::string out(length, '\0');
        state.blobs().read(key, snapshot, offset, &out[0], length);
        return out;
    }
    // A VM's disks as (id, LUN) pairs, in its order.
    using DiskList = std::vector<std::pair<std::string, int>>;
    DiskList Attachments(const std::string& vm) {
        const azsim::StateDocument doc = state.load();
        DiskList out;
        for (const azsim::DiskAttachment& a : doc.findVm(vm)->disks) out.emplace_back(a.id, a.lun);
        return out;
    }
    // The whole subscription as stored: the state document's bytes and every data file's path and size.
    std::string Everything() {
        std::ostringstream out;
        out << std::ifstream(cloud.dir() + "/state.json").rdbuf();
        std::vector<std::string> files;
        for (const auto& f : std::filesystem::recursive_directory_iterator(cloud.dir()))
            // The call journal and the endpoint's request record say what was asked, not what the
            // subscription holds.
            if (f.is_regular_file() && f.path().filename() != "journal.jsonl" &&
                f.path().filename() != "requests.jsonl")
                files.push_back(f.path().string() + " " + std::to_string(f.file_size()));
        std::sort(files.begin(), files.end());
        for (const std::string& f : files) out << f << '\n';
        return out.str();
    }
    // Changes the stored subscription.
    void Edit(const std::function<void(azsim::StateDocument&)>& change) {
        state.mutate([&](azsim::StateDocument& doc) { return change(doc), true; });
    }
    std::string StateBytes() { return state.load().toJson().dump(); }
    bool ErrorHas(const std::string& text) { return sdk.GetLastErrorString().find(text) != std::string::npos; }

    SimulatedCloud cloud{SimulatedCloud::Seed::Demo};
    azsim::SubscriptionState state{cloud.dir()};
    CAzureSDKCppBridge sdk;
};

}  // namespace wrappertest
