// UTF-8 decoding and the simple Unicode case mappings shared by the regular-expression
// engine and the file-name handling of the tool.
#include <algorithm>

#include "regex/regex.h"
#include "regex/unicode_tables.h"

namespace {

// Per lead byte: the sequence length (0: not a lead byte) and the allowed range of the
// second byte, which rules out overlong forms, surrogates and values above U+10FFFF.
struct LeadInfo {
  uint8_t length;
  uint8_t second_low;
  uint8_t second_high;
};

constexpr LeadInfo lead_info(uint8_t b) {
  if (b < 0x80) return {1, 0, 0};
  if (b < 0xC2) return {0, 0, 0};
  if (b < 0xE0) return {2, 0x80, 0xBF};
  if (b == 0xE0) return {3, 0xA0, 0xBF};
  if (b == 0xED) return {3, 0x80, 0x9F};
  if (b < 0xF0) return {3, 0x80, 0xBF};
  if (b == 0xF0) return {4, 0x90, 0xBF};
  if (b < 0xF4) return {4, 0x80, 0xBF};
  if (b == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

struct LeadTable {
  LeadInfo info[256];
  constexpr LeadTable() : info() {
    for (int i = 0; i < 256; ++i) info[i] = lead_info(static_cast<uint8_t>(i));
  }
};
constexpr LeadTable k_lead;

uint32_t case_map(UnicodeCaseTable table, uint32_t cp) {
  std::span<const UnicodeCaseRun> runs = unicode_case_table(table);
  auto it = std::upper_bound(runs.begin(), runs.end(), cp,
                             [](uint32_t c, const UnicodeCaseRun& r) { return c < r.first; });
  if (it == runs.begin()) return cp;
  const UnicodeCaseRun& r = *(it - 1);
  if (cp > r.last || (cp - r.first) % r.stride != 0) return cp;
  return static_cast<uint32_t>(static_cast<int64_t>(cp) + r.delta);
}

}  // namespace

int32_t utf8_decode(const char* p, const char* end, uint32_t* cp) {
  const auto* s = reinterpret_cast<const uint8_t*>(p);
  const LeadInfo& info = k_lead.info[s[0]];
  if (info.length == 1) {
    *cp = s[0];
    return 1;
  }
  if (info.length == 0 || end - p < info.length || s[1] < info.second_low ||
      s[1] > info.second_high) {
    *cp = UTF8_INVALID_BASE + s[0];
    return 1;
  }
  uint32_t value = s[0] & (0x7F >> info.length);
  value = (value << 6) | (s[1] & 0x3F);
  for (int i = 2; i < info.length; ++i) {
    if ((s[i] & 0xC0) != 0x80) {
      *cp = UTF8_INVALID_BASE + s[0];
      return 1;
    }
    value = (value << 6) | (s[i] & 0x3F);
  }
  *cp = value;
  return info.length;
}

int32_t utf8_decode_before(const char* begin, const char* p, uint32_t* cp) {
  // A well-formed sequence ending at p starts at the nearest byte that is not a
  // continuation byte; anything else means the byte before p was decoded on its own.
  const char* q = p - 1;
  int steps = 0;
  while (q > begin && steps < 3 && (static_cast<uint8_t>(*q) & 0xC0) == 0x80) {
    --q;
    ++steps;
  }
  uint32_t value;
  if (utf8_decode(q, p, &value) == p - q) {
    *cp = value;
    return static_cast<int32_t>(p - q);
  }
  *cp = UTF8_INVALID_BASE + static_cast<uint8_t>(p[-1]);
  return 1;
}

uint32_t unicode_simple_fold(uint32_t cp) {
  if (cp < 0x80) return (cp >= 'A' && cp <= 'Z') ? cp + 32 : cp;
  return case_map(UNICODE_FOLD, cp);
}

uint32_t unicode_to_lower(uint32_t cp) {
  if (cp < 0x80) return (cp >= 'A' && cp <= 'Z') ? cp + 32 : cp;
  return case_map(UNICODE_LOWER, cp);
}

uint32_t unicode_to_upper(uint32_t cp) {
  if (cp < 0x80) return (cp >= 'a' && cp <= 'z') ? cp - 32 : cp;
  return case_map(UNICODE_UPPER, cp);
}
