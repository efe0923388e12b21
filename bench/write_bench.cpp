// Helper of bench/write-throughput.sh: writes an empty page blob of MIB MiB
// through the plugin's own page PUTs (WriteVmdk with "bAzureEnableNativeUpload",
// 4 MiB writes, bearer token) against the blob endpoint served in this process;
// each of THREADS threads writes its own contiguous range.
//   write_bench MIB THREADS...
// Prints one line per thread count: MB/s, the page PUTs the endpoint recorded
// (and the largest body among them), TLS handshakes seen by the endpoint and
// connections opened by the HTTP client; then checks every written 4 KiB.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <thread>
#include <vector>

#include "azsim/blob/PageBlobStore.h"
#include "azsim/endpoint/BlobEndpoint.h"
#include "azsim/endpoint/RequestLog.h"
#include "host/http/NXLibCurl.h"
#include "host/settings/NXPlatformInfo.h"
#include "plugin/frame/AzureInfo.h"
#include "tests/support/SimulatedCloud.h"

namespace {

constexpr std::uint64_t kBlock = 4 << 20;
constexpr std::uint64_t kStamp = 4096;

class BenchPlugin : public CAzureInfo {
public:
    BenchPlugin() : CAzureInfo(VSINST_AZURE_RESOURCE_MANAGER, 0) {}
    // Registers a restore target the way the restore side does.
    VmdkHandle Register(const azsim::BlobKey& key) {
        SAzureDiskInfo& disk = diskMap[key.name];
        disk.storageAccount = key.account;
        disk.container = key.container;
        disk.blobName = key.name;
        VmdkHandle handle;
        GetVmdkHandle("", "", key.name, handle);
        return handle;
    }
};

// The first 8 bytes of every 4 KiB hold their offset plus the run's seed, so a
// misplaced or missing piece shows; the rest is a constant fill.
void Stamp(std::vector<unsigned char>& block, std::uint64_t at, std::uint64_t seed) {
    for (std::size_t i = 0; i < block.size(); i += kStamp) {
        const std::uint64_t value = at + i + seed;
        std::memcpy(&block[i], &value, sizeof value);
    }
}

bool Intact(const azsim::PageBlobStore& store, const azsim::BlobKey& key, std::uint64_t bytes, std::uint64_t seed) {
    std::vector<unsigned char> block(kBlock);
    for (std::uint64_t at = 0; at < bytes; at += kBlock) {
        if (store.read(key, "", at, block.data(), kBlock) != static_cast<std::int64_t>(kBlock)) return false;
        for (std::size_t i = 0; i < block.size(); i += kStamp) {
            std::uint64_t value;
            std::memcpy(&value, &block[i], sizeof value);
            if (value != at + i + seed || block[i + 8] != 0x5a) return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: write_bench MIB THREADS...\n";
        return 2;
    }
    const std::uint64_t mib = std::strtoull(argv[1], nullptr, 10);
    const std::uint64_t bytes = mib << 20;
    testsupport::SimulatedCloud cloud;
    testsupport::JobIdentityScope identity("vsagent", "Instance001", 1);
    azsim::PageBlobStore store(cloud.dir());
    azsim::BlobEndpoint endpoint(cloud.dir());
    std::string error;
    if (!endpoint.start(&error)) {
        std::cerr << error << "\n";
        return 1;
    }
    NXPlatformInfo::setValue("HttpClient", "sConnectTo", endpoint.connectToEntry());
    NXPlatformInfo::setValue("HttpClient", "sCABundle", endpoint.caBundlePath());
    NXPlatformInfo::setValue("VirtualServer", "bAzureEnableNativeUpload", "1");

    for (int arg = 2; arg < argc; ++arg) {
        const int threads = std::atoi(argv[arg]);
        const std::uint64_t blocks = bytes / kBlock;
        if (threads < 1 || blocks % threads != 0) {
            std::cerr << "thread count " << argv[arg] << " does not divide " << blocks << " pieces of 4 MiB\n";
            return 2;
        }
        const azsim::BlobKey key{"benchacct", "vhds", "bench-" + std::to_string(threads) + ".vhd"};
        if (!store.createPageBlob(key, bytes, true, &error)) {
            std::cerr << error << "\n";
            return 1;
        }
        BenchPlugin plugin;
        if (plugin.Connect(testsupport::SimulatedCloud::kSubscriptionId, testsupport::SimulatedCloud::kApplicationId,
                           testsupport::SimulatedCloud::kSecret) != 1)
            return 1;
        VmdkHandle handle = plugin.Register(key);
        const std::uint64_t seed = static_cast<std::uint64_t>(threads) << 40;
        const std::uint64_t perThread = blocks / threads;
        const azsim::BlobEndpoint::Counters before = endpoint.counters();
        const NXLibCurlStats clientBefore = NXLibCurl::stats();
        std::atomic<int> failed{0};
        const auto start = std::chrono::steady_clock::now();
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([&, t] {
                std::vector<unsigned char> buffer(kBlock, 0x5a);
                for (std::uint64_t b = t * perThread; b < (t + 1) * perThread; ++b) {
                    Stamp(buffer, b * kBlock, seed);
                    if (plugin.WriteVmdk(handle, b * kBlock, kBlock, buffer.data()) != 1) ++failed;
                }
            });
        }
        for (std::thread& w : workers) w.join();
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const azsim::BlobEndpoint::Counters after = endpoint.counters();
        const NXLibCurlStats clientAfter = NXLibCurl::stats();
        std::uint64_t puts = 0, largest = 0;
        for (const azsim::RequestRecord& r : azsim::RequestLog::Read(cloud.dir()))
            if (r.method == "PUT" && r.comp == "page" && r.blob == key.name) {
                ++puts;
                largest = std::max(largest, r.bodyBytes);
            }
        const bool intact = failed == 0 && Intact(store, key, bytes, seed);
        std::printf(
            "WriteVmdk %d thread%s: %.1f MB in %.2f s = %.1f MB/s, %llu page PUTs (largest %llu bytes), "
            "%llu TLS handshakes, %llu client connections%s\n",
            threads, threads > 1 ? "s" : " ", bytes / 1e6, seconds, bytes / 1e6 / seconds,
            static_cast<unsigned long long>(puts), static_cast<unsigned long long>(largest),
            static_cast<unsigned long long>(after.tlsHandshakes - before.tlsHandshakes),
            static_cast<unsigned long long>(clientAfter.connections - clientBefore.connections),
            intact ? "" : " (DATA ERRORS)");
        std::fflush(stdout);
        store.deleteBlob(key);
        if (!intact) return 1;
    }
    endpoint.stop();
    return 0;
}
