// UTF-8 decoding (forward and backward), the simple case mappings and the helpers built on
// them.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "regex/regex.h"
#include "regex/unicode_tables.h"

namespace {

std::vector<uint32_t> decode_all(const std::string& s) {
  std::vector<uint32_t> out;
  const char* p = s.data();
  const char* end = p + s.size();
  while (p < end) {
    uint32_t cp;
    p += utf8_decode(p, end, &cp);
    out.push_back(cp);
  }
  return out;
}

TEST(Utf8Decode, WellFormedAndMalformedSequences) {
  struct Case {
    std::string bytes;
    std::vector<uint32_t> cps;
  } cases[] = {
      {"aZ", {'a', 'Z'}},
      {"\xC3\xA9", {0xE9}},
      {"\xE2\x82\xAC", {0x20AC}},
      {"\xF0\x9F\x98\x80", {0x1F600}},
      {"\xF4\x8F\xBF\xBF", {0x10FFFF}},
      // overlong forms, surrogates, beyond U+10FFFF: one invalid byte at a time
      {"\xC0\xAF", {UTF8_INVALID_BASE + 0xC0, UTF8_INVALID_BASE + 0xAF}},
      {"\xE0\x80\xAF",
       {UTF8_INVALID_BASE + 0xE0, UTF8_INVALID_BASE + 0x80, UTF8_INVALID_BASE + 0xAF}},
      {"\xED\xA0\x80",
       {UTF8_INVALID_BASE + 0xED, UTF8_INVALID_BASE + 0xA0, UTF8_INVALID_BASE + 0x80}},
      {"\xF4\x90\x80\x80",
       {UTF8_INVALID_BASE + 0xF4, UTF8_INVALID_BASE + 0x90, UTF8_INVALID_BASE + 0x80,
        UTF8_INVALID_BASE + 0x80}},
      {"\xFF"
       "a",
       {UTF8_INVALID_BASE + 0xFF, 'a'}},
      // a sequence cut short by an ASCII byte or by the end
      {"\xE2\x82"
       "a",
       {UTF8_INVALID_BASE + 0xE2, UTF8_INVALID_BASE + 0x82, 'a'}},
      {"\xE2\x82", {UTF8_INVALID_BASE + 0xE2, UTF8_INVALID_BASE + 0x82}},
  };
  for (const Case& c : cases) EXPECT_EQ(decode_all(c.bytes), c.cps) << c.bytes;
}

TEST(Utf8Decode, NeverReadsPastTheEnd) {
  // The three-byte lead is the last byte of an exactly sized heap block (ASan checks it).
  std::vector<char> bytes = {'x', '\xE2'};
  uint32_t cp;
  EXPECT_EQ(utf8_decode(bytes.data() + 1, bytes.data() + 2, &cp), 1);
  EXPECT_EQ(cp, UTF8_INVALID_BASE + 0xE2);
}

TEST(Utf8Decode, BackwardAgreesWithForwardOnRandomBytes) {
  std::mt19937 rng(7);
  const char alphabet[] = {'a',    '\n',   '\x80', '\x9F', '\xBF', '\xC3', '\xE2',
                           '\xED', '\xF0', '\xF4', '\xFF', '\xA9', '\x82', '\x98'};
  for (int round = 0; round < 2000; ++round) {
    std::string s;
    int n = static_cast<int>(rng() % 12) + 1;
    for (int i = 0; i < n; ++i) s.push_back(alphabet[rng() % sizeof(alphabet)]);
    std::vector<std::pair<size_t, uint32_t>> forward;  // (end offset, code point)
    const char* p = s.data();
    const char* end = p + s.size();
    while (p < end) {
      uint32_t cp;
      p += utf8_decode(p, end, &cp);
      forward.emplace_back(static_cast<size_t>(p - s.data()), cp);
    }
    for (size_t i = 0; i < forward.size(); ++i) {
      uint32_t cp;
      size_t at = forward[i].first;
      int32_t len = utf8_decode_before(s.data(), s.data() + at, &cp);
      size_t expected_len = at - (i == 0 ? 0 : forward[i - 1].first);
      ASSERT_EQ(cp, forward[i].second) << "round " << round << " at " << at;
      ASSERT_EQ(static_cast<size_t>(len), expected_len);
    }
  }
}

TEST(UnicodeCase, SimpleMappings) {
  struct Case {
    uint32_t cp, fold, lower, upper;
  } cases[] = {
      {'A', 'a', 'a', 'A'},
      {'z', 'z', 'z', 'Z'},
      {'1', '1', '1', '1'},
      {0xC9, 0xE9, 0xE9, 0xC9},      // É
      {0xE9, 0xE9, 0xE9, 0xC9},      // é
      {0x100, 0x101, 0x101, 0x100},  // alternating pairs
      {0x101, 0x101, 0x101, 0x100},
      {0x130, 0x130, 0x69, 0x130},   // dotted I: no simple fold, lower i
      {0x212A, 'k', 'k', 0x212A},    // Kelvin sign
      {0x17F, 's', 0x17F, 'S'},      // long s
      {0x3A3, 0x3C3, 0x3C3, 0x3A3},  // Greek sigma
      {0x3C2, 0x3C3, 0x3C2, 0x3A3},  // final sigma
      {0x1C5, 0x1C6, 0x1C6, 0x1C4},  // titlecase dz with caron
      {0x410, 0x430, 0x430, 0x410},  // Cyrillic A
      {0x10400, 0x10428, 0x10428, 0x10400},
      {0x13A0, 0x13A0, 0xAB70, 0x13A0},  // Cherokee capitals are the fold targets
      {0xAB70, 0x13A0, 0xAB70, 0x13A0},
      {0x1E921, 0x1E943, 0x1E943, 0x1E921},
      {UTF8_INVALID_BASE + 0x41, UTF8_INVALID_BASE + 0x41, UTF8_INVALID_BASE + 0x41,
       UTF8_INVALID_BASE + 0x41},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(unicode_simple_fold(c.cp), c.fold) << std::hex << c.cp;
    EXPECT_EQ(unicode_to_lower(c.cp), c.lower) << std::hex << c.cp;
    EXPECT_EQ(unicode_to_upper(c.cp), c.upper) << std::hex << c.cp;
  }
}

TEST(UnicodeTables, RangesAreSortedAndDisjoint) {
  for (int32_t t = 0; t < UNICODE_TABLE_COUNT; ++t) {
    std::span<const UnicodeRange> ranges = unicode_table(static_cast<UnicodeTable>(t));
    ASSERT_FALSE(ranges.empty()) << t;
    for (size_t i = 0; i < ranges.size(); ++i) {
      ASSERT_LE(ranges[i].first, ranges[i].last) << t;
      if (i > 0) {
        ASSERT_GT(ranges[i].first, ranges[i - 1].last + 1) << t;  // merged
      }
    }
  }
  for (UnicodeCaseTable t : {UNICODE_FOLD, UNICODE_LOWER, UNICODE_UPPER}) {
    std::span<const UnicodeCaseRun> runs = unicode_case_table(t);
    for (size_t i = 1; i < runs.size(); ++i) ASSERT_GT(runs[i].first, runs[i - 1].last);
  }
  EXPECT_TRUE(unicode_table(static_cast<UnicodeTable>(-1)).empty());
}

}  // namespace
