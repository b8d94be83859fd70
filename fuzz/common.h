// Shared helpers of the fuzz targets: quiet logging and an in-memory stream over the input.
#pragma once

#include <cstddef>
#include <cstdint>

#include "io/stream.h"
#include "support/log.h"

namespace fuzz {

// Log lines would only slow the fuzzer down; failures show as results, not as text.
inline void quiet_logs() { log_set_output_level(LOG_FATAL + 1); }

// A memory stream holding `data`, positioned at its start; null when memory runs out.
inline Stream* memory_stream_of(const uint8_t* data, size_t size) {
  Stream* s = memory_stream_new();
  if (!s) return nullptr;
  if (size > 0 && stream_write(s, data, size) != static_cast<int64_t>(size)) {
    stream_close(s);
    return nullptr;
  }
  stream_seek(s, 0, SEEK_FROM_START);
  return s;
}

}  // namespace fuzz
