#include "host/message/VMReferencePointInfo.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/message/Crc32.h"

using VirtualServer::VMReferencePointInfo;
namespace E = NMessageError;

namespace {

void setRef(CNMessageBase& m, const std::string& changeId, const std::string& snapshotId) {
    m.setstring(1, 1, 0x1aeef26a, 0xe4072f, changeId);
    m.setstring(3, 9, 0x1aeef26a, 0x2e1faf, snapshotId);
}

std::string encode(const CNMessageBase& m) {
    std::string out;
    EXPECT_EQ(E::Ok, m.serialize(out, false));
    return out;
}

void putU32At(std::string& s, size_t offset, uint32_t v) {
    for (int i = 0; i < 4; ++i) s[offset + i] = static_cast<char>(v >> (8 * i));
}

// Recomputes the trailing checksum so that a mutation reaches the field parser.
void reseal(std::string& s) {
    if (s.size() >= 4) putU32At(s, s.size() - 4, Crc32(s.data(), s.size() - 4));
}

VMReferencePointInfo prefilled() {
    VMReferencePointInfo m;
    setRef(m, "old-change", "old-snapshot");
    return m;
}

}  // namespace

TEST(VMReferencePointInfo, RoundTripsEveryValueUpToTheLimitAndRefusesOversizedMessages) {
    std::string longValue(CNMessageBase::kMaxFieldBytes, '\0');
    for (size_t i = 0; i < longValue.size(); ++i) longValue[i] = static_cast<char>(i * 31);
    for (const std::string& value : {std::string(), std::string("1f0c6b2e-aa41-4c0e-9d7e-2b8f3a1c5d90"),
                                     std::string("a\0b\xff\x80\xc3\xa9", 7), longValue}) {
        VMReferencePointInfo written;
        setRef(written, value, std::string(value.rbegin(), value.rend()));
        VMReferencePointInfo read;
        ASSERT_EQ(E::Ok, read.unserialize(encode(written)));
        EXPECT_EQ(value, read.getstring(1, 1, 0x1aeef26a, 0xe4072f));
        EXPECT_EQ(written.fields(), read.fields());
    }
    VMReferencePointInfo m = prefilled();
    std::string out = "prefix";
    ASSERT_EQ(E::Ok, m.serialize(out, true));
    EXPECT_EQ("prefix" + encode(m), out);

    // Oversized messages are refused and leave the output as it was.
    out = "keep";
    VMReferencePointInfo big;
    setRef(big, std::string(CNMessageBase::kMaxFieldBytes + 1, 'x'), "s");
    EXPECT_EQ(E::TooLarge, big.serialize(out, false));
    CNMessageBase many(26, 80);
    for (uint32_t i = 0; i < 5; ++i) many.setstring(i, 0, 0, 0, std::string(CNMessageBase::kMaxFieldBytes, 'y'));
    EXPECT_EQ(E::TooLarge, many.serialize(out, false));
    for (uint32_t i = 0; i <= CNMessageBase::kMaxFields; ++i) many.setstring(i, 0, 0, 0, "z");
    EXPECT_EQ(E::TooManyFields, many.serialize(out, true));
    EXPECT_EQ("keep", out);
}

// Every rejection leaves the fields of the message read into as they were.
TEST(VMReferencePointInfo, RejectsTruncatedForeignAndCorruptInput) {
    VMReferencePointInfo written;
    setRef(written, "change-1", "snap-2");  // equal value lengths, so the two field records can be swapped
    const std::string wire = encode(written);
    const size_t second = CNMessageBase::kHeaderBytes + CNMessageBase::kFieldHeaderBytes + 8;
    auto edited = [&](auto edit, bool sealed) {
        std::string s = wire;
        edit(s);
        if (sealed) reseal(s);
        return s;
    };
    CNMessageBase otherType(26, 81), otherFamily(27, 80);
    setRef(otherType, "c", "s");
    std::vector<std::pair<std::string, int>> cases = {
        {"S1", E::BadMagic},
        {edited([](std::string& s) { s[0] = 'X'; }, true), E::BadMagic},
        {edited([](std::string& s) { s[4] = 2; }, true), E::UnknownVersion},
        {encode(otherType), E::WrongMessage},
        {encode(otherFamily), E::WrongMessage},
        {wire + "x", E::TrailingData},
        {edited([](std::string& s) { s[30] ^= 1; }, false), E::BadChecksum},
        {edited([](std::string& s) { putU32At(s, 16, 0xFFFFFFFFu); }, true), E::TooLarge},
        {edited([](std::string& s) { putU32At(s, 36, 0xFFFFFFFFu); }, true), E::TooLarge},
        {edited([](std::string& s) { putU32At(s, 36, 1000); }, true), E::BadField},
        {edited([&](std::string& s) { putU32At(s, second + 16, 7); }, true), E::BadField},
        {edited([](std::string& s) { s[6] = 1; }, true), E::TrailingData},
        {edited([](std::string& s) { s[6] = 3; }, true), E::BadField},
        {edited([](std::string& s) { s[6] = 65; }, true), E::TooManyFields},
        {edited([&](std::string& s) { s.replace(second, 16, wire, 20, 16); }, true), E::BadField},
        {edited([&](std::string& s) {
             s.replace(second, 16, wire, 20, 16);
             s.replace(20, 16, wire, second, 16);
         }, true), E::BadField},
    };
    for (size_t n = 0; n < wire.size(); ++n) cases.emplace_back(wire.substr(0, n), E::Truncated);
    // Shorter than header and checksum, though the length word states the true size.
    for (uint32_t size : {CNMessageBase::kHeaderBytes + 2, CNMessageBase::kHeaderBytes + 3}) {
        std::string shortMessage = wire.substr(0, size);
        putU32At(shortMessage, 16, size);
        cases.emplace_back(shortMessage, E::Truncated);
    }
    VMReferencePointInfo target = prefilled();
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(cases[i].second, target.unserialize(cases[i].first)) << "case " << i << " of " << cases[i].first.size();
    EXPECT_EQ(prefilled().fields(), target.fields());
}
