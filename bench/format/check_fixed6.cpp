// Compares format_fixed6 with stb_sprintf's "%f" on many random doubles, from three sources in
// turn: values as a logger writes them (scaled raw integers, row times), bit patterns inside the
// formatter's direct range of exponents, and arbitrary 64-bit patterns. Every mismatch is printed;
// the exit status is 1 when there was one.
//
//   bench_check_fixed6 [count, default 1000000000] [seed, default 1]
// prints: values direct mismatches seconds
#include <stb/stb_sprintf.h>

#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/fixed_format.h"

namespace {

// splitmix64: fast, and every seed gives a different, reproducible sequence.
struct Random {
  uint64_t state;
  uint64_t next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
  }
};

constexpr double FACTORS[16] = {1,   0.1,     0.01, 0.05, 0.125,      0.001, 3.90625e-3, 0.0625,
                                2.5, 0.03125, 0.4,  1e-4, 0.00390625, 0.2,   0.02,       1.8};
constexpr double OFFSETS[8] = {0, -40, -273.15, 1000, -0.5, 0.25, -3276.8, 100};

double next_value(Random& random, uint64_t i) {
  uint64_t r = random.next();
  switch (i % 4) {
    case 0: {  // a scaled raw signal value, 8 to 32 bits, signed or not
      int bits = 8 + static_cast<int>(r % 25);
      int64_t raw = static_cast<int64_t>(r >> (64 - bits));
      if (r & 32) raw -= int64_t{1} << (bits - 1);
      return static_cast<double>(raw) * FACTORS[(r >> 6) & 15] + OFFSETS[(r >> 10) & 7];
    }
    case 1:  // a row time: seconds since 1970 with microseconds or finer
      return 1.0e9 + static_cast<double>(r % 2000000000000000u) * 1e-6 +
             static_cast<double>(r >> 60) * 1e-9;
    case 2: {  // any mantissa and sign, exponent inside the direct range
      uint64_t exponent = 1001 + (r >> 52) % 55;
      return std::bit_cast<double>((r & 0x800FFFFFFFFFFFFFu) | (exponent << 52));
    }
    default:
      return std::bit_cast<double>(r);
  }
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t count = argc > 1 ? strtoull(argv[1], nullptr, 10) : 1000000000u;
  Random random{argc > 2 ? strtoull(argv[2], nullptr, 10) : 1};
  uint64_t direct = 0, mismatches = 0;
  auto start = std::chrono::steady_clock::now();
  char expected[FIXED6_TEXT_MAX], actual[FIXED6_TEXT_MAX];
  for (uint64_t i = 0; i < count; ++i) {
    double v = next_value(random, i);
    char* end = format_fixed6_direct(actual, v);
    if (!end) continue;  // stb writes it: equal by construction
    ++direct;
    int n = stbsp_snprintf(expected, sizeof expected, "%f", v);
    if (end - actual != n || memcmp(actual, expected, static_cast<size_t>(n)) != 0) {
      ++mismatches;
      printf("mismatch: bits %016llx stb \"%.*s\" direct \"%.*s\"\n",
             static_cast<unsigned long long>(std::bit_cast<uint64_t>(v)), n, expected,
             static_cast<int>(end - actual), actual);
    }
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  printf("%llu %llu %llu %.1f\n", static_cast<unsigned long long>(count),
         static_cast<unsigned long long>(direct), static_cast<unsigned long long>(mismatches),
         seconds);
  return mismatches ? 1 : 0;
}
