// A manifest is read from a file anyone may have edited: every value is checked,
// and a refusal names the job and the field.
#include <cstdint>
#include <string>
#include <vector>
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

// A value that, set at a JSON pointer, removes the field there.
const json kErase(json::value_t::discarded);
const std::string D = "/disks/0/";

using Changes = std::vector<std::pair<std::string, json>>;

// Document() with the value at each JSON pointer replaced.
json With(const Changes& changes) {
    json d = Document();
    for (const auto& [at, value] : changes) {
        const json::json_pointer pointer(at);
        if (value.is_discarded())
            d[pointer.parent_pointer()].erase(pointer.back());
        else
            d[pointer] = value;
    }
    return d;
}

struct Row {
    Changes changes;
    std::string refusal;  // how the refusal goes on after "job 7: "; empty when the document is accepted
};

void ExpectRows(const std::vector<Row>& rows) {
    for (const Row& row : rows) {
        const std::string why = Refusal(With(row.changes));
        if (row.refusal.empty())
            EXPECT_EQ(why, "") << With(row.changes).dump();
        else
            EXPECT_EQ(why.rfind("job 7: " + row.refusal, 0), 0u) << "[" << why << "] " << row.refusal;
    }
}

// An extents list of [start, length] pairs.
std::pair<std::string, json> Extents(std::initializer_list<std::pair<std::uint64_t, std::uint64_t>> extents) {
    json list = json::array();
    for (const auto& e : extents) list.push_back(json::array({e.first, e.second}));
    return {D + "extents", list};
}

TEST(Manifest, ExtentsAreSortedDisjointAndInsideTheImage) {
    std::vector<Row> rows = {
        {{Extents({})}, ""},
        {{Extents({{0, 4096}, {4096, 512}, {kImage - 512, 512}})}, ""},  // adjacent; ends at the end
        {{Extents({{0, 4096}, {kImage - 512, 513}})}, "disks[0].extents[1] "},  // one byte past
        {{Extents({{kImage, 1}})}, "disks[0].extents[0] "},
        // A start and length whose sum wraps past 2^64 to a small end.
        {{Extents({{UINT64_MAX - 511, 1024}})}, "disks[0].extents[0] "},
        {{Extents({{512, UINT64_MAX}})}, "disks[0].extents[0] "},
        {{Extents({{0, 4096}, {4095, 512}})}, "disks[0].extents[1] "},  // overlap
        {{Extents({{8192, 512}, {0, 512}})}, "disks[0].extents[1] "},   // out of order
        {{Extents({{0, 0}})}, "disks[0].extents[0] is empty"},
        {{{D + "extents", json::object()}}, "disks[0].extents must be a list"},
    };
    for (const char* malformed : {"[[0, 512, 1]]", "[[\"0\", 512]]", "[[-512, 512]]", "[[0.5, 512]]", "[0]"})
        rows.push_back({{{D + "extents", json::parse(malformed)}}, "disks[0].extents[0] must be [start, length]"});
    ExpectRows(rows);
}

TEST(Manifest, CapacityIsWholeSectorsAndTheImageOneFooterSectorMore) {
    auto sized = [](const json& capacity, const json& imageBytes) {
        return Changes{{D + "capacity", capacity}, {D + "imageBytes", imageBytes}, {D + "extents", json::array()}};
    };
    constexpr std::uint64_t kMax = DiskRecord::kMaxCapacity;
    ExpectRows({
        {sized(512, 1024), ""},
        {sized(kMax, kMax + 512), ""},
        {sized(0, 512), "disks[0].capacity "},
        {sized(-1, 511), "disks[0].capacity "},
        {sized(kMax + 512, kMax + 1024), "disks[0].capacity "},
        {sized(UINT64_MAX - 511, 0), "disks[0].capacity "},  // the footer sector would wrap the size
        {sized(1000, 1512), "disks[0].capacity "},
        {sized(1048576.0, kImage), "disks[0].capacity "},
        {sized(kCapacity, kCapacity), "disks[0].imageBytes "},
        {sized(kCapacity, 1ull << 62), "disks[0].imageBytes "},
        {sized(kCapacity, -1), "disks[0].imageBytes "},
    });
}

TEST(Manifest, NamesThatJoinAFolderStayInsideIt) {
    std::vector<Row> rows = {
        {{{"/vm/name", "vm 1..x"}, {D + "image", "..a.img"}, {"/files/0/name", ".vm1.json"}}, ""},
        {{{D + "image", std::string("a.img\0.x", 8)}}, "disks[0].image must be a plain file name"},  // opens "a.img"
    };
    for (const char* bad : {"../a.img", "/tmp/a.img", "sub/a.img", "..", ".", ""}) {
        rows.push_back({{{D + "image", bad}}, "disks[0].image must be a plain file name"});
        rows.push_back({{{"/files/0/name", bad}}, "files[0].name must be a plain file name"});
        rows.push_back({{{"/vm/name", bad}}, "vm.name must be a plain file name"});
    }
    ExpectRows(rows);
}

