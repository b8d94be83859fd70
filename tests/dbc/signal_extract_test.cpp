// Signal extraction: the start-bit renumbering, both byte orders, scaling, signed signals and
// a randomised comparison with a bit-by-bit reference.
#include "dbc/signal_extract.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

SignalLayout layout(int32_t order, uint16_t dbc_start, uint8_t length, double factor = 1,
                    double offset = 0, int32_t is_unsigned = 1) {
  SignalLayout l{};
  l.byte_order = order;
  l.is_unsigned = is_unsigned;
  l.start_bit = normalise_start_bit(dbc_start, order);
  l.length = length;
  l.factor = factor;
  l.offset = offset;
  return l;
}

// The field's value straight from its definition: little-endian bit start+i weighs 2^i;
// sequential bits from `start` on, the first the most significant. Only the 64 least
// significant bits of a longer field remain.
uint64_t reference_raw(const std::vector<uint8_t>& bytes, const SignalLayout& l) {
  uint64_t raw = 0;
  if (l.byte_order == BYTE_ORDER_LITTLE) {
    for (uint32_t i = 0; i < l.length && i < 64; ++i) {
      uint32_t k = l.start_bit + i;
      raw |= static_cast<uint64_t>((bytes[k / 8] >> (k % 8)) & 1) << i;
    }
  } else {
    for (uint32_t i = 0; i < l.length; ++i) {
      uint32_t k = l.start_bit + i;
      uint32_t weight = l.length - 1 - i;
      if (weight < 64) raw |= static_cast<uint64_t>((bytes[k / 8] >> (7 - k % 8)) & 1) << weight;
    }
  }
  return raw;
}

double reference_value(const std::vector<uint8_t>& bytes, const SignalLayout& l) {
  uint64_t raw = reference_raw(bytes, l);
  if (l.is_unsigned) return static_cast<double>(raw) * l.factor + l.offset;
  int64_t v;
  if (l.length >= 64) {
    v = static_cast<int64_t>(raw);
  } else {
    bool negative = (raw >> (l.length - 1)) & 1;
    // Subtract 2^length as two halves so that 63-bit fields do not overflow.
    int64_t half = int64_t{1} << (l.length - 1);
    v = negative ? static_cast<int64_t>(raw) - half - half : static_cast<int64_t>(raw);
  }
  return static_cast<double>(v) * l.factor + l.offset;
}

TEST(NormaliseStartBit, RenumbersOnlyBigEndian) {
  struct Case {
    uint16_t start;
    int32_t order;
    uint16_t expected;
  } cases[] = {
      {7, BYTE_ORDER_BIG, 0},
      {3, BYTE_ORDER_BIG, 4},
      {12, BYTE_ORDER_BIG, 11},
      {0, BYTE_ORDER_BIG, 7},
      {63, BYTE_ORDER_BIG, 56},
      {65535, BYTE_ORDER_BIG, 65528},
      {65528, BYTE_ORDER_BIG, 65535},
      {12, BYTE_ORDER_LITTLE, 12},
      {65535, BYTE_ORDER_LITTLE, 65535},
  };
  for (const Case& c : cases)
    EXPECT_EQ(normalise_start_bit(c.start, c.order), c.expected) << c.start << " order " << c.order;
}

TEST(ExtractSignalValue, KnownFields) {
  struct Case {
    std::vector<uint8_t> bytes;
    SignalLayout l;
    double expected;
  } cases[] = {
      {{0x34, 0x12}, layout(BYTE_ORDER_LITTLE, 0, 16), 0x1234},
      {{0xAB, 0xCD}, layout(BYTE_ORDER_LITTLE, 4, 8), 0xDA},
      {{0x12, 0x34}, layout(BYTE_ORDER_BIG, 7, 16), 0x1234},
      {{0xAB}, layout(BYTE_ORDER_BIG, 3, 4), 0xB},
      {{0x00, 0x1F, 0xFE}, layout(BYTE_ORDER_BIG, 12, 12), 0xFFF},
      {{0xFF}, layout(BYTE_ORDER_LITTLE, 0, 8, 0.5, -40), 87.5},
      {{0xFF}, layout(BYTE_ORDER_LITTLE, 0, 8), 255},
      {{0xFF}, layout(BYTE_ORDER_BIG, 7, 8), 255},
      // A field ending in the last byte of the frame, where no 8-byte load is possible.
      {{0, 0, 0, 0, 0, 0, 0, 0x80}, layout(BYTE_ORDER_LITTLE, 63, 1), 1},
      {{1, 2, 3, 4, 5, 6, 7, 8}, layout(BYTE_ORDER_LITTLE, 0, 64), 578437695752307201.0},
      {{1, 2, 3, 4, 5, 6, 7, 8}, layout(BYTE_ORDER_BIG, 7, 64), 72623859790382856.0},
  };
  for (const Case& c : cases) {
    double value = -1;
    ASSERT_TRUE(extract_signal_value(c.bytes.data(), c.bytes.size(), &c.l, &value))
        << "start " << c.l.start_bit;
    EXPECT_EQ(value, c.expected) << "start " << c.l.start_bit << " length " << int(c.l.length);
  }
}

