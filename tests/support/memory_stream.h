// Memory streams holding test bytes, for the stream, block and container tests.
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

}  // namespace test
