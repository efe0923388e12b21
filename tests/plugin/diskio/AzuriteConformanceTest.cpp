// The page-blob reader and writer against an independent Blob service, started and fed (URLs, token, SAS,
// CA file, written bytes, connect-to route) by tests/plugin/diskio/azurite-conformance.sh.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "host/sys/Time.h"
#include "plugin/frame/AzureInfo.h"
#include "tests/plugin/diskio/DiskFixture.h"

namespace {

class ConformancePlugin : public CAzureInfo {
public:
    ConformancePlugin() : CAzureInfo(VSINST_AZURE_RESOURCE_MANAGER, 0) {}
    // Registers the blob as the mount would; a SAS URL marks it as read without a token.
    VmdkHandle Register(const std::string& url, bool sas, const std::string& token, std::uint64_t size) {
        SAzureDiskInfo& disk = diskMap[url];
        disk.dataUrl = url;
        disk.isManaged = sas;
        disk.blobSize = size;
        downloadAccessToken = token;
        VmdkHandle handle;
        GetVmdkHandle("", "", url, handle);
        return handle;
    }
    // Registers a restore target by account, container and name, written with `token`.
    VmdkHandle RegisterTarget(const std::string& account, const std::string& container, const std::string& blob,
                              const std::string& token) {
        SAzureDiskInfo& disk = diskMap[blob];
        disk.storageAccount = account;
        disk.container = container;
        disk.blobName = blob;
        uploadAccessToken = token;
        VmdkHandle handle;
        GetVmdkHandle("", "", blob, handle);
        return handle;
    }
};

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

TEST(AzuriteConformance, ReaderReadsPageBlobWithBearerTokenAndWithSas) {
    const std::string url = Env("AZURITE_BLOB_URL");
    if (url.empty()) GTEST_SKIP() << "Azurite conformance runs from tests/plugin/diskio/azurite-conformance.sh (needs Node.js)";
    std::ifstream file(Env("AZURITE_BLOB_FILE"), std::ios::binary);
    const std::vector<unsigned char> written((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(written.empty());
    testsupport::SimulatedCloud cloud;
    testsupport::JobIdentityScope identity{"vsagent", "Instance001", 9};
    SettingsScope settings;
    settings.set("HttpClient", "sCABundle", Env("AZURITE_CA"));

    for (bool sas : {false, true}) {
        ConformancePlugin plugin;
        const std::string blobUrl = sas ? url + "?" + Env("AZURITE_SAS") : url;
        VmdkHandle handle = plugin.Register(blobUrl, sas, Env("AZURITE_TOKEN"), written.size());
        // 6 MiB blocks: pieces of 4 and 2 MiB, and a clamped last block.
        const std::uint64_t block = 6 << 20;
        std::vector<unsigned char> buffer(block);
        for (std::uint64_t index = 0; index * block < written.size(); ++index) {
            ASSERT_EQ(1, plugin.ReadVmdk(handle, index, block / 512, buffer.data())) << (sas ? "SAS" : "token");
            const std::uint64_t length = std::min<std::uint64_t>(block, written.size() - index * block);
            ASSERT_TRUE(std::equal(buffer.begin(), buffer.begin() + length, written.begin() + index * block))
                << (sas ? "SAS" : "token") << " block " << index;
        }
    }
    // A token the service refuses fails the read rather than returning anything.
    ConformancePlugin refused;
    VmdkHandle handle = refused.Register(url, true, "", written.size());
    std::vector<unsigned char> buffer(1 << 20);
    EXPECT_EQ(0, refused.ReadVmdk(handle, 0, 2048, buffer.data()));
}

// The whole blob at `url` as the curl command-line client reads it with a bearer token.
std::vector<unsigned char> CurlGet(const std::string& url) {
    const std::string command = "curl -sf --connect-to '" + Env("AZURITE_CONNECT_TO") + "' --cacert '" +
                                Env("AZURITE_CA") + "' -H 'Authorization: Bearer " + Env("AZURITE_TOKEN") +
                                "' -H 'x-ms-version: 2020-10-02' '" + url + "'";
    std::vector<unsigned char> out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    unsigned char chunk[65536];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.insert(out.end(), chunk, chunk + n);
    if (pclose(pipe) != 0) out.clear();
    return out;
}

TEST(AzuriteConformance, NativeWriterWritesPageBlobWithBearerToken) {
    const std::string url = Env("AZURITE_WRITE_URL");
    if (url.empty()) GTEST_SKIP() << "Azurite conformance runs from tests/plugin/diskio/azurite-conformance.sh (needs Node.js)";
    // https://ACCOUNT.blob.core.windows.net/CONTAINER/BLOB: the writer builds this URL itself from the three names.
    const std::string::size_type hostStart = url.find("://") + 3;
    const std::string::size_type pathStart = url.find('/', hostStart);
    const std::string::size_type blobStart = url.find('/', pathStart + 1);
    const std::string account = url.substr(hostStart, url.find('.', hostStart) - hostStart);
    const std::string container = url.substr(pathStart + 1, blobStart - pathStart - 1);
    const std::string blob = url.substr(blobStart + 1);
    std::vector<unsigned char> expected = CurlGet(url);
    ASSERT_EQ(16u << 20, expected.size()) << "the script creates an empty 16 MiB page blob";
    ASSERT_EQ(std::vector<unsigned char>(expected.size(), 0), expected);

    testsupport::SimulatedCloud cloud;
    testsupport::JobIdentityScope identity{"vsagent", "Instance001", 9};
    NxRecordingSleeper sleeper;
    SettingsScope settings;
    settings.set("HttpClient", "sCABundle", Env("AZURITE_CA"));
    settings.set("HttpClient", "sConnectTo", Env("AZURITE_CONNECT_TO"));
    settings.set("VirtualServer", "bAzureEnableNativeUpload", "1");
    std::mt19937 random(7);
    auto write = [&](ConformancePlugin& plugin, VmdkHandle handle, std::uint64_t offset, std::uint64_t length) {
        std::vector<unsigned char> data(length);
        for (unsigned char& byte : data) byte = static_cast<unsigned char>(random() % 255 + 1);
        const int written = plugin.WriteVmdk(handle, offset, static_cast<UINT>(length), data.data());
        if (written == 1) std::copy(data.begin(), data.end(), expected.begin() + offset);
        return written;
    };
    {
        ConformancePlugin plugin;
        VmdkHandle handle = plugin.RegisterTarget(account, container, blob, Env("AZURITE_TOKEN"));
        // From the start, in pieces of 4, 4 and 1 MiB + 512 bytes.
        EXPECT_EQ(1, write(plugin, handle, 0, (9 << 20) + 512));
        // From an offset that is only page-aligned, in pieces of 4 MiB and 1024 bytes.
        EXPECT_EQ(1, write(plugin, handle, (11 << 20) + 1536, (4 << 20) + 1024));
        // A single page rewritten inside the first write.
        EXPECT_EQ(1, write(plugin, handle, 5 << 20, 512));
    }
    EXPECT_TRUE(sleeper.waits().empty()) << "no write needed a second attempt";
    {
        // A token the service refuses fails the write, and the pages stay as they were.
        ConformancePlugin refused;
        VmdkHandle handle = refused.RegisterTarget(account, container, blob, "not-a-token");
        EXPECT_EQ(0, write(refused, handle, 10 << 20, 4096));
    }
    const std::vector<unsigned char> stored = CurlGet(url);
    ASSERT_EQ(expected.size(), stored.size());
    for (std::uint64_t at = 0; at < stored.size(); at += 512)
        ASSERT_TRUE(std::equal(stored.begin() + at, stored.begin() + at + 512, expected.begin() + at))
            << "first differing page at byte " << at;
}

}  // namespace
