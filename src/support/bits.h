// Bit-field reading from byte buffers, shared by the record reader and the signal decoder.
//
// Little-endian bit k is bit (k mod 8) of byte k / 8 (bit 0 the least significant).
// Sequential bit k is bit (7 - k mod 8) of byte k / 8: it counts from the most significant
// bit of byte 0 through the bytes in order.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

constexpr int32_t BYTE_ORDER_BIG = 0;
constexpr int32_t BYTE_ORDER_LITTLE = 1;

// The raw value of the `count` bits from bit `offset`. Byte order 1 reads the little-endian
// field (bit offset is the least significant); any other value reads the sequential field
// (first bit the most significant). Fields longer than 64 bits keep their 64 least
// significant bits. Returns 0 when the field needs more than byte_count bytes.
uint64_t extract_bits_general(const uint8_t* bytes, uint64_t byte_count, uint16_t offset,
                              uint8_t count, int32_t byte_order);

// Runs once per record channel and per signal: a field that lies in an eight-byte window of a
// buffer of eight bytes or more is read inline with one load (the window that starts at the
// field, or for a field near the end, the last eight bytes); everything else goes to
// extract_bits_general.
inline uint64_t extract_bits(const uint8_t* bytes, uint64_t byte_count, uint16_t offset,
                             uint8_t count, int32_t byte_order) {
  uint32_t first_byte = offset / 8u;
  uint32_t shift = offset % 8u;
  if (std::endian::native == std::endian::little && count != 0 && byte_count >= 8) {
    // The window's first byte, and the field's first bit within the window.
    uint64_t window = first_byte <= byte_count - 8 ? first_byte : byte_count - 8;
    uint64_t start = (first_byte - window) * 8 + shift;
    if (start + count <= 64) {
      uint64_t word;
      memcpy(&word, bytes + window, sizeof word);
      uint64_t mask = count >= 64 ? ~uint64_t{0} : (uint64_t{1} << count) - 1;
      if (byte_order == BYTE_ORDER_LITTLE) return (word >> start) & mask;
      return (__builtin_bswap64(word) >> (64 - start - count)) & mask;
    }
  }
  return extract_bits_general(bytes, byte_count, offset, count, byte_order);
}
