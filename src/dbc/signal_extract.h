// Signal extraction: where a DBC signal sits in a frame's data bytes and how its raw bits
// become a physical value.
#pragma once

#include <bit>
#include <cstdint>

#include "support/bits.h"

// The placement and scaling of one signal. The start bit is stored normalised: for
// little-endian signals it is the little-endian number of the least significant bit, for
// big-endian signals the sequential number of the most significant bit (see bits.h).
// How a signal's raw bits are read as a number.
enum SignalValueType : uint8_t {
  SIGNAL_INTEGER = 0,  // unsigned or two's complement, as is_unsigned says
  SIGNAL_FLOAT32 = 1,  // IEEE 754 single precision in the 32 bits of the field
  SIGNAL_FLOAT64 = 2,  // IEEE 754 double precision in the 64 bits of the field
};

struct SignalLayout {
  int32_t byte_order;   // BYTE_ORDER_LITTLE (DBC "1") or BYTE_ORDER_BIG (DBC "0")
  int32_t is_unsigned;  // 1 unsigned; 0 two's complement of `length` bits (integers only)
  uint16_t start_bit;
  uint8_t length;  // bits, 0-255
  double factor;
  double offset;
  double minimum;  // carried to the decoded value, not applied here
  double maximum;
  uint8_t value_type = SIGNAL_INTEGER;  // SignalValueType; a float's length is 32 or 64
};

// Renumbers a DBC start bit: big-endian DBC start bits name the most significant bit by its
// position inside its byte (7 the top bit), which becomes its sequential bit number.
// Little-endian start bits are returned unchanged.
uint16_t normalise_start_bit(uint16_t start, int32_t byte_order);

// The raw number of the signal in `bytes`: the field's integer (sign-extended as below) or
// its IEEE 754 value, before scaling. False as extract_signal_value. Inline: it runs once per
// signal of every decoded frame.
inline bool extract_signal_raw(const uint8_t* bytes, uint64_t byte_count,
                               const SignalLayout* layout, double* raw) {
  uint32_t length = layout->length;
  // Whole bytes needed; no multiplication, so any byte_count is safe.
  if (length == 0 || byte_count < (static_cast<uint64_t>(layout->start_bit) + length + 7) / 8)
    return false;
  uint64_t bits =
      extract_bits(bytes, byte_count, layout->start_bit, layout->length,
                   layout->byte_order == BYTE_ORDER_LITTLE ? BYTE_ORDER_LITTLE : BYTE_ORDER_BIG);
  if (layout->value_type == SIGNAL_INTEGER) [[likely]] {
    if (layout->is_unsigned) {
      *raw = static_cast<double>(bits);
      return true;
    }
    if (length < 64) {
      uint64_t sign = uint64_t{1} << (length - 1);
      bits = (bits ^ sign) - sign;  // two's complement sign extension without a signed shift
    }
    *raw = static_cast<double>(static_cast<int64_t>(bits));
  } else if (layout->value_type == SIGNAL_FLOAT32) {
    *raw = std::bit_cast<float>(static_cast<uint32_t>(bits));
  } else {
    *raw = std::bit_cast<double>(bits);
  }
  return true;
}

// The physical value raw * factor + offset of the signal in `bytes`. False (no value) for a
// zero-length signal or one that does not fit into byte_count bytes. Fields longer than 64
// bits keep their 64 least significant bits. A signed signal's raw bits are sign-extended
// from its length before scaling (for fields of 64 bits and more the kept bits are read as
// a 64-bit two's complement number).
bool extract_signal_value(const uint8_t* bytes, uint64_t byte_count, const SignalLayout* layout,
                          double* value);
