// The page-blob writer's own HTTP route over HTTPS against the simulated subscription.
#include <atomic>
#include <thread>

#include "azsim/auth/AccessAuthority.h"
#include "azsim/faults/FaultBook.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "host/http/NXLibCurl.h"
#include "tests/plugin/diskio/DiskFixture.h"

namespace {

const char* const kWriteTag = "virtual int CAzureInfo::WriteVmdk(const VmdkHandle&, ULONGLONG, UINT, unsigned char*)";
const char* const kBufferTag =
    "bool CAzureInfo::_UploadBuffer(const string&, const SUploadCtx&, ULONGLONG, UINT, unsigned char*)";
const char* const kCreateTag =
    "virtual int CAzureInfo::CreateVmdk(const string&, const string&, const string&, VmdkHandle&, long long int)";
using PageBlobWriter = DiskDataPath;

// Writes of any page-multiple size become PUTs of at most 4 MiB, each with a Content-Length equal to its
// range's length (the service takes nothing else), and the disk reads back byte for byte.
TEST_F(PageBlobWriter, DiskWrittenInMixedSizesAsPutsOfAtMostFourMiBReadsBack) {
    const std::uint64_t size = 24 * kMiB + 512;
    VmdkHandle handle = Create("restored-0.vhd", size);
    const std::uint64_t writes[] = {6 * kMiB, 512, kMiB - 512, 9 * kMiB, 4 * kMiB, 4 * kMiB, 512};
    std::uint64_t offset = 0;
    for (std::uint64_t length : writes) {
        ASSERT_EQ(1, Write(handle, offset, length)) << offset;
        offset += length;
    }
    ASSERT_EQ(size, offset);
    EXPECT_EQ(Pattern(0, size, 1), Stored(handle.diskInfo->dataUrl, 0, size)) << "zero pages are written too";
    const std::vector<std::string> puts = Puts("restored-0.vhd");
    ASSERT_EQ(10u, puts.size());
    EXPECT_EQ("page bytes=0-4194303 4194304 bearer 201", puts[0]);
    EXPECT_EQ("page bytes=4194304-6291455 2097152 bearer 201", puts[1]);
    EXPECT_EQ("page bytes=16777216-20971519 4194304 bearer 201", puts[7]);
    EXPECT_EQ(1u, Journalled("GetStorageAccessToken"));
    EXPECT_TRUE(sleeper.waits().empty());
}

TEST_F(PageBlobWriter, FailedPieceEndsTheWriteAndEarlierPiecesStay) {
    VmdkHandle handle = Create("restored-0.vhd", 16 * kMiB);
    AddHttpFault("PUT", azsim::HttpFaultKind::Delay, 0, 1);  // the first piece passes, every later PUT fails
    AddHttpFault("PUT", azsim::HttpFaultKind::Status, 500, -1);
    const std::uint64_t requests = NXLibCurl::stats().requests;
    EXPECT_EQ(0, Write(handle, 2 * kMiB, 12 * kMiB));
    EXPECT_EQ(3u, NXLibCurl::stats().requests - requests) << "the third piece is never tried";
    EXPECT_EQ(Pattern(2 * kMiB, 4 * kMiB, 1), Stored(handle.diskInfo->dataUrl, 2 * kMiB, 4 * kMiB));
    EXPECT_EQ(std::vector<unsigned char>(8 * kMiB, 0xee), Stored(handle.diskInfo->dataUrl, 6 * kMiB, 8 * kMiB));
    EXPECT_TRUE(log.containsError(kWriteTag, "Failed to upload buffer at offset [2097152] with bufferSize [12582912] "
                                             "for blob [https://legacystore01.blob.core.windows.net/vhds/"
                                             "restored-0.vhd?comp=page]"));
}

// Only 201 says a page was stored, even when the connection ends inside that answer (the client then
// reports a transfer failure): any other answer, success codes among them, is a failed attempt.
TEST_F(PageBlobWriter, EveryAnswerButCreatedIsRetriedAndOnlyClientErrorsRefreshTheToken) {
    VmdkHandle handle = Create("restored-0.vhd", 4 * kMiB);
    ASSERT_EQ(1, Write(handle, 0, kMiB));
    using Kind = azsim::HttpFaultKind;
    const struct { Kind kind; int status; std::uint64_t requests; size_t refreshes; } cases[] = {
        {Kind::ShortBody, 0, 1, 0}, {Kind::Status, 200, 2, 0}, {Kind::Status, 202, 2, 0}, {Kind::Status, 400, 2, 1},
        {Kind::Status, 403, 2, 1},  {Kind::Status, 499, 2, 1}, {Kind::Status, 500, 2, 0}, {Kind::Status, 503, 2, 0}};
    for (const auto& c : cases) {
        const size_t tokens = Journalled("GetStorageAccessToken");
        const std::uint64_t requests = NXLibCurl::stats().requests;
        AddHttpFault("PUT", c.kind, c.status, 1);
        EXPECT_EQ(1, Write(handle, 0, kMiB, c.status)) << c.status;
        EXPECT_EQ(c.requests, NXLibCurl::stats().requests - requests) << c.status;
        EXPECT_EQ(c.refreshes, Journalled("GetStorageAccessToken") - tokens) << c.status;
        EXPECT_EQ(Pattern(0, kMiB, c.status), Stored(handle.diskInfo->dataUrl, 0, kMiB)) << c.status;
    }
    AddHttpFault("PUT", azsim::HttpFaultKind::Status, 200, -1);
    EXPECT_EQ(0, Write(handle, 0, kMiB, 1));
    EXPECT_EQ(VMINFO_ERR_DISK_INFO, plugin->GetLastVMError());
    EXPECT_EQ("Page write of [1048576] bytes at offset [0] to blob [restored-0.vhd] failed after every attempt",
              plugin->GetLastVMErrorDetails());
    azsim::FaultBook(cloud.dir()).clear();
    EXPECT_TRUE(log.containsError(kBufferTag, "Error: API failed. operation [2]. URL[https://legacystore01.blob.core."
                                              "windows.net/vhds/restored-0.vhd?comp=page]. Request [], HTTP Error "
                                              "Code [403]"));
    EXPECT_TRUE(log.contains(kBufferTag, "Refreshing storage access token for the next attempt ..."));

    const azsim::SdkFault fault{"GetStorageAccessToken", 0, "AADSTS7000215: Invalid client secret provided.", -1};
    AddSdkFault(fault);
    plugin->uploadAccessToken.clear();
    EXPECT_EQ(0, Write(handle, 0, kMiB));
    EXPECT_EQ(VMINFO_ERR_DISK_INFO, plugin->GetLastVMError());
    EXPECT_EQ(fault.text, plugin->GetLastVMErrorDetails());
    EXPECT_TRUE(log.containsError(kBufferTag, "Failed to get Storage access token for Blob [https://legacystore01."
                                              "blob.core.windows.net/vhds/restored-0.vhd?comp=page]"));
}

TEST_F(PageBlobWriter, MalformedWritesFailWithoutARequest) {
    VmdkHandle handle = Create("restored-0.vhd", 4 * kMiB);
    std::vector<unsigned char> data(kMiB);
    VmdkHandle none;
    const std::uint64_t requests = NXLibCurl::stats().requests;
    EXPECT_EQ(0, plugin->WriteVmdk(none, 0, kMiB, data.data()));
    EXPECT_EQ(0, plugin->WriteVmdk(handle, 0, kMiB, nullptr));
    EXPECT_EQ(0, plugin->WriteVmdk(handle, 100, 512, data.data()));
    EXPECT_EQ(0, plugin->WriteVmdk(handle, 512, 1000, data.data()));
    EXPECT_EQ(0, plugin->WriteVmdk(handle, 512, 0, data.data()));
    EXPECT_EQ(requests, NXLibCurl::stats().requests);
    EXPECT_EQ(5u, log.texts(kWriteTag).size());
    EXPECT_TRUE(log.containsError(kWriteTag, "Invalid write request: disk handle [set], buffer [set], offset [100], "
                                             "size [512]"));
    EXPECT_EQ(std::vector<unsigned char>(4 * kMiB, 0xee), Stored(handle.diskInfo->dataUrl, 0, 4 * kMiB));

    // The body is fed in the sizes libcurl asks for; with nothing to feed from, the transfer is aborted.
    SCURLData body(data.data(), 1000);
    char out[1024];
    EXPECT_EQ(CURL_READFUNC_ABORT, DiskPlugin::curl_read_callback(out, 1, 600, nullptr));
    EXPECT_EQ(CURL_READFUNC_ABORT, DiskPlugin::curl_read_callback(nullptr, 1, 600, &body));
    EXPECT_EQ(600u, DiskPlugin::curl_read_callback(out, 2, 300, &body));
    EXPECT_EQ(400u, DiskPlugin::curl_read_callback(out, 1, 1024, &body));
    EXPECT_EQ(0u, DiskPlugin::curl_read_callback(out, 1, 1024, &body));
}

// Without the native switch a page blob is created and written by the wrapper; a direct-upload disk is written
// through its upload URL whatever the switch, and closing its handle ends that upload once.
TEST_F(PageBlobWriter, WrapperRoutesCreateWriteAndCloseWithoutRequestsOfTheirOwn) {
    const std::uint64_t requests = NXLibCurl::stats().requests;
    plugin->nativeUpload = false;
    const azsim::BlobKey key{"legacystore01", "vhds", "restored-new.vhd"};
    Register(key.name);
    VmdkHandle page;
    ASSERT_EQ(1, plugin->CreateVmdk("", "", key.name, page, 8 * kMiB));
    // The wrapper takes at most 4 MiB a call, as the service does; every byte of a longer write is written.
    ASSERT_EQ(1, Write(page, kMiB, 6 * kMiB)) << plugin->GetLastVMErrorDetails();
    EXPECT_EQ(Pattern(kMiB, 6 * kMiB, 1), Stored(azsim::PageBlobUri(key), kMiB, 6 * kMiB));

    plugin->nativeUpload = true;
    SAzureDiskInfo& disk = plugin->diskMap["restored-md"];
    disk.directUpload = true;
    disk.blobName = "restored-md";
    disk.resourceGroup = "rg-legacy";
    VmdkHandle managed;
    ASSERT_EQ(1, plugin->CreateVmdk("", "", "restored-md", managed, 8 * kMiB));
    const std::string uploadUrl = disk.uploadAccessUrl;
    ASSERT_EQ(1, Write(managed, 2 * kMiB, 6 * kMiB)) << plugin->GetLastVMErrorDetails();
    EXPECT_EQ(Pattern(2 * kMiB, 6 * kMiB, 1), Stored(uploadUrl, 2 * kMiB, 6 * kMiB));
    EXPECT_EQ(requests, NXLibCurl::stats().requests);

    EXPECT_EQ(1, plugin->CloseVmdk(managed));
    EXPECT_EQ(1, plugin->CloseVmdk(managed));
    EXPECT_EQ(1u, Journalled("ClosePageBlob"));
    EXPECT_TRUE(disk.uploadAccessUrl.empty());
    EXPECT_EQ(0, Write(managed, 0, kMiB));
    EXPECT_EQ(VMINFO_ERR_DISK_INFO, plugin->GetLastVMError());
    const std::string error = plugin->GetLastVMErrorDetails();
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(log.containsError(kWriteTag, "Failed to upload buffer at offset [0] for blob[restored-md], Error [" +
                                                 error + "]"));
}

// A blob of the restore's name is reused only when the wrapper says it is there, and replaced only when
// it says definitely not found; when the question could not be asked, nothing is created. Every failure
// leaves the host's code and the wrapper's text.
TEST_F(PageBlobWriter, ExistingBlobIsReplacedOnlyOnADefiniteNotFoundAndFailuresCarryTheirCause) {
    const struct { int code; int created; EVMInfoError error; } cases[] = {
        {-1, 1, VMINFO_ERR_NONE},  // no fault: present, kept
        {AzureSDKCppBridge::SDK_ERR_NOT_FOUND, 1, VMINFO_ERR_NONE},
        {AzureSDKCppBridge::SDK_ERR_GENERAL, 0, VMINFO_ERR_DISK_CREATE},
        {AzureSDKCppBridge::SDK_ERR_NOT_CONNECTED, 0, VMINFO_ERR_DISK_CREATE}};
    for (const auto& c : cases) {
        const std::string name = "existing-" + std::to_string(c.code) + ".vhd";
        VmdkHandle handle = Create(name, 4 * kMiB);
        if (c.code >= 0)
            AddSdkFault({"DoesBlobExist", c.code, "ServerBusy: the question was not answered " + std::to_string(c.code)});
        plugin->SetLastVMError(VMINFO_ERR_NONE, "");
        const size_t creates = Journalled("CreatePageBlob");
        EXPECT_EQ(c.created, plugin->CreateVmdk("", "", name, handle, 2 * kMiB)) << c.code;
        EXPECT_EQ(c.error, plugin->GetLastVMError()) << c.code;
        const bool replaced = c.code == AzureSDKCppBridge::SDK_ERR_NOT_FOUND;
        EXPECT_EQ(replaced ? 1u : 0u, Journalled("CreatePageBlob") - creates) << c.code;
        const std::string code = std::to_string(c.code);
        EXPECT_EQ(c.error != VMINFO_ERR_NONE,
                  log.containsError(kCreateTag, "Could not check whether blob [" + name + "] exists in storage "
                                                "account [legacystore01]: ServerBusy: the question was not answered " +
                                                    code + " (error code " + code + ")"))
            << c.code;
    }
    for (const std::string operation : {"CreatePageBlob", "CreateDirectUploadManagedDisk"}) {
        const azsim::SdkFault fault{operation, 0, operation + ": ServerBusy"};
        AddSdkFault(fault);
        SAzureDiskInfo& disk = plugin->diskMap[operation] = plugin->diskMap["existing--1.vhd"];
        disk.blobName = "absent.vhd";
        disk.directUpload = operation == "CreateDirectUploadManagedDisk";
        VmdkHandle handle;
        plugin->SetLastVMError(VMINFO_ERR_NONE, "");
        EXPECT_EQ(0, plugin->CreateVmdk("", "", operation, handle, kMiB)) << operation;
        EXPECT_EQ(VMINFO_ERR_DISK_CREATE, plugin->GetLastVMError()) << operation;
        EXPECT_EQ(fault.text, plugin->GetLastVMErrorDetails());
    }
}

TEST_F(PageBlobWriter, EightThreadsOnTwoDisksThroughTokenExpiry) {
    settings.set("VirtualServer", "nAzureMaxBlobUploadAttempts", "5");
    azsim::AccessAuthority(cloud.dir()).setTokenLifetime(1);
    const std::uint64_t sizes[] = {16 * kMiB, 24 * kMiB};
    VmdkHandle disks[] = {Create("restored-0.vhd", sizes[0]), Create("restored-1.vhd", sizes[1])};
    std::atomic<int> failures{0};
    int lastPass[8] = {};
    // Every pass writes this thread's blocks (every eighth MiB) with the pass's own bytes, until a token expired.
    OnEightThreadsUntilTokens(3, [&](int id, int pass) {
        for (unsigned d = 0; d < 2; ++d)
            for (std::uint64_t block = id; block * kMiB < sizes[d]; block += 8)
                if (Write(disks[d], block * kMiB, kMiB, pass * 2 + d) != 1) ++failures;
        lastPass[id] = pass;
    });
    EXPECT_EQ(0, failures.load());
    EXPECT_LE(3u, Journalled("GetStorageAccessToken")) << "tokens expired and were refreshed mid-run";
    for (unsigned d = 0; d < 2; ++d)
        for (std::uint64_t block = 0; block * kMiB < sizes[d]; ++block)
            EXPECT_EQ(Pattern(block * kMiB, kMiB, lastPass[block % 8] * 2 + d),
                      Stored(disks[d].diskInfo->dataUrl, block * kMiB, kMiB))
                << "disk " << d << " block " << block;
}

}  // namespace