TEST(Manifest, JobIdsAndParentsFormAChainBackInTime) {
    EXPECT_EQ(Refusal(With({{"/jobId", Manifest::kMaxJobId}})), "");
    for (const json& id : {json(0), json(-7), json(Manifest::kMaxJobId + 1), json("7"), json(7.0)})
        EXPECT_EQ(Refusal(With({{"/jobId", id}})).rfind("jobId must be", 0), 0u) << id;
    auto parented = [](const char* type, const json& parent, const json& diskParent) {
        return Changes{{"/backupType", type}, {"/parentJob", parent}, {D + "parentJob", diskParent}};
    };
    auto synthetic = [&](const char* type, const json& parent, const json& flag) {
        Changes changes = parented(type, parent, parent);
        changes.push_back({"/syntheticFull", flag});
        return changes;
    };
    ExpectRows({
        {parented("full", nullptr, nullptr), ""},
        {parented("incremental", 6, nullptr), ""},  // a disk read in full within an incremental
        {parented("incremental", 6, 6), ""},
        {parented("full", 5, nullptr), "parentJob is set on a full job"},
        {parented("incremental", nullptr, nullptr), "parentJob is missing"},
        {parented("incremental", 7, nullptr), "parentJob must be null or the id of a job older than 7"},
        {parented("incremental", 9, nullptr), "parentJob must be"},
        {parented("incremental", 0, nullptr), "parentJob must be"},
        {parented("incremental", 5, 4), "disks[0].parentJob is not the job's parentJob"},
        {parented("full", nullptr, 5), "disks[0].parentJob is not the job's parentJob"},
        {parented("incremental", 5, 7), "disks[0].parentJob must be"},
        {parented("Incremental", 5, 5), "backupType must be"},
        // A synthetic full is a full; manifests written before it existed have no such field.
        {synthetic("full", nullptr, true), ""},
        {synthetic("full", nullptr, kErase), ""},
        {synthetic("incremental", 5, true), "syntheticFull is set on an incremental job"},
        {synthetic("incremental", 5, "yes"), "syntheticFull must be true or false"},
    });
    EXPECT_FALSE(Manifest::FromJson(With(synthetic("full", nullptr, kErase))).syntheticFull);
}

TEST(Manifest, DigestsAreLowerCaseSha256Hex) {
    std::vector<Row> rows = {{{{D + "sha256", std::string(64, '0')},
                               {"/files/0/sha256", "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef"}},
                              ""}};
    for (const std::string& bad : {std::string(63, 'a'), std::string(65, 'a'), std::string(64, 'A'),
                                   std::string(63, 'a') + "g", std::string()}) {
        rows.push_back({{{D + "sha256", bad}}, "disks[0].sha256 must be a SHA-256"});
        rows.push_back({{{D + "dataSha256", bad}}, "disks[0].dataSha256 must be a SHA-256"});
        rows.push_back({{{"/files/0/sha256", bad}}, "files[0].sha256 must be a SHA-256"});
    }
    ExpectRows(rows);
}

// The windowed digest of the current format: named, versioned, and its window list in order on the disk.
TEST(Manifest, WindowedDigestIsNamedVersionedAndItsWindowsOnTheDisk) {
    const json digest = {{"kind", "sha256-windows"}, {"version", 1}, {"windowBytes", DiskDigest::kWindowBytes},
                         {"windows", json::array({json::array({0, kDigest})})}, {"root", kDigest}};
    auto windowed = [&digest](const std::string& key, const json& value) {
        Changes changes{{"/format", Manifest::kFormat}, {D + "sha256", kErase}, {D + "digest", digest}};
        if (!key.empty()) changes.push_back({D + "digest/" + key, value});
        return changes;
    };
    // A disk of 1 MiB and a sector has one window, 0.
    ExpectRows({
        {{{"/format", Manifest::kFormat}, {D + "sha256", kErase}}, "disks[0].digest is missing"},
        {windowed("", nullptr), ""},
        {windowed("kind", "sha256"), "disks[0].digest.kind must be \"sha256-windows\""},
        {windowed("version", 2), "disks[0].digest.version must be a whole number from 1 to 1"},
        {windowed("windowBytes", 1 << 20), "disks[0].digest.windowBytes must be"},
        {windowed("root", "A"), "disks[0].digest.root must be a SHA-256"},
        {windowed("windows", json::array({json::array({1, kDigest})})), "disks[0].digest.windows[0] [1,\"aaaa"},
        {windowed("windows", json::array({json::array({0, kDigest}), json::array({0, kDigest})})),
         "disks[0].digest.windows[1] [0,\"aaaa"},
        {windowed("windows", json::array({json::array({0, "aa"})})), "disks[0].digest.windows[0] must be"},
        {windowed("windows", json::array({kDigest})), "disks[0].digest.windows[0] must be"},
    });
}

TEST(Manifest, OtherValuesHaveTheirTypesAndRanges) {
    ExpectRows({
        {{{D + "lun", 63}}, ""},
        {{{D + "lun", -1}}, "disks[0].lun "},
        {{{D + "osDisk", "yes"}}, "disks[0].osDisk "},
        {{{D + "name", ""}}, "disks[0].name is empty"},
        {{{D + "path", kErase}}, "disks[0].path is missing"},
        {{{"/seconds", -1}}, "seconds "},
        {{{"/bytesRead", 1.5}}, "bytesRead "},
        {{{"/referencePoint", "abc"}}, "referencePoint is not base64"},
        {{{"/disks", json::array()}}, "disks is empty"},
        {{{"/disks/1", Document()["disks"][0]}}, "disks[1].name \"vm1-os\" is not unique"},
        {{{"/disks/1", Document()["disks"][0]}, {"/disks/1/name", "vm1-data"}}, ""},
    });
    // Before the job id is known the refusal names only the field.
    EXPECT_EQ(Refusal(With({{"/format", 3}})).rfind("format is 3", 0), 0u);
    EXPECT_EQ(Refusal(json::array()), "the document is not an object");
}

}  // namespace
