// Linear-time searching of large texts, random patterns and texts (invalid UTF-8 included)
// that must neither crash nor read out of bounds, and a differential test of whole-match
// extents against a brute-force reference.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "regex/regex.h"
#include "regex_test_util.h"

namespace {

double seconds_to_search(const Regex* re, const std::string& text, int32_t expected) {
  RegexCapture caps[REGEX_MAX_GROUPS + 1] = {};
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(regex_match(re, text.c_str(), caps, 0), expected);
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

TEST(RegexLinearTime, TenMegabytesWithoutAMatch) {
  // A backtracking search would retry from every position: 10^13 steps for this text.
  std::string text;
  text.reserve(10u << 20);
  while (text.size() < (10u << 20)) text += "abababababbbaaab";
  struct Case {
    const char* pattern;
    int32_t expected;
  } cases[] = {
      {"(a+|b+)+c", REGEX_NO_MATCH},
      {"(a)b*$", REGEX_MATCH},  // found at the very end, after a thread at every position
  };
  for (const Case& c : cases) {
    ScopedRegex re(c.pattern, 0);
    ASSERT_EQ(re.regex.error, 0);
    // Generous bound: linear work takes well under a second optimised; a quadratic
    // search would not finish at all.
    EXPECT_LT(seconds_to_search(&re.regex, text, c.expected), 60.0) << c.pattern;
  }
}

TEST(RegexLinearTime, ContinuedSearchOverManyLinesVisitsEachLineOnce) {
  std::string text;
  for (int i = 0; i < 200000; ++i)
    text += "  \"" + std::to_string(i) + "\": \"pw" + std::to_string(i) + "\",\n";
  ScopedRegex re("^\\s*\\\"(default|[a-fA-F\\d]*)\\\"\\s*:\\s*\\\"(.*)\\\"\\s*,?\\s*$", 0);
  RegexCapture caps[3] = {};
  int count = 0;
  while (regex_match(&re.regex, text.c_str(), caps, REGEX_CONTINUE) == REGEX_MATCH) ++count;
  EXPECT_EQ(count, 200000);
}

// Random pattern over the engine's syntax, including malformed pieces and random bytes.
std::string random_pattern(std::mt19937& rng) {
  static const char* const pieces[] = {
      "a",          "b",       "\xC3\xA9", ".",       "|",           "*",
      "+",          "?",       "(",        ")",       "(?i)",        "(?s)",
      "(?-i)",      "[ab]",    "[^a]",     "[a-",     "[[:alpha:]]", "[[:^digit:]\\d]",
      "[]",         "^",       "$",        "\\A",     "\\z",         "\\Z",
      "\\b",        "\\B",     "\\d",      "\\w",     "\\s",         "\\S",
      "\\p{Greek}", "\\P{L&}", "\\p{",     "\\x{41}", "\\x{",        "\\Q",
      "\\E",        "\\",      "\n",       "\xFF",    "\xE2\x82",    "[\\p{Lu}x-z]",
      "k"};
  std::string p;
  int n = static_cast<int>(rng() % 14);
  for (int i = 0; i < n; ++i) {
    if (rng() % 10 == 0) {
      p.push_back(static_cast<char>(1 + rng() % 255));
    } else {
      p += pieces[rng() % (sizeof(pieces) / sizeof(pieces[0]))];
    }
  }
  return p;
}

std::string random_text(std::mt19937& rng) {
  static const char* const pieces[] = {"a",        "b",
                                       "A",        "\n",
                                       " ",        "1",
                                       "\xC3\xA9", "\xC3\x89",
                                       "\xCE\xB1", "\xE2\x84\xAA",
                                       "\xFF",     "\xC3",
                                       "\xE2\x82", "\xF0\x9F\x98\x80",
                                       "_",        "k"};
  std::string t;
  int n = static_cast<int>(rng() % 16);
  for (int i = 0; i < n; ++i) t += pieces[rng() % (sizeof(pieces) / sizeof(pieces[0]))];
  return t;
}

TEST(RegexFuzz, RandomPatternsAndTextsAreSafe) {
  std::mt19937 rng(20261208);
  int compiled = 0, matched = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string pattern = random_pattern(rng);
    Regex re{};
    int32_t rc = regex_compile(&re, pattern.c_str(), rng() % 4);
    ASSERT_LE(rc, 0);
    if (rc == 0) {
      ++compiled;
      for (int k = 0; k < 4; ++k) {
        std::string text = random_text(rng);
        RegexCapture caps[REGEX_MAX_GROUPS + 1] = {};
        uint32_t flags = (rng() % 2) ? REGEX_LINE_BOUNDS : 0;
        // The range form gets an exactly sized heap copy, so any read beyond it is caught.
        std::vector<char> exact(text.begin(), text.end());
        int32_t m;
        if (k % 2 && !text.empty()) {
          caps[0] = RegexCapture{exact.data(), static_cast<int64_t>(exact.size())};
          m = regex_match(&re, nullptr, caps, flags | REGEX_RANGE);
        } else {
          m = regex_match(&re, text.c_str(), caps, flags);
        }
        ASSERT_TRUE(m == REGEX_MATCH || m == REGEX_NO_MATCH) << pattern;
        if (m != REGEX_MATCH) continue;
        ++matched;
        const char* base = k % 2 && !text.empty() ? exact.data() : text.c_str();
        size_t size = text.size();
        for (int32_t g = 0; g <= regex_group_count(&re); ++g) {
          if (!caps[g].start) continue;
          ASSERT_GE(caps[g].start, base);
          ASSERT_GE(caps[g].length, 0);
          ASSERT_LE(static_cast<size_t>(caps[g].start - base + caps[g].length), size);
        }
      }
    } else {
      RegexCapture caps[1] = {};
      EXPECT_EQ(regex_match(&re, "a", caps, 0), REGEX_FAILURE);
    }
    regex_free(re.program);
  }
  // The generator must exercise the search, not only the error paths.
  EXPECT_GT(compiled, 2000);
  EXPECT_GT(matched, 2000);
}

TEST(RegexFuzz, ArbitraryPatternBytesAreSafe) {
  std::mt19937 rng(99);
  for (int round = 0; round < 20000; ++round) {
    std::string pattern;
    int n = static_cast<int>(rng() % 24);
    for (int i = 0; i < n; ++i) pattern.push_back(static_cast<char>(1 + rng() % 255));
    std::vector<char> exact(pattern.begin(), pattern.end());
    exact.push_back('\0');  // exactly sized, so reading past the pattern is caught
    Regex re{};
    int32_t rc = regex_compile(&re, exact.data(), 0);
    ASSERT_LE(rc, 0);
    if (rc == 0) {
      RegexCapture caps[REGEX_MAX_GROUPS + 1] = {};
      int32_t m = regex_match(&re, pattern.c_str(), caps, 0);
      ASSERT_TRUE(m == REGEX_MATCH || m == REGEX_NO_MATCH);
    }
    regex_free(re.program);
  }
}

// A slow reference for whole-match extents: the set of end positions of a pattern tree,
// computed by brute force over a short text, from which the earliest start and then the
// longest match are taken.
struct RefNode {
  char kind;  // 'c' char set, '^', '$', '.', '|', '&' concat, '*', '+', '?'
  std::string set;
  bool negated = false;
  std::vector<RefNode> kids;
};

struct RefParser {
  const std::string& p;
  size_t i = 0;
  RefNode alternation() {
    RefNode left = concatenation();
    while (i < p.size() && p[i] == '|') {
      ++i;
      RefNode alt{'|', "", false, {left, concatenation()}};
      left = alt;
    }
    return left;
  }
  RefNode concatenation() {
    RefNode seq{'&', "", false, {}};
    while (i < p.size() && p[i] != '|' && p[i] != ')') seq.kids.push_back(repetition());
    return seq;
  }
  RefNode repetition() {
    RefNode a = atom();
    while (i < p.size() && (p[i] == '*' || p[i] == '+' || p[i] == '?')) {
      RefNode r{p[i++], "", false, {a}};
      a = r;
    }
    return a;
  }
  RefNode atom() {
    char c = p[i++];
    if (c == '(') {
      RefNode inner = alternation();
      ++i;  // ')'
      return inner;
    }
    if (c == '^' || c == '$' || c == '.') return RefNode{c, "", false, {}};
    if (c == '[') {
      RefNode set{'c', "", false, {}};
      if (p[i] == '^') {
        set.negated = true;
        ++i;
      }
      while (p[i] != ']') {
        if (p[i + 1] == '-' && p[i + 2] != ']') {
          for (char x = p[i]; x <= p[i + 2]; ++x) set.set.push_back(x);
          i += 3;
        } else {
          set.set.push_back(p[i++]);
        }
      }
      ++i;
      return set;
    }
    return RefNode{'c', std::string(1, c), false, {}};
  }
};

// With `fold`, text letters are compared in lower case (the patterns hold lower case only).
uint32_t ref_ends(const RefNode& n, const std::string& t, uint32_t from, bool fold) {
  uint32_t out = 0;
  int len = static_cast<int>(t.size());
  switch (n.kind) {
    case 'c':
    case '.':
      for (int i = 0; i < len; ++i) {
        if (!(from >> i & 1)) continue;
        char ch = t[static_cast<size_t>(i)];
        if (fold && ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch + 32);
        bool in = n.kind == '.' || (n.set.find(ch) != std::string::npos) != n.negated;
        if (in && t[static_cast<size_t>(i)] != '\n') out |= 1u << (i + 1);
      }
      return out;
    case '^':
      return from & 1u;
    case '$':
      return from & (1u << len);
    case '|':
      return ref_ends(n.kids[0], t, from, fold) | ref_ends(n.kids[1], t, from, fold);
    case '&':
      for (const RefNode& k : n.kids) from = ref_ends(k, t, from, fold);
      return from;
    case '?':
      return from | ref_ends(n.kids[0], t, from, fold);
    case '+':
      from = ref_ends(n.kids[0], t, from, fold);
      [[fallthrough]];
    case '*':
      for (;;) {
        uint32_t next = from | ref_ends(n.kids[0], t, from, fold);
        if (next == from) return from;
        from = next;
      }
    default:
      return 0;
  }
}

// Patterns over a, b, c with alternation, repetition, groups, anchors and simple brackets.
std::string random_simple_pattern(std::mt19937& rng, int depth = 0) {
  static const char* const atoms[] = {"a", "b", "c", ".", "[ab]", "[^a]", "[a-c]", "^", "$"};
  std::string p;
  int n = 1 + static_cast<int>(rng() % 3);
  for (int i = 0; i < n; ++i) {
    if (depth < 2 && rng() % 4 == 0) {
      p += "(" + random_simple_pattern(rng, depth + 1) + ")";
    } else {
      p += atoms[rng() % (sizeof(atoms) / sizeof(atoms[0]))];
    }
    switch (rng() % 6) {
      case 0:
        p += "*";
        break;
      case 1:
        p += "+";
        break;
      case 2:
        p += "?";
        break;
      default:
        break;
    }
  }
  if (rng() % 4 == 0) p += "|" + random_simple_pattern(rng, depth + 1);
  return p;
}

TEST(RegexDifferential, WholeMatchAgreesWithBruteForceReference) {
  std::mt19937 rng(42);
  int compared = 0, found_count = 0;
  for (int round = 0; round < 4000; ++round) {
    std::string pattern = random_simple_pattern(rng);
    RefParser parser{pattern};
    RefNode tree = parser.alternation();
    // Every third pattern runs case-insensitively over texts with both cases.
    bool fold = round % 3 == 0;
    ScopedRegex re(pattern.c_str(), fold ? REGEX_CASE_INSENSITIVE : 0);
    ASSERT_EQ(re.regex.error, 0) << pattern;
    for (int k = 0; k < 5; ++k) {
      std::string text;
      int n = static_cast<int>(rng() % 12);
      for (int i = 0; i < n; ++i)
        text.push_back((fold ? "abcdABCD" : "abcd")[rng() % (fold ? 8 : 4)]);
      int ref_start = -1, ref_length = 0;
      for (int start = 0; start <= n && ref_start < 0; ++start) {
        uint32_t ends = ref_ends(tree, text, 1u << start, fold);
        if (ends) {
          ref_start = start;
          ref_length = 31 - __builtin_clz(ends) - start;
        }
      }
      RegexCapture caps[REGEX_MAX_GROUPS + 1] = {};
      int32_t rc = regex_match(&re.regex, text.c_str(), caps, 0);
      ASSERT_EQ(rc == REGEX_MATCH, ref_start >= 0) << pattern << " on " << text;
      if (ref_start >= 0) {
        ++found_count;
        ASSERT_EQ(caps[0].start - text.c_str(), ref_start) << pattern << " on " << text;
        ASSERT_EQ(caps[0].length, ref_length) << pattern << " on " << text;
      }
      ++compared;
    }
  }
  EXPECT_EQ(compared, 20000);
  EXPECT_GT(found_count, 5000);
}

}  // namespace
