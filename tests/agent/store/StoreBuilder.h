// Backup jobs of one disk written straight into a store, each with the digests a
// backup records, and the disk's expected bytes as of every job.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent/store/BackupStore.h"
#include "agent/store/SparseImage.h"
#include "agent/store/StoreError.h"
#include "tests/support/SimulatedCloud.h"

namespace vsagent::storetest {

// The text of the StoreError `act` throws; empty when it returns.
template <class Act>
std::string ErrorOf(Act&& act) {
    try {
        act();
        return "";
    } catch (const StoreError& e) {
        return e.what();
    }
}
// Flips a bit of the byte at `at` of the file at `path`.
void FlipByte(const std::string& path, std::uint64_t at);
std::string Slurp(const std::string& path);
std::string Sha256Of(const std::vector<unsigned char>& bytes);
// The names in `folder`, sorted.
std::vector<std::string> Names(const std::string& folder);

class StoreBuilder {
public:
    static constexpr std::uint64_t kWindow = DiskDigest::kWindowBytes;
    // Three full windows and a short last one of one sector.
    static constexpr std::uint64_t kDisk = 3 * kWindow + 512;

    explicit StoreBuilder(const std::string& root) : store(root) {}

    // A job of VM `vm` of resource group `group` whose disk holds `fill` over `extents`, over `parent`, with the digest its
    // extents' windows give over the parent's (or over zeros); its reference point holds bytes that are not text.
    Manifest job(const ExtentList& extents, unsigned char fill, const Manifest* parent, const std::string& vm = "vm1",
                 const std::string& group = "rg");
    // A full and three incrementals of vm1, each changing bytes in a window of its own and one it shares.
    std::vector<Manifest> chainOfFour();
    // The format of the jobs written: the older one records a digest of the whole disk instead of window digests.
    int format = Manifest::kFormat;
    // The disk's bytes as of job `id`.
    const std::vector<unsigned char>& bytesAt(long long id) const { return states_.at(id); }
    // SHA-256 of the disk as of job `id`.
    std::string sha256At(long long id) const;

    BackupStore store;

private:
    std::map<long long, std::vector<unsigned char>> states_;
};

// A store of its own in a temporary folder, and the builder writing jobs into it.
class StoreTest : public ::testing::Test {
protected:
    testsupport::TempDir dir;
    StoreBuilder builder{dir.path() + "/store"};
    BackupStore& store = builder.store;
    // The ids of the store's complete jobs, oldest first.
    std::vector<long long> JobIds() {
        std::vector<long long> ids;
        for (const Manifest& m : store.jobs()) ids.push_back(m.jobId);
        return ids;
    }
};

}  // namespace vsagent::storetest
