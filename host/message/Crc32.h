// CRC-32 (the common reflected form, polynomial 0xEDB88320, initial value and
// final xor 0xFFFFFFFF) used to seal serialised messages.
#pragma once

#include <cstddef>
#include <cstdint>

uint32_t Crc32(const void* data, size_t size);
