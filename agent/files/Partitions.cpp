#include "agent/files/Partitions.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <optional>

#include "agent/store/StoreError.h"

namespace vsagent {
namespace {

constexpr std::uint64_t kSector = 512;
constexpr int kMaxLogical = 128;
constexpr std::uint64_t kMaxGptArrayBytes = 1 << 20;
using Sector = std::array<unsigned char, kSector>;

[[noreturn]] void Bad(const std::string& what) { throw StoreError("partition table: " + what); }

std::uint16_t Le16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t Le32(const unsigned char* p) { return Le16(p) | static_cast<std::uint32_t>(Le16(p + 2)) << 16; }
std::uint64_t Le64(const unsigned char* p) { return Le32(p) | static_cast<std::uint64_t>(Le32(p + 4)) << 32; }

std::string Hex(unsigned value, int digits) {
    char text[20];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

std::uint32_t Crc32(const unsigned char* data, std::size_t length) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < length; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

Sector ReadSector(const ByteSource& disk, std::uint64_t lba) {
    Sector s{};
    disk.read(lba * kSector, kSector, s.data());
    return s;
}

bool HasBootSignature(const Sector& s) { return s[510] == 0x55 && s[511] == 0xAA; }

// Sectors [first, first + count) must be some and lie within [low, high).
void CheckRange(const std::string& field, std::uint64_t first, std::uint64_t count, std::uint64_t low,
                std::uint64_t high) {
    if (count == 0) Bad(field + " has no sectors");
    if (first < low || first >= high || count > high - first)
        Bad(field + ": sectors " + std::to_string(first) + "+" + std::to_string(count) + " lie outside sectors " +
            std::to_string(low) + "-" + std::to_string(high - 1));
}

void CheckDisjoint(std::vector<Partition> parts) {
    std::sort(parts.begin(), parts.end(), [](const Partition& a, const Partition& b) { return a.start < b.start; });
    for (std::size_t i = 1; i < parts.size(); ++i)
        if (parts[i - 1].start + parts[i - 1].length > parts[i].start)
            Bad("partitions " + std::to_string(parts[i - 1].number) + " and " + std::to_string(parts[i].number) +
                " overlap");
}

struct MbrEntry {
    unsigned status, type;
    std::uint64_t first, count;
};

MbrEntry EntryAt(const Sector& s, int index) {
    const unsigned char* p = s.data() + 446 + 16 * index;
    return {p[0], p[4], Le32(p + 8), Le32(p + 12)};
}

bool IsExtended(unsigned type) { return type == 0x05 || type == 0x0F || type == 0x85; }

Partition MakePartition(int number, std::uint64_t first, std::uint64_t count, std::string type) {
    return {number, first * kSector, count * kSector, std::move(type), ""};
}

// The logical partitions of the extended partition at sectors [first, end): a
// chain of boot records, each after the one before, so a loop cannot be followed.
std::vector<Partition> ReadLogical(const ByteSource& disk, std::uint64_t first, std::uint64_t end) {
    std::vector<Partition> logical;
    for (std::uint64_t ebr = first;;) {
        const std::string field = "extended boot record at sector " + std::to_string(ebr);
        if (logical.size() >= kMaxLogical) Bad("more than " + std::to_string(kMaxLogical) + " logical partitions");
        const Sector s = ReadSector(disk, ebr);
        if (!HasBootSignature(s)) Bad(field + " has no boot signature");
        const MbrEntry part = EntryAt(s, 0);
        const MbrEntry next = EntryAt(s, 1);
        std::uint64_t partEnd = ebr + 1;
        if (part.type != 0) {
            const int number = 5 + static_cast<int>(logical.size());
            CheckRange(field + ": logical partition " + std::to_string(number), ebr + part.first, part.count, ebr + 1,
                       end);
            logical.push_back(MakePartition(number, ebr + part.first, part.count, "0x" + Hex(part.type, 2)));
            partEnd = ebr + part.first + part.count;
        }
        if (next.type == 0) return logical;
        if (!IsExtended(next.type)) Bad(field + ": its link has type 0x" + Hex(next.type, 2) + ", not an extended one");
        const std::uint64_t nextEbr = first + next.first;
        if (nextEbr < partEnd)
            Bad(field + ": the next record at sector " + std::to_string(nextEbr) + " does not lie after this one");
        CheckRange(field + ": next record", nextEbr, 1, first, end);
        ebr = nextEbr;
    }
}

PartitionTable ReadMbr(const ByteSource& disk, const Sector& s0, std::uint64_t sectors) {
    PartitionTable table{"mbr", {}, {}};
    std::vector<Partition> primary;
    std::optional<MbrEntry> extended;
    for (int i = 0; i < 4; ++i) {
        const MbrEntry e = EntryAt(s0, i);
        const std::string field = "MBR entry " + std::to_string(i + 1);
        if (e.status != 0 && e.status != 0x80)
            Bad(field + ": status 0x" + Hex(e.status, 2) + " is neither 0x00 nor 0x80");
        if (e.type == 0) continue;
        CheckRange(field, e.first, e.count, 1, sectors);
        if (IsExtended(e.type)) {
            if (extended) Bad(field + " is a second extended partition");
            extended = e;
        }
        primary.push_back(MakePartition(i + 1, e.first, e.count, "0x" + Hex(e.type, 2)));
    }
    CheckDisjoint(primary);
    for (const Partition& p : primary)
        if (!extended || p.start != extended->first * kSector) table.partitions.push_back(p);
    if (extended) {
        std::vector<Partition> logical = ReadLogical(disk, extended->first, extended->first + extended->count);
        table.partitions.insert(table.partitions.end(), logical.begin(), logical.end());
    }
    return table;
}

std::string GuidText(const unsigned char* p) {
    std::string text = Hex(Le32(p), 8) + "-" + Hex(Le16(p + 4), 4) + "-" + Hex(Le16(p + 6), 4) + "-";
    for (int i = 8; i < 16; ++i) text += (i == 10 ? "-" : "") + Hex(p[i], 2);
    return text;
}

struct GptHeader {
    std::uint64_t firstUsable = 0, lastUsable = 0;
    std::uint32_t count = 0, entrySize = 0;
    std::vector<unsigned char> entries;
};

// The GPT header at `lba` and its entry array, checked; none with `why` set when unsound.
std::optional<GptHeader> ReadGptHeader(const ByteSource& disk, std::uint64_t lba, std::uint64_t sectors,
                                       std::string& why) {
    const Sector s = ReadSector(disk, lba);
    if (std::memcmp(s.data(), "EFI PART", 8) != 0) return why = "no GPT signature", std::nullopt;
    const std::uint32_t headerSize = Le32(s.data() + 12);
    if (headerSize < 92 || headerSize > kSector)
        return why = "header size " + std::to_string(headerSize) + " is not 92-512", std::nullopt;
    Sector copy = s;
    std::memset(copy.data() + 16, 0, 4);
    if (Crc32(copy.data(), headerSize) != Le32(s.data() + 16)) return why = "header checksum differs", std::nullopt;
    if (Le64(s.data() + 24) != lba) return why = "header names itself at sector " + std::to_string(Le64(s.data() + 24)), std::nullopt;
    GptHeader h;
    h.firstUsable = Le64(s.data() + 40);
    h.lastUsable = Le64(s.data() + 48);
    const std::uint64_t entriesLba = Le64(s.data() + 72);
    h.count = Le32(s.data() + 80);
    h.entrySize = Le32(s.data() + 84);
    if (h.firstUsable < 2 || h.firstUsable > h.lastUsable || h.lastUsable >= sectors - 1)
        return why = "usable sectors " + std::to_string(h.firstUsable) + "-" + std::to_string(h.lastUsable) +
                     " do not fit the disk", std::nullopt;
    if (h.entrySize < 128 || h.entrySize % 128 != 0 || std::uint64_t{h.count} * h.entrySize > kMaxGptArrayBytes)
        return why = std::to_string(h.count) + " entries of " + std::to_string(h.entrySize) +
                     " bytes are not a sound entry array", std::nullopt;
    const std::uint64_t arraySectors = (std::uint64_t{h.count} * h.entrySize + kSector - 1) / kSector;
    const std::uint64_t arrayEnd = entriesLba + arraySectors;
    if (entriesLba < 2 || entriesLba >= sectors || arraySectors > sectors - entriesLba ||
        (lba >= entriesLba && lba < arrayEnd) || !(arrayEnd <= h.firstUsable || entriesLba > h.lastUsable))
        return why = "entry array at sector " + std::to_string(entriesLba) + " overlaps the header, the usable "
                     "sectors or the end of the disk", std::nullopt;
    h.entries.resize(std::uint64_t{h.count} * h.entrySize);
    if (!h.entries.empty()) disk.read(entriesLba * kSector, h.entries.size(), h.entries.data());
    if (Crc32(h.entries.data(), h.entries.size()) != Le32(s.data() + 88))
        return why = "entry array checksum differs", std::nullopt;
    return h;
}

PartitionTable ReadGpt(const ByteSource& disk, std::uint64_t sectors) {
    PartitionTable table{"gpt", {}, {}};
    std::string whyPrimary, whyBackup;
    std::optional<GptHeader> h = ReadGptHeader(disk, 1, sectors, whyPrimary);
    if (!h) {
        h = ReadGptHeader(disk, sectors - 1, sectors, whyBackup);
        if (!h)
            Bad("GPT header at sector 1: " + whyPrimary + "; backup header at sector " + std::to_string(sectors - 1) +
                ": " + whyBackup);
        table.notes.push_back("the primary GPT header is damaged (" + whyPrimary + "); the backup header was read");
    }
    static const unsigned char kUnused[16] = {};
    for (std::uint32_t i = 0; i < h->count; ++i) {
        const unsigned char* p = h->entries.data() + std::uint64_t{i} * h->entrySize;
        if (std::memcmp(p, kUnused, 16) == 0) continue;
        const std::uint64_t first = Le64(p + 32), last = Le64(p + 40);
        const std::string field = "GPT entry " + std::to_string(i + 1);
        if (last < first) Bad(field + ": last sector " + std::to_string(last) + " lies before its first");
        CheckRange(field, first, last - first + 1, h->firstUsable, h->lastUsable + 1);
        Partition part = MakePartition(static_cast<int>(i + 1), first, last - first + 1, GuidText(p));
        for (int c = 0; c < 36 && Le16(p + 56 + 2 * c) != 0; ++c) {
            const std::uint16_t unit = Le16(p + 56 + 2 * c);
            part.name += unit >= 0x20 && unit < 0x7F ? static_cast<char>(unit) : '?';
        }
        table.partitions.push_back(part);
    }
    CheckDisjoint(table.partitions);
    return table;
}

// A boot sector of a file system written on the whole disk also ends in the boot signature.
bool IsFileSystemBootSector(const Sector& s) {
    return std::memcmp(s.data() + 3, "NTFS    ", 8) == 0 || std::memcmp(s.data() + 3, "EXFAT   ", 8) == 0 ||
           std::memcmp(s.data() + 54, "FAT", 3) == 0 || std::memcmp(s.data() + 82, "FAT32", 5) == 0;
}

}  // namespace

PartitionTable ReadPartitions(const ByteSource& disk) {
    const std::uint64_t sectors = disk.size() / kSector;
    const PartitionTable whole{"none", {{0, 0, disk.size(), "", ""}}, {}};
    if (sectors < 3) return whole;
    const Sector s0 = ReadSector(disk, 0);
    bool protective = false;
    for (int i = 0; i < 4 && HasBootSignature(s0); ++i) protective = protective || EntryAt(s0, i).type == 0xEE;
    if (protective) return ReadGpt(disk, sectors);
    if (!HasBootSignature(s0)) {
        const Sector s1 = ReadSector(disk, 1);
        if (std::memcmp(s1.data(), "EFI PART", 8) != 0) return whole;
        PartitionTable table = ReadGpt(disk, sectors);
        table.notes.insert(table.notes.begin(), "the protective MBR is missing");
        return table;
    }
    if (IsFileSystemBootSector(s0)) return whole;
    return ReadMbr(disk, s0, sectors);
}

SliceSource::SliceSource(const ByteSource& whole, std::uint64_t start, std::uint64_t length)
    : whole_(whole), start_(start), length_(length) {
    if (start > whole.size() || length > whole.size() - start)
        throw StoreError("bytes " + std::to_string(start) + "+" + std::to_string(length) + " lie beyond the " +
                         std::to_string(whole.size()) + " bytes of the disk");
}

void SliceSource::read(std::uint64_t offset, std::size_t length, unsigned char* out) const {
    if (offset > length_ || length > length_ - offset)
        throw StoreError("read of " + std::to_string(length) + " bytes at " + std::to_string(offset) +
                         " lies beyond the partition of " + std::to_string(length_) + " bytes");
    whole_.read(start_ + offset, length, out);
}

}  // namespace vsagent
