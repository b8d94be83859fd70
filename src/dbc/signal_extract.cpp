// Signal extraction on top of the shared bit-field reader.
#include "dbc/signal_extract.h"

uint16_t normalise_start_bit(uint16_t start, int32_t byte_order) {
  if (byte_order == BYTE_ORDER_LITTLE) return start;
  // (start & 0xFFF8) + 7 - (start & 7) never leaves 0..65535.
  return static_cast<uint16_t>((start & 0xFFF8u) + 7u - (start & 7u));
}

bool extract_signal_value(const uint8_t* bytes, uint64_t byte_count, const SignalLayout* layout,
                          double* value) {
  uint32_t length = layout->length;
  if (length == 0) return false;
  // Whole bytes needed; no multiplication, so any byte_count is safe.
  if (byte_count < (static_cast<uint64_t>(layout->start_bit) + length + 7) / 8) return false;
  uint64_t raw =
      extract_bits(bytes, byte_count, layout->start_bit, layout->length,
                   layout->byte_order == BYTE_ORDER_LITTLE ? BYTE_ORDER_LITTLE : BYTE_ORDER_BIG);
  double number;
  if (layout->is_unsigned) {
    number = static_cast<double>(raw);
  } else {
    if (length < 64) {
      uint64_t sign = uint64_t{1} << (length - 1);
      raw = (raw ^ sign) - sign;  // two's complement sign extension without a signed shift
    }
    number = static_cast<double>(static_cast<int64_t>(raw));
  }
  *value = number * layout->factor + layout->offset;
  return true;
}
