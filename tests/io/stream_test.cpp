// Byte streams: positions, reads and writes, ownership of stacked streams, and the CRC.
#include "io/stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "support/memory_stream.h"
#include "support/test_util.h"

namespace {

std::vector<uint8_t> counting_bytes(size_t n) {
  std::vector<uint8_t> bytes(n);
  std::iota(bytes.begin(), bytes.end(), 0);
  return bytes;
}

// Counts the calls that reach a stream, to see which operations a layer above passes down.
struct CountingStream {
  Stream base;
  Stream* inner;
  int reads = 0, seeks = 0;
};
const StreamOps COUNTING_OPS{
    [](Stream* s, void* b, uint64_t n) {
      auto* c = reinterpret_cast<CountingStream*>(s);
      ++c->reads;
      return stream_read(c->inner, b, n);
    },
    nullptr, [](Stream* s) { return stream_tell(reinterpret_cast<CountingStream*>(s)->inner); },
    [](Stream* s, int64_t o, int32_t origin) {
      auto* c = reinterpret_cast<CountingStream*>(s);
      ++c->seeks;
      return stream_seek(c->inner, o, origin);
    },
    nullptr};

TEST(StreamDispatch, MissingOperations) {
  test::TempDir dir;
  test::write_file(dir.file("f"), std::string("abc"));
  Stream* file = file_stream_open(dir.file("f").c_str(), 0);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(stream_write(file, "x", 1), STREAM_UNSUPPORTED);
  Stream* buffered = buffered_stream_new(file, true, 10);
  EXPECT_EQ(stream_write(buffered, "x", 1), STREAM_UNSUPPORTED);
  Stream* crc = crc32_stream_new(buffered);
  EXPECT_EQ(stream_seek(crc, 0, SEEK_FROM_START), STREAM_UNSUPPORTED);
  EXPECT_EQ(stream_tell(crc), STREAM_UNSUPPORTED);
  EXPECT_EQ(stream_size(crc), STREAM_UNSUPPORTED);
  EXPECT_EQ(stream_size(nullptr), -1);
  EXPECT_EQ(stream_close(nullptr), 0);
  EXPECT_EQ(stream_close(crc), 0);
  EXPECT_EQ(stream_close(buffered), 0);  // closes the file it owns
  EXPECT_EQ(file_stream_open(dir.file("missing").c_str(), 0), nullptr);
  EXPECT_EQ(file_stream_open(dir.file("f").c_str(), 3), nullptr);
}

TEST(FileStream, ModesPositionsAndSize) {
  test::TempDir dir;
  std::string path = dir.file("f");
  Stream* w = file_stream_open(path.c_str(), 1);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(stream_read(w, nullptr, 0), STREAM_UNSUPPORTED);
  EXPECT_EQ(stream_write(w, "hello world", 11), 11);
  EXPECT_EQ(stream_tell(w), 11);
  EXPECT_EQ(stream_close(w), 0);

  Stream* u = file_stream_open(path.c_str(), 2);  // update: no truncation
  ASSERT_NE(u, nullptr);
  EXPECT_EQ(stream_size(u), 11);
  EXPECT_EQ(stream_seek(u, 6, SEEK_FROM_START), 6);
  EXPECT_EQ(stream_write(u, "W", 1), 1);
  EXPECT_EQ(stream_seek(u, -5, SEEK_FROM_END), 6);
  char buffer[8] = {};
  EXPECT_EQ(stream_read(u, buffer, 8), 5);
  EXPECT_EQ(std::string(buffer, 5), "World");
  EXPECT_EQ(stream_read(u, buffer, 8), 0);
  EXPECT_EQ(stream_seek(u, 0, 7), -1);
  EXPECT_EQ(stream_close(u), 0);
  EXPECT_EQ(test::read_text(path), "hello World");
}

TEST(MemoryStream, GrowthReadsAndSeeks) {
  Stream* m = memory_stream_new();
  for (int i = 0; i < 5; ++i) {
    uint8_t b = static_cast<uint8_t>(i);
    ASSERT_EQ(stream_write(m, &b, 1), 1);
  }
  EXPECT_EQ(stream_size(m), 5);
  EXPECT_EQ(stream_tell(m), 5);
  uint8_t out[16];
  EXPECT_EQ(stream_read(m, out, 16), 0);  // at the end
  EXPECT_EQ(stream_seek(m, 1, SEEK_FROM_START), 1);
  EXPECT_EQ(stream_read(m, out, 16), 4);
  EXPECT_EQ(out[0], 1);
  // Capacity 8 after 2, 4, 8: a position past the size but within the capacity is accepted,
  // and reads there give nothing.
  EXPECT_EQ(stream_seek(m, 2, SEEK_FROM_CURRENT), 7);
  EXPECT_EQ(stream_read(m, out, 16), 0);
  EXPECT_EQ(stream_seek(m, 9, SEEK_FROM_START), -1);
  EXPECT_EQ(stream_tell(m), 7);
  // Seeking past the end from the end extends the stream with zeros.
  EXPECT_EQ(stream_seek(m, 1000, SEEK_FROM_END), 1005);
  EXPECT_EQ(stream_size(m), 1005);
  EXPECT_EQ(test::stream_bytes(m)[1004], 0);
  EXPECT_EQ(stream_seek(m, -1, SEEK_FROM_START), -1);
  EXPECT_EQ(stream_close(m), 0);
}

TEST(BufferedStream, WindowRefillsAndSeeks) {
  auto bytes = counting_bytes(30);
  Stream* m = test::memory_stream_with(bytes);
  CountingStream counter{{&COUNTING_OPS}, m};
  Stream* b = buffered_stream_new(&counter.base, false, 10);  // capacity 16
  ASSERT_NE(b, nullptr);
  uint8_t out[32] = {};
  EXPECT_EQ(stream_read(b, out, 20), 20);
  EXPECT_EQ(counter.reads, 2);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 20),
            std::vector<uint8_t>(bytes.begin(), bytes.begin() + 20));
  int reads = counter.reads, seeks = counter.seeks;
  EXPECT_EQ(stream_seek(b, 17, SEEK_FROM_START), 17);  // inside the window [16, 30)
  EXPECT_EQ(counter.reads, reads);
  EXPECT_EQ(counter.seeks, seeks);
  EXPECT_EQ(stream_read(b, out, 32), 13);
  EXPECT_EQ(out[0], 17);
  // The end is a position (stream_size depends on it) even when the window must move there.
  EXPECT_EQ(stream_seek(b, 2, SEEK_FROM_START), 2);
  EXPECT_EQ(stream_size(b), 30);
  EXPECT_EQ(stream_tell(b), 2);
  EXPECT_EQ(stream_seek(b, 0, SEEK_FROM_END), 30);
  EXPECT_EQ(stream_read(b, out, 4), 0);
  // Beyond the end nothing changes and the current position comes back.
  EXPECT_EQ(stream_seek(b, 40, SEEK_FROM_START), 30);
  EXPECT_EQ(stream_close(b), 0);
  EXPECT_EQ(stream_close(m), 0);
}

