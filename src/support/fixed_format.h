// The "%f" text of a double (six decimals), byte for byte as stb_sprintf writes it.
//
// stb_sprintf finds the digits from a 64-bit integer approximation of value × 10^k (k chosen
// from the binary exponent) and rounds it half-up at the sixth decimal. For the magnitudes a
// logger writes (about 2.4e-7 up to 8.6e9) the exact product value × 10^6 tells the same
// rounding whenever its fraction is not within the approximation's reach of one half; those
// values are written here directly. Every other value (NaN, infinities, large magnitudes, the
// near-halves) is handed to stb_sprintf itself.
#pragma once

#include <cstddef>
#include <cstdint>

// Room a caller gives `format_fixed6`: sign, 309 integer digits, point, six decimals, zero.
constexpr size_t FIXED6_TEXT_MAX = 320;

// Writes the text of `value` at `out` (at least FIXED6_TEXT_MAX bytes; no terminating zero is
// written) and returns the end of the text.
char* format_fixed6(char* out, double value);

// The direct path alone: the end of the text, or null when the value is one stb_sprintf has to
// write (nothing useful is then at `out`). For tests and benchmarks.
char* format_fixed6_direct(char* out, double value);

// value × 10^6 rounded as the text of format_fixed6 spells it (the sign kept, zero for a value
// that rounds to zero), computed without the text. False for a value the direct path does not
// write (see format_fixed6_direct); the caller then reads the text.
bool fixed6_millionths(double value, int64_t* out);
