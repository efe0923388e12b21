#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "azsim/StateFolder.h"
#include "azsim/model/ResourceIds.h"
#include "azsim/model/SubscriptionState.h"
#include "azsim/scenarios/Scenario.h"
#include "tests/azsim/model/JsonContains.h"
#include "tests/azsim/model/TempFolder.h"

namespace {

using namespace azsim;
using nlohmann::json;

constexpr std::uint64_t kMiB = 1024 * 1024;

json SmallScenario() {
    return json::parse(R"({
      "subscriptions": [{"id": "sub-1", "name": "S", "tenantId": "t", "applicationId": "app", "secret": "pw"}],
      "regions": [{"name": "westeurope", "displayName": "West Europe"}],
      "resourceGroups": [{"name": "rg-a", "region": "westeurope"}],
      "storageAccounts": [{"name": "acct01", "resourceGroup": "rg-a", "region": "westeurope", "sku": "Standard_LRS"}],
      "virtualNetworks": [{"name": "vnet", "resourceGroup": "rg-a", "region": "westeurope",
                           "subnets": [{"name": "default"}]}],
      "vms": [
        {"name": "managed01", "resourceGroup": "rg-a", "osType": "Linux", "firmware": "efi",
         "nics": [{"name": "nic0", "virtualNetwork": "vnet", "subnet": "default"}],
         "disks": [
           {"name": "m-os", "sizeMiB": 4, "sku": "Premium_LRS", "content": [
              {"offset": 0, "length": 1048576, "fill": "text", "text": "ABCD"},
              {"offset": 2097152, "length": 524288, "fill": "random", "seed": 7},
              {"offset": 3145728, "length": 512, "fill": "zeros"}]},
           {"name": "m-data", "sizeMiB": 2, "sku": "UltraSSD_LRS", "content": [
              {"offset": 0, "length": 2097152, "fill": "text", "text": "disk {disk} block {block};"},
              {"offset": 1572864, "length": 524288, "fill": "random", "seed": 7}]}]},
        {"name": "classic01", "resourceGroup": "rg-a", "managed": false, "storageAccount": "acct01",
         "encryption": {"encrypted": true, "keyVault": "kv", "dekBackup": "dek", "kekBackup": "kek", "osDiskOnly": true},
         "disks": [{"name": "c-os", "sizeBytes": 1048576, "content": [
                      {"offset": 0, "length": 524288, "fill": "random", "seed": 8}]},
                   {"name": "c-data", "sizeBytes": 1048576}]}
      ]})");
}

std::string Read(const PageBlobStore& store, const BlobKey& key, std::uint64_t offset, std::uint64_t length) {
    std::string bytes(length, '\1');
    EXPECT_EQ(static_cast<std::int64_t>(length), store.read(key, "", offset, &bytes[0], length));
    return bytes;
}

std::string Zeros(std::uint64_t length) { return std::string(length, '\0'); }

