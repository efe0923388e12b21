// Disk handles, the page-blob reader and the writer's own HTTP route over HTTPS against the simulated subscription.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "azsim/auth/AccessAuthority.h"
#include "azsim/endpoint/RequestLog.h"
#include "azsim/faults/FaultBook.h"
#include "cloudsdk/SdkErrorCodes.h"
#include "host/http/NXLibCurl.h"
#include "host/settings/NXPlatformInfo.h"
#include "tests/plugin/diskio/DiskFixture.h"

namespace {

const char* const kReadTag = "virtual int CAzureInfo::ReadVmdk(const VmdkHandle&, ULONGLONG, UINT, unsigned char*)";
const char* const kReadBufferTag =
    "bool CAzureInfo::_DownloadBuffer(const string&, const SDownloadCtx&, ULONGLONG, UINT, unsigned char*)";
const char* const kPiecesTag =
    "bool CAzureInfo::_DownloadBlockAtOffset(const string&, const SDownloadCtx&, ULONGLONG, UINT, unsigned char*)";
const char* const kWriteTag = "virtual int CAzureInfo::WriteVmdk(const VmdkHandle&, ULONGLONG, UINT, unsigned char*)";
const char* const kWriteBufferTag =
    "bool CAzureInfo::_UploadBuffer(const string&, const SUploadCtx&, ULONGLONG, UINT, unsigned char*)";
const char* const kCreateTag =
    "virtual int CAzureInfo::CreateVmdk(const string&, const string&, const string&, VmdkHandle&, long long int)";
// Where the pages of the writer tests' blob restored-0.vhd are written.
const std::string kPageUrl = "https://legacystore01.blob.core.windows.net/vhds/restored-0.vhd?comp=page";
// Requests the endpoint answered under the plugin's own pinned version: its reader's and writer's, not the
// wrapper's, which asks the same service under a version of its own.
std::uint64_t PluginRequests(const std::string& stateDir) {
    const std::vector<azsim::RequestRecord> records = azsim::RequestLog::Read(stateDir);
    return std::count_if(records.begin(), records.end(),
                         [](const azsim::RequestRecord& r) { return r.version == "2018-03-28"; });
}
using PageBlobReader = DiskDataPath;
using PageBlobWriter = DiskDataPath;

TEST_F(PageBlobReader, WholeManagedAndUnmanagedDisksEqualTheirSnapshots) {
    VmdkHandle data0 = OpenMounted("web-linux01", "rg-prod", 1);
    ExpectWholeDiskRead(data0, 3 * 2048);  // 3 MiB blocks: the last one is clamped at the blob's end
    EXPECT_EQ(0u, Journalled("GetStorageAccessToken")) << "a SAS read never fetches a token";

    VmdkHandle osDisk = OpenMounted("legacy-vm01", "rg-legacy", 0);
    ExpectWholeDiskRead(osDisk, 16384);  // 8 MiB blocks: two 4 MiB pieces each
    EXPECT_EQ(1u, Journalled("GetStorageAccessToken")) << "one token serves every read";
    EXPECT_TRUE(log.contains(kPiecesTag, "Downloading at offset [8388608] with size [8388608] for blob [" +
                                             osDisk.diskInfo->dataUrl + "]"));
    EXPECT_EQ(std::vector<unsigned long>(2, 1000), sleeper.waits()) << "the mount's pauses only, no second attempt";
}

// A read ends at its first failed piece, keeping the pieces before it. A body that stops part-way through the
// range is a failed attempt: retried, and never handed out padded.
TEST_F(PageBlobReader, FailedPiecesAndPartialBodiesNeverReachTheCaller) {
    VmdkHandle handle = OpenMounted("legacy-vm01", "rg-legacy", 1);
    // The disk map claims more than the blob holds: the last 6 MiB block's second
    // piece (2 MiB) lies past the end and the service refuses it.
    const std::uint64_t size = handle.diskInfo->blobSize;
    handle.diskInfo->blobSize = size + 2 * kMiB;
    ASSERT_EQ(0u, (size - 4 * kMiB) % (6 * kMiB));
    const ULONGLONG block = (size - 4 * kMiB) / (6 * kMiB);
    std::vector<unsigned char> buffer(6 * kMiB, 0xab);
    EXPECT_EQ(0, plugin->ReadVmdk(handle, block, 12288, buffer.data()));
    EXPECT_EQ(Stored(handle.diskInfo->sourceUri, size - 4 * kMiB, 4 * kMiB),
              std::vector<unsigned char>(buffer.begin(), buffer.begin() + 4 * kMiB));
    EXPECT_EQ(std::vector<unsigned char>(2 * kMiB, 0xab), std::vector<unsigned char>(buffer.begin() + 4 * kMiB, buffer.end()));
    EXPECT_TRUE(Logged(kReadBufferTag, "HTTP Error Code [416]"));
    EXPECT_TRUE(Logged(kReadTag, "Failed to download page for blob[" + handle.diskInfo->dataUrl + "], Error ["));

    AddHttpFault("GET", azsim::HttpFaultKind::ShortBody, 206, 1, kMiB / 2);
    buffer.assign(kMiB, 0xab);
    ASSERT_EQ(1, plugin->ReadVmdk(handle, 1, 2048, buffer.data()));
    EXPECT_EQ(Stored(handle.diskInfo->sourceUri, kMiB, kMiB), buffer);
    // The mount's two pauses, one before the refused piece's second attempt, one before this read's.
    EXPECT_EQ((std::vector<unsigned long>{1000, 1000, 2000, 2000}), sleeper.waits());
    EXPECT_TRUE(log.containsError(kReadBufferTag, "Incomplete response body from [" + handle.diskInfo->dataUrl +
                                                  "]: received [524288] of [1048576] bytes"));

    AddHttpFault("GET", azsim::HttpFaultKind::ShortBody, 206, -1, kMiB - 512);
    std::fill(buffer.begin(), buffer.end(), 0xab);
    const std::uint64_t requests = PluginRequests(cloud.dir());
    EXPECT_EQ(0, plugin->ReadVmdk(handle, 1, 2048, buffer.data()));
    EXPECT_EQ(2u, PluginRequests(cloud.dir()) - requests);
    EXPECT_EQ(std::vector<unsigned char>(kMiB, 0xab), buffer) << "no byte of a failed read reaches the caller";
}

// Each direction's attempt limit is read again after every failure (`later` replaces it at the first pause),
// with a pause of two seconds before every further attempt. A bearer read refreshes its token after every
// failure, a write after a server error keeps its token, and a SAS read that fails never asks for one.
TEST_F(PageBlobReader, AttemptsFollowTheSettingReadAfterEveryFailureAndRefreshTheToken) {
    VmdkHandle handle = OpenMounted("legacy-vm01", "rg-legacy", 1);
    VmdkHandle sas = OpenMounted("web-linux01", "rg-prod", 0);
    VmdkHandle target = Create("restored-0.vhd", 4 * kMiB);
    std::vector<unsigned char> buffer(kMiB);
    // `source` is the disk read; none: a write to `target`.
    const struct { VmdkHandle* source; const char* setting; const char* later; unsigned attempts; size_t tokens; }
        cases[] = {{&handle, nullptr, nullptr, 2, 3}, {&handle, "0", nullptr, 2, 2}, {&handle, "5", nullptr, 5, 5},
                   {&handle, "6", "3", 3, 3},         {&sas, "2", nullptr, 2, 0},    {nullptr, nullptr, nullptr, 2, 1},
                   {nullptr, "1", nullptr, 2, 0},     {nullptr, "3", nullptr, 3, 0}, {nullptr, "5", nullptr, 5, 0}};
    for (const auto& c : cases) {
        const char* key = c.source ? "nAzureMaxBlobDownloadAttempts" : "nAzureMaxBlobUploadAttempts";
        if (c.setting) settings.set("VirtualServer", key, c.setting);
        std::vector<unsigned long> waits;
        NxSleepHook previous = NxSetSleepHook([&](unsigned long ms) {
            waits.push_back(ms);
            if (c.later) NXPlatformInfo::setValue("VirtualServer", key, c.later);
        });
        AddHttpFault(c.source ? "GET" : "PUT", azsim::HttpFaultKind::Status, 500, -1);
        const std::uint64_t requests = PluginRequests(cloud.dir());
        const size_t tokens = Journalled("GetStorageAccessToken");
        EXPECT_EQ(0, c.source ? plugin->ReadVmdk(*c.source, 0, 2048, buffer.data()) : Write(target, kMiB, kMiB));
        NxSetSleepHook(previous);
        EXPECT_EQ(c.attempts, PluginRequests(cloud.dir()) - requests) << key << " " << c.attempts;
        EXPECT_EQ(std::vector<unsigned long>(c.attempts - 1, 2000), waits) << key << " " << c.attempts;
        EXPECT_EQ(c.tokens, Journalled("GetStorageAccessToken") - tokens) << key << " " << c.attempts;
        azsim::FaultBook(cloud.dir()).clear();
    }
    EXPECT_TRUE(log.contains(
        "bool CAzureInfo::_DownloadBufferWithRetry(const string&, const SDownloadCtx&, ULONGLONG, UINT, unsigned char*)",
        "Failed to download buffer at offset [0] with size [1048576] for Blob [" + handle.diskInfo->dataUrl +
            "], Attempt Count [5]"));
    EXPECT_TRUE(log.contains(
        "bool CAzureInfo::_UploadBufferWithRetry(const string&, const SUploadCtx&, ULONGLONG, UINT, unsigned char*)",
        "Failed to upload buffer at offset [1048576] with size [1048576] for Blob [" + kPageUrl + "], Attempt Count [5]"));
}

// Every slot of the data path turns whatever escapes its body into a failure with the host's last error set.
TEST_F(PageBlobReader, SlotsFailWithTheirErrorWhenAnythingInsideThrows) {
    const std::string managed = Mounted("web-linux01", "rg-prod").vmInfo.disks[0].uri;
    const std::string legacy = Mounted("legacy-vm01", "rg-legacy").vmInfo.disks[0].uri;
    VmdkHandle disk = Open(legacy);
    VmdkHandle target = Create("restored-0.vhd", 4 * kMiB);
    VmdkHandle upload;
    plugin->GetVmdkHandle("", "", "upload", upload);
    upload.diskInfo->directUpload = true;
    upload.diskInfo->uploadAccessUrl = "https://upload.example/disk";
    std::vector<unsigned char> buffer(kMiB);
    SDiskChangeInfo extents;
    VmdkHandle scratch;
    ULONGLONG sectors = 0;
    const struct { const char* tag; const char* trigger; std::function<int()> slot; int failed; } cases[] = {
        {"virtual int CAzureInfo::OpenVmdk(const string&, const string&, const string&, VmdkHandle&)",
         "to fetch SAS URI", [&] { return plugin->OpenVmdk("", "", managed, scratch); }, 0},
        {"virtual int CAzureInfo::GetVmdkCapacity(const VmdkHandle&, ULONGLONG&)", "Disk size [",
         [&] { return plugin->GetVmdkCapacity(disk, sectors); }, 0},
        {kReadTag, "Buffer at offset [", [&] { return plugin->ReadVmdk(disk, 0, 2048, buffer.data()); }, 0},
        {"virtual int CAzureInfo::GetVmdkExtents(const VmdkHandle&, const string&, ULONGLONG, SDiskChangeInfo&)",
         "Getting All page ranges", [&] { return plugin->GetVmdkExtents(disk, "", 0, extents); }, 0},
        {"virtual bool CAzureInfo::ValidateChangeId(const string&, const string&, const string&, const string&)",
         "Blob URI [", [&] { return static_cast<int>(plugin->ValidateChangeId("", "", legacy, "guid")); }, 0},
        {"virtual int CAzureInfo::CreateVmdk(const string&, const string&, const string&, VmdkHandle&, long long int)",
         "Checking if blob already exists", [&] { return plugin->CreateVmdk("", "", "new.vhd", scratch, kMiB); }, 0},
        {"virtual int CAzureInfo::CloseVmdk(const VmdkHandle&)", "Error closing page blob",
         [&] { return plugin->CloseVmdk(upload); }, 1},
        // Thrown while the token lock is held: the next writer must still get it.
        {kWriteTag, "Refreshing storage access token",
         [&] {
             AddHttpFault("PUT", azsim::HttpFaultKind::Status, 403, 1);
             return Write(target, 0, kMiB);
         }, 0},
    };
    for (const auto& c : cases) {
        plugin->SetLastVMError(VMINFO_ERR_NONE, "");
        int result = -1;
        {
            ThrowingLog throwing(c.trigger);
            EXPECT_NO_THROW(result = c.slot()) << c.tag;
        }
        EXPECT_EQ(c.failed, result) << c.tag;
        const std::string text = std::string("Unexpected failure: [injected: ") + c.trigger + "]";
        EXPECT_EQ(std::make_pair(VMINFO_ERR_DISK_INFO, text), LastError()) << c.tag;
        EXPECT_TRUE(log.containsError(c.tag, text)) << c.tag;
    }
    EXPECT_TRUE(extents.extents.empty());
    int written = 0;
    std::thread([&] { written = Write(target, 0, kMiB); }).join();
    EXPECT_EQ(1, written);
}

TEST_F(PageBlobReader, VanishedStagingBlobIsRecreatedOnce) {
    VmdkHandle handle = OpenMounted("legacy-vm01", "rg-legacy", 1);
    std::optional<azsim::BlobUri> staging = azsim::ParseBlobUri(handle.diskInfo->dataUrl);
    ASSERT_TRUE(azsim::SubscriptionState(cloud.dir()).blobs().deleteBlob(staging->key()));
    const size_t copies = Journalled("CreateBackupBlobFromSnapshot");
    std::vector<unsigned char> buffer(kMiB);
    ASSERT_EQ(1, plugin->ReadVmdk(handle, 2, 2048, buffer.data()));
    EXPECT_EQ(Stored(handle.diskInfo->sourceUri, 2 * kMiB, kMiB), buffer);
    EXPECT_TRUE(log.contains(kReadTag, "Download request is succeeded from staging blob"));

    // A blob that is present but unreadable is not recreated; a failed recreation is not repeated.
    AddHttpFault("GET", azsim::HttpFaultKind::Status, 500, -1);
    EXPECT_EQ(0, plugin->ReadVmdk(handle, 2, 2048, buffer.data()));
    ASSERT_TRUE(azsim::SubscriptionState(cloud.dir()).blobs().deleteBlob(staging->key()));
    EXPECT_EQ(0, plugin->ReadVmdk(handle, 2, 2048, buffer.data()));
    EXPECT_EQ(copies + 2, Journalled("CreateBackupBlobFromSnapshot"));

    // Only a definite "not found" counts as vanished: a question that could not be asked recreates nothing.
    azsim::FaultBook(cloud.dir()).clear();
    ASSERT_TRUE(azsim::SubscriptionState(cloud.dir()).blobs().deleteBlob(staging->key()));
    const azsim::SdkFault fault{"DoesBlobExist", 0, "OperationTimedOut: the question was not answered"};
    AddSdkFault(fault);
    EXPECT_EQ(0, plugin->ReadVmdk(handle, 2, 2048, buffer.data()));
    EXPECT_EQ(copies + 2, Journalled("CreateBackupBlobFromSnapshot"));
    EXPECT_EQ(std::make_pair(VMINFO_ERR_DISK_INFO, "Could not check whether staging blob [" + staging->blob +
                                                       "] exists in storage account [" + staging->account +
                                                       "]: " + fault.text + " (error code 0)"),
              LastError());
    ASSERT_EQ(1, plugin->ReadVmdk(handle, 2, 2048, buffer.data()));
    EXPECT_EQ(copies + 3, Journalled("CreateBackupBlobFromSnapshot"));
}

TEST_F(PageBlobReader, HandlesReportCapacityWithoutTheFooterAndFailCleanly) {
    azsim::PageBlobStore store = azsim::SubscriptionState(cloud.dir()).blobs();
    const struct { std::uint64_t size; ULONGLONG sectors; } cases[] = {{1073742336ULL, 2097152}, {512, 0}};
    for (const auto& c : cases) {
        azsim::BlobKey key{"legacystore01", "vhds", "sized-" + std::to_string(c.size) + ".vhd"};
        ASSERT_TRUE(store.createPageBlob(key, c.size, false, nullptr));
        VmdkHandle handle;
        plugin->GetVmdkHandle("", "", key.name, handle);
        handle.diskInfo->dataUrl = azsim::PageBlobUri(key);
        ULONGLONG sectors = 99;
        ASSERT_EQ(1, plugin->GetVmdkCapacity(handle, sectors));
        EXPECT_EQ(c.sectors, sectors);
    }
    plugin->diskMap["snap"].isManaged = true;
    plugin->diskMap["snap"].snapshotId = "no-such-snapshot";
    VmdkHandle managed;
    EXPECT_EQ(0, plugin->OpenVmdk("", "", "snap", managed));
    EXPECT_NE(std::string::npos, plugin->GetLastVMErrorDetails().find("ResourceNotFound"));
}

TEST_F(PageBlobReader, EightThreadsOnTwoDisksThroughTokenExpiry) {
    settings.set("VirtualServer", "nAzureMaxBlobDownloadAttempts", "5");
    azsim::AccessAuthority(cloud.dir()).setTokenLifetime(1);
    const MountCtx legacy = Mounted("legacy-vm01", "rg-legacy");
    VmdkHandle disks[] = {Open(legacy.vmInfo.disks[0].uri), Open(legacy.vmInfo.disks[1].uri)};
    const std::vector<unsigned char> expected[] = {
        Stored(disks[0].diskInfo->sourceUri, 0, disks[0].diskInfo->blobSize),
        Stored(disks[1].diskInfo->sourceUri, 0, disks[1].diskInfo->blobSize)};
    std::atomic<int> mismatches{0};
    std::atomic<int> failures{0};
    // Passes over both disks, each thread taking every eighth block, until a token has expired.
    OnEightThreads([&] { return Journalled("GetStorageAccessToken") >= 2; }, [&](int id, int) {
        std::vector<unsigned char> buffer(kMiB);
        for (int d = 0; d < 2; ++d)
            for (ULONGLONG block = id; block < disks[d].diskInfo->blobSize / kMiB; block += 8)
                if (plugin->ReadVmdk(disks[d], block, 2048, buffer.data()) != 1)
                    ++failures;
                else if (std::memcmp(buffer.data(), expected[d].data() + block * kMiB, kMiB) != 0)
                    ++mismatches;
    });
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(0, mismatches.load());
    EXPECT_LE(2u, Journalled("GetStorageAccessToken")) << "the token expired and was refreshed mid-run";
}

// The staging blob vanishes again and again under eight readers: failed reads recreate it, concurrent failures
// keep their wrapper errors apart, and every read that succeeds holds the snapshot's bytes.
TEST_F(PageBlobReader, EightThreadsThroughAVanishingStagingBlob) {
    VmdkHandle handle = OpenMounted("legacy-vm01", "rg-legacy", 1);
    const std::vector<unsigned char> expected = Stored(handle.diskInfo->sourceUri, 0, 64 * kMiB);
    const azsim::BlobKey staging = azsim::ParseBlobUri(handle.diskInfo->dataUrl)->key();
    azsim::PageBlobStore store = azsim::SubscriptionState(cloud.dir()).blobs();
    const size_t copies = Journalled("CreateBackupBlobFromSnapshot");
    std::atomic<bool> done{false};
    std::atomic<int> mismatches{0};
    const int kVanishings = 4;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    auto recreated = [&] {
        while (!store.exists(staging) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return store.exists(staging);
    };
    ASSERT_TRUE(store.deleteBlob(staging));  // gone before the readers start: their first reads all fail together
    bool present = false;
    OnEightThreads([&] { return done.load(); },
                   [&](int id, int) {
                       std::vector<unsigned char> buffer(kMiB);
                       for (ULONGLONG block = id; block < 64; block += 8)
                           if (plugin->ReadVmdk(handle, block, 2048, buffer.data()) == 1 &&
                               std::memcmp(buffer.data(), expected.data() + block * kMiB, kMiB) != 0)
                               ++mismatches;
                   },
                   [&] {
                       for (int round = 1; round < kVanishings && recreated(); ++round) {
                           std::this_thread::sleep_for(std::chrono::milliseconds(20));
                           store.deleteBlob(staging);
                       }
                       present = recreated();
                       done = true;
                   });
    ASSERT_TRUE(present) << "the last vanishing was recovered from";
    EXPECT_EQ(0, mismatches.load());
    EXPECT_LE(copies + kVanishings, Journalled("CreateBackupBlobFromSnapshot"));
    std::vector<unsigned char> buffer(kMiB);
    ASSERT_EQ(1, plugin->ReadVmdk(handle, 5, 2048, buffer.data()));
    EXPECT_EQ(0, std::memcmp(buffer.data(), expected.data() + 5 * kMiB, kMiB));
}

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
    EXPECT_EQ(Pattern(0, size, 1), Stored(handle.diskInfo->dataUrl, 0, size)) << "zero pages are written too";
    EXPECT_EQ(1u, Journalled("GetStorageAccessToken"));
    EXPECT_TRUE(sleeper.waits().empty());
}

TEST_F(PageBlobWriter, FailedPieceEndsTheWriteAndEarlierPiecesStay) {
    VmdkHandle handle = Create("restored-0.vhd", 16 * kMiB);
    AddHttpFault("PUT", azsim::HttpFaultKind::Delay, 0, 1);  // the first piece passes, every later PUT fails
    AddHttpFault("PUT", azsim::HttpFaultKind::Status, 500, -1);
    const std::uint64_t requests = PluginRequests(cloud.dir());
    EXPECT_EQ(0, Write(handle, 2 * kMiB, 12 * kMiB));
    EXPECT_EQ(3u, PluginRequests(cloud.dir()) - requests) << "the third piece is never tried";
    EXPECT_EQ(Pattern(2 * kMiB, 4 * kMiB, 1), Stored(handle.diskInfo->dataUrl, 2 * kMiB, 4 * kMiB));
    EXPECT_EQ(std::vector<unsigned char>(8 * kMiB, 0xee), Stored(handle.diskInfo->dataUrl, 6 * kMiB, 8 * kMiB));
    EXPECT_TRUE(log.containsError(
        kWriteTag, "Failed to upload buffer at offset [2097152] with bufferSize [12582912] for blob [" + kPageUrl + "]"));
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
        const std::uint64_t requests = PluginRequests(cloud.dir());
        AddHttpFault("PUT", c.kind, c.status, 1);
        EXPECT_EQ(1, Write(handle, 0, kMiB, c.status)) << c.status;
        EXPECT_EQ(c.requests, PluginRequests(cloud.dir()) - requests) << c.status;
        EXPECT_EQ(c.refreshes, Journalled("GetStorageAccessToken") - tokens) << c.status;
        EXPECT_EQ(Pattern(0, kMiB, c.status), Stored(handle.diskInfo->dataUrl, 0, kMiB)) << c.status;
    }
    AddHttpFault("PUT", azsim::HttpFaultKind::Status, 200, -1);
    EXPECT_EQ(0, Write(handle, 0, kMiB, 1));
    EXPECT_EQ(std::make_pair(VMINFO_ERR_DISK_INFO, std::string("Page write of [1048576] bytes at offset [0] to blob "
                                                               "[restored-0.vhd] failed after every attempt")),
              LastError());
    azsim::FaultBook(cloud.dir()).clear();
    EXPECT_TRUE(log.containsError(kWriteBufferTag, "Error: API failed. operation [2]. URL[" + kPageUrl +
                                                       "]. Request [], HTTP Error Code [403]"));
    EXPECT_TRUE(log.contains(kWriteBufferTag, "Refreshing storage access token for the next attempt ..."));

