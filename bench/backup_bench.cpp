// Helper of bench/backup-bench.sh.
//   backup_bench scatter STATE VM DISK COUNT SEED
//       COUNT writes of 4 KiB at distinct, 4 KiB-aligned, seeded random offsets of disk DISK
//       of VM VM, as a guest would scatter them; prints the bytes changed.
#include <cstdlib>
#include <iostream>
#include <random>
#include <set>
#include <string>

#include "azsim/model/SubscriptionState.h"

int main(int argc, char** argv) {
    if (argc != 7 || std::string(argv[1]) != "scatter") {
        std::cerr << "usage: backup_bench scatter STATE VM DISK COUNT SEED\n";
        return 2;
    }
    azsim::SubscriptionState state(argv[2]);
    azsim::StateDocument doc = state.load();
    const azsim::VirtualMachine* vm = doc.findVm(argv[3]);
    if (!vm) {
        std::cerr << "no VM " << argv[3] << "\n";
        return 1;
    }
    auto blob = doc.diskBlob(*vm, std::strtoul(argv[4], nullptr, 10));
    azsim::PageBlobStore store = state.blobs();
    azsim::BlobProperties properties;
    if (!blob || !store.properties(*blob, "", properties)) {
        std::cerr << "no such disk\n";
        return 1;
    }
    const std::uint64_t pages = (properties.size - 512) / 4096;
    const std::uint64_t count = std::strtoull(argv[5], nullptr, 10);
    std::mt19937_64 random(std::strtoull(argv[6], nullptr, 10));
    std::set<std::uint64_t> chosen;
    while (chosen.size() < count && chosen.size() < pages) chosen.insert(random() % pages);
    std::string data(4096, '\0');
    std::string error;
    for (std::uint64_t page : chosen) {
        for (char& c : data) c = static_cast<char>(random());
        if (!store.writePages(*blob, page * 4096, data.data(), data.size(), &error)) {
            std::cerr << error << "\n";
            return 1;
        }
    }
    std::cout << chosen.size() * 4096 << "\n";
    return 0;
}
