// Signal extraction: where a DBC signal sits in a frame's data bytes and how its raw bits
// become a physical value.
#pragma once

#include <cstdint>

#include "support/bits.h"

// The placement and scaling of one signal. The start bit is stored normalised: for
// little-endian signals it is the little-endian number of the least significant bit, for
// big-endian signals the sequential number of the most significant bit (see bits.h).
struct SignalLayout {
  int32_t byte_order;   // BYTE_ORDER_LITTLE (DBC "1") or BYTE_ORDER_BIG (DBC "0")
  int32_t is_unsigned;  // 1 unsigned; 0 two's complement of `length` bits
  uint16_t start_bit;
  uint8_t length;  // bits, 0-255
  double factor;
  double offset;
  double minimum;  // carried to the decoded value, not applied here
  double maximum;
};

// Renumbers a DBC start bit: big-endian DBC start bits name the most significant bit by its
// position inside its byte (7 the top bit), which becomes its sequential bit number.
// Little-endian start bits are returned unchanged.
uint16_t normalise_start_bit(uint16_t start, int32_t byte_order);

// The physical value raw * factor + offset of the signal in `bytes`. False (no value) for a
// zero-length signal or one that does not fit into byte_count bytes. Fields longer than 64
// bits keep their 64 least significant bits. A signed signal's raw bits are sign-extended
// from its length before scaling (for fields of 64 bits and more the kept bits are read as
// a 64-bit two's complement number).
bool extract_signal_value(const uint8_t* bytes, uint64_t byte_count, const SignalLayout* layout,
                          double* value);
