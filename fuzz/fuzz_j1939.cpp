// Fuzz target: feeds the input to the J1939 transport reassembler as a run of frames of 14
// bytes each (29-bit id, length, time step in milliseconds, 8 data bytes) and checks that every
// completed message lies inside the session table's bounds and has an announceable size.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "decode/j1939_transport.h"

namespace {

constexpr size_t FRAME_BYTES = 14;

uint32_t read_u32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  J1939Transport tp{};
  if (!j1939_transport_begin(&tp)) return 0;
  double time = 0;
  for (size_t at = 0; at + FRAME_BYTES <= size; at += FRAME_BYTES) {
    const uint8_t* f = data + at;
    uint32_t id = read_u32(f) & 0x1FFFFFFF;
    uint32_t length = f[4] % 9;  // 0 to 8: short frames must give nothing
    time += f[5] / 1000.0;
    J1939Result r = j1939_transport_feed(&tp, id, f + 6, length, time);
    if (r.data) {
      if (r.size < 9 || r.size > J1939_TP_MAX_SIZE) __builtin_trap();
      // Reading the whole message must stay inside its session's buffer.
      volatile uint8_t sum = 0;
      for (uint32_t i = 0; i < r.size; ++i) sum = sum + r.data[i];
      (void)sum;
    }
  }
  if (j1939_transport_close_all(&tp) > J1939_TP_SESSIONS) __builtin_trap();
  j1939_transport_free(&tp);
  return 0;
}
