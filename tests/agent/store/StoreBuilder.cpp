#include "tests/agent/store/StoreBuilder.h"

#include "agent/store/ChainReader.h"
#include "agent/store/Sha256.h"
#include "agent/store/WindowDigest.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace vsagent::storetest {

void FlipByte(const std::string& path, std::uint64_t at) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekg(static_cast<std::streamoff>(at));
    char byte = static_cast<char>(f.get());
    f.seekp(static_cast<std::streamoff>(at));
    f.put(static_cast<char>(byte ^ 0x10));
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<Manifest> StoreBuilder::chainOfFour() {
    std::vector<Manifest> jobs;
    jobs.push_back(job({{0, 8192}, {kWindow + 4096, 3 * 4096}}, 1, nullptr));
    jobs.push_back(job({{4096, 4096}, {2 * kWindow, 512}}, 2, &jobs[0]));
    jobs.push_back(job({{kWindow + 8192, 512}}, 3, &jobs[1]));
    jobs.push_back(job({{6144, 1024}, {kDisk - 512, 512}}, 4, &jobs[2]));
    return jobs;
}

Manifest StoreBuilder::job(const ExtentList& extents, unsigned char fill, const Manifest* parent, const std::string& vm,
                           const std::string& group) {
    Manifest m;
    m.jobId = store.nextJobId();
    m.vmName = vm;
    m.resourceGroup = group;
    m.startedAt = "2026-12-01T00:00:00Z";
    m.format = format;
    m.referencePoint = std::string("\x01\x00\xff", 3) + "reference of job " + std::to_string(m.jobId);
    const std::string folder = store.createJobFolder(vm, m.jobId);
    SparseImage image = SparseImage::Create(folder + "/disk0.img", kDisk);
    std::vector<unsigned char> state = parent ? states_.at(parent->jobId) : std::vector<unsigned char>(kDisk, 0);
    for (const Extent& e : extents) {
        std::vector<unsigned char> data(e.length, fill);
        image.write(e.start, data.data(), data.size());
        std::fill(state.begin() + static_cast<long>(e.start), state.begin() + static_cast<long>(e.end()), fill);
    }
    image.sync();
    DiskRecord d;
    d.name = "vm1-os";
    d.capacity = kDisk - 512;
    d.imageBytes = kDisk;
    d.image = "disk0.img";
    d.extents = extents;
    d.dataSha256 = HashExtents(image, extents);
    DiskDigest base;
    base.diskBytes = kDisk;
    std::vector<ChainLink> links;
    if (parent) {
        m.incremental = true;
        m.parentJob = d.parentJob = parent->jobId;
        if (format == Manifest::kFormat) base = *parent->disks[0].digest;
        links = store.chain(*parent, 0);
    }
    links.push_back({m.jobId, image.path(), extents});
    states_[m.jobId] = std::move(state);
    if (format == Manifest::kFormat)
        d.digest = UpdateDigest(ChainReader(links, kDisk), base, TouchedWindows(extents));
    else
        d.sha256 = sha256At(m.jobId);
    m.disks.push_back(d);
    store.commit(folder, m);
    return *store.job(m.jobId);
}

std::string Sha256Of(const std::vector<unsigned char>& bytes) {
    Sha256 sha;
    sha.update(bytes.data(), bytes.size());
    return sha.hex();
}

std::string StoreBuilder::sha256At(long long id) const { return Sha256Of(states_.at(id)); }

}  // namespace vsagent::storetest
