// Memory streams holding test bytes, and reading or copying a whole stream, for the stream,
// block and container tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "io/stream.h"

namespace test {

using StreamPtr = std::unique_ptr<Stream, StreamCloser>;

// A memory stream holding `bytes`, standing at their end as writing them leaves it (the caller
// closes it).
inline Stream* memory_stream_after(const std::vector<uint8_t>& bytes) {
  Stream* s = memory_stream_new();
  EXPECT_EQ(stream_write(s, bytes.data(), bytes.size()), static_cast<int64_t>(bytes.size()));
  return s;
}

// The same, standing at the start.
inline Stream* memory_stream_with(const std::vector<uint8_t>& bytes) {
  Stream* s = memory_stream_after(bytes);
  stream_seek(s, 0, SEEK_FROM_START);
  return s;
}

// Every byte of the stream, read from its start; the position is left where it was.
inline std::vector<uint8_t> stream_bytes(Stream* s) {
  std::vector<uint8_t> bytes;
  int64_t position = stream_tell(s);
  if (position < 0 || stream_seek(s, 0, SEEK_FROM_START) != 0) return bytes;
  uint8_t chunk[4096];
  for (int64_t n; (n = stream_read(s, chunk, sizeof chunk)) > 0;)
    bytes.insert(bytes.end(), chunk, chunk + n);
  stream_seek(s, position, SEEK_FROM_START);
  return bytes;
}

// Copies src to dst in 4096-byte chunks until src ends. Returns false when a read failed or a
// write did not take the whole chunk (so a caller never mistakes a cut copy for a whole one).
inline bool stream_copy(Stream* src, Stream* dst) {
  if (!src || !dst) return false;
  uint8_t chunk[4096];
  for (;;) {
    int64_t n = stream_read(src, chunk, sizeof chunk);
    if (n == 0) return true;
    if (n < 0 || stream_write(dst, chunk, static_cast<uint64_t>(n)) != n) return false;
  }
}

}  // namespace test
