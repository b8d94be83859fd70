// Six-decimal fixed-point text of doubles, equal to stb_sprintf's "%f".
#include "support/fixed_format.h"

#include <stb/stb_sprintf.h>

#include <bit>
#include <cstdint>
#include <cstring>

namespace {

using u128 = unsigned __int128;

// Binary exponents (value in [2^e, 2^(e+1))) written directly.
constexpr int LOWEST_EXPONENT = -22;  // below 2^-22 the text is "0.000000" (with the sign)
constexpr int HIGHEST_EXPONENT = 32;  // below 2^33 stb rounds at the sixth decimal
constexpr int EXPONENTS = HIGHEST_EXPONENT - LOWEST_EXPONENT + 1;

// stb's first estimate of the count of integer digits, from the binary exponent alone.
constexpr int stb_tens_estimate(int e) { return e < 0 ? (e * 617) / 2048 : (e * 1233) / 4096 + 1; }

constexpr u128 pow10_u128(int n) {
  u128 p = 1;
  for (int i = 0; i < n; ++i) p *= 10;
  return p;
}

struct ExponentRule {
  // The exact fraction of value × 10^6, scaled by 2^(52 - e), must lie further than this from
  // one half. stb looks at value × 10^6 through an integer with r = 10^(12 - estimate) steps
  // per unit, which may be one step off the exact one: two steps (2 × 2^s / r) keep clear of it.
  u128 near_half;
  // stb's integer holds value × 10^(18 - estimate) in a signed 64-bit integer: it must stay
  // below 2^63 for every value of the exponent (checked below).
  bool integer_fits;
};

constexpr ExponentRule exponent_rule(int e) {
  int estimate = stb_tens_estimate(e);
  int s = 52 - e;
  u128 steps = pow10_u128(12 - estimate);
  u128 below_integer =
      (static_cast<u128>(1) << (e + 1 - LOWEST_EXPONENT)) * pow10_u128(18 - estimate);
  return {(static_cast<u128>(1) << (s + 1)) / steps,
          below_integer < (static_cast<u128>(1) << (63 - LOWEST_EXPONENT))};
}

constexpr auto EXPONENT_RULES = [] {
  struct {
    ExponentRule rules[EXPONENTS];
  } table{};
  for (int e = LOWEST_EXPONENT; e <= HIGHEST_EXPONENT; ++e)
    table.rules[e - LOWEST_EXPONENT] = exponent_rule(e);
  return table;
}();

constexpr bool all_integers_fit() {
  for (const ExponentRule& rule : EXPONENT_RULES.rules)
    if (!rule.integer_fits) return false;
  return true;
}
static_assert(all_integers_fit(), "stb's integer would leave its range for some exponent");

constexpr auto DIGIT_PAIRS = [] {
  struct {
    char text[200];
  } table{};
  for (int i = 0; i < 100; ++i) {
    table.text[2 * i] = static_cast<char>('0' + i / 10);
    table.text[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return table;
}();

inline char* put_pair(char* out, uint32_t pair) {
  memcpy(out, DIGIT_PAIRS.text + 2 * pair, 2);
  return out + 2;
}

// The number of decimal digits of n (1 for zero).
inline int decimal_digits(uint64_t n) {
  int count = 1;
  for (uint64_t limit = 10; n >= limit && count < 19; limit *= 10) ++count;
  return n >= 10000000000000000000ULL ? 20 : count;
}

// Decimal digits of n without leading zeros ("0" for zero), written from the last one back, so
// that no variable-length copy is needed.
inline char* put_unsigned(char* out, uint64_t n) {
  char* end = out + decimal_digits(n);
  char* p = end;
  while (n >= 100) {
    p -= 2;
    memcpy(p, DIGIT_PAIRS.text + 2 * (n % 100), 2);
    n /= 100;
  }
  if (n >= 10) {
    p -= 2;
    memcpy(p, DIGIT_PAIRS.text + 2 * n, 2);
  } else {
    *--p = static_cast<char>('0' + n);
  }
  return end;
}

}  // namespace

char* format_fixed6_direct(char* out, double value) {
  uint64_t bits = std::bit_cast<uint64_t>(value);
  int e = static_cast<int>((bits >> 52) & 2047) - 1023;
  if (e > HIGHEST_EXPONENT) return nullptr;  // large, infinite or NaN
  if (bits >> 63) *out++ = '-';
  if (e < LOWEST_EXPONENT) {  // zero, subnormal or below 2^-22: rounds to zero
    memcpy(out, "0.000000", 8);
    return out + 8;
  }
  uint64_t mantissa = (bits & ((uint64_t{1} << 52) - 1)) | (uint64_t{1} << 52);
  int s = 52 - e;  // 20 ... 74
  if (s <= 52 && (mantissa & ((uint64_t{1} << s) - 1)) == 0) {
    // A whole number (many signals are): its digits and six zeros, nothing to round.
    out = put_unsigned(out, mantissa >> s);
    memcpy(out, ".000000", 7);
    return out + 7;
  }
  const ExponentRule& rule = EXPONENT_RULES.rules[e - LOWEST_EXPONENT];
  u128 product = static_cast<u128>(mantissa) * 1000000u;
  uint64_t millionths = static_cast<uint64_t>(product >> s);
  u128 rest = product & ((static_cast<u128>(1) << s) - 1);
  u128 half = static_cast<u128>(1) << (s - 1);
  u128 distance = rest >= half ? rest - half : half - rest;
  if (distance <= rule.near_half) return nullptr;
  if (rest > half) ++millionths;
  out = put_unsigned(out, millionths / 1000000);
  auto decimals = static_cast<uint32_t>(millionths % 1000000);
  *out++ = '.';
  out = put_pair(out, decimals / 10000);
  out = put_pair(out, decimals / 100 % 100);
  return put_pair(out, decimals % 100);
}

bool fixed6_millionths(double value, int64_t* out) {
  uint64_t bits = std::bit_cast<uint64_t>(value);
  int e = static_cast<int>((bits >> 52) & 2047) - 1023;
  if (e > HIGHEST_EXPONENT) return false;
  if (e < LOWEST_EXPONENT) {
    *out = 0;
    return true;
  }
  uint64_t mantissa = (bits & ((uint64_t{1} << 52) - 1)) | (uint64_t{1} << 52);
  int s = 52 - e;
  u128 product = static_cast<u128>(mantissa) * 1000000u;
  auto millionths = static_cast<int64_t>(product >> s);
  u128 rest = product & ((static_cast<u128>(1) << s) - 1);
  if (rest != 0) {
    u128 half = static_cast<u128>(1) << (s - 1);
    u128 distance = rest >= half ? rest - half : half - rest;
    if (distance <= EXPONENT_RULES.rules[e - LOWEST_EXPONENT].near_half) return false;
    if (rest > half) ++millionths;
  }
  *out = bits >> 63 ? -millionths : millionths;
  return true;
}

char* format_fixed6(char* out, double value) {
  if (char* end = format_fixed6_direct(out, value)) return end;
  int n = stbsp_snprintf(out, static_cast<int>(FIXED6_TEXT_MAX), "%f", value);
  return out + (n > 0 ? n : 0);
}