TEST(BufferedStream, RandomAccessMatchesTheBytesForAnyWindow) {
  auto bytes = counting_bytes(1000);
  std::mt19937 rng(3);
  for (uint64_t capacity : {1, 8, 24, 100, 4096}) {
    Stream* m = test::memory_stream_with(bytes);
    Stream* b = buffered_stream_new(m, true, capacity);
    for (int i = 0; i < 500; ++i) {
      int64_t at = rng() % 1010;
      uint64_t n = rng() % 64;
      int64_t reached = stream_seek(b, at, SEEK_FROM_START);
      if (at > 1000) {
        EXPECT_NE(reached, at);
        continue;
      }
      ASSERT_EQ(reached, at);
      uint8_t out[64];
      int64_t got = stream_read(b, out, n);
      int64_t expected = std::min<int64_t>(static_cast<int64_t>(n), 1000 - at);
      ASSERT_EQ(got, expected) << capacity << " at " << at;
      for (int64_t k = 0; k < got; ++k) ASSERT_EQ(out[k], bytes[at + k]);
      ASSERT_EQ(stream_tell(b), at + got);
    }
    EXPECT_EQ(stream_close(b), 0);
  }
}

TEST(SubStream, BoundsAndClamping) {
  Stream* m = test::memory_stream_with(counting_bytes(104));
  Stream* sub = sub_stream_new(m, 28, 100);
  EXPECT_EQ(stream_tell(sub), 0);
  std::vector<uint8_t> out(1000);
  EXPECT_EQ(stream_read(sub, out.data(), 1000), 72);
  EXPECT_EQ(out[0], 28);
  EXPECT_EQ(stream_seek(sub, 0, SEEK_FROM_END), 72);
  EXPECT_EQ(stream_seek(sub, -50, SEEK_FROM_START), 0);
  EXPECT_EQ(stream_seek(sub, 500, SEEK_FROM_START), 72);
  EXPECT_EQ(stream_close(sub), 0);  // the inner stream stays open
  EXPECT_EQ(stream_tell(m), 100);

  Stream* open_end = sub_stream_new(m, 100, 0);
  EXPECT_EQ(stream_read(open_end, out.data(), 1000), 4);
  EXPECT_EQ(stream_seek(open_end, 0, SEEK_FROM_END), 4);
  EXPECT_EQ(stream_close(open_end), 0);
  EXPECT_EQ(stream_close(m), 0);
}

