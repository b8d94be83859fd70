// The six-decimal formatter writes exactly stb_sprintf's "%f" text, and takes its direct path
// for the values a logger writes.
#include "support/fixed_format.h"

#include <gtest/gtest.h>
#include <stb/stb_sprintf.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

std::string stb_text(double value) {
  char text[FIXED6_TEXT_MAX];
  int n = stbsp_snprintf(text, sizeof text, "%f", value);
  return std::string(text, static_cast<size_t>(n));
}

std::string fixed_text(double value) {
  char text[FIXED6_TEXT_MAX];
  return std::string(text, format_fixed6(text, value));
}

// The text's digits as an integer: value × 10^6 as the text spells it.
int64_t text_millionths(const std::string& text) {
  std::string digits;
  for (char c : text)
    if (c != '.') digits += c;
  return std::stoll(digits);
}

// Compares every value (its text, and its millionths where the direct path takes it) and
// returns how many took the direct path.
size_t expect_all_equal(const std::vector<double>& values) {
  size_t direct = 0;
  for (double v : values) {
    char scratch[FIXED6_TEXT_MAX];
    int64_t millionths;
    bool counted = fixed6_millionths(v, &millionths);
    if (format_fixed6_direct(scratch, v)) {
      ++direct;
      EXPECT_TRUE(counted) << v;
      if (counted) {
        EXPECT_EQ(millionths, text_millionths(stb_text(v))) << v;
      }
    } else {
      EXPECT_FALSE(counted) << v;
    }
    std::string expected = stb_text(v);
    std::string actual = fixed_text(v);
    if (actual != expected) {
      ADD_FAILURE() << "bits " << std::hex << std::bit_cast<uint64_t>(v) << ": \"" << actual
                    << "\" instead of \"" << expected << "\"";
      break;
    }
  }
  return direct;
}

void add_with_neighbours(std::vector<double>& values, double v) {
  for (double x : {v, -v}) {
    values.push_back(x);
    double up = x, down = x;
    for (int i = 0; i < 3; ++i) {
      up = std::nextafter(up, std::numeric_limits<double>::infinity());
      down = std::nextafter(down, -std::numeric_limits<double>::infinity());
      values.push_back(up);
      values.push_back(down);
    }
  }
}

TEST(FixedFormat, SpecialValuesAndZeroes) {
  double nan = std::numeric_limits<double>::quiet_NaN();
  double inf = std::numeric_limits<double>::infinity();
  std::vector<double> values = {nan,
                                -nan,
                                std::bit_cast<double>(uint64_t{0x7FF0000000000001}),
                                std::bit_cast<double>(uint64_t{0xFFF8000000000123}),
                                inf,
                                -inf,
                                0.0,
                                -0.0,
                                std::numeric_limits<double>::denorm_min(),
                                -std::numeric_limits<double>::denorm_min(),
                                std::numeric_limits<double>::min(),
                                std::numeric_limits<double>::max(),
                                -std::numeric_limits<double>::max(),
                                std::numeric_limits<double>::epsilon()};
  expect_all_equal(values);
  EXPECT_EQ(fixed_text(-0.0), "-0.000000");
  EXPECT_EQ(fixed_text(-1e-9), "-0.000000");
  EXPECT_EQ(fixed_text(-nan), "-NaN");
  EXPECT_EQ(fixed_text(inf), "Inf");
}

TEST(FixedFormat, EveryPowerOfTenAndItsNeighbours) {
  std::vector<double> values;
  for (int p = -320; p <= 308; ++p) add_with_neighbours(values, std::pow(10.0, p));
  for (int e = -1074; e <= 1023; ++e) add_with_neighbours(values, std::ldexp(1.0, e));
  // Carries that add an integer digit: 9.9999995, 99999.9999995, ...
  for (int p = 0; p <= 12; ++p) add_with_neighbours(values, std::pow(10.0, p) - 5e-7);
  expect_all_equal(values);
}

TEST(FixedFormat, HalfwayCasesAtTheSixthDecimal) {
  std::vector<double> values;
  // Exact binary halves: k / 2^21 × 10^-6 ... values whose seventh decimal is an exact 5.
  for (int k = 1; k < 2000; k += 2) add_with_neighbours(values, std::ldexp(k, -7));
  for (int k = 1; k < 2000; k += 2) add_with_neighbours(values, 1000.0 + std::ldexp(k, -13));
  // Decimal literals ending in 5 at the seventh decimal (not exact in binary).
  for (int i = 0; i < 2000; ++i) {
    add_with_neighbours(values, i * 1e-6 + 5e-7);
    add_with_neighbours(values, 1700000000.0 + i * 1e-6 + 5e-7);
    add_with_neighbours(values, 12345.0 + i * 1e-6 + 5e-7);
  }
  expect_all_equal(values);
  // An exact tie is left to stb, which rounds half up.
  char scratch[FIXED6_TEXT_MAX];
  EXPECT_EQ(format_fixed6_direct(scratch, 0.0078125), nullptr);
  EXPECT_EQ(fixed_text(0.0078125), "0.007813");
  EXPECT_EQ(fixed_text(-0.0078125), "-0.007813");
}

TEST(FixedFormat, LargeMagnitudesUpTo1e300) {
  std::vector<double> values;
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> exponent(9.0, 300.0);
  for (int i = 0; i < 20000; ++i) values.push_back(std::pow(10.0, exponent(random)));
  for (double v = 1e9; v < 1e12; v *= 1.37) add_with_neighbours(values, v);
  expect_all_equal(values);
}

TEST(FixedFormat, LoggerValuesTakeTheDirectPath) {
  // Signal values (raw integers scaled and shifted) and row times as a logger writes them.
  std::mt19937_64 random(42);
  std::vector<double> values;
  constexpr double FACTORS[] = {1, 0.1, 0.01, 0.05, 0.125, 0.001, 3.90625e-3, 0.0625, 2.5};
  constexpr double OFFSETS[] = {0, -40, -273.15, 1000, -0.5};
  for (int i = 0; i < 200000; ++i) {
    int64_t raw = static_cast<int64_t>(random() % 70000) - 5000;
    values.push_back(static_cast<double>(raw) * FACTORS[random() % 9] + OFFSETS[random() % 5]);
    values.push_back(1733650000.0 + static_cast<double>(random() % 600000000) * 1e-6);
  }
  size_t direct = expect_all_equal(values);
  EXPECT_GT(direct, values.size() * 95 / 100) << direct << " of " << values.size();
}

TEST(FixedFormat, ArbitraryBitPatterns) {
  std::mt19937_64 random(1234);
  std::vector<double> values;
  for (int i = 0; i < 200000; ++i) values.push_back(std::bit_cast<double>(random()));
  // Bit patterns inside the direct path's range of exponents.
  for (int i = 0; i < 200000; ++i) {
    uint64_t exponent = 1001 + random() % 55;
    uint64_t bits = (random() & 0x800FFFFFFFFFFFFFu) | (exponent << 52);
    values.push_back(std::bit_cast<double>(bits));
  }
  expect_all_equal(values);
}

}  // namespace
