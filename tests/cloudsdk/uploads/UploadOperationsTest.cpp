// Containers, page blobs and direct-upload managed disks of the SDK wrapper over the demo subscription.
#include "host/settings/NXPlatformInfo.h"
#include "host/sys/Time.h"
#include "tests/azsim/endpoint/HttpsClient.h"
#include "tests/cloudsdk/restore/WrapperFixture.h"

using namespace wrappertest;

namespace {

class UploadOperations : public WrapperTest {
protected:
    bool Put(const std::string& url, unsigned long long offset, const std::string& bytes) {
        return sdk.UploadBlobPageFromBufferForOffset(url, offset, static_cast<UINT>(bytes.size()),
                                                     reinterpret_cast<const unsigned char*>(bytes.data()));
    }
    bool Put(const std::string& blob, unsigned long long offset, std::size_t length, char fill = 'p') {
        std::string bytes(length, fill);
        return sdk.UploadBlobPageFromBufferForOffset(kStaging, "vhds", blob, offset, static_cast<UINT>(length),
                                                     reinterpret_cast<const unsigned char*>(bytes.data()));
    }
    const azsim::ManagedDisk Disk(const std::string& name) { return *state.load().findManagedDiskByName(name); }
};

TEST_F(UploadOperations, ContainerNamesFollowTheServiceRules) {
    // Only a definite absence carries the not-found code; a question that could not be asked carries its own.
    EXPECT_TRUE(sdk.DoesContainerExist("", "prodpremium01", "vhds"));
    EXPECT_FALSE(sdk.DoesContainerExist("", "prodpremium01", "restore"));
    EXPECT_TRUE(ErrorHas("ContainerNotFound"));
    EXPECT_EQ(sdk.GetLastErrorCode(), AzureSDKCppBridge::SDK_ERR_NOT_FOUND);
    EXPECT_FALSE(sdk.DoesContainerExist("", "nosuchaccount", "vhds"));
    EXPECT_EQ(sdk.GetLastErrorCode(), AzureSDKCppBridge::SDK_ERR_NOT_FOUND);
    CAzureSDKCppBridge unconnected;
    EXPECT_FALSE(unconnected.DoesContainerExist("", "prodpremium01", "vhds"));
    EXPECT_EQ(unconnected.GetLastErrorCode(), AzureSDKCppBridge::SDK_ERR_NOT_CONNECTED);
    EXPECT_FALSE(unconnected.DoesBlobExist("", "legacystore01", "vhds", "legacy-vm01-osdisk.vhd"));
    EXPECT_EQ(unconnected.GetLastErrorCode(), AzureSDKCppBridge::SDK_ERR_NOT_CONNECTED);

    for (const std::string& good : std::vector<std::string>{"abc", "a-b-9", "9restore", std::string(63, 'x')}) {
        EXPECT_TRUE(sdk.CreateStorageContainer("", "testzrs01", good)) << good << " " << sdk.GetLastErrorString();
        EXPECT_TRUE(sdk.DoesContainerExist("", "testzrs01", good)) << good;
    }
    for (const std::string& bad :
         std::vector<std::string>{"ab", std::string(64, 'x'), "Restore", "-abc", "abc-", "a--b", "a_b"}) {
        EXPECT_FALSE(sdk.CreateStorageContainer("", "testzrs01", bad)) << bad;
        EXPECT_TRUE(ErrorHas("InvalidResourceName")) << bad;
        EXPECT_FALSE(sdk.DoesContainerExist("", "testzrs01", bad)) << bad;
    }
    EXPECT_FALSE(sdk.CreateStorageContainer("", "testzrs01", "abc"));
    EXPECT_TRUE(ErrorHas("ContainerAlreadyExists"));
    EXPECT_FALSE(sdk.CreateStorageContainer("", "nosuchaccount", "abc"));

    // Only an empty container is deleted.
    ASSERT_TRUE(sdk.CreatePageBlob("", "testzrs01", "a-b-9", "held.vhd", 512)) << sdk.GetLastErrorString();
    EXPECT_FALSE(sdk.DeleteStorageContainer("", "testzrs01", "a-b-9"));
    EXPECT_TRUE(ErrorHas("ContainerNotEmpty"));
    EXPECT_TRUE(sdk.DeleteStorageContainer("", "testzrs01", "abc"));
    EXPECT_FALSE(sdk.DeleteStorageContainer("", "testzrs01", "abc"));
    EXPECT_EQ(sdk.GetLastErrorCode(), AzureSDKCppBridge::SDK_ERR_NOT_FOUND);
}

TEST_F(UploadOperations, PageBlobsTakeWholePagesOfAtMostFourMiB) {
    const struct { const char* container; const char* name; long long size; const char* error; } refused[] = {
        {"vhds", "odd.vhd", 8 * kMiB + 100, "InvalidHeaderValue"},
        {"vhds", "negative.vhd", -512, "InvalidHeaderValue"},
        {"nocontainer", "x.vhd", kMiB, "ContainerNotFound"}};
    for (const auto& r : refused) {
        EXPECT_FALSE(sdk.CreatePageBlob("", "prodstaging01", r.container, r.name, r.size)) << r.name;
        EXPECT_TRUE(ErrorHas(r.error)) << r.name;
        EXPECT_FALSE(sdk.DoesBlobExist("", "prodstaging01", r.container, r.name)) << r.name;
        EXPECT_EQ(sdk.GetLastErrorCode(), AzureSDKCppBridge::SDK_ERR_NOT_FOUND) << r.name;
    }
    ASSERT_TRUE(sdk.CreatePageBlob("rg-prod", "prodstaging01", "vhds", "new.vhd", 8 * kMiB + 512))
        << sdk.GetLastErrorString();
    EXPECT_NE(state.load().findUnmanagedDisk({"prodstaging01", "vhds", "new.vhd"}), nullptr);

    const azsim::BlobKey key{"prodstaging01", "vhds", "new.vhd"};
    EXPECT_TRUE(Put("new.vhd", 0, 4 * kMiB, 'a'));
    EXPECT_TRUE(Put("new.vhd", 8 * kMiB, 512, 'z'));  // the last page
    const struct { const char* blob; unsigned long long offset; std::size_t length; const char* error; } bad[] = {
        {"new.vhd", 0, 4 * kMiB + 512, "RequestBodyTooLarge"}, {"new.vhd", 100, 512, "InvalidPageRange"},
        {"new.vhd", 512, 1000, "InvalidPageRange"},            {"new.vhd", 8 * kMiB, 1024, "InvalidPageRange"},
        {"new.vhd", 0, 0, "InvalidHeaderValue"},               {"absent.vhd", 0, 512, "BlobNotFound"}};
    for (const auto& b : bad) {
        EXPECT_FALSE(Put(b.blob, b.offset, b.length, 'x')) << b.length;
        EXPECT_TRUE(ErrorHas(b.error)) << b.error;
    }
    EXPECT_EQ(sdk.GetLastErrorCode(), AzureSDKCppBridge::SDK_ERR_NOT_FOUND);
    EXPECT_EQ(Read(key, 0, 4 * kMiB + 512), std::string(4 * kMiB, 'a') + std::string(512, '\0'));
    EXPECT_EQ(Read(key, 8 * kMiB, 512), std::string(512, 'z'));
}

// Answers of the Blob service: asked again while it is busy or failing (after 1 s, 2 s, 4 s), a definite
// absence is "not found", anything else could not be asked; a URL that names no service is never sent.
TEST_F(UploadOperations, BlobAnswersAreRetriedAndMappedToTheirErrors) {
    ASSERT_TRUE(sdk.CreatePageBlob("", kStaging, "vhds", "answers.vhd", kMiB));
    const std::string blob = azsim::PageBlobUri({kStaging, "vhds", "answers.vhd"});
    const std::string absent = azsim::PageBlobUri({kStaging, "vhds", "absent.vhd"});
    using Waits = std::vector<unsigned long>;
    const int general = AzureSDKCppBridge::SDK_ERR_GENERAL;
    // `error`: the wrapper's error code, or -1 when the size is read.
    const struct { int status; const char* code; int times; std::string url; int error; Waits waits; const char* text; }
        rows[] = {{0, "", 0, blob, -1, {}, ""},
                  {503, "ServerBusy", 2, blob, -1, {1000, 2000}, ""},
                  {500, "InternalError", -1, blob, general, {1000, 2000, 4000}, "(HTTP 500)"},
                  {403, "AuthorizationFailure", 1, blob, general, {}, "(HTTP 403)"},
                  {404, "ResourceNotFound", 1, blob, general, {}, "ResourceNotFound"},
                  {0, "", 0, absent, AzureSDKCppBridge::SDK_ERR_NOT_FOUND, {}, "BlobNotFound"},
                  {0, "", 0, "/vhds/answers.vhd", general, {}, "InvalidUri"}};
    for (const auto& row : rows) {
        if (row.times != 0)
            azsim::FaultBook(cloud.dir()).addHttpFault({"HEAD", "", azsim::HttpFaultKind::Status, row.status,
                                                        row.code, 0, 0, row.times});
        Waits waits;
        NxSleepHook previous = NxSetSleepHook([&](unsigned long ms) { waits.push_back(ms); });
        UINT64 size = 0;
        const bool ok = sdk.GetBlobSizeInBytes(row.url, size);
        NxSetSleepHook(previous);
        azsim::FaultBook(cloud.dir()).clear();
        EXPECT_EQ(ok, row.error < 0) << row.status << " " << row.url;
        EXPECT_EQ(ok ? static_cast<UINT64>(kMiB) : 0, size) << row.status;
        EXPECT_EQ(ok ? -1 : sdk.GetLastErrorCode(), row.error) << row.status << " " << sdk.GetLastErrorString();
        EXPECT_TRUE(ErrorHas(row.text)) << row.status << " " << sdk.GetLastErrorString();
        EXPECT_EQ(waits, row.waits) << row.status << " " << row.url;
    }
}

TEST_F(UploadOperations, BlobsOfAVmStayAndDeletionTakesSnapshotsAlong) {
    const azsim::BlobKey vmDisk{"legacystore01", "vhds", "legacy-vm01-osdisk.vhd"};
    const std::string before = Read(vmDisk, 0, 4096);
    EXPECT_FALSE(sdk.CreatePageBlob("", "legacystore01", "vhds", vmDisk.name, kMiB));
    EXPECT_TRUE(ErrorHas("LeaseIdMissing"));
    EXPECT_FALSE(sdk.DeletePageBlob("", "legacystore01", "vhds", vmDisk.name));
    EXPECT_TRUE(ErrorHas("LeaseIdMissing"));
    EXPECT_EQ(Read(vmDisk, 0, 4096), before);

    ASSERT_TRUE(sdk.CreatePageBlob("", "legacystore01", "vhds", "restored.vhd", kMiB));
    SDisk disk;
    disk.uri = azsim::PageBlobUri({"legacystore01", "vhds", "restored.vhd"});
    std::vector<SDisk> snapped;
    std::string guid;
    ASSERT_TRUE(sdk.CreateDiskSnapshots({disk}, "rg-legacy", "", "restored", 1, 1, guid, snapped));
    std::optional<azsim::BlobUri> snapshot = azsim::ParseBlobUri(snapped[0].uri);
    ASSERT_TRUE(snapshot && state.blobs().exists(snapshot->key(), snapshot->snapshot));

    ASSERT_TRUE(sdk.DeletePageBlob("", "legacystore01", "vhds", "restored.vhd")) << sdk.GetLastErrorString();
    EXPECT_FALSE(state.blobs().exists(snapshot->key(), snapshot->snapshot));
    azsim::StateDocument doc = state.load();
    EXPECT_TRUE(!doc.findUnmanagedDisk(snapshot->key()) && !doc.findBlobSnapshot(snapshot->key(), snapshot->snapshot) &&
                !doc.findSnapshotSet(guid));
    EXPECT_FALSE(sdk.DeletePageBlob("", "legacystore01", "vhds", "restored.vhd"));
    EXPECT_EQ(sdk.GetLastErrorCode(), AzureSDKCppBridge::SDK_ERR_NOT_FOUND);
}

TEST_F(UploadOperations, DirectUploadRunsFromActiveUploadToUnattachedAndThenRefusesWrites) {
    std::string url, id, ref;
    EXPECT_FALSE(sdk.CreateDirectUploadManagedDisk("bad", "rg-prod", "", 8 * kMiB + 1, true, "", "", url, id, ref));
    EXPECT_FALSE(sdk.CreateDirectUploadManagedDisk("os", "rg-none", "", 8 * kMiB, true, "", "", url, id, ref));
    ASSERT_TRUE(sdk.CreateDirectUploadManagedDisk("os", "rg-prod", "westeurope", 8 * kMiB, true, "Standard_D2s_v3",
                                                  "EFI", url, id, ref))
        << sdk.GetLastErrorString();
    EXPECT_FALSE(sdk.CreateDirectUploadManagedDisk("os", "rg-prod", "", 8 * kMiB, true, "", "", url, id, ref));
    EXPECT_TRUE(ErrorHas("Conflict"));
    azsim::ManagedDisk os = Disk("os");
    EXPECT_EQ(std::tie(os.id, os.state, os.uploadSizeBytes, os.firmware),
              std::make_tuple(id, "ActiveUpload", static_cast<std::uint64_t>(8 * kMiB), "efi"));
    UINT64 size = 0;
    ASSERT_TRUE(sdk.GetBlobSizeInBytes(url, size));
    EXPECT_EQ(size, static_cast<UINT64>(8 * kMiB));

    // A boot sector with an NTFS partition marks the disk as Windows.
    std::string mbr(512, '\0');
    mbr[446 + 4] = 0x07;
    mbr[510] = '\x55';
    mbr[511] = '\xAA';
    ASSERT_TRUE(Put(url, 0, mbr)) << sdk.GetLastErrorString();
    ASSERT_TRUE(Put(url, 4 * kMiB, std::string(4 * kMiB, 'd')));
    EXPECT_FALSE(Put(url.substr(0, url.find('?')), 0, mbr));  // no SAS, no write
    EXPECT_FALSE(Put(url.substr(0, url.size() - 4) + "AAAA", 0, mbr));
    EXPECT_TRUE(ErrorHas("403"));
    // The disk's blob is no blob of a storage account: the session cannot write it by name.
    EXPECT_FALSE(sdk.UploadBlobPageFromBufferForOffset(os.blob.account, os.blob.container, os.blob.name, 0, 512,
                                                       reinterpret_cast<const unsigned char*>(mbr.data())));

    ASSERT_TRUE(sdk.ClosePageBlob(ref, "rg-prod", url)) << sdk.GetLastErrorString();
    os = Disk("os");
    EXPECT_EQ(std::tie(os.state, os.osType, os.grant.active), std::make_tuple("Unattached", "Windows", false));
    EXPECT_EQ(Read(os.blob, 4 * kMiB, 4 * kMiB), std::string(4 * kMiB, 'd'));
    EXPECT_FALSE(Put(url, 0, std::string(512, 'x')));
    EXPECT_TRUE(ErrorHas("403"));
    EXPECT_EQ(Read(os.blob, 0, 512), mbr);
    EXPECT_TRUE(sdk.ClosePageBlob(ref, "rg-prod", url));  // ending it again changes nothing
    Edit([](azsim::StateDocument& doc) { doc.findManagedDiskByName("os")->state = "Attached"; });
    EXPECT_TRUE(sdk.ClosePageBlob(ref, "rg-prod", url));
    EXPECT_EQ(Disk("os").state, "Attached");
    const std::string osUrl = url;

    // A Gen 1 Linux OS disk, and a data disk carrying neither OS type nor generation.
    ASSERT_TRUE(sdk.CreateDirectUploadManagedDisk("os2", "rg-prod", "", kMiB, true, "Standard_A2", "", url, id, ref));
    mbr[446 + 4] = static_cast<char>(0x83);
    ASSERT_TRUE(Put(url, 0, mbr));
    EXPECT_FALSE(sdk.ClosePageBlob(ref, "rg-prod", osUrl));  // another disk's URL ends nothing
    EXPECT_EQ(Disk("os2").state, "ActiveUpload");
    ASSERT_TRUE(sdk.ClosePageBlob(ref, "rg-prod", url));
    EXPECT_EQ(Disk("os2").osType + "/" + Disk("os2").firmware, "Linux/");
    ASSERT_TRUE(sdk.CreateDirectUploadManagedDisk("data", "rg-prod", "", kMiB, false, "Standard_DS2_v2", "efi", url,
                                                  id, ref));
    ASSERT_TRUE(sdk.ClosePageBlob(id, "", url));
    EXPECT_EQ(Disk("data").osType + Disk("data").firmware, "");
    // Premium storage where the VM size takes it.
    EXPECT_EQ(Disk("os").sku + " " + Disk("os2").sku + " " + Disk("data").sku,
              "Premium_LRS StandardSSD_LRS Premium_LRS");
}

TEST_F(UploadOperations, DisksMadeFromABlobGoUnlessAVmUsesThem) {
    const std::string source = azsim::PageBlobUri({"prodstaging01", "vhds", "restored.vhd"});
    Edit([&](azsim::StateDocument& doc) {
        for (const char* name : {"from-free", "from-used", "from-other", "from-another-job"}) {
            azsim::ManagedDisk d;
            d.name = name;
            d.resourceGroup = "rg-prod";
            d.id = azsim::ManagedDiskId(doc.subscription().id, "rg-prod", name);
            d.sourceId = std::string(name) == "from-other" ? source + "x" : source;
            d.tags = {{"createdByJob", testsupport::JobGuidOf(std::string(name) == "from-another-job" ? 8 : 7)}};
            d.blob = azsim::NewManagedDiskBlob();
            doc.managedDisks.push_back(d);
        }
        doc.findVm("web-linux01")->disks.push_back({doc.findManagedDiskByName("from-used")->id, 9});
    });
    EXPECT_FALSE(sdk.DeleteDisksOriginatingFromBlob("rg-prod", "prodstaging01", "vhds", "restored.vhd"));
    EXPECT_TRUE(ErrorHas("'from-used' is attached to VM 'web-linux01'"));
    auto present = [&](const char* name) { return state.load().findManagedDiskByName(name) != nullptr; };
    EXPECT_EQ(std::make_tuple(present("from-free"), present("from-used"), present("from-other")),
              std::make_tuple(false, true, true));
    EXPECT_FALSE(sdk.DeleteDisksOriginatingFromBlob("rg-prod", "prodstaging01", "vhds", "restored.vhd"));
    EXPECT_TRUE(sdk.DeleteDisksOriginatingFromBlob("rg-prod", "prodstaging01", "vhds", "restored.vhdx"));
    EXPECT_EQ(std::make_tuple(present("from-other"), present("from-another-job")), std::make_tuple(false, true));
}

// A page PUT over HTTPS to the endpoint; returns the status.
long PutPage(const std::string& url, const std::string& authorization) {
    std::string connectTo, caBundle;
    NXPlatformInfo::getString("HttpClient", "sConnectTo", &connectTo);
    NXPlatformInfo::getString("HttpClient", "sCABundle", &caBundle);
    const std::string body(512, 'h');
    HttpCall put{"PUT", url + (url.find('?') == std::string::npos ? "?" : "&") + "comp=page",
                 {"x-ms-version: 2018-03-28", "x-ms-page-write: update", "Range: bytes=0-511"}, &body};
    if (!authorization.empty()) put.headers.push_back(authorization);
    return HttpsClient(connectTo, caBundle).send(put).status;
}

TEST(ServedUploads, ManagedDiskUploadUrlTakesSasOnlyWhileTheUploadLasts) {
    testsupport::ServedCloud cloud;
    CAzureSDKCppBridge sdk;
    Connect(sdk, 7);
    std::string url, id, ref, token;
    ASSERT_TRUE(sdk.CreateDirectUploadManagedDisk("disk", "rg-prod", "", kMiB, false, "", "", url, id, ref));
    ASSERT_TRUE(sdk.GetStorageAccessToken(token));
    const std::string bearer = "Authorization: Bearer " + token;
    EXPECT_EQ(PutPage(url.substr(0, url.find('?')), bearer), 403);
    EXPECT_EQ(PutPage(url, ""), 201);
    ASSERT_TRUE(sdk.CreatePageBlob("", "prodstaging01", "vhds", "plain.vhd", kMiB));
    EXPECT_EQ(PutPage(azsim::PageBlobUri({"prodstaging01", "vhds", "plain.vhd"}), bearer), 201);
    ASSERT_TRUE(sdk.ClosePageBlob(ref, "rg-prod", url));
    EXPECT_EQ(PutPage(url, ""), 403);
}

}  // namespace
