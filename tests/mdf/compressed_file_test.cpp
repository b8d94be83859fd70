// Tests of the heatshrink decoder, the decompressing stream and compressed containers.
#include "mdf/compressed_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "support/container_writer.h"
#include "support/heatshrink_encoder.h"
#include "support/log_capture.h"
#include "support/memory_stream.h"

namespace {

using Bytes = std::vector<uint8_t>;
using test::StreamPtr;
struct DecoderFree {
  void operator()(HsDecoder* d) const { hs_decoder_free(d); }
};
using DecoderPtr = std::unique_ptr<HsDecoder, DecoderFree>;

Bytes read_all(Stream* s, size_t piece = 4096) {
  Bytes out, buffer(piece);
  for (;;) {
    int64_t n = stream_read(s, buffer.data(), buffer.size());
    if (n <= 0) {
      EXPECT_EQ(n, 0);
      return out;
    }
    out.insert(out.end(), buffer.begin(), buffer.begin() + n);
  }
}

// Decodes through the DecompressStream, reading `piece` bytes at a time.
Bytes decompress(const Bytes& bits, uint32_t w, uint32_t l, size_t piece = 4096) {
  StreamPtr inner(test::memory_stream_with(bits));
  StreamPtr ds(decompress_stream_new(inner.get(), w, l));
  EXPECT_NE(ds, nullptr);
  if (!ds) return {};
  return read_all(ds.get(), piece);
}

// Drives the decoder directly with input and output pieces of random sizes, so every field can
// straddle a sink boundary and every back-reference an output boundary.
Bytes decode_chunked(const Bytes& bits, uint32_t w, uint32_t l, uint32_t buffer_size,
                     std::mt19937& rng, size_t max_out) {
  DecoderPtr d(hs_decoder_new(buffer_size, w, l));
  EXPECT_NE(d, nullptr);
  if (!d) return {};
  Bytes out;
  size_t fed = 0;
  uint8_t piece[300];
  for (;;) {
    if (fed < bits.size()) {
      size_t want = std::uniform_int_distribution<size_t>(1, bits.size() - fed)(rng);
      size_t taken = 0;
      int32_t status = hs_decoder_sink(d.get(), bits.data() + fed, want, &taken);
      EXPECT_TRUE(status == HS_SINK_OK || status == HS_SINK_FULL);
      fed += taken;
    }
    for (;;) {
      size_t room = std::uniform_int_distribution<size_t>(1, std::min(max_out, sizeof piece))(rng);
      size_t produced = 0;
      int32_t status = hs_decoder_poll(d.get(), piece, room, &produced);
      EXPECT_LE(produced, room);
      out.insert(out.end(), piece, piece + produced);
      if (status == HS_POLL_EMPTY) break;
      EXPECT_EQ(status, HS_POLL_MORE);
      if (status != HS_POLL_MORE) return out;
    }
    if (fed == bits.size()) break;
  }
  EXPECT_EQ(hs_decoder_finish(d.get()), HS_FINISH_DONE);
  return out;
}

// The slow reference: the whole bit stream at once, an item decoded only when all of its bits
// are present, back-references resolved against everything produced so far.
Bytes reference_decode(const Bytes& bits, uint32_t w, uint32_t l) {
  const size_t total = bits.size() * 8;
  size_t pos = 0;
  auto take = [&](uint32_t k) {
    uint32_t v = 0;
    for (uint32_t i = 0; i < k; ++i, ++pos) v = (v << 1) | ((bits[pos / 8] >> (7 - pos % 8)) & 1);
    return v;
  };
  Bytes out;
  while (pos < total) {
    if ((bits[pos / 8] >> (7 - pos % 8)) & 1) {
      if (pos + 9 > total) break;
      ++pos;
      out.push_back(static_cast<uint8_t>(take(8)));
    } else {
      if (pos + 1 + w + l > total) break;
      ++pos;
      size_t distance = take(w) + 1;
      size_t length = take(l) + 1;
      for (size_t i = 0; i < length; ++i)
        out.push_back(out.size() >= distance ? out[out.size() - distance] : 0);
    }
  }
  return out;
}

Bytes random_bytes(std::mt19937& rng, size_t n) {
  Bytes b(n);
  for (auto& c : b) c = static_cast<uint8_t>(rng());
  return b;
}

// Compressible data: words from a small vocabulary, runs, and a few random stretches.
Bytes patterned_bytes(std::mt19937& rng, size_t n) {
  static const char* words[] = {"CAN_DataFrame", ".ID", "Timestamp", "\0\0\0\0", "##DT", "ff"};
  Bytes b;
  while (b.size() < n) {
    switch (rng() % 4) {
      case 0:
        b.insert(b.end(), size_t(rng() % 300), static_cast<uint8_t>(rng()));
        break;
      case 1: {
        Bytes r = random_bytes(rng, rng() % 40);
        b.insert(b.end(), r.begin(), r.end());
        break;
      }
      default: {
        const char* word = words[rng() % 6];
        size_t len = word[0] ? strlen(word) : 4;
        b.insert(b.end(), word, word + len);
      }
    }
  }
  b.resize(n);
  return b;
}

// ---- The decoder on the bit patterns of the format ----

TEST(HsDecoderVectors, LiteralThenBackReference) {
  test::HsBitWriter a(8, 4);
  a.literal('A');  // 1 01000001
  Bytes bits_a = a.finish();
  EXPECT_EQ(bits_a, (Bytes{0xA0, 0x80}));
  EXPECT_EQ(decompress(bits_a, 8, 4), (Bytes{'A'}));

  test::HsBitWriter aaaa(8, 4);
  aaaa.literal('A');
  aaaa.backref(1, 3);  // 0 00000000 0010
  Bytes bits_aaaa = aaaa.finish();
  EXPECT_EQ(bits_aaaa, (Bytes{0xA0, 0x80, 0x08}));
  EXPECT_EQ(decompress(bits_aaaa, 8, 4), (Bytes{'A', 'A', 'A', 'A'}));
}

TEST(HsDecoderVectors, BackReferenceBeforeTheFirstByteReadsZeros) {
  test::HsBitWriter w(8, 4);
  w.backref(5, 3);
  w.literal('x');
  w.backref(2, 2);  // reaches one zero and the literal
  EXPECT_EQ(decompress(w.finish(), 8, 4), (Bytes{0, 0, 0, 'x', 0, 'x'}));
}

TEST(HsDecoderVectors, WideWindowAndLookaheadUseTheHighFields) {
  // W = 12, L = 9: index and count are split into high and low reads.
  test::HsBitWriter w(12, 9);
  Bytes expected;
  for (int i = 0; i < 300; ++i) {
    w.literal(static_cast<uint8_t>(i * 7));
    expected.push_back(static_cast<uint8_t>(i * 7));
  }
  w.backref(300, 512);  // distance 300, length 512: repeats and overlaps itself
  for (int i = 0; i < 512; ++i) expected.push_back(expected[expected.size() - 300]);
  w.backref(4096, 1);  // the whole window back: the zero-filled start
  expected.push_back(0);
  EXPECT_EQ(decompress(w.finish(), 12, 9), expected);
}

TEST(HsDecoderVectors, TrailingPaddingYieldsNothing) {
  // Up to 7 zero bits of padding read as the start of a back-reference that never completes,
  // since the shortest one takes 8 bits.
  for (auto [w, l] : {std::pair{4u, 3u}, {8u, 4u}, {15u, 14u}}) {
    for (int literals = 1; literals <= 8; ++literals) {
      test::HsBitWriter bw(w, l);
      Bytes expected;
      for (int i = 0; i < literals; ++i) {
        bw.literal(static_cast<uint8_t>('a' + i));
        expected.push_back(static_cast<uint8_t>('a' + i));
      }
      EXPECT_EQ(decompress(bw.finish(), w, l), expected) << "W=" << w << " n=" << literals;
    }
  }
}

// ---- Decoder interface ----

TEST(HsDecoderInterface, RefusesParametersOutsideTheirRanges) {
  struct Case {
    uint32_t b, w, l;
    bool accepted;
  };
  const Case cases[] = {
      {1024, 8, 4, true},    {1, 4, 3, true},       {65535, 15, 14, true}, {0, 8, 4, false},
      {65536, 8, 4, false},  {1024, 3, 3, false},   {1024, 16, 4, false},  {1024, 0, 4, false},
      {1024, 8, 2, false},   {1024, 8, 8, false},   {1024, 8, 9, false},   {1024, 255, 4, false},
      {1024, 260, 4, false}, {1024, 8, 260, false},
  };
  for (const Case& c : cases) {
    DecoderPtr d(hs_decoder_new(c.b, c.w, c.l));
    EXPECT_EQ(d != nullptr, c.accepted) << c.b << " " << c.w << " " << c.l;
  }
}

TEST(HsDecoderInterface, NullArgumentsAndUnknownState) {
  DecoderPtr d(hs_decoder_new(4, 8, 4));
  ASSERT_NE(d, nullptr);
  uint8_t buffer[4] = {};
  size_t count = 0;
  EXPECT_EQ(hs_decoder_sink(nullptr, buffer, 1, &count), HS_NULL_ARGUMENT);
  EXPECT_EQ(hs_decoder_sink(d.get(), nullptr, 1, &count), HS_NULL_ARGUMENT);
  EXPECT_EQ(hs_decoder_sink(d.get(), buffer, 1, nullptr), HS_NULL_ARGUMENT);
  EXPECT_EQ(hs_decoder_poll(nullptr, buffer, 4, &count), HS_NULL_ARGUMENT);
  EXPECT_EQ(hs_decoder_poll(d.get(), nullptr, 4, &count), HS_NULL_ARGUMENT);
  EXPECT_EQ(hs_decoder_poll(d.get(), buffer, 4, nullptr), HS_NULL_ARGUMENT);
  EXPECT_EQ(hs_decoder_finish(nullptr), HS_NULL_ARGUMENT);
  d->state = 7;
  EXPECT_EQ(hs_decoder_poll(d.get(), buffer, 4, &count), HS_POLL_UNKNOWN_STATE);
}

TEST(HsDecoderInterface, SinkFillsTheBufferThenReportsFull) {
  DecoderPtr d(hs_decoder_new(4, 8, 4));
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(hs_decoder_finish(d.get()), HS_FINISH_DONE);
  const uint8_t bytes[10] = {0xA0, 0x80};
  size_t taken = 99;
  EXPECT_EQ(hs_decoder_sink(d.get(), bytes, 3, &taken), HS_SINK_OK);
  EXPECT_EQ(taken, 3u);
  EXPECT_EQ(hs_decoder_sink(d.get(), bytes, 10, &taken), HS_SINK_OK);
  EXPECT_EQ(taken, 1u);
  EXPECT_EQ(hs_decoder_sink(d.get(), bytes, 10, &taken), HS_SINK_FULL);
  EXPECT_EQ(taken, 0u);
  EXPECT_EQ(hs_decoder_finish(d.get()), HS_FINISH_MORE);
}

TEST(HsDecoderInterface, PollStopsWhenTheOutputIsFull) {
  // "A" then a back-reference of 3 into a one-byte output: each poll yields one byte and
  // reports "more" until the back-reference is done; finish says "more" while it is pending.
  DecoderPtr d(hs_decoder_new(16, 8, 4));
  ASSERT_NE(d, nullptr);
  const uint8_t bits[] = {0xA0, 0x80, 0x08};
  size_t taken = 0, produced = 0;
  ASSERT_EQ(hs_decoder_sink(d.get(), bits, 3, &taken), HS_SINK_OK);
  uint8_t out = 0;
  EXPECT_EQ(hs_decoder_poll(d.get(), &out, 1, &produced), HS_POLL_MORE);
  EXPECT_EQ(out, 'A');
  EXPECT_EQ(hs_decoder_poll(d.get(), &out, 1, &produced), HS_POLL_MORE);
  EXPECT_EQ(d->state, HS_BACKREF);
  EXPECT_EQ(hs_decoder_finish(d.get()), HS_FINISH_MORE);
  EXPECT_EQ(hs_decoder_poll(d.get(), &out, 1, &produced), HS_POLL_MORE);
  EXPECT_EQ(hs_decoder_poll(d.get(), &out, 1, &produced), HS_POLL_MORE);
  EXPECT_EQ(produced, 1u);
  EXPECT_EQ(out, 'A');
  uint8_t more[4];
  EXPECT_EQ(hs_decoder_poll(d.get(), more, 4, &produced), HS_POLL_EMPTY);
  EXPECT_EQ(produced, 0u);
  EXPECT_EQ(hs_decoder_finish(d.get()), HS_FINISH_DONE);
}

// ---- Differential: our encoder against our decoder, random streams against the reference ----

TEST(HsDecoderRoundTrip, RandomAndPatternedDataForSeveralWindows) {
  const std::pair<uint32_t, uint32_t> params[] = {{4, 3},  {8, 4},  {8, 7},   {10, 5},
                                                  {11, 9}, {12, 4}, {15, 14}, {15, 8}};
  std::mt19937 rng(4711);
  for (auto [w, l] : params) {
    for (size_t size : {size_t{0}, size_t{1}, size_t{17}, size_t{5000}, size_t{70000}}) {
      for (int kind = 0; kind < 2; ++kind) {
        Bytes data = kind ? patterned_bytes(rng, size) : random_bytes(rng, size);
        Bytes bits = test::heatshrink_encode(data, w, l);
        if (kind && size >= 5000) {
          EXPECT_LT(bits.size(), data.size()) << "W=" << w;
        }
        ASSERT_EQ(decompress(bits, w, l, 1 + rng() % 5000), data)
            << "W=" << w << " L=" << l << " size=" << size << " kind=" << kind;
      }
    }
  }
}

TEST(HsDecoderRoundTrip, ChunkedFeedingMatchesTheReference) {
  std::mt19937 rng(99);
  for (int round = 0; round < 60; ++round) {
    uint32_t w = 4 + rng() % 12;
    uint32_t l = 3 + rng() % (w - 3);
    Bytes data = patterned_bytes(rng, rng() % 3000);
    Bytes bits = test::heatshrink_encode(data, w, l);
    Bytes out = decode_chunked(bits, w, l, 1 + rng() % 64, rng, 1 + rng() % 300);
    ASSERT_EQ(out, data) << "W=" << w << " L=" << l;
  }
}

TEST(HsDecoderFuzz, RandomBitStreamsDecodeLikeTheReference) {
  // Arbitrary input for every W and L: the decoder must stay inside its buffers (ASan) and
  // agree with the whole-input reference whatever the sink and poll sizes.
  std::mt19937 rng(20261208);
  for (int round = 0; round < 400; ++round) {
    uint32_t w = 4 + rng() % 12;
    uint32_t l = 3 + rng() % (w - 3);
    Bytes bits = random_bytes(rng, rng() % (l > 10 ? 40 : 400));
    Bytes expected = reference_decode(bits, w, l);
    Bytes out = decode_chunked(bits, w, l, 1 + rng() % 1024, rng, 1 + rng() % 300);
    ASSERT_EQ(out, expected) << "W=" << w << " L=" << l << " round " << round;
    if (round % 8 == 0) {
      ASSERT_EQ(decompress(bits, w, l, 1 + rng() % 3000), expected);
    }
  }
}

// ---- DecompressStream ----

TEST(DecompressStream, RefusesWhatTheDecoderRefuses) {
  StreamPtr inner(test::memory_stream_with({0xA0, 0x80}));
  EXPECT_EQ(decompress_stream_new(nullptr, 8, 4), nullptr);
  EXPECT_EQ(decompress_stream_new(inner.get(), 0, 4), nullptr);
  EXPECT_EQ(decompress_stream_new(inner.get(), 8, 8), nullptr);
  StreamPtr ds(decompress_stream_new(inner.get(), 8, 4));
  ASSERT_NE(ds, nullptr);
  uint8_t b = 0;
  EXPECT_EQ(stream_read(ds.get(), &b, 1), 1);
  EXPECT_EQ(b, 'A');
  EXPECT_EQ(stream_read(ds.get(), &b, 1), 0);
}

// ---- Compressed containers ----

// Opens the container and reads all of it into *decoded; false when it is refused.
bool open_container(const Bytes& file, Bytes* decoded,
                    uint64_t bound = COMPRESSED_MAX_DECODED_SIZE) {
  StreamPtr s(test::memory_stream_with(file));
  ContainerHeader h{};
  if (!container_read_header(s.get(), &h)) return false;
  StreamPtr c(compressed_file_open_bounded(s.get(), &h, bound));
  if (!c) return false;
  int64_t end = stream_tell(c.get());
  EXPECT_EQ(stream_seek(c.get(), 0, SEEK_FROM_START), 0);
  *decoded = read_all(c.get());
  EXPECT_EQ(end, static_cast<int64_t>(decoded->size()));  // left standing at its end
  return true;
}

TEST(CompressedFile, RoundTripsWithAndWithoutFooter) {
  std::mt19937 rng(7);
  for (auto [w, l] : {std::pair{8u, 4u}, {11u, 4u}, {13u, 12u}, {4u, 3u}}) {
    for (bool footer : {true, false}) {
      Bytes payload = patterned_bytes(rng, 20000 + rng() % 5000);
      Bytes decoded;
      ASSERT_TRUE(
          open_container(test::make_compressed_container(payload, 0xABCD, w, l, footer), &decoded));
      EXPECT_EQ(decoded, payload) << "W=" << w << " footer=" << footer;
    }
  }
  Bytes decoded{1};
  EXPECT_TRUE(open_container(test::make_compressed_container({}, 1, 8, 4, true), &decoded));
  EXPECT_TRUE(decoded.empty());
}

TEST(CompressedFile, ParametersComeFromTheFields) {
  test::HsBitWriter bw(8, 4);
  bw.literal('A');
  bw.backref(1, 3);
  Bytes bits = bw.finish();
  struct Case {
    uint32_t window_size, lookahead_value;
    bool accepted;
  };
  const Case cases[] = {
      {256, 4, true},           // W 8, L 4
      {256, 0xFFFFFF04, true},  // only the low byte counts
      {256 | 0x1000, 4, true},  // only the trailing zero bits count
      {0, 4, false},            // W 0
      {257, 4, false},          // W 0
      {256, 8, false},          // L = W
      {256, 2, false},          // L below 3
      {1u << 16, 4, false},     // W 16
      {1u << 31, 4, false},     // W 31
  };
  for (const Case& c : cases) {
    Bytes decoded;
    bool opened = open_container(
        test::wrap_compressed(bits, 1, c.window_size, c.lookahead_value, true), &decoded);
    EXPECT_EQ(opened, c.accepted) << c.window_size << " " << c.lookahead_value;
    if (opened) {
      EXPECT_EQ(decoded, (Bytes{'A', 'A', 'A', 'A'}));
    }
  }
}

TEST(CompressedFile, ChecksumMismatchIsReportedWithBothValues) {
  Bytes payload(5000, 'q');
  Bytes file = test::make_compressed_container(payload, 0x1234, 8, 4, true);
  Bytes bits(file.begin() + 28, file.end() - 4);
  uint32_t crc = test::crc32_register(bits);
  char expected[120];
  {
    Bytes bad_footer = file;
    bad_footer.back() ^= 0x01;
    snprintf(expected, sizeof expected, "Could not validate checksum, expected %08X but found %08X",
             crc ^ 1u, crc);
    test::LogCapture log;
    Bytes decoded;
    EXPECT_FALSE(open_container(bad_footer, &decoded));
    EXPECT_EQ(log.count(expected), 1) << log.text();
  }
  {
    Bytes bad_payload = file;
    bad_payload[40] ^= 0x10;
    Bytes changed(bad_payload.begin() + 28, bad_payload.end() - 4);
    snprintf(expected, sizeof expected, "Could not validate checksum, expected %08X but found %08X",
             crc, test::crc32_register(changed));
    test::LogCapture log;
    Bytes decoded;
    EXPECT_FALSE(open_container(bad_payload, &decoded));
    EXPECT_EQ(log.count(expected), 1) << log.text();
  }
}

TEST(CompressedFile, MissingFooterIsReported) {
  // Footer flag 1, but the file ends within 4 bytes of the parameters.
  for (size_t extra = 0; extra < 4; ++extra) {
    Bytes file = test::wrap_compressed({}, 1, 256, 4, false);
    file[12] = file[13] = 1;
    file.insert(file.end(), extra, 0xFF);
    test::LogCapture log;
    Bytes decoded;
    EXPECT_FALSE(open_container(file, &decoded));
    EXPECT_EQ(log.count("Expected to read out CRC from footer, but found none"), 1) << extra;
  }
}

TEST(CompressedFile, UnreadableParametersAreRefused) {
  Bytes file = test::wrap_compressed({}, 1, 256, 4, false);
  file.resize(26);
  Bytes decoded;
  EXPECT_FALSE(open_container(file, &decoded));
}

TEST(CompressedFile, DecodedBytesThatCannotBeStoredFailTheFile) {
  Bytes payload = Bytes(10000, 'z');
  Bytes file = test::make_compressed_container(payload, 1, 8, 4, false);
  Bytes decoded;
  EXPECT_TRUE(open_container(file, &decoded, payload.size()));
  EXPECT_FALSE(open_container(file, &decoded, payload.size() - 1));
  // A stream of maximal back-references: 30 bits give 16384 bytes.
  test::HsBitWriter bw(15, 14);
  for (int i = 0; i < 2000; ++i) bw.backref(1, 16384);
  EXPECT_FALSE(open_container(test::wrap_compressed(bw.finish(), 1, 1u << 15, 14, true), &decoded,
                              1u << 24));
}

TEST(CompressedFile, CorruptStreamWithoutFooterStillDecodes) {
  // Nothing but the footer can tell a damaged stream; without one the bytes come out changed.
  Bytes payload(3000, 'k');
  Bytes file = test::make_compressed_container(payload, 1, 8, 4, false);
  for (size_t i = 28; i < file.size(); ++i) file[i] ^= 0x5A;
  Bytes decoded;
  EXPECT_TRUE(open_container(file, &decoded));
  EXPECT_NE(decoded, payload);
}

}  // namespace
