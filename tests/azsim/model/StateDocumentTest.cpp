#include <gtest/gtest.h>

#include <regex>

#include "azsim/StateFolder.h"
#include "azsim/model/ResourceIds.h"
#include "azsim/model/StateDocument.h"
#include "tests/azsim/model/JsonContains.h"

namespace {

using namespace azsim;

const char* kSub = "sub-1";

// One resource of each kind as the state file holds it; members left out take their defaults.
nlohmann::json SampleJson() {
    return nlohmann::json::parse(R"({
      "subscriptions": [{"id": "sub-1", "name": "Sample", "tenantId": "tenant-1", "applicationId": "app-1",
                         "secret": "secret-1"}],
      "regions": [{"name": "westeurope", "displayName": "West Europe", "incrementalSnapshots": false,
                   "vmSizes": [{"name": "Standard_D2s_v3", "cpus": 2, "memoryMB": 8192, "maxDataDisks": 4,
                                "maxNics": 2, "premiumIO": true, "gen2Supported": true, "zones": "1,2,3"}]}],
      "resourceGroups": [{"name": "rg-Prod", "region": "westeurope", "tags": {"env": "prod"}}],
      "storageAccounts": [{"name": "acct01", "resourceGroup": "rg-Prod", "region": "westeurope",
                           "sku": "Standard_ZRS", "kind": "StorageV2", "containers": ["vhds"]}],
      "managedDisks": [{"id": "/subscriptions/sub-1/resourceGroups/rg-Prod/providers/Microsoft.Compute/disks/Web01-os",
                        "name": "Web01-os", "resourceGroup": "rg-Prod", "sizeBytes": 536870912, "sku": "UltraSSD_LRS",
                        "tags": {"owner": "ops"}, "encrypted": true,
                        "blob": {"account": "md-0123456789ab", "container": "c0ffee", "name": "abcd"}}],
      "unmanagedDisks": [{"name": "legacy-os", "sizeBytes": 1048576, "tags": {"_NX_REPLICATION_DISK_GUID_": "g-1"},
                          "blob": {"account": "acct01", "container": "vhds", "name": "Legacy-OS.vhd"}}],
      "vms": [{"name": "Web01", "guid": "3b7f1c2a-9d4e-4f60-8a1b-2c3d4e5f6071", "resourceGroup": "rg-Prod",
               "region": "westeurope", "firmware": "efi", "osType": "Windows", "powerState": "deallocated",
               "nics": [{"name": "nic0", "virtualNetwork": "vnet", "subnetId":
                   "/subscriptions/sub-1/resourceGroups/rg-Prod/providers/Microsoft.Network/virtualNetworks/vnet/subnets/default"}],
               "encryption": {"encrypted": true, "keyVault": "kv-1", "dekBackup": "dek-text", "kekBackup": "kek-text",
                              "osDiskOnly": true},
               "disks": [{"id": "/subscriptions/sub-1/resourceGroups/rg-Prod/providers/Microsoft.Compute/disks/Web01-os",
                          "lun": -1}]},
              {"name": "Legacy", "guid": "1e2f3a4b-5c6d-4e7f-8a9b-0c1d2e3f4a5b", "resourceGroup": "rg-Prod",
               "managed": false, "disks": [{"id": "https://acct01.blob.core.windows.net/vhds/Legacy-OS.vhd", "lun": -1}]}],
      "snapshots": [{"id": "/subscriptions/sub-1/resourceGroups/rg-Prod/providers/Microsoft.Compute/snapshots/Web01-os_QDMD_20261206",
                     "name": "Web01-os_QDMD_20261206", "resourceGroup": "rg-Prod", "incremental": true,
                     "sourceDiskId": "/subscriptions/sub-1/resourceGroups/rg-Prod/providers/Microsoft.Compute/disks/Web01-os",
                     "blob": {"account": "md-0123456789ab", "container": "c0ffee", "name": "abcd"},
                     "storeSnapshot": "2026-12-06T07:31:12.1234567Z",
                     "grant": {"active": true, "accessUrl": "https://md-0123456789ab.z1.blob.storage.azure.net/c0ffee/abcd?sv=x",
                               "expiresAt": 1800000000}}],
      "blobSnapshots": [{"blob": {"account": "acct01", "container": "vhds", "name": "Legacy-OS.vhd"},
                         "storeSnapshot": "2026-12-06T07:31:12.1234567Z", "createdAt": 1800000000,
                         "metadata": {"set": "guid-1"}}],
      "snapshotSets": [{"guid": "AB12CD34-0000-4000-8000-000000000001", "vmName": "Web01", "resourceGroup": "rg-Prod",
                        "vmGuid": "3b7f1c2a-9d4e-4f60-8a1b-2c3d4e5f6071", "createdAt": 1800000000, "jobTag": "77",
                        "applicationId": "5", "members": [
                          "/subscriptions/sub-1/resourceGroups/rg-Prod/providers/Microsoft.Compute/snapshots/Web01-os_QDMD_20261206"]}],
      "virtualNetworks": [{"name": "vnet", "resourceGroup": "rg-Prod", "region": "westeurope", "addressPrefix": "10.0.0.0/16",
                           "id": "/subscriptions/sub-1/resourceGroups/rg-Prod/providers/Microsoft.Network/virtualNetworks/vnet",
                           "subnets": [{"name": "default", "addressPrefix": "10.0.0.0/24", "id":
                   "/subscriptions/sub-1/resourceGroups/rg-Prod/providers/Microsoft.Network/virtualNetworks/vnet/subnets/default"}],
                           "tags": {"createdByJob": "7"}}],
      "securityGroups": [{"name": "nsg", "resourceGroup": "rg-Prod", "region": "westeurope",
                 "id": "/subscriptions/sub-1/resourceGroups/rg-Prod/providers/Microsoft.Network/networkSecurityGroups/nsg"}],
      "images": [{"publisher": "Canonical", "offer": "ubuntu", "sku": "22_04-lts", "version": "latest",
                  "location": "westeurope"}],
      "templates": [{"name": "Web01", "osType": "Windows"}],
      "futureMember": {"kept": true}})");
}

