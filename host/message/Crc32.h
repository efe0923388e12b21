// CRC-32 (the IEEE 802.3 polynomial) that seals serialised messages.
#pragma once

#include <boost/crc.hpp>
#include <cstddef>
#include <cstdint>

inline std::uint32_t Crc32(const void* data, std::size_t size) {
    boost::crc_32_type crc;
    crc.process_bytes(data, size);
    return crc.checksum();
}
