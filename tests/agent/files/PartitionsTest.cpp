// Partition tables as the system's partitioning tool writes them, damaged by
// hand and at random: read right, or refused with the field named, never a read
// outside the disk.
#include <random>

#include <gtest/gtest.h>

#include "agent/files/Partitions.h"
#include "tests/agent/files/DiskImages.h"

using namespace vsagent;
using namespace filestest;

namespace {

constexpr std::uint64_t kDiskBytes = 16 << 20;
constexpr std::uint64_t kLastSector = kDiskBytes / 512 - 1;
const char* const kMbr =
    "label: dos\\nstart=2048,size=4096,type=83\\nstart=6144,size=2048,type=82\\n"
    "start=8192,size=16384,type=5\\nstart=10240,size=2048,type=83\\nstart=14336,size=4096,type=7\\n";
const char* const kGpt = "label: gpt\\nstart=2048,size=4096,name=boot\\nstart=8192,size=8192,name=data\\n";
const char* const kLinux = "0FC63DAF-8483-4772-8E79-3D69D8477DE4";

void Put32(Bytes& b, std::uint64_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}
std::uint32_t Crc32(const unsigned char* p, std::size_t n) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return ~c;
}
// Rewrites the checksums of the GPT header at `lba` and of its 128 entries of 128 bytes at `entries`.
void FixGptChecksums(Bytes& b, std::uint64_t lba, std::uint64_t entries) {
    if (entries * 512 + 128 * 128 <= b.size()) Put32(b, lba * 512 + 88, Crc32(&b[entries * 512], 128 * 128));
    Put32(b, lba * 512 + 16, 0);
    Put32(b, lba * 512 + 16, Crc32(&b[lba * 512], 92));
}
// The sector of the second extended boot record: the next one after the extended partition's start with a signature.
std::uint64_t SecondEbr(const Bytes& b) {
    for (std::uint64_t s = 8193; s < 24576; ++s)
        if (b[s * 512 + 510] == 0x55 && b[s * 512 + 511] == 0xAA) return s;
    return 0;
}

std::string Layout(const PartitionTable& t) {
    std::string text = t.scheme;
    for (const Partition& p : t.partitions)
        text += " " + std::to_string(p.number) + ":" + std::to_string(p.start / 512) + "+" +
                std::to_string(p.length / 512) + ":" + p.type + (p.name.empty() ? "" : ":" + p.name);
    return text;
}

class PartitionsTest : public ::testing::Test {
protected:
    testsupport::TempDir dir;
    const Bytes mbr = Partitioned(kMbr, kDiskBytes, dir.path());
    const Bytes gpt = Partitioned(kGpt, kDiskBytes, dir.path());
};

