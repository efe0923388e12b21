// The page-blob reader against an independent implementation of the Blob
// service. Driven by tests/plugin/diskio/azurite-conformance.sh, which starts
// the service over HTTPS with OAuth, writes a page blob there and passes its
// URL, a bearer token, a SAS query, the CA file and the written bytes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "host/settings/NXPlatformInfo.h"
#include "plugin/frame/AzureInfo.h"
#include "tests/support/SimulatedCloud.h"

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
    NXPlatformInfo::setValue("HttpClient", "sCABundle", Env("AZURITE_CA"));

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
    NXPlatformInfo::removeValue("HttpClient", "sCABundle");
}

}  // namespace
