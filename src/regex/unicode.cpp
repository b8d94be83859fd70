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

int32_t utf8_encode(uint32_t cp, char* out) {
  auto* o = reinterpret_cast<uint8_t*>(out);
  if (cp < 0x80) {
    o[0] = static_cast<uint8_t>(cp);
    return 1;
  }
  if (cp >= UTF8_INVALID_BASE) {
    o[0] = static_cast<uint8_t>(cp - UTF8_INVALID_BASE);
    return 1;
  }
  if (cp < 0x800) {
    o[0] = static_cast<uint8_t>(0xC0 | (cp >> 6));
    o[1] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    o[0] = static_cast<uint8_t>(0xE0 | (cp >> 12));
    o[1] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
    o[2] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
    return 3;
  }
  o[0] = static_cast<uint8_t>(0xF0 | (cp >> 18));
  o[1] = static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F));
  o[2] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
  o[3] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
  return 4;
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

bool utf8_equal_fold(std::string_view a, std::string_view b) {
  const char* pa = a.data();
  const char* ea = pa + a.size();
  const char* pb = b.data();
  const char* eb = pb + b.size();
  while (pa < ea && pb < eb) {
    uint32_t ca, cb;
    pa += utf8_decode(pa, ea, &ca);
    pb += utf8_decode(pb, eb, &cb);
    if (ca != cb && unicode_simple_fold(ca) != unicode_simple_fold(cb)) return false;
  }
  return pa == ea && pb == eb;
}

bool utf8_ends_with_fold(std::string_view text, std::string_view suffix) {
  const char* tb = text.data();
  const char* tp = tb + text.size();
  const char* sb = suffix.data();
  const char* sp = sb + suffix.size();
  while (sp > sb) {
    if (tp == tb) return false;
    uint32_t ct, cs;
    tp -= utf8_decode_before(tb, tp, &ct);
    sp -= utf8_decode_before(sb, sp, &cs);
    if (ct != cs && unicode_simple_fold(ct) != unicode_simple_fold(cs)) return false;
  }
  return true;
}

bool utf8_lower(std::string_view in, DynString* out) {
  const char* p = in.data();
  const char* end = p + in.size();
  while (p < end) {
    uint32_t cp;
    int32_t n = utf8_decode(p, end, &cp);
    char buf[4];
    int32_t m = utf8_encode(unicode_to_lower(cp), buf);
    if (!dynstring_append(out, buf, static_cast<uint64_t>(m))) return false;
    p += n;
  }
  return true;
}
