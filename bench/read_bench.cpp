// Helper of bench/read-throughput.sh: reads a fully written page blob of MIB MiB
// through the plugin's disk data path (ReadVmdk, 4 MiB blocks, bearer token) with
// 1, 2 and 4 threads, against the blob endpoint served in this process.
//   read_bench MIB
// Prints one line per thread count: MB/s, requests and TLS handshakes seen by the endpoint.
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
#include "azsim/model/ResourceIds.h"
#include "host/http/NXLibCurl.h"
#include "host/settings/NXPlatformInfo.h"
#include "plugin/frame/AzureInfo.h"
#include "tests/support/SimulatedCloud.h"

namespace {

const azsim::BlobKey kBlob{"benchacct", "vhds", "bench.vhd"};
constexpr std::uint64_t kBlock = 4 << 20;

class BenchPlugin : public CAzureInfo {
public:
    BenchPlugin() : CAzureInfo(VSINST_AZURE_RESOURCE_MANAGER, 0) {}
    VmdkHandle Register(const std::string& url) {
        diskMap[url].dataUrl = url;
        diskMap[url].sourceUri = url;
        VmdkHandle handle;
        GetVmdkHandle("", "", url, handle);
        return handle;
    }
};

// Every 8 bytes hold their own offset, so a misplaced byte shows.
bool Prepare(const std::string& state, std::uint64_t bytes) {
    azsim::PageBlobStore store(state);
    std::string error;
    if (!store.createPageBlob(kBlob, bytes + 512, true, &error)) return false;
    std::vector<char> piece(kBlock);
    for (std::uint64_t at = 0; at < bytes; at += kBlock) {
        for (std::size_t i = 0; i < piece.size(); i += 8) {
            std::uint64_t offset = at + i;
            std::memcpy(&piece[i], &offset, sizeof offset);
        }
        if (!store.writePages(kBlob, at, piece.data(), piece.size(), &error)) return false;
    }
    return true;
}

bool Intact(const std::vector<unsigned char>& block, std::uint64_t at) {
    for (std::size_t i = 0; i < block.size(); i += 4096) {
        std::uint64_t value;
        std::memcpy(&value, &block[i], sizeof value);
        if (value != at + i) return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    testsupport::SimulatedCloud cloud;
    testsupport::JobIdentityScope identity("vsagent", "Instance001", 1);
    if (!Prepare(cloud.dir(), mib << 20)) {
        std::cerr << "could not prepare the blob\n";
        return 1;
    }
    azsim::BlobEndpoint endpoint(cloud.dir());
    std::string error;
    if (!endpoint.start(&error)) {
        std::cerr << error << "\n";
        return 1;
    }
    NXPlatformInfo::setValue("HttpClient", "sConnectTo", endpoint.connectToEntry());
    NXPlatformInfo::setValue("HttpClient", "sCABundle", endpoint.caBundlePath());

    for (int threads : {1, 2, 4}) {
        BenchPlugin plugin;
        if (plugin.Connect(testsupport::SimulatedCloud::kSubscriptionId, testsupport::SimulatedCloud::kApplicationId,
                           testsupport::SimulatedCloud::kSecret) != 1)
            return 1;
        VmdkHandle handle = plugin.Register(azsim::PageBlobUri(kBlob));
        ULONGLONG sectors = 0;
        if (plugin.GetVmdkCapacity(handle, sectors) != 1) return 1;
        const std::uint64_t blocks = (mib << 20) / kBlock;
        const azsim::BlobEndpoint::Counters before = endpoint.counters();
        std::atomic<int> bad{0};
        const auto start = std::chrono::steady_clock::now();
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([&, t] {
                std::vector<unsigned char> buffer(kBlock);
                for (std::uint64_t b = t; b < blocks; b += threads)
                    if (plugin.ReadVmdk(handle, b, kBlock / 512, buffer.data()) != 1 || !Intact(buffer, b * kBlock))
                        ++bad;
            });
        }
        for (std::thread& w : workers) w.join();
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const azsim::BlobEndpoint::Counters after = endpoint.counters();
        std::printf("ReadVmdk %d thread%s: %.1f MB in %.2f s = %.1f MB/s, %llu requests, %llu TLS handshakes%s\n",
                    threads, threads > 1 ? "s" : " ", (mib << 20) / 1e6, seconds, (mib << 20) / 1e6 / seconds,
                    static_cast<unsigned long long>(after.requests - before.requests),
                    static_cast<unsigned long long>(after.tlsHandshakes - before.tlsHandshakes),
                    bad ? " (DATA ERRORS)" : "");
        if (bad) return 1;
    }
    endpoint.stop();
    return 0;
}