StateDocument SampleDocument() { return StateDocument::fromJson(SampleJson()); }

TEST(StateDocumentJson, EveryResourceSurvivesTheRoundTripInTheShapeSignInReads) {
    nlohmann::json first = SampleDocument().toJson();
    EXPECT_TRUE(azsimtest::JsonContains(first, SampleJson())) << first.dump(1);
    StateDocument reread = StateDocument::fromJson(nlohmann::json::parse(first.dump()));
    EXPECT_EQ(first, reread.toJson());
    EXPECT_EQ(PowerState::Deallocated, reread.vms.at(0).powerState);
    EXPECT_EQ(0, reread.vms.at(0).powerStateCode());
}

TEST(StateDocumentJson, MalformedMembersAndAMissingSubscriptionAreRejected) {
    EXPECT_THROW(StateDocument::fromJson(nlohmann::json::array()), Error);
    EXPECT_THROW(StateDocument::fromJson({{"vms", "not a list"}}), Error);
    EXPECT_THROW(StateDocument::fromJson({{"vms", {{{"disks", 5}}}}}), Error);
    EXPECT_THROW(StateDocument::fromJson({{"regions", {{{"vmSizes", {{{"cpus", "two"}}}}}}}}), Error);
    EXPECT_THROW(StateDocument().subscription(), Error);
}

TEST(StateDocumentLookup, NamesIgnoreCaseWhereTheCloudDoesAndDisksFindTheirBlobs) {
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

    EXPECT_NE(nullptr,
              doc.findManagedDisk("/SUBSCRIPTIONS/SUB-1/RESOURCEGROUPS/RG-PROD/PROVIDERS/MICROSOFT.COMPUTE/DISKS/WEB01-OS"));
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

    // The disk blobs of managed and unmanaged VMs.
    EXPECT_TRUE(doc.diskBlob(*doc.findVm("Web01"), 0) == doc.managedDisks[0].blob);
    EXPECT_TRUE(doc.diskBlob(*doc.findVm("Legacy"), 0) == doc.unmanagedDisks[0].blob);
    EXPECT_FALSE(doc.diskBlob(*doc.findVm("Web01"), 1));
    doc.managedDisks.clear();
    EXPECT_FALSE(doc.diskBlob(*doc.findVm("Web01"), 0));
}

// The parts of a resource id, or "rejected".
std::string PartsOf(const std::string& id) {
    auto r = ParseResourceId(id);
    return r ? r->subscription + "|" + r->resourceGroup + "|" + r->provider + "|" + r->type + "|" + r->name + "|" +
                   r->childType + "|" + r->childName
             : "rejected";
}