    const azsim::SdkFault fault{"GetStorageAccessToken", 0, "AADSTS7000215: Invalid client secret provided.", -1};
    AddSdkFault(fault);
    plugin->uploadAccessToken.clear();
    EXPECT_EQ(0, Write(handle, 0, kMiB));
    EXPECT_EQ(std::make_pair(VMINFO_ERR_DISK_INFO, fault.text), LastError());
    EXPECT_TRUE(log.containsError(kWriteBufferTag, "Failed to get Storage access token for Blob [" + kPageUrl + "]"));
}

TEST_F(PageBlobWriter, MalformedWritesFailWithoutARequest) {
    VmdkHandle handle = Create("restored-0.vhd", 4 * kMiB);
    std::vector<unsigned char> data(kMiB);
    VmdkHandle none;
    const std::uint64_t requests = PluginRequests(cloud.dir());
    EXPECT_EQ(0, plugin->WriteVmdk(none, 0, kMiB, data.data()));
    EXPECT_EQ(0, plugin->WriteVmdk(handle, 0, kMiB, nullptr));
    EXPECT_EQ(0, plugin->WriteVmdk(handle, 100, 512, data.data()));
    EXPECT_EQ(0, plugin->WriteVmdk(handle, 512, 1000, data.data()));
    EXPECT_EQ(0, plugin->WriteVmdk(handle, 512, 0, data.data()));
    EXPECT_EQ(requests, PluginRequests(cloud.dir()));
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

// Without the native switches a disk is read, and a page blob created and written, by the wrapper; a
// direct-upload disk is written through its upload URL whatever the switch, and closing its handle ends that
// upload once. None of them sends a request of the plugin's own.
TEST_F(PageBlobWriter, WrapperRoutesReadCreateWriteAndCloseWithoutRequestsOfTheirOwn) {
    VmdkHandle source = OpenMounted("web-linux01", "rg-prod", 0);
    const std::uint64_t requests = PluginRequests(cloud.dir());
    plugin->nativeDownload = false;
    std::vector<unsigned char> buffer(kMiB);
    ASSERT_EQ(1, plugin->ReadVmdk(source, 100, 2048, buffer.data()));
    EXPECT_EQ(Stored(source.diskInfo->sourceUri, 100ULL * kMiB, kMiB), buffer);
    EXPECT_EQ(0, plugin->ReadVmdk(source, 100000, 2048, buffer.data()));
    EXPECT_NE(std::string::npos, plugin->GetLastVMErrorDetails().find("InvalidRange"));
    plugin->nativeUpload = false;
    const azsim::BlobKey key{"legacystore01", "vhds", "restored-new.vhd"};
    Register(key.name);
    VmdkHandle page;
    ASSERT_EQ(1, plugin->CreateVmdk("", "", key.name, page, 8 * kMiB));
    // The wrapper takes at most 4 MiB a call, as the service does; every byte of a longer write is written.
    ASSERT_EQ(1, Write(page, kMiB, 6 * kMiB)) << plugin->GetLastVMErrorDetails();
    EXPECT_EQ(Pattern(kMiB, 6 * kMiB, 1), Stored(azsim::PageBlobUri(key), kMiB, 6 * kMiB));

    plugin->nativeUpload = true;
    SAzureDiskInfo& disk = Register("restored-md");
    disk.directUpload = true;
    VmdkHandle managed;
    ASSERT_EQ(1, plugin->CreateVmdk("", "", "restored-md", managed, 8 * kMiB));
    const std::string uploadUrl = disk.uploadAccessUrl;
    ASSERT_EQ(1, Write(managed, 2 * kMiB, 6 * kMiB)) << plugin->GetLastVMErrorDetails();
    EXPECT_EQ(Pattern(2 * kMiB, 6 * kMiB, 1), Stored(uploadUrl, 2 * kMiB, 6 * kMiB));
    EXPECT_EQ(requests, PluginRequests(cloud.dir()));

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
        EXPECT_EQ(c.code == AzureSDKCppBridge::SDK_ERR_NOT_FOUND ? 1u : 0u, Journalled("CreatePageBlob") - creates)
            << c.code;
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
        EXPECT_EQ(std::make_pair(VMINFO_ERR_DISK_CREATE, fault.text), LastError()) << operation;
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
    OnEightThreads([&] { return Journalled("GetStorageAccessToken") >= 3; }, [&](int id, int pass) {
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