TEST(Scenario, SeedsManagedAndUnmanagedDisksWithTheirContentAndSparseRest) {
    azsimtest::TempFolder dir;
    StateDocument doc = InitState(dir.path(), SmallScenario());
    SubscriptionState state(dir.path());
    EXPECT_EQ(doc.toJson(), state.load().toJson());

    // The resources as the scenario named them (disk ids and LUNs are held by the SDK restore and mount tests).
    EXPECT_TRUE(azsimtest::JsonContains(doc.toJson(), json::parse(R"({
      "vms": [{"name": "managed01", "region": "westeurope", "managed": true, "nics": [{"subnetId":
                 "/subscriptions/sub-1/resourceGroups/rg-a/providers/Microsoft.Network/virtualNetworks/vnet/subnets/default"}]},
              {"name": "classic01", "managed": false}],
      "managedDisks": [{"name": "m-os", "sizeBytes": 4194304, "firmware": "efi", "sku": "Premium_LRS"},
                       {"name": "m-data", "sizeBytes": 2097152, "sku": "UltraSSD_LRS"}],
      "unmanagedDisks": [{"name": "c-os", "encrypted": true}, {"name": "c-data", "encrypted": false}],
      "storageAccounts": [{"name": "acct01", "containers": ["vhds"]}]})"))) << doc.toJson().dump(1);
    EXPECT_EQ(36u, doc.vms.at(0).guid.size());
    const BlobKey os = doc.managedDisks.at(0).blob;
    const BlobKey data = doc.managedDisks.at(1).blob;
    EXPECT_EQ(0u, os.account.rfind("md-", 0));

    PageBlobStore store = state.blobs();
    BlobProperties props;
    ASSERT_TRUE(store.properties(os, "", props));
    EXPECT_EQ(4 * kMiB, props.size);

    std::string text = Read(store, os, 0, kMiB);
    for (std::size_t i = 0; i < text.size(); ++i) ASSERT_EQ("ABCD"[i % 4], text[i]) << "at " << i;
    EXPECT_NE(Zeros(512 * 1024), Read(store, os, 2 * kMiB, 512 * 1024));
    EXPECT_EQ(Zeros(kMiB), Read(store, os, kMiB, kMiB));
    EXPECT_EQ(Zeros(512), Read(store, os, 3 * kMiB, 512));

    // Written zeros are allocated; never-written pages are not.
    std::vector<PageRange> ranges;
    ASSERT_TRUE(store.pageRanges(os, "", 0, 4 * kMiB, ranges));
    std::vector<PageRange> expected = {{0, kMiB}, {2 * kMiB, 2 * kMiB + 512 * 1024}, {3 * kMiB, 3 * kMiB + 512}};
    EXPECT_EQ(expected, ranges);

    // Text names disk and block; a seed gives the same bytes on every disk, another seed others.
    EXPECT_EQ("disk m-data block 0;disk m-data ", Read(store, data, 0, 32));
    EXPECT_EQ("disk m-data block 1;disk m-data ", Read(store, data, kMiB, 32));

    std::string seven = Read(store, os, 2 * kMiB, 512 * 1024);
    EXPECT_EQ(seven, Read(store, data, 1536 * 1024, 512 * 1024));
    BlobKey classic = *doc.diskBlob(*doc.findVm("classic01"), 0);
    EXPECT_NE(seven, Read(store, classic, 0, 512 * 1024));

    ASSERT_TRUE(store.pageRanges({"acct01", "vhds", "c-data.vhd"}, "", 0, kMiB, ranges));
    EXPECT_TRUE(ranges.empty());
}

TEST(Scenario, BadScenariosAreRefusedWithTheReason) {
    const struct { const char* where; json value; const char* reason; } cases[] = {
        {"/vms/0/resourceGroup", "rg-missing", "rg-missing"},
        {"/vms/0/disks/0/content/0/offset", 100, "512"},
        {"/vms/0/disks/0/content/0/offset", 4 * kMiB, "past its end"},
        {"/vms/0/disks/0/content/0/fill", "ones", "ones"},
        {"/vms/1/storageAccount", "nosuch", "nosuch"}};
    for (const auto& c : cases) {
        json scenario = SmallScenario();
        scenario[json::json_pointer(c.where)] = c.value;
        azsimtest::TempFolder dir;
        EXPECT_THAT([&] { InitState(dir.path(), scenario); }, testing::ThrowsMessage<Error>(testing::HasSubstr(c.reason)))
            << c.where;
    }

    azsimtest::TempFolder dir;
    InitState(dir.path(), SmallScenario());
    EXPECT_THROW(InitState(dir.path(), SmallScenario()), Error);
}

TEST(Scenario, DemoOffersEveryKindOfVmTheBackupsMeet) {
    azsimtest::TempFolder dir;
    StateDocument doc = InitState(dir.path(), DemoScenario());

    // The SDK tests use the demo's managed, unmanaged and encrypted VMs; the rest is checked here.
    for (const Region& r : doc.regions) EXPECT_FALSE(r.vmSizes.empty()) << r.name;
    EXPECT_TRUE(
        std::any_of(doc.regions.begin(), doc.regions.end(), [](const Region& r) { return !r.incrementalSnapshots; }));
    EXPECT_TRUE(std::any_of(doc.vms.begin(), doc.vms.end(), [&](const VirtualMachine& vm) {
        return std::count_if(vm.disks.begin(), vm.disks.end(), [&](const DiskAttachment& a) {
                   const ManagedDisk* d = doc.findManagedDisk(a.id);
                   return d && d->sku == "UltraSSD_LRS";
               }) == 1;
    }));

    PageBlobStore store = SubscriptionState(dir.path()).blobs();
    for (const VirtualMachine& vm : doc.vms) {
        for (std::size_t i = 0; i < vm.disks.size(); ++i) {
            auto blob = doc.diskBlob(vm, i);
            ASSERT_TRUE(blob) << vm.name << " disk " << i;
            BlobProperties props;
            ASSERT_TRUE(store.properties(*blob, "", props));
            EXPECT_GE(props.size, 256 * kMiB);
            EXPECT_LE(props.size, 512 * kMiB);
            std::vector<PageRange> ranges;
            ASSERT_TRUE(store.pageRanges(*blob, "", 0, props.size, ranges));
            std::uint64_t allocated = 0;
            for (const PageRange& r : ranges) allocated += r.end - r.start;
            EXPECT_GT(allocated, 0u) << vm.name;
            EXPECT_LT(allocated, props.size / 2) << vm.name << " should be mostly sparse";
        }
    }
    const VirtualMachine* web = doc.findVm("web-linux01");
    ASSERT_NE(nullptr, web);
    EXPECT_EQ(0u, Read(store, *doc.diskBlob(*web, 0), 5 * kMiB, 64).rfind("disk web-linux01-osdisk block 5\n", 0));
}

}  // namespace
