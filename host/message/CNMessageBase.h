// Base of the host's typed messages: a set of string fields under a message
// family and type, with a compact, versioned and checksummed byte encoding.
//
// A field is addressed by four numbers: its field number, its tag, the schema
// id of the message definition and its field id. All four name the field
// together; a lookup that differs in any of them addresses another field.
//
// Wire format, version 1 (integers unsigned little-endian):
//
//   offset  size  content
//   0       4     magic "NMSG"
//   4       2     format version (1)
//   6       2     field count (at most kMaxFields)
//   8       4     message family
//   12      4     message type
//   16      4     total length of the message in bytes, checksum included
//   20            the fields, each:
//                   4 field number, 4 tag, 4 schema id, 4 field id,
//                   4 value length (at most kMaxFieldBytes), value bytes
//                 in strictly ascending order of (number, tag, schema, id)
//   total-4 4     CRC-32 (host/message/Crc32.h) of every byte before it
//
// The whole message is at most kMaxMessageBytes. The encoding of a set of
// fields is unique, so a message that unserialises re-serialises to the same
// bytes. A reader accepts only version 1 and only its own family and type;
// a new layout gets a new version number.
//
// unserialize() either replaces all fields (result 0) or returns one of the
// NMessageError codes and leaves the object exactly as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>

namespace NMessageError {
enum : int {
    Ok = 0,
    Truncated = 0x101,       // shorter than its header or its stated length
    BadMagic = 0x102,        // not a message of this kind at all
    UnknownVersion = 0x103,  // a format version this reader does not know
    WrongMessage = 0x104,    // another message family or type
    TooLarge = 0x105,        // message or field above the size limits
    TooManyFields = 0x106,
    BadChecksum = 0x107,
    BadField = 0x108,        // a field overruns the message, or fields out of order / repeated
    TrailingData = 0x109,    // bytes after the stated length or after the last field
};
}

struct MessageFieldKey {
    uint32_t number;
    uint32_t tag;
    uint32_t schema;
    uint32_t id;

    bool operator<(const MessageFieldKey& other) const {
        return std::tie(number, tag, schema, id) < std::tie(other.number, other.tag, other.schema, other.id);
    }
    bool operator==(const MessageFieldKey& other) const {
        return !(*this < other) && !(other < *this);
    }
};

class CNMessageBase {
public:
    using FieldMap = std::map<MessageFieldKey, std::string>;

    static constexpr char kMagic[4] = {'N', 'M', 'S', 'G'};
    static constexpr uint16_t kFormatVersion = 1;
    static constexpr size_t kHeaderBytes = 20;
    static constexpr size_t kFieldHeaderBytes = 20;
    static constexpr size_t kChecksumBytes = 4;
    static constexpr size_t kMaxFields = 64;
    static constexpr size_t kMaxFieldBytes = 64 * 1024;
    static constexpr size_t kMaxMessageBytes = 256 * 1024;

    CNMessageBase(uint32_t family, uint32_t type);
    virtual ~CNMessageBase() = default;

    uint32_t family() const { return family_; }
    uint32_t type() const { return type_; }

    void setstring(uint32_t number, uint32_t tag, uint32_t schema, uint32_t id, const std::string& value);
    // The field's value; empty when the field is not set.
    std::string getstring(uint32_t number, uint32_t tag, uint32_t schema, uint32_t id) const;
    const FieldMap& fields() const { return fields_; }

    // Encodes the message into `out` (appended when `append`, else replacing
    // it). Returns 0, or TooLarge / TooManyFields with `out` untouched.
    int serialize(std::string& out, bool append) const;
    // Replaces the fields with those encoded in `in`; see the header comment.
    int unserialize(const std::string& in);

private:
    int decode(const std::string& in, FieldMap& out) const;

    uint32_t family_;
    uint32_t type_;
    FieldMap fields_;
};
