// Byte streams: the one contract every stream kind obeys, the read cache's window, ownership
// of stacked streams, and the CRC.
#include "io/stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <functional>
#include <memory>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "mdf/blocks.h"
#include "mdf/compressed_file.h"
#include "mdf/data_lists.h"
#include "mdf/data_stream.h"
#include "mdf/mdf_file.h"
#include "support/block_views.h"
#include "support/container_writer.h"
#include "support/heatshrink_encoder.h"
#include "support/memory_stream.h"
#include "support/mf4_writer.h"
#include "support/process_state.h"
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

using Bytes = std::vector<uint8_t>;

// What a stream kind is made over: a temp folder for files, and the streams and file it
// stacks on, released after it.
struct Fixture {
  test::TempDir dir;
  std::vector<test::StreamPtr> inner;
  std::unique_ptr<MdfFile, void (*)(MdfFile*)> mdf{nullptr, mdf_close};
  DataPieces pieces{};  // of a data-list stream
  Bytes view;           // of a view of bytes
  ~Fixture() { data_pieces_free(&pieces); }
  std::optional<test::ScopedEnv> tmpdir;  // spill files go to `dir`
  // The bytes where the stream keeps them, read after it is closed; empty when the stream
  // owns its storage.
  std::function<Bytes()> stored;

  Stream* keep(Stream* s) {
    inner.emplace_back(s);
    return s;
  }
  std::string file_with(const Bytes& content) {
    std::string path = dir.file("f");
    EXPECT_TRUE(test::write_file(path, content));
    stored = [path] { return test::read_file(path); };
    return path;
  }
  Stream* memory_with(const Bytes& content) {
    Stream* m = keep(test::memory_stream_with(content));
    stored = [m] { return test::stream_bytes(m); };
    return m;
  }
  // Memory holding 7 bytes, the content and `tail` bytes.
  Stream* padded(const Bytes& content, size_t tail) {
    Bytes bytes(7, 0xEE);
    bytes.insert(bytes.end(), content.begin(), content.end());
    bytes.insert(bytes.end(), tail, 0xEE);
    return keep(test::memory_stream_with(bytes));
  }
};

struct StreamKind {
  const char* name;
  // A stream over `content`, standing at its start.
  std::function<Stream*(Fixture&, const Bytes&)> make;
  bool reads, writes, seeks;
  bool bounded;  // writes stop at the end of the content
};

// A spill stream that moves to its file beyond `threshold` bytes, holding `content`.
Stream* spill_with(Fixture& fx, const Bytes& content, uint64_t threshold) {
  fx.tmpdir.emplace("TMPDIR", fx.dir.path);
  Stream* s = spill_stream_new(threshold);
  EXPECT_EQ(stream_write(s, content.data(), content.size()), static_cast<int64_t>(content.size()));
  return s;
}

Stream* at_start(Stream* s) {
  if (s) stream_seek(s, 0, SEEK_FROM_START);  // the contract test checks seeks
  return s;
}