TEST(ResourceIds, BuildAndParseTheCloudsFormsAndRejectHostileIds) {
    std::string id = ManagedDiskId(kSub, "rg-Prod", "disk-1");
    EXPECT_EQ("/subscriptions/sub-1/resourceGroups/rg-Prod/providers/Microsoft.Compute/disks/disk-1", id);
    EXPECT_EQ("sub-1|rg-Prod|Microsoft.Compute|disks|disk-1||", PartsOf(id));
    EXPECT_EQ(id, BuildResourceId(*ParseResourceId(id)));
    EXPECT_EQ("sub-1|rg|Microsoft.Network|virtualNetworks|vnet|subnets|default",
              PartsOf(SubnetId(kSub, "rg", "vnet", "default")));
    EXPECT_EQ("s|rg|Microsoft.Compute|snapshots|x||",
              PartsOf("/SUBSCRIPTIONS/s/RESOURCEGROUPS/rg/PROVIDERS/Microsoft.Compute/snapshots/x"));

    const char* hostile[] = {"", "/", "//////////", "subscriptions/s/resourceGroups/rg/providers/p/t/n",
        "/subscriptions/s/resourceGroups/rg/providers/p/t/n/", "/subscriptions//resourceGroups/rg/providers/p/t/n",
        "/subscriptions/s/resourceGroups/rg/providers/p/t", "/subscriptions/s/resourceGroups/rg/providers/p/t/n/extra",
        "/subscriptions/s/groups/rg/providers/p/t/n", "/subscriptions/s/resourceGroups/rg/vendors/p/t/n",
        "/subscriptions/s/resourceGroups/rg/providers/p/t/n?x=1", "/subscriptions/s/resourceGroups/r\ng/providers/p/t/n"};
    for (const char* id : hostile) EXPECT_EQ("rejected", PartsOf(id)) << id;
    EXPECT_EQ("rejected", PartsOf(std::string(100000, '/')));
}

// The parts of a blob URL and its "sig" parameter, or "rejected".
std::string PartsOfUri(const std::string& uri) {
    auto u = ParseBlobUri(uri);
    return u ? u->account + "|" + u->suffix + "|" + u->container + "|" + u->blob + "|" + u->snapshot + "|" +
                   (u->query.count("sig") ? u->query.at("sig") : "")
             : "rejected";
}

TEST(BlobUris, BuildAndParseUrlsWithSnapshotsAndSasAndRejectHostileUrls) {
    std::string uri = PageBlobUri({"acct01", "vhds", "dir/My Disk.vhd"}, "2026-12-06T07:31:12.1234567Z");
    EXPECT_EQ("https://acct01.blob.core.windows.net/vhds/dir/My%20Disk.vhd?snapshot=2026-12-06T07:31:12.1234567Z", uri);
    EXPECT_EQ("acct01|blob.core.windows.net|vhds|dir/My Disk.vhd|2026-12-06T07:31:12.1234567Z|", PartsOfUri(uri));
    EXPECT_EQ("md-0123456789ab|z1.blob.storage.azure.net|c0ffee|abcd|2026-12-06T07:31:12.0000000Z|ab+c=",
              PartsOfUri(ManagedDiskAccessUrl({"md-0123456789ab", "c0ffee", "abcd"}) +
                         "?sv=2020-04-08&sr=b&sig=ab%2Bc%3D&snapshot=2026-12-06T07%3A31%3A12.0000000Z"));
    EXPECT_EQ("acct01|blob.core.windows.net|vhds|a.vhd||",
              PartsOfUri("HTTPS://ACCT01.Blob.Core.Windows.Net:443/vhds/a.vhd#frag"));

    const std::string h = "https://acct.blob.core.windows.net";
    for (const std::string& hostile : {std::string(), std::string("https://"), std::string("ftp://acct.blob.core.windows.net/c/b"),
             std::string("https://acct/c/b"), std::string("https://acct..windows.net/c/b"), h, h + "/", h + "/c", h + "/c/",
             h + "//b", h + "/c/../../etc/passwd", h + "/c/a/./b", h + "/c/a//b", h + "/c/b%zz", h + "/c/b%4",
             h + "/c/b%00x", h + "/c/%2E%2E", h + ":99999999/c/b", h + ":/c/b",
             std::string("https://user@acct.blob.core.windows.net/c/b"), h + "/UPPER/b", h + "/c/b?snapshot=%G1",
             h + "?x=/c/b"})
        EXPECT_FALSE(ParseBlobUri(hostile)) << hostile;
    EXPECT_FALSE(ParseBlobUri("https://acct.blob.core.windows.net/c/" + std::string(5000, 'b')));
}

TEST(GeneratedNames, GuidsAndManagedDiskBlobsHaveTheCloudsShape) {
    std::string guid = NewGuid();
    EXPECT_TRUE(std::regex_match(guid, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")))
        << guid;
    EXPECT_NE(guid, NewGuid());

    BlobKey blob = NewManagedDiskBlob();
    EXPECT_TRUE(std::regex_match(blob.account, std::regex("md-[0-9a-f]{12}"))) << blob.account;
    EXPECT_EQ("abcd", blob.name);
    EXPECT_EQ(blob.account + "|z1.blob.storage.azure.net|" + blob.container + "|abcd||",
              PartsOfUri(ManagedDiskAccessUrl(blob)));
}

}  // namespace