TEST(Crc32Stream, CheckValueAndCopy) {
  Stream* m =
      test::memory_stream_with(std::vector<uint8_t>{'1', '2', '3', '4', '5', '6', '7', '8', '9'});
  Stream* crc = crc32_stream_new(m);
  Stream* copy = memory_stream_new();
  EXPECT_TRUE(test::stream_copy(crc, copy));
  EXPECT_EQ(crc32_stream_value(crc), 0x340BC6D9u);
  EXPECT_EQ(~crc32_stream_value(crc), 0xCBF43926u);
  EXPECT_EQ(stream_size(copy), 9);
  EXPECT_EQ(stream_close(crc), 0);
  EXPECT_EQ(stream_close(copy), 0);
  EXPECT_EQ(stream_close(m), 0);
}

TEST(MemoryStream, AppendedRoomLiesBehindTheBytes) {
  Stream* m = test::memory_stream_after({'a', 'b'});
  uint8_t* room = memory_stream_append_room(m, 98);
  ASSERT_NE(room, nullptr);
  memset(room, 'z', 98);
  EXPECT_EQ(stream_tell(m), 100);
  // Room beyond the capacity moves the bytes, and what was there comes along.
  room = memory_stream_append_room(m, 100000);
  ASSERT_NE(room, nullptr);
  memset(room, 'y', 100000);
  EXPECT_EQ(memory_stream_append_room(m, uint64_t{1} << 63), nullptr);
  std::vector<uint8_t> bytes = test::stream_bytes(m);
  ASSERT_EQ(bytes.size(), 100100u);
  EXPECT_EQ(bytes[1], 'b');
  EXPECT_EQ(bytes[99], 'z');
  EXPECT_EQ(bytes[100099], 'y');
  EXPECT_EQ(stream_tell(m), 100100);
  EXPECT_EQ(stream_close(m), 0);
}

TEST(Crc32, EightBytesAtATimeEqualsOneByteAtATime) {
  // The bit-by-bit definition of the register, against the table-driven update for every
  // length up to 40 at every start offset, in one call and split at every point.
  auto slow = [](uint32_t reg, const uint8_t* bytes, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      reg ^= bytes[i];
      for (int k = 0; k < 8; ++k) reg = (reg & 1) ? 0xEDB88320u ^ (reg >> 1) : reg >> 1;
    }
    return reg;
  };
  std::mt19937 rng(5);
  std::vector<uint8_t> data(64);
  for (uint8_t& b : data) b = static_cast<uint8_t>(rng());
  for (size_t start = 0; start < 8; ++start) {
    for (size_t n = 0; n <= 40; ++n) {
      uint32_t expected = slow(0xFFFFFFFFu, data.data() + start, n);
      ASSERT_EQ(crc32_update(0xFFFFFFFFu, data.data() + start, n), expected) << start << " " << n;
      for (size_t cut = 0; cut <= n; ++cut) {
        uint32_t first = crc32_update(0xFFFFFFFFu, data.data() + start, cut);
        ASSERT_EQ(crc32_update(first, data.data() + start + cut, n - cut), expected);
      }
    }
  }
}

}  // namespace