const StreamKind STREAM_KINDS[] = {
    {"file, read",
     [](Fixture& fx, const Bytes& c) { return file_stream_open(fx.file_with(c).c_str(), 0); }, true,
     false, true, false},
    {"file, write",
     [](Fixture& fx, const Bytes& c) {
       Stream* s = file_stream_open(fx.file_with({}).c_str(), 1);
       EXPECT_EQ(stream_write(s, c.data(), c.size()), static_cast<int64_t>(c.size()));
       return at_start(s);
     },
     false, true, true, false},
    {"file, update",
     [](Fixture& fx, const Bytes& c) { return file_stream_open(fx.file_with(c).c_str(), 2); }, true,
     true, true, false},
    {"memory", [](Fixture&, const Bytes& c) { return test::memory_stream_with(c); }, true, true,
     true, false},
    {"view of bytes",
     [](Fixture& fx, const Bytes& c) {
       fx.view = c;
       return bytes_stream_new(fx.view.data(), fx.view.size());
     },
     true, false, true, false},
    {"read cache over memory",
     [](Fixture& fx, const Bytes& c) { return buffered_stream_new(fx.memory_with(c), false, 16); },
     true, false, true, false},
    {"read cache over a file",
     [](Fixture& fx, const Bytes& c) {
       return buffered_stream_new(file_stream_open(fx.file_with(c).c_str(), 0), true, 1);
     },
     true, false, true, false},
    {"bounded sub-range",
     [](Fixture& fx, const Bytes& c) {
       return sub_stream_new(fx.padded(c, 5), 7, 7 + static_cast<int64_t>(c.size()));
     },
     true, true, true, true},
    {"open-ended sub-range",
     [](Fixture& fx, const Bytes& c) { return sub_stream_new(fx.padded(c, 0), 7, 0); }, true, true,
     true, false},
    {"CRC-32", [](Fixture& fx, const Bytes& c) { return crc32_stream_new(fx.memory_with(c)); },
     true, true, false, false},
    {"heatshrink decoder",
     [](Fixture& fx, const Bytes& c) {
       return decompress_stream_new(
           fx.keep(test::memory_stream_with(test::heatshrink_encode(c, 8, 4))), 8, 4);
     },
     true, false, false, false},
    {"data block section",
     [](Fixture& fx, const Bytes& c) -> Stream* {
       test::Mf4Writer w;
       uint64_t hd = w.add_hd({});
       w.set_link(hd, test::HD_FIRST_DG, w.add_dg({.data = w.add_dt(c)}));
       w.add_raw(Bytes(40, 0xEE));  // bytes behind the block are not its data
       Stream* file = fx.keep(test::memory_stream_with(w.bytes()));
       fx.mdf.reset(mdf_open(file));
       HdBlock* h = mdf_hd(fx.mdf.get());
       return h ? test::dt_stream(dg_block(h->data_groups.first[0])->data) : nullptr;
     },
     true, false, true, false},
    {"data list of compressed blocks",
     [](Fixture& fx, const Bytes& c) -> Stream* {
       test::Mf4Writer w;
       uint64_t hd = w.add_hd({});
       const auto half = static_cast<std::ptrdiff_t>(c.size() / 2);
       std::vector<uint64_t> blocks = {
           w.add_dz({}, Bytes(c.begin(), c.begin() + half)),
           w.add_dz({.zip_type = test::ZIP_TRANSPOSE_DEFLATE, .zip_parameter = 3},
                    Bytes(c.begin() + half, c.end()))};
       w.set_link(hd, test::HD_FIRST_DG,
                  w.add_dg({.data = w.add_dl(blocks, 0, {0, static_cast<uint64_t>(half)})}));
       fx.mdf.reset(mdf_open(fx.keep(test::memory_stream_with(w.bytes()))));
       HdBlock* h = mdf_hd(fx.mdf.get());
       DataListProblem problem;
       if (!h || data_pieces_resolve(dg_block(h->data_groups.first[0])->data.block, 0, &problem,
                                     &fx.pieces) != DATA_LIST_OK)
         return nullptr;
       return data_stream_new(&fx.pieces);
     },
     true, false, true, false},
    {"spill stream in its file",
     [](Fixture& fx, const Bytes& c) { return at_start(spill_with(fx, c, 10)); }, true, true, true,
     false},
    {"spill stream that moves on a write beyond the end",
     [](Fixture& fx, const Bytes& c) { return at_start(spill_with(fx, c, 104)); }, true, true, true,
     false},
    {"decoded container",
     [](Fixture& fx, const Bytes& c) {
       Stream* file = fx.keep(test::memory_stream_with(test::make_compressed_container(c, 1)));
       ContainerHeader header;
       EXPECT_TRUE(container_read_header(file, &header));
       return at_start(compressed_file_open(file, &header));
     },
     true, true, true, false},
};

// Every byte from the position on, read in pieces of changing sizes, until a read gives 0.
Bytes read_rest(Stream* s) {
  Bytes out;
  uint8_t piece[64];
  for (uint64_t n = 1;; n = n * 3 % 61 + 1) {
    int64_t got = stream_read(s, piece, n);
    EXPECT_GE(got, 0);
    EXPECT_LE(got, static_cast<int64_t>(n));
    if (got <= 0) return out;
    out.insert(out.end(), piece, piece + got);
  }
}

