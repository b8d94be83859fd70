// Fuzz target: arbitrary bytes as a container file: the header, then the compressed and the
// encrypted reader (password "x"), each reading its result to the end.
#include <cstddef>
#include <cstdint>

#include "common.h"
#include "mdf/compressed_file.h"
#include "mdf/container.h"
#include "mdf/encrypted_file.h"

namespace {

void drain(Stream* s) {
  if (!s) return;
  stream_seek(s, 0, SEEK_FROM_START);
  uint8_t buffer[4096];
  while (stream_read(s, buffer, sizeof buffer) > 0) {
  }
  stream_close(s);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::quiet_logs();
  Stream* stream = fuzz::memory_stream_of(data, size);
  if (!stream) return 0;
  ContainerHeader header;
  if (container_read_header(stream, &header)) {
    // Both readers see every header, so each one's own checks of the type are exercised too.
    // The decoded size is bounded lower than in the tool: the fuzzer's memory is smaller.
    drain(compressed_file_open_bounded(stream, &header, uint64_t{16} << 20));
    // The key derivation runs as many rounds as the file asks (up to ten million, seconds of
    // work); large counts teach the fuzzer nothing but slow it down, so they are left out.
    if (size >= 36) {
      uint32_t iterations =
          uint32_t{data[32]} << 24 | uint32_t{data[33]} << 16 | uint32_t{data[34]} << 8 | data[35];
      if (iterations <= 1000) drain(encrypted_file_open(stream, &header, StringView{"x", 1}));
    }
  }
  stream_close(stream);
  return 0;
}
