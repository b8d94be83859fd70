// Bit-field reading from byte buffers, shared by the record reader and the signal decoder.
//
// Little-endian bit k is bit (k mod 8) of byte k / 8 (bit 0 the least significant).
// Sequential bit k is bit (7 - k mod 8) of byte k / 8: it counts from the most significant
// bit of byte 0 through the bytes in order.
#pragma once

#include <cstdint>

constexpr int32_t BYTE_ORDER_BIG = 0;
constexpr int32_t BYTE_ORDER_LITTLE = 1;

// The raw value of the `count` bits from bit `offset`. Byte order 1 reads the little-endian
// field (bit offset is the least significant); any other value reads the sequential field
// (first bit the most significant). Fields longer than 64 bits keep their 64 least
// significant bits. Returns 0 when the field needs more than byte_count bytes.
uint64_t extract_bits(const uint8_t* bytes, uint64_t byte_count, uint16_t offset, uint8_t count,
                      int32_t byte_order);
