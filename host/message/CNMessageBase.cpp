#include "host/message/CNMessageBase.h"

#include <algorithm>
#include <cstring>

#include "host/message/Crc32.h"

namespace {

void putU16(std::string& out, uint16_t v) {
    out.push_back(static_cast<char>(v & 0xFFu));
    out.push_back(static_cast<char>(v >> 8));
}

void putU32(std::string& out, uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<char>((v >> shift) & 0xFFu));
    }
}

// Sequential little-endian reads over a byte range; callers check remaining() first.
class ByteReader {
public:
    ByteReader(const char* begin, const char* end) : pos_(begin), end_(end) {}

    size_t remaining() const { return static_cast<size_t>(end_ - pos_); }

    uint16_t u16() { return static_cast<uint16_t>(take(2)); }
    uint32_t u32() { return take(4); }

    std::string bytes(size_t n) {
        std::string s(pos_, n);
        pos_ += n;
        return s;
    }

private:
    uint32_t take(int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i) {
            v |= static_cast<uint32_t>(static_cast<unsigned char>(pos_[i])) << (8 * i);
        }
        pos_ += n;
        return v;
    }

    const char* pos_;
    const char* end_;
};

// Reads the fields of a message body of known length into `out`.
int decodeFields(ByteReader& body, size_t count, CNMessageBase::FieldMap& out) {
    for (size_t i = 0; i < count; ++i) {
        if (body.remaining() < CNMessageBase::kFieldHeaderBytes) {
            return NMessageError::BadField;
        }
        MessageFieldKey key{};
        key.number = body.u32();
        key.tag = body.u32();
        key.schema = body.u32();
        key.id = body.u32();
        const uint32_t length = body.u32();
        if (length > CNMessageBase::kMaxFieldBytes) {
            return NMessageError::TooLarge;
        }
        if (length > body.remaining() || (!out.empty() && !(out.rbegin()->first < key))) {
            return NMessageError::BadField;
        }
        out.emplace_hint(out.end(), key, body.bytes(length));
    }
    return body.remaining() == 0 ? NMessageError::Ok : NMessageError::TrailingData;
}

}  // namespace

CNMessageBase::CNMessageBase(uint32_t family, uint32_t type) : family_(family), type_(type) {}

void CNMessageBase::setstring(uint32_t number, uint32_t tag, uint32_t schema, uint32_t id,
                              const std::string& value) {
    fields_[MessageFieldKey{number, tag, schema, id}] = value;
}

std::string CNMessageBase::getstring(uint32_t number, uint32_t tag, uint32_t schema, uint32_t id) const {
    const auto it = fields_.find(MessageFieldKey{number, tag, schema, id});
    return it == fields_.end() ? std::string() : it->second;
}

int CNMessageBase::serialize(std::string& out, bool append) const {
    if (fields_.size() > kMaxFields) {
        return NMessageError::TooManyFields;
    }
    size_t total = kHeaderBytes + kChecksumBytes;
    for (const auto& field : fields_) {
        if (field.second.size() > kMaxFieldBytes) {
            return NMessageError::TooLarge;
        }
        total += kFieldHeaderBytes + field.second.size();
    }
    if (total > kMaxMessageBytes) {
        return NMessageError::TooLarge;
    }

    std::string buf;
    buf.reserve(total);
    buf.append(kMagic, sizeof(kMagic));
    putU16(buf, kFormatVersion);
    putU16(buf, static_cast<uint16_t>(fields_.size()));
    putU32(buf, family_);
    putU32(buf, type_);
    putU32(buf, static_cast<uint32_t>(total));
    for (const auto& [key, value] : fields_) {
        putU32(buf, key.number);
        putU32(buf, key.tag);
        putU32(buf, key.schema);
        putU32(buf, key.id);
        putU32(buf, static_cast<uint32_t>(value.size()));
        buf += value;
    }
    putU32(buf, Crc32(buf.data(), buf.size()));

    if (append) {
        out += buf;
    } else {
        out.swap(buf);
    }
    return NMessageError::Ok;
}

int CNMessageBase::unserialize(const std::string& in) {
    FieldMap parsed;
    const int rc = decode(in, parsed);
    if (rc == NMessageError::Ok) {
        fields_.swap(parsed);
    }
    return rc;
}

int CNMessageBase::decode(const std::string& in, FieldMap& out) const {
    if (std::memcmp(in.data(), kMagic, std::min(in.size(), sizeof(kMagic))) != 0) {
        return NMessageError::BadMagic;
    }
    if (in.size() < kHeaderBytes + kChecksumBytes) {
        return NMessageError::Truncated;
    }
    ByteReader header(in.data() + sizeof(kMagic), in.data() + kHeaderBytes);
    if (header.u16() != kFormatVersion) {
        return NMessageError::UnknownVersion;
    }
    const size_t count = header.u16();
    const uint32_t family = header.u32();
    const uint32_t type = header.u32();
    const size_t total = header.u32();
    if (total > kMaxMessageBytes) {
        return NMessageError::TooLarge;
    }
    if (total != in.size()) {
        return total > in.size() ? NMessageError::Truncated : NMessageError::TrailingData;
    }
    const size_t bodyEnd = total - kChecksumBytes;
    ByteReader trailer(in.data() + bodyEnd, in.data() + total);
    if (trailer.u32() != Crc32(in.data(), bodyEnd)) {
        return NMessageError::BadChecksum;
    }
    if (family != family_ || type != type_) {
        return NMessageError::WrongMessage;
    }
    if (count > kMaxFields) {
        return NMessageError::TooManyFields;
    }
    ByteReader body(in.data() + kHeaderBytes, in.data() + bodyEnd);
    return decodeFields(body, count, out);
}
