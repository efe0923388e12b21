// The page-blob reader and writer against an independent Blob service, started and fed (URL, token, SAS,
// CA file, written bytes, connect-to route) by tests/plugin/diskio/azurite-conformance.sh.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "tests/plugin/diskio/DiskFixture.h"

namespace {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// Reads the blob at `url` (a SAS URL when `sas`, else with `token`) in 6 MiB blocks: pieces of 4 and 2 MiB,
// and a clamped last block. Says which block failed or differs from `expected`; empty when none did.
std::string ReadAll(const std::vector<unsigned char>& expected, const std::string& url, bool sas,
                    const std::string& token) {
    DiskPlugin plugin;
    SAzureDiskInfo& disk = plugin.diskMap[url];
    disk.dataUrl = url;
    disk.isManaged = sas;
    disk.blobSize = expected.size();
    plugin.downloadAccessToken = token;
    VmdkHandle handle;
    plugin.GetVmdkHandle("", "", url, handle);
    const std::uint64_t block = 6 << 20;
    std::vector<unsigned char> buffer(block);
    for (std::uint64_t index = 0; index * block < expected.size(); ++index) {
        if (plugin.ReadVmdk(handle, index, block / 512, buffer.data()) != 1)
            return "read of block " + std::to_string(index) + " failed";
        const std::uint64_t length = std::min<std::uint64_t>(block, expected.size() - index * block);
        if (!std::equal(buffer.begin(), buffer.begin() + length, expected.begin() + index * block))
            return "block " + std::to_string(index) + " differs";
    }
    return "";
}

// The reader takes a blob written by curl, with a bearer token and with a SAS URL. The writer then writes
// over that blob with a bearer token to its public-cloud host name (routed to the service by the connect-to
// setting), and the reader, checked above, reads back every byte.
TEST(AzuriteConformance, ReaderAndNativeWriterWorkWithBearerTokenAndSas) {
    const std::string url = Env("AZURITE_BLOB_URL");
    if (url.empty()) GTEST_SKIP() << "Azurite conformance runs from tests/plugin/diskio/azurite-conformance.sh (needs Node.js)";
    std::ifstream file(Env("AZURITE_BLOB_FILE"), std::ios::binary);
    const std::vector<unsigned char> written((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(written.empty());
    testsupport::SimulatedCloud cloud;
    testsupport::JobIdentityScope identity{"vsagent", "Instance001", 9};
    NxRecordingSleeper sleeper;
    SettingsScope settings;
    settings.set("HttpClient", "sCABundle", Env("AZURITE_CA"));
    settings.set("HttpClient", "sConnectTo", Env("AZURITE_CONNECT_TO"));
    settings.set("VirtualServer", "bAzureEnableNativeUpload", "1");
    EXPECT_EQ("", ReadAll(written, url, false, Env("AZURITE_TOKEN")));
    EXPECT_EQ("", ReadAll(written, url + "?" + Env("AZURITE_SAS"), true, ""));

    // The same blob (account devstoreaccount1, container conformance) by its public-cloud host name.
    const std::string target = "https://devstoreaccount1.blob.core.windows.net/conformance/disk.vhd";
    std::vector<unsigned char> expected = written;
    std::mt19937 random(7);
    auto write = [&](const std::string& token, std::uint64_t offset, std::uint64_t length) {
        DiskPlugin plugin;
        SAzureDiskInfo& disk = plugin.diskMap["disk.vhd"];
        disk.storageAccount = "devstoreaccount1";
        disk.container = "conformance";
        disk.blobName = "disk.vhd";
        plugin.uploadAccessToken = token;
        VmdkHandle handle;
        plugin.GetVmdkHandle("", "", "disk.vhd", handle);
        std::vector<unsigned char> data(length);
        for (unsigned char& byte : data) byte = static_cast<unsigned char>(random() % 255 + 1);
        const int result = plugin.WriteVmdk(handle, offset, static_cast<UINT>(length), data.data());
        if (result == 1) std::copy(data.begin(), data.end(), expected.begin() + offset);
        return result;
    };
    // From the start, in pieces of 4, 4 and 1 MiB + 512 bytes.
    EXPECT_EQ(1, write(Env("AZURITE_TOKEN"), 0, (9 << 20) + 512));
    // From an offset that is only page-aligned, in pieces of 4 MiB and 1024 bytes.
    EXPECT_EQ(1, write(Env("AZURITE_TOKEN"), (8 << 20) + 1536, (4 << 20) + 1024));
    // A single page rewritten inside the first write.
    EXPECT_EQ(1, write(Env("AZURITE_TOKEN"), 5 << 20, 512));
    EXPECT_TRUE(sleeper.waits().empty()) << "no write needed a second attempt";
    // A token the service refuses fails the write, and the pages stay as they were.
    EXPECT_EQ(0, write("not-a-token", 10 << 20, 4096));
    EXPECT_EQ("", ReadAll(expected, target, false, Env("AZURITE_TOKEN")));
    // Without a credential the service refuses the read, and nothing is returned.
    EXPECT_EQ("read of block 0 failed", ReadAll(written, url, true, ""));
}

}  // namespace
