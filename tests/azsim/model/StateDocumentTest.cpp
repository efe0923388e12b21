#include <gtest/gtest.h>

#include "azsim/Identity.h"
#include "azsim/StateFolder.h"
#include "azsim/model/ResourceIds.h"
#include "azsim/model/StateDocument.h"

namespace {

using namespace azsim;

const char* kSub = "6f1c2d3e-4a5b-4c6d-8e7f-90a1b2c3d4e5";

StateDocument SampleDocument() {
    StateDocument doc;
    doc.subscriptions.push_back({kSub, "Sample", "tenant-1", "app-1", "secret-1"});
    Region region{"westeurope", "West Europe", false, {}};
    region.vmSizes.push_back({"Standard_D2s_v3", 2, 8192, 4, 2, true, true, "1,2,3"});
    doc.regions.push_back(region);
    doc.resourceGroups.push_back({"rg-Prod", "westeurope", {{"env", "prod"}}});
    doc.storageAccounts.push_back({"acct01", "rg-Prod", "westeurope", "Standard_ZRS", "StorageV2", {"vhds"}});

    ManagedDisk disk;
    disk.id = ManagedDiskId(kSub, "rg-Prod", "Web01-os");
    disk.name = "Web01-os";
    disk.resourceGroup = "rg-Prod";
    disk.sizeBytes = 512ull << 20;
    disk.sku = "UltraSSD_LRS";
    disk.tags = {{"owner", "ops"}};
    disk.encrypted = true;
    disk.blob = {"md-0123456789ab", "c0ffee", "abcd"};
    doc.managedDisks.push_back(disk);

    UnmanagedDisk page;
    page.name = "legacy-os";
    page.sizeBytes = 1 << 20;
    page.blob = {"acct01", "vhds", "Legacy-OS.vhd"};
    page.tags = {{"_NX_REPLICATION_DISK_GUID_", "g-1"}};
    doc.unmanagedDisks.push_back(page);

    VirtualMachine vm;
    vm.name = "Web01";
    vm.guid = "3b7f1c2a-9d4e-4f60-8a1b-2c3d4e5f6071";
    vm.resourceGroup = "rg-Prod";
    vm.region = "westeurope";
    vm.firmware = "efi";
    vm.osType = "Windows";
    vm.powerState = PowerState::Deallocated;
    vm.nics.push_back({"nic0", "vnet", SubnetId(kSub, "rg-Prod", "vnet", "default")});
    vm.encryption = {true, "kv-1", "dek-text", "kek-text", true};
    vm.disks.push_back({disk.id, -1});
    doc.vms.push_back(vm);

    VirtualMachine legacy = vm;
    legacy.name = "Legacy";
    legacy.guid = "1e2f3a4b-5c6d-4e7f-8a9b-0c1d2e3f4a5b";
    legacy.managed = false;
    legacy.disks = {{PageBlobUri(page.blob), -1}};
    doc.vms.push_back(legacy);

    ManagedSnapshot snap;
    snap.id = SnapshotId(kSub, "rg-Prod", "Web01-os_QDMD_20261206");
    snap.name = "Web01-os_QDMD_20261206";
    snap.resourceGroup = "rg-Prod";
    snap.sourceDiskId = disk.id;
    snap.incremental = true;
    snap.blob = disk.blob;
    snap.storeSnapshot = "2026-12-06T07:31:12.1234567Z";
    snap.grant = {true, "https://md-0123456789ab.z1.blob.storage.azure.net/c0ffee/abcd?sv=x", 1800000000};
    doc.snapshots.push_back(snap);
    doc.blobSnapshots.push_back({page.blob, "2026-12-06T07:31:12.1234567Z", 1800000000, {{"set", "guid-1"}}});
    doc.snapshotSets.push_back(
        {"AB12CD34-0000-4000-8000-000000000001", "Web01", vm.guid, "rg-Prod", 1800000000, "77", "5", {snap.id}});
    doc.virtualNetworks.push_back({"vnet",
                                   VirtualNetworkId(kSub, "rg-Prod", "vnet"),
                                   "rg-Prod",
                                   "westeurope",
                                   "10.0.0.0/16",
                                   {{"default", SubnetId(kSub, "rg-Prod", "vnet", "default"), "10.0.0.0/24"}},
                                   {{"createdByJob", "7"}}});
    doc.securityGroups.push_back({"nsg", SecurityGroupId(kSub, "rg-Prod", "nsg"), "rg-Prod", "westeurope"});
    doc.images.push_back({"Canonical", "ubuntu", "22_04-lts", "latest", "westeurope"});
    doc.templates.push_back(vm);
    doc.extra["futureMember"] = {{"kept", true}};
    return doc;
}

TEST(StateDocumentJson, EveryResourceSurvivesTheRoundTrip) {
    StateDocument original = SampleDocument();
    nlohmann::json first = original.toJson();
    StateDocument reread = StateDocument::fromJson(nlohmann::json::parse(first.dump()));
    EXPECT_EQ(first, reread.toJson());

    const VirtualMachine& vm = reread.vms.at(0);
    EXPECT_EQ(PowerState::Deallocated, vm.powerState);
    EXPECT_EQ(0, vm.powerStateCode());
    EXPECT_EQ("kek-text", vm.encryption.kekBackup);
    EXPECT_TRUE(vm.encryption.osDiskOnly);
    EXPECT_EQ("md-0123456789ab", reread.managedDisks.at(0).blob.account);
    EXPECT_TRUE(reread.snapshots.at(0).grant.active);
    EXPECT_FALSE(reread.regions.at(0).incrementalSnapshots);
    EXPECT_TRUE(reread.regions.at(0).vmSizes.at(0).gen2Supported);
    EXPECT_EQ(true, reread.extra.at("futureMember").at("kept"));
    EXPECT_EQ("deallocated", first["vms"][0]["powerState"]);
}

TEST(StateDocumentJson, SubscriptionsKeepTheShapeSignInReads) {
    nlohmann::json json = SampleDocument().toJson();
    EXPECT_TRUE(SignIn(json, kSub, "app-1", "secret-1").ok);
    EXPECT_FALSE(SignIn(json, kSub, "app-1", "wrong").ok);

    // A document holding only subscriptions (as written by older tools) loads with empty lists.
    nlohmann::json minimal = {{"subscriptions", {{{"id", kSub}, {"applicationId", "a"}, {"secret", "s"}}}}};
    StateDocument doc = StateDocument::fromJson(minimal);
    EXPECT_EQ("a", doc.subscription().applicationId);
    EXPECT_TRUE(doc.vms.empty());
    EXPECT_THROW(StateDocument().subscription(), Error);
}

TEST(StateDocumentJson, MalformedMembersAreRejected) {
    EXPECT_THROW(StateDocument::fromJson(nlohmann::json::array()), Error);
    EXPECT_THROW(StateDocument::fromJson({{"vms", "not a list"}}), Error);
    EXPECT_THROW(StateDocument::fromJson({{"vms", {{{"disks", 5}}}}}), Error);
    EXPECT_THROW(StateDocument::fromJson({{"regions", {{{"vmSizes", {{{"cpus", "two"}}}}}}}}), Error);
}

TEST(StateDocumentLookup, NamesIgnoreCaseWhereTheCloudDoes) {
    StateDocument doc = SampleDocument();
    ASSERT_NE(nullptr, doc.findVm("WEB01"));
    EXPECT_EQ("Web01", doc.findVm("web01", "RG-PROD")->name);
    EXPECT_EQ(nullptr, doc.findVm("web01", "rg-other"));
    EXPECT_EQ("Legacy", doc.findVmByGuid("1E2F3A4B-5C6D-4E7F-8A9B-0C1D2E3F4A5B")->name);
    EXPECT_NE(nullptr, doc.findRegion("west europe"));
    EXPECT_NE(nullptr, doc.findRegion("WESTEUROPE"));
    EXPECT_EQ(nullptr, doc.findRegion("northeurope"));
    EXPECT_NE(nullptr, doc.findResourceGroup("RG-prod"));
    EXPECT_NE(nullptr, doc.findStorageAccount("ACCT01"));

    std::string upperId = doc.managedDisks[0].id;
    for (char& c : upperId) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_NE(nullptr, doc.findManagedDisk(upperId));
    EXPECT_NE(nullptr, doc.findManagedDiskByName("web01-OS"));
    EXPECT_NE(nullptr, doc.findSnapshotByName("WEB01-OS_qdmd_20261206", "rg-prod"));
    EXPECT_NE(nullptr, doc.findSnapshotSet("ab12cd34-0000-4000-8000-000000000001"));
    EXPECT_NE(nullptr, doc.findVirtualNetwork("VNET"));
    EXPECT_NE(nullptr, doc.findSecurityGroup("NSG", "rg-prod"));

    // Blob names are case-sensitive; account and container are not.
    EXPECT_NE(nullptr, doc.findUnmanagedDisk({"ACCT01", "VHDS", "Legacy-OS.vhd"}));
    EXPECT_EQ(nullptr, doc.findUnmanagedDisk({"acct01", "vhds", "legacy-os.vhd"}));
    EXPECT_NE(nullptr, doc.findBlobSnapshot({"acct01", "vhds", "Legacy-OS.vhd"}, "2026-12-06T07:31:12.1234567Z"));
    EXPECT_EQ(nullptr, doc.findBlobSnapshot({"acct01", "vhds", "Legacy-OS.vhd"}, "2026-12-06T07:31:12.0000000Z"));
}

TEST(StateDocumentLookup, DiskBlobsOfManagedAndUnmanagedVms) {
    StateDocument doc = SampleDocument();
    auto managed = doc.diskBlob(*doc.findVm("Web01"), 0);
    ASSERT_TRUE(managed);
    EXPECT_TRUE(*managed == doc.managedDisks[0].blob);
    auto unmanaged = doc.diskBlob(*doc.findVm("Legacy"), 0);
    ASSERT_TRUE(unmanaged);
    EXPECT_TRUE(*unmanaged == doc.unmanagedDisks[0].blob);
    EXPECT_FALSE(doc.diskBlob(*doc.findVm("Web01"), 1));
    doc.managedDisks.clear();
    EXPECT_FALSE(doc.diskBlob(*doc.findVm("Web01"), 0));
}

TEST(ResourceIds, BuildAndParseTheCloudsForms) {
    std::string id = ManagedDiskId(kSub, "rg-Prod", "disk-1");
    EXPECT_EQ(
        std::string("/subscriptions/") + kSub + "/resourceGroups/rg-Prod/providers/Microsoft.Compute/disks/disk-1", id);
    auto parsed = ParseResourceId(id);
    ASSERT_TRUE(parsed);
    EXPECT_EQ("rg-Prod", parsed->resourceGroup);
    EXPECT_EQ("disks", parsed->type);
    EXPECT_EQ("disk-1", parsed->name);
    EXPECT_EQ(id, BuildResourceId(*parsed));

    auto subnet = ParseResourceId(SubnetId(kSub, "rg", "vnet", "default"));
    ASSERT_TRUE(subnet);
    EXPECT_EQ("Microsoft.Network", subnet->provider);
    EXPECT_EQ("vnet", subnet->name);
    EXPECT_EQ("default", subnet->childName);

    auto upper = ParseResourceId("/SUBSCRIPTIONS/s/RESOURCEGROUPS/rg/PROVIDERS/Microsoft.Compute/snapshots/x");
    ASSERT_TRUE(upper);
    EXPECT_EQ("x", upper->name);
}

TEST(ResourceIds, HostileResourceIdsAreRejected) {
    const char* hostile[] = {"", "/", "//////////", "subscriptions/s/resourceGroups/rg/providers/p/t/n",
        "/subscriptions/s/resourceGroups/rg/providers/p/t/n/", "/subscriptions//resourceGroups/rg/providers/p/t/n",
        "/subscriptions/s/resourceGroups/rg/providers/p/t", "/subscriptions/s/resourceGroups/rg/providers/p/t/n/extra",
        "/subscriptions/s/groups/rg/providers/p/t/n", "/subscriptions/s/resourceGroups/rg/vendors/p/t/n",
        "/subscriptions/s/resourceGroups/rg/providers/p/t/n?x=1", "/subscriptions/s/resourceGroups/r\ng/providers/p/t/n"};
    for (const char* id : hostile) EXPECT_FALSE(ParseResourceId(id)) << id;
    EXPECT_FALSE(ParseResourceId(std::string(100000, '/')));
}

TEST(BlobUris, BuildAndParseUrlsWithSnapshotsAndSas) {
    BlobKey key{"acct01", "vhds", "dir/My Disk.vhd"};
    std::string uri = PageBlobUri(key, "2026-12-06T07:31:12.1234567Z");
    EXPECT_EQ("https://acct01.blob.core.windows.net/vhds/dir/My%20Disk.vhd?snapshot=2026-12-06T07:31:12.1234567Z", uri);
    auto parsed = ParseBlobUri(uri);
    ASSERT_TRUE(parsed);
    EXPECT_TRUE(parsed->key() == key);
    EXPECT_EQ("blob.core.windows.net", parsed->suffix);
    EXPECT_EQ("2026-12-06T07:31:12.1234567Z", parsed->snapshot);

    auto managed = ParseBlobUri(ManagedDiskAccessUrl({"md-0123456789ab", "c0ffee", "abcd"}) +
                                "?sv=2020-04-08&sr=b&sig=ab%2Bc%3D&snapshot=2026-12-06T07%3A31%3A12.0000000Z");
    ASSERT_TRUE(managed);
    EXPECT_EQ("md-0123456789ab", managed->account);
    EXPECT_EQ("z1.blob.storage.azure.net", managed->suffix);
    EXPECT_EQ("ab+c=", managed->query.at("sig"));
    EXPECT_EQ("2026-12-06T07:31:12.0000000Z", managed->snapshot);

    auto withPort = ParseBlobUri("HTTPS://ACCT01.Blob.Core.Windows.Net:443/vhds/a.vhd#frag");
    ASSERT_TRUE(withPort);
    EXPECT_EQ("acct01", withPort->account);
    EXPECT_EQ("a.vhd", withPort->blob);
}

TEST(BlobUris, HostileUrlsAreRejected) {
    const std::string h = "https://acct.blob.core.windows.net";
    for (const std::string& uri : {std::string(), std::string("https://"), std::string("ftp://acct.blob.core.windows.net/c/b"),
             std::string("https://acct/c/b"), std::string("https://acct..windows.net/c/b"), h, h + "/", h + "/c", h + "/c/",
             h + "//b", h + "/c/../../etc/passwd", h + "/c/a/./b", h + "/c/a//b", h + "/c/b%zz", h + "/c/b%4",
             h + "/c/b%00x", h + "/c/%2E%2E", h + ":99999999/c/b", h + ":/c/b",
             std::string("https://user@acct.blob.core.windows.net/c/b"), h + "/UPPER/b", h + "/c/b?snapshot=%G1",
             h + "?x=/c/b"})
        EXPECT_FALSE(ParseBlobUri(uri)) << uri;
    EXPECT_FALSE(ParseBlobUri("https://acct.blob.core.windows.net/c/" + std::string(5000, 'b')));
}

TEST(GeneratedNames, GuidsAndManagedDiskBlobsHaveTheCloudsShape) {
    std::string guid = NewGuid();
    ASSERT_EQ(36u, guid.size());
    EXPECT_EQ('4', guid[14]);
    EXPECT_NE(std::string::npos, std::string("89ab").find(guid[19]));
    for (std::size_t i : {8u, 13u, 18u, 23u}) EXPECT_EQ('-', guid[i]);
    EXPECT_EQ(std::string::npos, guid.find_first_not_of("0123456789abcdef-"));
    EXPECT_NE(guid, NewGuid());

    BlobKey blob = NewManagedDiskBlob();
    EXPECT_EQ(15u, blob.account.size());
    EXPECT_EQ(0u, blob.account.rfind("md-", 0));
    EXPECT_EQ("abcd", blob.name);
    auto url = ParseBlobUri(ManagedDiskAccessUrl(blob));
    ASSERT_TRUE(url);
    EXPECT_TRUE(url->key() == blob);
}

}  // namespace
