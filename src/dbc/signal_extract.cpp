// Signal extraction on top of the shared bit-field reader.
#include "dbc/signal_extract.h"

uint16_t normalise_start_bit(uint16_t start, int32_t byte_order) {
  if (byte_order == BYTE_ORDER_LITTLE) return start;
  // (start & 0xFFF8) + 7 - (start & 7) never leaves 0..65535.
  return static_cast<uint16_t>((start & 0xFFF8u) + 7u - (start & 7u));
}

bool extract_signal_value(const uint8_t* bytes, uint64_t byte_count, const SignalLayout* layout,
                          double* value) {
  double raw;
  if (!extract_signal_raw(bytes, byte_count, layout, &raw)) return false;
  *value = raw * layout->factor + layout->offset;
  return true;
}
