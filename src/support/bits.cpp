// Bit-field reading with one 64-bit load for the common short fields.
#include "support/bits.h"

namespace {

uint64_t load_le64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

uint64_t load_be64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
  return v;
}

// The bytes from p on, at most 8 and only the `available` ones, as one little-endian number;
// missing high bytes read as zero.
uint64_t load_le(const uint8_t* p, uint64_t available) {
  if (available >= 8) return load_le64(p);
  uint64_t v = 0;
  for (uint64_t i = available; i-- > 0;) v = (v << 8) | p[i];
  return v;
}

// As load_le, big-endian: missing low bytes read as zero.
uint64_t load_be(const uint8_t* p, uint64_t available) {
  if (available >= 8) return load_be64(p);
  uint64_t v = 0;
  for (uint64_t i = 0; i < 8; ++i) v = (v << 8) | (i < available ? p[i] : 0);
  return v;
}

uint64_t low_mask(uint32_t bits) { return bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1; }

}  // namespace

uint64_t extract_bits_general(const uint8_t* bytes, uint64_t byte_count, uint16_t offset,
                              uint8_t count, int32_t byte_order) {
  uint32_t end = static_cast<uint32_t>(offset) + count;
  if (byte_count < (end + 7) / 8) return 0;
  if (count == 0) return 0;
  uint32_t first_byte = offset / 8;
  uint32_t shift = offset % 8;
  // The field ends inside the buffer (checked above), so a window that fits in 64 bits needs
  // only the bytes up to the buffer's end: fields in the last 7 bytes take the fast path too.
  uint64_t available = byte_count - first_byte;
  if (byte_order == 1) {
    if (shift + count <= 64)
      return (load_le(bytes + first_byte, available) >> shift) & low_mask(count);
    if (count <= 64) {
      // Nine bytes hold the field; all of them are in the buffer.
      uint64_t low = load_le64(bytes + first_byte) >> shift;
      uint64_t high = static_cast<uint64_t>(bytes[first_byte + 8]) << (64 - shift);
      return (low | high) & low_mask(count);
    }
    // Only the 64 lowest bits of the field can contribute.
    uint32_t bits = count > 64 ? 64 : count;
    uint64_t raw = 0;
    for (uint32_t i = bits; i-- > 0;) {
      uint32_t k = offset + i;
      raw = (raw << 1) | ((bytes[k / 8] >> (k % 8)) & 1u);
    }
    return raw;
  }
  if (shift + count <= 64)
    return (load_be(bytes + first_byte, available) >> (64 - shift - count)) & low_mask(count);
  // The first bit is the most significant; shifting left keeps the last 64 bits.
  uint64_t raw = 0;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t k = offset + i;
    raw = (raw << 1) | ((bytes[k / 8] >> (7 - k % 8)) & 1u);
  }
  return raw;
}