void check_seeks(Stream* s, const StreamKind& kind, const Bytes& content) {
  const auto size = static_cast<int64_t>(content.size());
  EXPECT_EQ(stream_seek(s, 10, SEEK_FROM_START), 10);
  EXPECT_EQ(stream_size(s), size);
  EXPECT_EQ(stream_tell(s), 10);  // stream_size leaves the position alone
  EXPECT_EQ(stream_seek(s, -3, SEEK_FROM_CURRENT), 7);
  if (kind.reads) {
    uint8_t b[4];
    ASSERT_EQ(stream_read(s, b, 2), 2);
    EXPECT_EQ(b[0], content[7]);
    EXPECT_EQ(stream_seek(s, -1, SEEK_FROM_END), size - 1);
    EXPECT_EQ(stream_read(s, b, 4), 1);  // a short read before the end
    EXPECT_EQ(b[0], content[size - 1]);
  }
  // Beyond the end is a position like any other: reads there give 0, the size stays.
  EXPECT_EQ(stream_seek(s, 50, SEEK_FROM_END), size + 50);
  EXPECT_EQ(stream_tell(s), size + 50);
  if (kind.reads) {
    uint8_t b[4];
    EXPECT_EQ(stream_read(s, b, 4), 0);
  }
  EXPECT_EQ(stream_size(s), size);
  // Refused seeks leave the position where it was.
  const struct {
    int64_t offset;
    int32_t origin;
  } refused[] = {{-1, SEEK_FROM_START},
                 {-(size + 51), SEEK_FROM_CURRENT},
                 {-(size + 1), SEEK_FROM_END},
                 {INT64_MAX, SEEK_FROM_CURRENT},
                 {0, 7}};
  for (const auto& r : refused) {
    EXPECT_EQ(stream_seek(s, r.offset, r.origin), -1) << r.offset << " from " << r.origin;
    EXPECT_EQ(stream_tell(s), size + 50);
  }
}

// Runs every clause of the stream contract on one kind over 100 known bytes.
void check_contract(const StreamKind& kind) {
  SCOPED_TRACE(kind.name);
  Bytes content(100);
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 7 + 3);
  Fixture fx;
  Stream* s = kind.make(fx, content);
  ASSERT_NE(s, nullptr);
  uint8_t b[4] = {1, 2};
  if (!kind.reads) {
    EXPECT_EQ(stream_read(s, b, 1), STREAM_UNSUPPORTED);
  }
  if (!kind.writes) {
    EXPECT_EQ(stream_write(s, b, 1), STREAM_UNSUPPORTED);
  }
  if (!kind.seeks) {
    EXPECT_EQ(stream_tell(s), STREAM_UNSUPPORTED);
    EXPECT_EQ(stream_seek(s, 0, SEEK_FROM_START), STREAM_UNSUPPORTED);
    EXPECT_EQ(stream_size(s), STREAM_UNSUPPORTED);
  }
  if (kind.reads) {
    EXPECT_EQ(stream_read(s, b, 0), 0);
    EXPECT_EQ(read_rest(s), content);
    EXPECT_EQ(stream_read(s, b, 4), 0);
  }
  if (kind.seeks) check_seeks(s, kind, content);

  // A write beyond the end fills the gap with zeros (without seeks it lands at the end); a
  // bounded kind takes nothing there.
  Bytes expected = content;
  if (kind.writes) {
    int64_t gap = kind.seeks ? 8 : 0;
    if (kind.seeks) {
      ASSERT_EQ(stream_seek(s, 100 + gap, SEEK_FROM_START), 100 + gap);
    }
    const uint8_t tail[] = {0xA1, 0xA2};
    EXPECT_EQ(stream_write(s, tail, 2), kind.bounded ? 0 : 2);
    if (!kind.bounded) {
      expected.resize(expected.size() + static_cast<size_t>(gap), 0);
      expected.insert(expected.end(), tail, tail + 2);
    }
    if (kind.seeks) {
      EXPECT_EQ(stream_tell(s), kind.bounded ? 108 : 110);
    }
  }
  if (kind.reads && kind.seeks) {
    EXPECT_EQ(test::stream_bytes(s), expected);
  }
  EXPECT_EQ(stream_close(s), 0);
  if (fx.stored && kind.writes) {
    EXPECT_EQ(fx.stored(), expected);
  }
}

TEST(StreamContract, EveryKindReadsWritesAndSeeksAlike) {
  for (const StreamKind& kind : STREAM_KINDS) check_contract(kind);
}

