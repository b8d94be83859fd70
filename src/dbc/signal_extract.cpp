// Signal extraction on top of the shared bit-field reader.
#include "dbc/signal_extract.h"

#include <bit>

uint16_t normalise_start_bit(uint16_t start, int32_t byte_order) {
  if (byte_order == BYTE_ORDER_LITTLE) return start;
  // (start & 0xFFF8) + 7 - (start & 7) never leaves 0..65535.
  return static_cast<uint16_t>((start & 0xFFF8u) + 7u - (start & 7u));
}

bool extract_signal_raw(const uint8_t* bytes, uint64_t byte_count, const SignalLayout* layout,
                        double* raw) {
  uint32_t length = layout->length;
  if (length == 0) return false;
  // Whole bytes needed; no multiplication, so any byte_count is safe.
  if (byte_count < (static_cast<uint64_t>(layout->start_bit) + length + 7) / 8) return false;
  uint64_t bits =
      extract_bits(bytes, byte_count, layout->start_bit, layout->length,
                   layout->byte_order == BYTE_ORDER_LITTLE ? BYTE_ORDER_LITTLE : BYTE_ORDER_BIG);
  if (layout->value_type == SIGNAL_FLOAT32) {
    *raw = std::bit_cast<float>(static_cast<uint32_t>(bits));
  } else if (layout->value_type == SIGNAL_FLOAT64) {
    *raw = std::bit_cast<double>(bits);
  } else if (layout->is_unsigned) {
    *raw = static_cast<double>(bits);
  } else {
    if (length < 64) {
      uint64_t sign = uint64_t{1} << (length - 1);
      bits = (bits ^ sign) - sign;  // two's complement sign extension without a signed shift
    }
    *raw = static_cast<double>(static_cast<int64_t>(bits));
  }
  return true;
}

bool extract_signal_value(const uint8_t* bytes, uint64_t byte_count, const SignalLayout* layout,
                          double* value) {
  double raw;
  if (!extract_signal_raw(bytes, byte_count, layout, &raw)) return false;
  *value = raw * layout->factor + layout->offset;
  return true;
}