TEST(ExtractSignalValue, NoValueWhenEmptyOrOutside) {
  std::vector<uint8_t> four{1, 2, 3, 4};
  double value = 7;
  SignalLayout beyond = layout(BYTE_ORDER_LITTLE, 24, 16);
  EXPECT_FALSE(extract_signal_value(four.data(), four.size(), &beyond, &value));
  SignalLayout empty = layout(BYTE_ORDER_LITTLE, 0, 0);
  EXPECT_FALSE(extract_signal_value(four.data(), four.size(), &empty, &value));
  SignalLayout exact = layout(BYTE_ORDER_LITTLE, 16, 16);
  EXPECT_TRUE(extract_signal_value(four.data(), four.size(), &exact, &value));
  EXPECT_EQ(value, 0x0403);
  // Big-endian DBC start 31 with 8 bits is the last byte; start 39 is beyond it.
  SignalLayout last = layout(BYTE_ORDER_BIG, 31, 8);
  EXPECT_TRUE(extract_signal_value(four.data(), four.size(), &last, &value));
  EXPECT_EQ(value, 4);
  SignalLayout past = layout(BYTE_ORDER_BIG, 39, 1);
  EXPECT_FALSE(extract_signal_value(four.data(), four.size(), &past, &value));
  EXPECT_EQ(value, 4);  // left untouched
  // The farthest field there is needs 8224 bytes; one byte fewer gives no value.
  std::vector<uint8_t> big(8224, 0xFF);
  SignalLayout far = layout(BYTE_ORDER_LITTLE, 65535, 255);
  EXPECT_FALSE(extract_signal_value(big.data(), big.size() - 1, &far, &value));
  EXPECT_TRUE(extract_signal_value(big.data(), big.size(), &far, &value));
  EXPECT_EQ(value, 18446744073709551615.0);
  EXPECT_FALSE(extract_signal_value(nullptr, 0, &exact, &value));
}

TEST(ExtractSignalValue, SignedFieldsAreSignExtended) {
  struct Case {
    std::vector<uint8_t> bytes;
    SignalLayout l;
    double expected;
  } cases[] = {
      {{0xFF}, layout(BYTE_ORDER_LITTLE, 0, 8, 1, 0, 0), -1},
      {{0xFF}, layout(BYTE_ORDER_LITTLE, 0, 8, 0.5, -40, 0), -40.5},
      {{0x7F}, layout(BYTE_ORDER_LITTLE, 0, 8, 1, 0, 0), 127},
      {{0x80}, layout(BYTE_ORDER_LITTLE, 0, 8, 1, 0, 0), -128},
      {{0x00, 0x08}, layout(BYTE_ORDER_LITTLE, 0, 12, 1, 0, 0), -2048},
      {{0xFC, 0x18}, layout(BYTE_ORDER_BIG, 7, 16, 0.01, 0, 0), -10.0},
      {{0x01}, layout(BYTE_ORDER_LITTLE, 0, 1, 1, 0, 0), -1},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
       layout(BYTE_ORDER_LITTLE, 0, 64, 1, 0, 0),
       -1},
      {{0xFF, 0xFF, 0xFF, 0xFF}, layout(BYTE_ORDER_BIG, 7, 32, 1, 0, 0), -1},
      {{0x00, 0x00, 0x00, 0x80}, layout(BYTE_ORDER_LITTLE, 0, 32, 1, 0, 0), -2147483648.0},
  };
  for (const Case& c : cases) {
    double value = 0;
    ASSERT_TRUE(extract_signal_value(c.bytes.data(), c.bytes.size(), &c.l, &value));
    EXPECT_DOUBLE_EQ(value, c.expected) << "length " << int(c.l.length);
  }
}

TEST(ExtractSignalValue, MatchesBitByBitReference) {
  std::mt19937_64 rng(20240601);
  int checked = 0;
  for (int round = 0; round < 200000; ++round) {
    size_t size = 1 + rng() % 72;
    std::vector<uint8_t> bytes(size);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
    SignalLayout l{};
    l.byte_order = (rng() & 1) ? BYTE_ORDER_LITTLE : BYTE_ORDER_BIG;
    l.is_unsigned = static_cast<int32_t>(rng() & 1);
    l.length = static_cast<uint8_t>(rng() % 4 == 0 ? rng() % 256 : 1 + rng() % 64);
    l.start_bit = static_cast<uint16_t>(rng() % (size * 8 + 16));
    l.factor = (rng() & 1) ? 1.0 : 0.125;
    l.offset = (rng() & 1) ? 0.0 : -100.0;
    double value = 0;
    bool fits = l.length > 0 && l.start_bit + l.length <= size * 8;
    ASSERT_EQ(extract_signal_value(bytes.data(), bytes.size(), &l, &value), fits)
        << "start " << l.start_bit << " length " << int(l.length) << " size " << size;
    if (!fits) continue;
    ++checked;
    ASSERT_EQ(value, reference_value(bytes, l))
        << "order " << l.byte_order << " start " << l.start_bit << " length " << int(l.length)
        << " signed " << !l.is_unsigned;
  }
  EXPECT_GT(checked, 100000);
}

}  // namespace