TEST(StreamContract, NullStreamsAndFailedOpens) {
  test::TempDir dir;
  EXPECT_EQ(stream_size(nullptr), -1);
  EXPECT_EQ(stream_close(nullptr), 0);
  EXPECT_EQ(file_stream_open(dir.file("missing").c_str(), 0), nullptr);
  EXPECT_EQ(file_stream_open(dir.file("f").c_str(), 3), nullptr);
  EXPECT_EQ(buffered_stream_new(nullptr, false, 8), nullptr);
  EXPECT_EQ(crc32_stream_new(nullptr), nullptr);
  test::StreamPtr m(memory_stream_new());
  EXPECT_EQ(sub_stream_new(nullptr, 0, 0), nullptr);
  EXPECT_EQ(sub_stream_new(m.get(), -1, 0), nullptr);
  EXPECT_EQ(sub_stream_new(m.get(), 10, 5), nullptr);
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
  // Outside the window a seek moves nothing until the next read.
  reads = counter.reads;
  EXPECT_EQ(stream_seek(b, 2, SEEK_FROM_START), 2);
  EXPECT_EQ(counter.reads, reads);
  EXPECT_EQ(stream_read(b, out, 1), 1);
  EXPECT_EQ(out[0], 2);
  EXPECT_EQ(counter.reads, reads + 1);
  EXPECT_EQ(stream_close(b), 0);
  EXPECT_EQ(stream_close(m), 0);
}

TEST(BufferedStream, AnInnerReadErrorIsAnErrorNotTheEnd) {
  const StreamOps failing{[](Stream*, void*, uint64_t) -> int64_t { return -1; }, nullptr,
                          [](Stream*) -> int64_t { return 0; },
                          [](Stream*, int64_t o, int32_t) -> int64_t { return o; }, nullptr};
  Stream inner{&failing};
  test::StreamPtr b(buffered_stream_new(&inner, false, 8));
  uint8_t out[4];
  EXPECT_EQ(stream_read(b.get(), out, 4), -1);
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
      ASSERT_EQ(stream_seek(b, at, SEEK_FROM_START), at);
      uint8_t out[64];
      int64_t got = stream_read(b, out, n);
      int64_t expected =
          std::max<int64_t>(0, std::min<int64_t>(static_cast<int64_t>(n), 1000 - at));
      ASSERT_EQ(got, expected) << capacity << " at " << at;
      for (int64_t k = 0; k < got; ++k) ASSERT_EQ(out[k], bytes[at + k]);
      ASSERT_EQ(stream_tell(b), at + got);
    }
    EXPECT_EQ(stream_close(b), 0);
  }
}

// The spill stream's read cache against the bytes written, over random reads and writes that
// land inside, across and beyond its windows.
TEST(SpillStream, RandomReadsAndWritesThroughTheReadCache) {
  Fixture fx;
  const uint64_t span = SPILL_CACHE_WINDOWS * SPILL_CACHE_WINDOW * 3 / 2;
  std::mt19937 rng(9);
  Bytes bytes(span);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
  test::StreamPtr s(spill_with(fx, bytes, 1000));
  Bytes piece(3000);
  for (int i = 0; i < 2000; ++i) {
    uint64_t at = rng() % span, n = rng() % piece.size();
    ASSERT_EQ(stream_seek(s.get(), static_cast<int64_t>(at), SEEK_FROM_START), at);
    if (i % 5 == 0) {
      for (uint64_t k = 0; k < n; ++k) piece[k] = static_cast<uint8_t>(rng());
      ASSERT_EQ(stream_write(s.get(), piece.data(), n), static_cast<int64_t>(n));
      if (at + n > bytes.size()) bytes.resize(at + n);
      std::copy(piece.begin(), piece.begin() + n, bytes.begin() + at);
      continue;
    }
    Bytes got(n);
    int64_t want = std::min<int64_t>(n, bytes.size() - at), done = 0;
    for (int64_t r; done < want && (r = stream_read(s.get(), got.data() + done, n - done)) > 0;)
      done += r;
    ASSERT_EQ(done, want) << "at " << at;
    ASSERT_TRUE(std::equal(got.begin(), got.begin() + want, bytes.begin() + at)) << "at " << at;
  }
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
