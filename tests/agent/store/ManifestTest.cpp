// A manifest is read from a file anyone may have edited: every value is checked,
// and a refusal names the job and the field.
#include <cstdint>
#include <string>
#include <utility>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "agent/store/Manifest.h"
#include "tests/agent/store/StoreBuilder.h"

using namespace vsagent;
using nlohmann::json;

namespace {

constexpr std::uint64_t kCapacity = 1 << 20;
constexpr std::uint64_t kImage = kCapacity + 512;
const std::string kDigest(64, 'a');

// An incremental job 7 over job 5 with one disk and one configuration file.
json Document() {
    Manifest m;
    m.format = Manifest::kWholeDiskFormat;
    m.jobId = 7;
    m.vmName = "vm1";
    m.incremental = true;
    m.parentJob = 5;
    DiskRecord d;
    d.name = "vm1-os";
    d.capacity = kCapacity;
    d.imageBytes = kImage;
    d.image = "disk0.img";
    d.extents = {{0, 4096}, {8192, 4096}};
    d.parentJob = 5;
    d.sha256 = d.dataSha256 = kDigest;
    m.disks.push_back(d);
    m.files.push_back({"vm1.json", 10, kDigest});
    return m.toJson();
}

// Why the document is refused; empty when it is accepted.
std::string Refusal(const json& document) {
    return storetest::ErrorOf([&] { Manifest::FromJson(document); });
}

// The refusal of `document`, which must name `field` of job 7.
#define EXPECT_REFUSED(document, field)                                                     \
    do {                                                                                    \
        const std::string why = Refusal(document);                                          \
        EXPECT_EQ(why.rfind(std::string("job 7: ") + (field), 0), 0u) << "[" << why << "]"; \
    } while (0)

json WithDisk(const char* key, const json& value) {
    json d = Document();
    d["disks"][0][key] = value;
    return d;
}

// An extents list of [start, length] pairs.
json WithExtents(std::initializer_list<std::pair<std::uint64_t, std::uint64_t>> extents) {
    json list = json::array();
    for (const auto& e : extents) list.push_back(json::array({e.first, e.second}));
    return WithDisk("extents", list);
}

TEST(Manifest, ExtentsAreSortedDisjointAndInsideTheImage) {
    EXPECT_EQ(Refusal(WithExtents({})), "");
    EXPECT_EQ(Refusal(WithExtents({{0, 4096}, {4096, 512}, {kImage - 512, 512}})), "");  // adjacent; ends at the end
    EXPECT_REFUSED(WithExtents({{0, 4096}, {kImage - 512, 513}}), "disks[0].extents[1] ");   // one byte past
    EXPECT_REFUSED(WithExtents({{kImage, 1}}), "disks[0].extents[0] ");
    // A start and length whose sum wraps past 2^64 to a small end.
    EXPECT_REFUSED(WithExtents({{UINT64_MAX - 511, 1024}}), "disks[0].extents[0] ");
    EXPECT_REFUSED(WithExtents({{512, UINT64_MAX}}), "disks[0].extents[0] ");
    EXPECT_REFUSED(WithExtents({{0, 4096}, {4095, 512}}), "disks[0].extents[1] ");  // overlap
    EXPECT_REFUSED(WithExtents({{8192, 512}, {0, 512}}), "disks[0].extents[1] ");   // out of order
    EXPECT_REFUSED(WithExtents({{0, 0}}), "disks[0].extents[0] is empty");
    for (const char* malformed : {"[[0, 512, 1]]", "[[\"0\", 512]]", "[[-512, 512]]", "[[0.5, 512]]", "[0]"})
        EXPECT_REFUSED(WithDisk("extents", json::parse(malformed)), "disks[0].extents[0] must be [start, length]");
    EXPECT_REFUSED(WithDisk("extents", json::object()), "disks[0].extents must be a list");
}

TEST(Manifest, CapacityIsWholeSectorsAndTheImageOneFooterSectorMore) {
    auto sized = [](const json& capacity, const json& imageBytes) {
        json d = WithDisk("capacity", capacity);
        d["disks"][0]["imageBytes"] = imageBytes;
        d["disks"][0]["extents"] = json::array();
        return d;
    };
    EXPECT_EQ(Refusal(sized(512, 1024)), "");
    EXPECT_EQ(Refusal(sized(DiskRecord::kMaxCapacity, DiskRecord::kMaxCapacity + 512)), "");
    EXPECT_REFUSED(sized(0, 512), "disks[0].capacity ");
    EXPECT_REFUSED(sized(-1, 511), "disks[0].capacity ");
    EXPECT_REFUSED(sized(DiskRecord::kMaxCapacity + 512, DiskRecord::kMaxCapacity + 1024), "disks[0].capacity ");
    EXPECT_REFUSED(sized(UINT64_MAX - 511, 0), "disks[0].capacity ");  // the footer sector would wrap the size
    EXPECT_REFUSED(sized(1000, 1512), "disks[0].capacity ");
    EXPECT_REFUSED(sized(1048576.0, kImage), "disks[0].capacity ");
    EXPECT_REFUSED(sized(kCapacity, kCapacity), "disks[0].imageBytes ");
    EXPECT_REFUSED(sized(kCapacity, 1ull << 62), "disks[0].imageBytes ");
    EXPECT_REFUSED(sized(kCapacity, -1), "disks[0].imageBytes ");
}

TEST(Manifest, NamesThatJoinAFolderStayInsideIt) {
    auto named = [](const char* vm, const char* image, const char* file) {
        json d = WithDisk("image", image);
        d["vm"]["name"] = vm;
        d["files"][0]["name"] = file;
        return d;
    };
    EXPECT_EQ(Refusal(named("vm1", "a.img", "vm1.json")), "");
    EXPECT_EQ(Refusal(named("vm 1..x", "..a.img", ".vm1.json")), "");
    for (const char* bad : {"../a.img", "/tmp/a.img", "sub/a.img", "..", ".", ""}) {
        EXPECT_REFUSED(named("vm1", bad, "vm1.json"), "disks[0].image must be a plain file name");
        EXPECT_REFUSED(named("vm1", "a.img", bad), "files[0].name must be a plain file name");
        EXPECT_REFUSED(named(bad, "a.img", "vm1.json"), "vm.name must be a plain file name");
    }
    json nul = Document();
    nul["disks"][0]["image"] = std::string("a.img\0.x", 8);  // the system would open "a.img"
    EXPECT_REFUSED(nul, "disks[0].image must be a plain file name");
}

TEST(Manifest, JobIdsAndParentsFormAChainBackInTime) {
    json top = Document();
    top["jobId"] = Manifest::kMaxJobId;
    EXPECT_EQ(Refusal(top), "");
    for (const json& id : {json(0), json(-7), json(Manifest::kMaxJobId + 1), json("7"), json(7.0)}) {
        top["jobId"] = id;
        EXPECT_EQ(Refusal(top).rfind("jobId must be", 0), 0u) << id;
    }
    auto parented = [](const char* type, const json& parent, const json& diskParent) {
        json d = WithDisk("parentJob", diskParent);
        d["backupType"] = type;
        d["parentJob"] = parent;
        return d;
    };
    EXPECT_EQ(Refusal(parented("full", nullptr, nullptr)), "");
    EXPECT_EQ(Refusal(parented("incremental", 6, nullptr)), "");  // a disk read in full within an incremental
    EXPECT_EQ(Refusal(parented("incremental", 6, 6)), "");
    EXPECT_REFUSED(parented("full", 5, nullptr), "parentJob is set on a full job");
    EXPECT_REFUSED(parented("incremental", nullptr, nullptr), "parentJob is missing");
    EXPECT_REFUSED(parented("incremental", 7, nullptr), "parentJob must be null or the id of a job older than 7");
    EXPECT_REFUSED(parented("incremental", 9, nullptr), "parentJob must be");
    EXPECT_REFUSED(parented("incremental", 0, nullptr), "parentJob must be");
    EXPECT_REFUSED(parented("incremental", 5, 4), "disks[0].parentJob is not the job's parentJob");
    EXPECT_REFUSED(parented("full", nullptr, 5), "disks[0].parentJob is not the job's parentJob");
    EXPECT_REFUSED(parented("incremental", 5, 7), "disks[0].parentJob must be");
    EXPECT_REFUSED(parented("Incremental", 5, 5), "backupType must be");

    // A synthetic full is a full; manifests written before it existed have no such field.
    json synthetic = parented("full", nullptr, nullptr);
    synthetic["syntheticFull"] = true;
    EXPECT_EQ(Refusal(synthetic), "");
    EXPECT_TRUE(Manifest::FromJson(synthetic).syntheticFull);
    synthetic.erase("syntheticFull");
    EXPECT_FALSE(Manifest::FromJson(synthetic).syntheticFull);
    json notFull = parented("incremental", 5, 5);
    notFull["syntheticFull"] = true;
    EXPECT_REFUSED(notFull, "syntheticFull is set on an incremental job");
    notFull["syntheticFull"] = "yes";
    EXPECT_REFUSED(notFull, "syntheticFull must be true or false");
}

TEST(Manifest, DigestsAreLowerCaseSha256Hex) {
    json d = Document();
    d["disks"][0]["sha256"] = std::string(64, '0');
    d["files"][0]["sha256"] = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
    EXPECT_EQ(Refusal(d), "");
    for (const std::string& bad : {std::string(63, 'a'), std::string(65, 'a'), std::string(64, 'A'),
                                   std::string(63, 'a') + "g", std::string()}) {
        EXPECT_REFUSED(WithDisk("sha256", bad), "disks[0].sha256 must be a SHA-256");
        EXPECT_REFUSED(WithDisk("dataSha256", bad), "disks[0].dataSha256 must be a SHA-256");
        json file = Document();
        file["files"][0]["sha256"] = bad;
        EXPECT_REFUSED(file, "files[0].sha256 must be a SHA-256");
    }
}

// The windowed digest of the current format: named, versioned, and its window list in order on the disk.
TEST(Manifest, WindowedDigestIsNamedVersionedAndItsWindowsOnTheDisk) {
    json d = Document();
    d["format"] = Manifest::kFormat;
    d["disks"][0].erase("sha256");
    EXPECT_REFUSED(d, "disks[0].digest is missing");
    DiskDigest digest;
    digest.diskBytes = kImage;
    digest.windows = {{0, kDigest}};
    digest.root = kDigest;
    Manifest m = Manifest::FromJson(Document());
    m.format = Manifest::kFormat;
    m.disks[0].digest = digest;
    d = m.toJson();
    const Manifest back = Manifest::FromJson(d);
    ASSERT_TRUE(back.disks[0].digest.has_value());
    EXPECT_EQ(back.disks[0].digest->windows, digest.windows);
    EXPECT_EQ(back.disks[0].digest->root, kDigest);

    auto with = [&d](const char* key, const json& value) {
        json changed = d;
        changed["disks"][0]["digest"][key] = value;
        return changed;
    };
    EXPECT_REFUSED(with("kind", "sha256"), "disks[0].digest.kind must be \"sha256-windows\"");
    EXPECT_REFUSED(with("version", 2), "disks[0].digest.version must be a whole number from 1 to 1");
    EXPECT_REFUSED(with("windowBytes", 1 << 20), "disks[0].digest.windowBytes must be");
    EXPECT_REFUSED(with("root", "A"), "disks[0].digest.root must be a SHA-256");
    // A disk of 1 MiB and a sector has one window, 0.
    EXPECT_REFUSED(with("windows", json::array({json::array({1, kDigest})})),
                   "disks[0].digest.windows[0] [1,\"aaaa");
    EXPECT_REFUSED(with("windows", json::array({json::array({0, kDigest}), json::array({0, kDigest})})),
                   "disks[0].digest.windows[1] [0,\"aaaa");
    EXPECT_REFUSED(with("windows", json::array({json::array({0, "aa"})})), "disks[0].digest.windows[0] must be");
    EXPECT_REFUSED(with("windows", json::array({kDigest})), "disks[0].digest.windows[0] must be");
}

TEST(Manifest, OtherValuesHaveTheirTypesAndRanges) {
    json d = Document();
    d["disks"][0]["lun"] = 63;
    EXPECT_EQ(Refusal(d), "");
    EXPECT_REFUSED(WithDisk("lun", -1), "disks[0].lun ");
    EXPECT_REFUSED(WithDisk("osDisk", "yes"), "disks[0].osDisk ");
    EXPECT_REFUSED(WithDisk("name", ""), "disks[0].name is empty");
    json missing = Document();
    missing["disks"][0].erase("path");
    EXPECT_REFUSED(missing, "disks[0].path is missing");

    auto top = [](const char* key, const json& value) {
        json t = Document();
        t[key] = value;
        return t;
    };
    EXPECT_REFUSED(top("seconds", -1), "seconds ");
    EXPECT_REFUSED(top("bytesRead", 1.5), "bytesRead ");
    EXPECT_REFUSED(top("referencePoint", "abc"), "referencePoint is not base64");
    EXPECT_REFUSED(top("disks", json::array()), "disks is empty");
    json twins = Document();
    twins["disks"].push_back(twins["disks"][0]);
    EXPECT_REFUSED(twins, "disks[1].name \"vm1-os\" is not unique");
    twins["disks"][1]["name"] = "vm1-data";
    EXPECT_EQ(Refusal(twins), "");

    // Before the job id is known the refusal names only the field.
    EXPECT_EQ(Refusal(top("format", 3)).rfind("format is 3", 0), 0u);
    EXPECT_EQ(Refusal(json::array()), "the document is not an object");
}

}  // namespace
