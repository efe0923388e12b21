// The partitions of a disk: an MBR table (primary, and logical ones in an
// extended partition) or a GUID partition table (its primary header, or the
// backup one at the end of the disk when the primary is damaged). A disk with
// neither holds one file system written straight on it, shown as partition 0
// spanning the disk. Every value read from the disk is checked before it is
// used, so a damaged or hostile table is an error naming the field, never a
// read outside the disk. Sectors are 512 bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "agent/files/ByteSource.h"

namespace vsagent {

struct Partition {
    int number = 0;            // 1-4 primary and 5... logical (MBR), 1... by entry (GPT), 0 the whole disk
    std::uint64_t start = 0;   // bytes from the start of the disk
    std::uint64_t length = 0;  // bytes
    std::string type;          // "0x83" (MBR), the type GUID (GPT), "" for the whole disk
    std::string name;          // GPT partition name (ASCII; other characters as '?')
};

struct PartitionTable {
    std::string scheme;                 // "mbr", "gpt" or "none"
    std::vector<Partition> partitions;  // by number
    std::vector<std::string> notes;     // what was odd but did not stop the reading (a damaged primary GPT header)
};

// Reads the partition table of `disk`; throws StoreError naming the field that
// is out of bounds, overlaps, or fails its checksum.
PartitionTable ReadPartitions(const ByteSource& disk);

// `length` bytes of `whole` from `start`, as a source of its own.
class SliceSource : public ByteSource {
public:
    // Throws StoreError when the range does not lie within `whole`.
    SliceSource(const ByteSource& whole, std::uint64_t start, std::uint64_t length);
    std::uint64_t size() const override { return length_; }
    void read(std::uint64_t offset, std::size_t length, unsigned char* out) const override;

private:
    const ByteSource& whole_;
    std::uint64_t start_;
    std::uint64_t length_;
};

}  // namespace vsagent
