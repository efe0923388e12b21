// Helper of bench/endpoint-throughput.sh.
//   endpoint_bench prepare STATE MIB   a page blob benchacct/vhds/bench.vhd of MIB MiB, every page written
//   endpoint_bench create STATE MIB    the same blob empty (replacing one there): the target of page PUTs
//   endpoint_bench serve STATE         the blob endpoint; prints "PORT TOKEN" and serves until stdin closes,
//                                      then prints the request and TLS handshake counts to stderr
#include <cstring>
#include <cstdlib>
#include <iostream>
#include <string>

#include "azsim/auth/AccessAuthority.h"
#include "azsim/blob/PageBlobStore.h"
#include "azsim/endpoint/BlobEndpoint.h"

namespace {

const azsim::BlobKey kBlob{"benchacct", "vhds", "bench.vhd"};

int prepare(const std::string& state, std::uint64_t mib) {
    azsim::PageBlobStore store(state);
    azsim::BlobProperties props;
    if (store.properties(kBlob, "", props) && props.size == mib << 20) return 0;
    std::string error;
    if (!store.createPageBlob(kBlob, mib << 20, true, &error)) {
        std::cerr << error << "\n";
        return 1;
    }
    std::string piece(4 << 20, '\0');
    for (std::uint64_t at = 0; at < mib << 20; at += piece.size()) {
        // Every 8 bytes hold their own offset, so any misplaced byte would show.
        for (std::size_t i = 0; i < piece.size(); i += 8) {
            std::uint64_t offset = at + i;
            std::memcpy(&piece[i], &offset, sizeof offset);
        }
        if (!store.writePages(kBlob, at, piece.data(), piece.size(), &error)) {
            std::cerr << error << "\n";
            return 1;
        }
    }
    return 0;
}

int create(const std::string& state, std::uint64_t mib) {
    std::string error;
    if (!azsim::PageBlobStore(state).createPageBlob(kBlob, mib << 20, true, &error)) {
        std::cerr << error << "\n";
        return 1;
    }
    return 0;
}

int serve(const std::string& state) {
    azsim::BlobEndpoint endpoint(state);
    std::string error;
    if (!endpoint.start(&error)) {
        std::cerr << error << "\n";
        return 1;
    }
    std::cout << endpoint.port() << " " << azsim::AccessAuthority(state).issueToken("bench") << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    azsim::BlobEndpoint::Counters counters = endpoint.counters();
    endpoint.stop();
    std::cerr << "requests " << counters.requests << ", TLS handshakes " << counters.tlsHandshakes << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string command = argc > 1 ? argv[1] : "";
    if (command == "prepare" && argc == 4) return prepare(argv[2], std::strtoull(argv[3], nullptr, 10));
    if (command == "create" && argc == 4) return create(argv[2], std::strtoull(argv[3], nullptr, 10));
    if (command == "serve" && argc == 3) return serve(argv[2]);
    std::cerr << "usage: endpoint_bench prepare STATE MIB | create STATE MIB | serve STATE\n";
    return 2;
}