TEST_F(PartitionsTest, TablesReadAsWrittenAndDamageIsNamedOrGotRoundWithTheBackup) {
    const std::string gptLayout =
        std::string("gpt 1:2048+4096:") + kLinux + ":boot 2:8192+8192:" + kLinux + ":data";
    struct Row {
        const char* what;
        const Bytes* image;
        std::function<void(Bytes&)> damage;
        std::string layout;  // empty when refused
        std::string message;  // in the error, or in the notes
    };
    const std::vector<Row> rows = {
        {"mbr with logical partitions", &mbr, [](Bytes&) {},
         "mbr 1:2048+4096:0x83 2:6144+2048:0x82 5:10240+2048:0x83 6:14336+4096:0x07", ""},
        {"gpt", &gpt, [](Bytes&) {}, gptLayout, ""},
        {"no table", &mbr, [](Bytes& b) { std::fill(b.begin(), b.begin() + 512, 0); },
         "none 0:0+" + std::to_string(kDiskBytes / 512) + ":", ""},
        {"gpt primary header damaged", &gpt, [](Bytes& b) { b[512 + 24] ^= 1; }, gptLayout, "header checksum differs"},
        {"gpt primary entries damaged", &gpt, [](Bytes& b) { b[1024 + 40] ^= 1; }, gptLayout, "entry array checksum"},
        {"gpt both headers damaged", &gpt, [](Bytes& b) { b[512 + 24] ^= 1, b[kLastSector * 512 + 24] ^= 1; }, "",
         "backup header at sector " + std::to_string(kLastSector)},
        {"gpt entry beyond usable sectors", &gpt,
         [](Bytes& b) { Put32(b, 1024 + 40, 40000), FixGptChecksums(b, 1, 2); }, "", "GPT entry 1: sectors"},
        {"gpt entries overlap", &gpt, [](Bytes& b) { Put32(b, 1024 + 128 + 32, 6000), FixGptChecksums(b, 1, 2); }, "",
         "partitions 1 and 2 overlap"},
        {"gpt array over the usable sectors", &gpt, [](Bytes& b) { Put32(b, 512 + 80, 8191), FixGptChecksums(b, 1, 2); },
         gptLayout, "overlaps the header, the usable sectors"},
        {"mbr status byte", &mbr, [](Bytes& b) { b[446 + 16] = 0x12; }, "", "MBR entry 2: status 0x12"},
        {"mbr primaries overlap", &mbr, [](Bytes& b) { Put32(b, 446 + 16 + 8, 4000); }, "", "partitions 1 and 2 overlap"},
        {"mbr partition beyond the disk", &mbr, [](Bytes& b) { Put32(b, 446 + 12, 40000); }, "",
         "MBR entry 1: sectors 2048+40000 lie outside"},
        {"mbr two extended", &mbr, [](Bytes& b) { b[446 + 16 + 4] = 0x0F; }, "", "second extended"},
        {"logical partition outside the extended one", &mbr, [](Bytes& b) { Put32(b, 8192 * 512 + 446 + 12, 20000); },
         "", "logical partition 5: sectors"},
        {"extended records in a loop", &mbr,
         [](Bytes& b) { b[SecondEbr(b) * 512 + 446 + 16 + 4] = 5, Put32(b, SecondEbr(b) * 512 + 446 + 16 + 8, 0); }, "", "does not lie after this one"},
        {"extended record without signature", &mbr, [](Bytes& b) { b[SecondEbr(b) * 512 + 510] = 0; }, "",
         "has no boot signature"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Bytes image = *row.image;
        row.damage(image);
        const MemoryDisk disk(image);
        std::string layout, message;
        try {
            const PartitionTable table = ReadPartitions(disk);
            layout = Layout(table);
            for (const std::string& note : table.notes) message += note;
        } catch (const StoreError& e) {
            message = e.what();
        }
        EXPECT_EQ(layout, row.layout);
        EXPECT_NE(message.find(row.message), std::string::npos) << message;
        if (row.message.empty()) {
            EXPECT_EQ(message, "");
        }
        EXPECT_FALSE(disk.outside);
    }
}

// Thousands of tables mutated at random in the sectors that hold them (and, for
// GPT, half of them with their checksums made right again so the mutation reaches
// the field checks): each is read or refused, never read outside the disk, and
// what is read lies within the disk without overlaps.
TEST_F(PartitionsTest, MutatedTablesAreReadOrRefusedNeverReadOutside) {
    std::mt19937 random(20261207);
    for (const Bytes* original : {&mbr, &gpt}) {
        std::vector<std::uint64_t> tableSectors;
        for (std::uint64_t s = 0; s * 512 < original->size(); ++s)
            if (std::any_of(original->begin() + static_cast<long>(s * 512),
                            original->begin() + static_cast<long>(s * 512 + 512), [](unsigned char c) { return c; }))
                tableSectors.push_back(s);
        int read = 0, refused = 0;
        Bytes image = *original;
        for (int round = 0; round < 3000; ++round) {
            for (std::uint64_t s : tableSectors)
                std::copy_n(original->begin() + static_cast<long>(s * 512), 512, image.begin() + static_cast<long>(s * 512));
            for (int n = 1 + static_cast<int>(random() % 4); n > 0; --n) {
                const std::uint64_t at = tableSectors[random() % tableSectors.size()] * 512 + random() % 512;
                const unsigned char values[] = {0, 0xFF, 0x80, 0x7F, 1, static_cast<unsigned char>(random())};
                image[at] = values[random() % 6];
            }
            if (original == &gpt && round % 2) FixGptChecksums(image, 1, 2), FixGptChecksums(image, kLastSector, kLastSector - 32);
            const MemoryDisk disk(image);
            try {
                PartitionTable table = ReadPartitions(disk);
                ++read;
                std::sort(table.partitions.begin(), table.partitions.end(),
                          [](const Partition& a, const Partition& b) { return a.start < b.start; });
                for (std::size_t i = 0; i < table.partitions.size(); ++i) {
                    const Partition& p = table.partitions[i];
                    ASSERT_GT(p.length, 0u) << Layout(table);
                    ASSERT_LE(p.start + p.length, i + 1 < table.partitions.size() ? table.partitions[i + 1].start
                                                                                 : image.size())
                        << Layout(table);
                }
            } catch (const StoreError& e) {
                ++refused;
                ASSERT_EQ(std::string(e.what()).rfind("partition table: ", 0), 0u) << e.what();
            }
            ASSERT_FALSE(disk.outside) << round;
        }
        // Both outcomes happen, so the mutations reach past the first check.
        EXPECT_GT(read, 100);
        EXPECT_GT(refused, 100);
    }
}

}  // namespace
