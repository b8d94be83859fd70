// The regular-expression engine: compile errors and limits, syntax by feature, the match
// rules (earliest start, longest, capture priority), the search flags, and the line patterns
// of the DBC parser and the password store against realistic lines.
#include "regex/regex.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/passwords.h"
#include "dbc/dbc_patterns.h"
#include "regex_test_util.h"

namespace {

using Groups = std::vector<std::string>;
const Groups NO_MATCH = {};

std::string repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

// --- Compilation ---------------------------------------------------------------------

TEST(RegexCompile, ErrorCodes) {
  struct Case {
    const char* pattern;
    int32_t error;
  } cases[] = {
      {"abc", 0},
      {"", 0},
      {"(a", REGEX_ERROR_UNCLOSED_GROUP},
      {"((a)", REGEX_ERROR_UNCLOSED_GROUP},
      {"(?i", REGEX_ERROR_UNCLOSED_GROUP},
      {"a)", REGEX_ERROR_UNMATCHED_CLOSE},
      {")", REGEX_ERROR_UNMATCHED_CLOSE},
      {"\\x{41", REGEX_ERROR_UNMATCHED_CLOSE},
      {"\\x{4g}", REGEX_ERROR_UNMATCHED_CLOSE},
      {"[abc", REGEX_ERROR_UNCLOSED_BRACKET},
      {"[", REGEX_ERROR_UNCLOSED_BRACKET},
      {"[^", REGEX_ERROR_UNCLOSED_BRACKET},
      {"[a\\", REGEX_ERROR_UNCLOSED_BRACKET},
      {"*a", REGEX_ERROR_MISSING_OPERAND},
      {"a|*", REGEX_ERROR_MISSING_OPERAND},
      {"a|", REGEX_ERROR_MISSING_OPERAND},
      {"|a", REGEX_ERROR_MISSING_OPERAND},
      {"()", REGEX_ERROR_MISSING_OPERAND},
      {"(|a)", REGEX_ERROR_MISSING_OPERAND},
      {"(*)", REGEX_ERROR_MISSING_OPERAND},
      {"(?x)", REGEX_ERROR_UNKNOWN_FLAG},
      {"(?:a)", REGEX_ERROR_UNKNOWN_FLAG},
      {"(?i-s)a", 0},
      {"\\p{Nope}", REGEX_ERROR_PROPERTY},
      {"\\p{nd}", REGEX_ERROR_PROPERTY},  // names are case-sensitive
      {"\\pL", REGEX_ERROR_PROPERTY},
      {"[\\p{Greek]", REGEX_ERROR_PROPERTY},
      {"a**", 0},
      {"(?i)*", 0},
      {"^*$", 0},
  };
  for (const Case& c : cases) {
    Regex re{};
    EXPECT_EQ(regex_compile(&re, c.pattern, 0), c.error) << c.pattern;
    EXPECT_EQ(re.error, c.error) << c.pattern;
    regex_free(re.program);
  }
}

TEST(RegexCompile, GroupBracketAndItemLimits) {
  std::string groups31 = repeat("(a)", 31);
  std::string groups32 = repeat("(a)", 32);
  ScopedRegex ok(groups31.c_str(), 0);
  EXPECT_EQ(ok.regex.error, 0);
  EXPECT_EQ(regex_group_count(&ok.regex), 31);
  ScopedRegex too_many(groups32.c_str(), 0);
  EXPECT_EQ(too_many.regex.error, REGEX_ERROR_TOO_MANY_GROUPS);

  std::string brackets16 = repeat("[ab]", 16);
  std::string brackets17 = repeat("[ab]", 17);
  EXPECT_EQ(ScopedRegex(brackets16.c_str(), 0).regex.error, 0);
  EXPECT_EQ(ScopedRegex(brackets17.c_str(), 0).regex.error, REGEX_ERROR_TOO_MANY_BRACKETS);

  std::string items32 = "[" + std::string("abcdefghijklmnopqrstuvwxyzABCDEF") + "]";
  std::string items33 = "[" + std::string("abcdefghijklmnopqrstuvwxyzABCDEFG") + "]";
  EXPECT_EQ(ScopedRegex(items32.c_str(), 0).regex.error, 0);
  EXPECT_EQ(ScopedRegex(items33.c_str(), 0).regex.error, REGEX_ERROR_BRACKET_ITEMS);
}

TEST(RegexCompile, NestingBeyondTheStacksFailsWithACode) {
  // Each level of "a(" holds a concatenation and a group start on the operator stack of 20.
  for (int depth : {5, 10, 11, 5000}) {
    std::string pattern = repeat("a(", depth) + "b" + repeat(")", depth);
    ScopedRegex re(pattern.c_str(), 0);
    EXPECT_EQ(re.regex.error, depth <= 10 ? 0 : REGEX_ERROR_OPERATOR_STACK) << depth;
  }
  ScopedRegex ten((repeat("a(", 10) + "b" + repeat(")", 10)).c_str(), 0);
  RegexCapture caps10[11] = {};
  ASSERT_EQ(regex_match(&ten.regex, "xaaaaaaaaaab", caps10, 0), REGEX_MATCH);
  EXPECT_EQ(capture_text(caps10[10]), "b");
  EXPECT_EQ(capture_text(caps10[1]), "aaaaaaaaab");
  std::string groups = repeat("(", 21) + "a" + repeat(")", 21);
  EXPECT_EQ(ScopedRegex(groups.c_str(), 0).regex.error, REGEX_ERROR_OPERATOR_STACK);
  // Alternations are applied as they come, so a long flat pattern needs no deep stacks.
  std::string flat = repeat("ab|", 2000) + "c";
  ScopedRegex flat_re(flat.c_str(), 0);
  EXPECT_EQ(flat_re.regex.error, 0);
  RegexCapture caps[1];
  EXPECT_EQ(regex_match(&flat_re.regex, "xxc", caps, 0), REGEX_MATCH);
}

TEST(RegexCompile, HolderIsReusedAndAFailedCompileIsNotMatched) {
  Regex re{};
  RegexCapture caps[3] = {};
  ASSERT_EQ(regex_compile(&re, "(b+)", 0), 0);
  EXPECT_EQ(regex_match(&re, "abbc", caps, 0), REGEX_MATCH);
  EXPECT_EQ(capture_text(caps[1]), "bb");
  ASSERT_EQ(regex_compile(&re, "(x)(y", 0), REGEX_ERROR_UNCLOSED_GROUP);
  EXPECT_EQ(regex_match(&re, "xy", caps, 0), REGEX_FAILURE);
  EXPECT_EQ(regex_group_count(&re), 0);
  ASSERT_EQ(regex_compile(&re, "(x)(y)", 0), 0);
  EXPECT_EQ(regex_match(&re, "axyz", caps, 0), REGEX_MATCH);
  EXPECT_EQ(capture_text(caps[2]), "y");
  regex_free(re.program);
  Regex empty{};
  EXPECT_EQ(regex_match(&empty, "x", caps, 0), REGEX_FAILURE);
  EXPECT_EQ(regex_compile(nullptr, "x", 0), REGEX_ERROR_ARGUMENT);
  EXPECT_EQ(regex_compile(&empty, nullptr, 0), REGEX_ERROR_ARGUMENT);
}

// --- Syntax by feature ---------------------------------------------------------------

struct SyntaxCase {
  const char* pattern;
  std::string text;
  uint32_t compile_flags;
  Groups expected;  // group 0 first; empty: no match
};

void run_cases(const std::vector<SyntaxCase>& cases) {
  for (const SyntaxCase& c : cases) {
    SearchResult r = regex_search(c.pattern, c.text, c.compile_flags);
    ASSERT_GE(r.rc, REGEX_NO_MATCH) << c.pattern;
    EXPECT_EQ(r.groups, c.expected) << "pattern " << c.pattern << " text " << c.text;
  }
}

TEST(RegexSyntax, LiteralsConcatenationAlternationRepetition) {
  run_cases({
      {"abc", "xxabcxx", 0, {"abc"}},
      {"abc", "ab", 0, NO_MATCH},
      {"a|b|c", "xxc", 0, {"c"}},
      {"ab|cd", "xcd", 0, {"cd"}},
      {"a(b|c)d", "acd", 0, {"acd", "c"}},
      {"ab*c", "ac", 0, {"ac"}},
      {"ab*c", "abbbc", 0, {"abbbc"}},
      {"ab+c", "ac", 0, NO_MATCH},
      {"ab+c", "abbc", 0, {"abbc"}},
      {"ab?c", "abc", 0, {"abc"}},
      {"ab?c", "abbc", 0, NO_MATCH},
      {"(ab)+", "ababab", 0, {"ababab", "ab"}},
      {"a**", "aaa", 0, {"aaa"}},
      {"", "abc", 0, {""}},
      {"x*", "abc", 0, {""}},
      {"\xC3\xA9+", "caf\xC3\xA9\xC3\xA9!", 0, {"\xC3\xA9\xC3\xA9"}},  // é+ repeats a code point
      {"caf.", "caf\xE2\x82\xAC", 0, {"caf\xE2\x82\xAC"}},
      {"{1}", "a{1}", 0, {"{1}"}},  // no counted repetition: braces are literals
      {"a]", "a]", 0, {"a]"}},
  });
}

TEST(RegexSyntax, Escapes) {
  run_cases({
      {"\\.", "a.b", 0, {"."}},
      {"\\\\", "a\\b", 0, {"\\"}},
      {"\\\"(x)\\\"", "say \"x\"", 0, {"\"x\"", "x"}},
      {"\\|\\(\\[\\+\\-\\*\\?", "|([+-*?", 0, {"|([+-*?"}},
      {"\\t\\n\\r\\v\\f\\a", "\t\n\r\v\f\a", 0, {"\t\n\r\v\f\a"}},
      {"\\x{41}\\x{e9}\\x{20AC}", "A\xC3\xA9\xE2\x82\xAC", 0, {"A\xC3\xA9\xE2\x82\xAC"}},
      {"a\\x{0}b", "a", 0, {"a"}},  // the value 0 ends the pattern
      {"\\x", "x", 0, {"x"}},
      {"\\Q.*+\\E.", "a.*+b", 0, {".*+b"}},
      {"\\Q(a|b)", "(a|b)", 0, {"(a|b)"}},
      {"a\\Q\\E*", "aaa", 0, {"aaa"}},
      {"\\y\\E", "yE", 0, {"yE"}},
      {"a\\", "a\\", 0, {"a\\"}},
  });
}

TEST(RegexSyntax, AnchorsAndBoundaries) {
  run_cases({
      {"^ab", "ab", 0, {"ab"}},
      {"^ab", "xab", 0, NO_MATCH},
      {"^ab", "x\nab", 0, {"ab"}},
      {"ab$", "ab\nx", 0, {"ab"}},
      {"ab$", "abx", 0, NO_MATCH},
      {"^$", "a\n\nb", 0, {""}},
      {"\\Aab", "x\nab", 0, NO_MATCH},
      {"\\Aab", "ab", 0, {"ab"}},
      {"ab\\z", "ab\n", 0, NO_MATCH},
      {"ab\\Z", "ab\n", 0, {"ab"}},
      {"ab\\Z", "ab\n\n", 0, NO_MATCH},
      {"ab\\z", "xab", 0, {"ab"}},
      {"\\bcat\\b", "concat cat", 0, {"cat"}},
      {"\\Bcat", "concat cat", 0, {"cat"}},
      {"\\b", " x", 0, {""}},
      {"\\b\\s", " x", 0, NO_MATCH},  // no boundary between the text start and a space
      {"x\\b", "x", 0, {"x"}},
      {"\\B", "", 0, {""}},
      {"\\b\\w+\\b", "--\xD0\xB4\xD0\xB0--", 0, {"\xD0\xB4\xD0\xB0"}},  // Cyrillic word
  });
}

TEST(RegexSyntax, BracketExpressions) {
  run_cases({
      {"[abc]+", "xxbcay", 0, {"bca"}},
      {"[a-c]+", "dcbae", 0, {"cba"}},
      {"[^a-c]+", "abxyzc", 0, {"xyz"}},
      {"[^x]", "\n", 0, NO_MATCH},
      {"[^x]+", "ab\ncd", 0, {"ab"}},
      {"[]a]", "]", 0, NO_MATCH},  // "[]" is the empty set; "a]" follows
      {"[]a]", "a]", 0, NO_MATCH},
      {"[]", "x", 0, NO_MATCH},
      {"[^]x", "yx", 0, {"yx"}},
      {"[-a]+", "x-a-", 0, {"-a-"}},
      {"[a-]+", "x-a-", 0, {"-a-"}},
      {"[\\-x]+", "-x", 0, {"-x"}},
      {"[0-9eE\\.\\-]+", "x-1.5e3y", 0, {"-1.5e3"}},
      {"[a-fA-F\\d]+", "zz0aF9g", 0, {"0aF9"}},
      {"[\\d]+",
       "a\xD9\xA1"
       "2",
       0,
       {"\xD9\xA1"
        "2"}},
      {"[\\s]+", "a \t\nb", 0, {" \t\n"}},
      {"[\\S]+", "  ab ", 0, {"ab"}},
      {"[\\w]+", "--a_1--", 0, {"a_1"}},
      {"[\\W]+", "ab-+cd", 0, {"-+"}},
      {"[\\D]+", "12ab3", 0, {"ab"}},
      {"[\\n\\t]+", "a\n\tb", 0, {"\n\t"}},
      {"[\\]]", "]", 0, {"]"}},
      {"[a-c-e]+", "xa-eb", 0, {"a-eb"}},  // "-" after a range is literal here
      {"[c-a]", "b", 0, NO_MATCH},         // a reversed range matches nothing
      {"[a-\\d]+", "a-5", 0, {"a-5"}},
      {"[a-cb-d]+", "dcba", 0, {"dcba"}},  // overlapping ranges merge
      {"[\xC3\xA0-\xC3\xBF]+", "a\xC3\xA9\xC3\xA8z", 0, {"\xC3\xA9\xC3\xA8"}},
      {"[[:digit:]]+", "ab12c", 0, {"12"}},
      {"[[:^digit:]]+", "12ab3", 0, {"ab"}},
      {"[[:alpha:][:digit:]]+", "-a1-", 0, {"a1"}},
      {"[[:graph:]]+",
       " \x01"
       "ab!~ c",
       0,
       {"ab!~"}},
      {"[[:punct:]]+", "ab!?,c", 0, {"!?,"}},
      {"[[:xdigit:]]+", "xyz0fAgh", 0, {"0fA"}},
      {"[[:space:]]+", "a \t\r\n\v\fb", 0, {" \t\r\n\v\f"}},
      {"[[:blank:]]+", "a \t\nb", 0, {" \t"}},
      {"[[:cntrl:]]+",
       "a\x01\x1f\x7f"
       "b",
       0,
       {"\x01\x1f\x7f"}},
      {"[[:print:]]+",
       "\x01"
       "a b\x7f",
       0,
       {"a b"}},
      {"[[:upper:]]+", "abCDe", 0, {"CD"}},
      {"[[:lower:]]+", "ABcdE", 0, {"cd"}},
      {"[[:alnum:]]+", "-a1-", 0, {"a1"}},
      {"[[:word:]]+", "-a_1-", 0, {"a_1"}},
      {"[[:ascii:]]+",
       "\xC3\xA9"
       "ab\xC3\xA9",
       0,
       {"ab"}},
      {"[[:alpha:]]", "\xC3\xA9", 0, NO_MATCH},  // POSIX classes stop at 127
      {"[[:^alpha:]]", "\xC3\xA9", 0, {"\xC3\xA9"}},
      {"[[:nope:]]", "[", 0, NO_MATCH},  // unknown name: "[" is a literal in "[[:nope:]"...
      {"[[:nope:]]", "n]", 0, {"n]"}},   // ... and the bracket ends at the first "]"
      {"[\\p{Greek}]+", "a\xCE\xB1\xCE\xB2z", 0, {"\xCE\xB1\xCE\xB2"}},
      {"[\\P{Greek}]+",
       "\xCE\xB1"
       "ab\xCE\xB2",
       0,
       {"ab"}},
  });
}

TEST(RegexSyntax, ShorthandClasses) {
  run_cases({
      {"\\d+",
       "ab\xD9\xA1\xD9\xA2"
       "3",
       0,
       {"\xD9\xA1\xD9\xA2"
        "3"}},                               // U+0661, U+0662
      {"\\d", "\xE2\x85\xA0", 0, NO_MATCH},  // Roman numeral: Nl
      {"\\D+", "12ab3", 0, {"ab"}},
      {"\\s+", "a\xE2\x80\xA8\xC2\xA0\xE3\x80\x80 b", 0, {"\xE2\x80\xA8\xC2\xA0\xE3\x80\x80 "}},
      {"\\S+", " \xC3\xA9t\xC3\xA9 ", 0, {"\xC3\xA9t\xC3\xA9"}},
      {"\\w+", "--a\xC3\xA9\xE4\xB8\xAD_9\xCC\x81--", 0, {"a\xC3\xA9\xE4\xB8\xAD_9\xCC\x81"}},
      {"\\W+", "ab, cd", 0, {", "}},
      {"\\W", "\n", 0, {"\n"}},
      {".", "\n", 0, NO_MATCH},
      {".", "\n", REGEX_DOT_ALL, {"\n"}},
      {"a.c",
       "a\xF0\x9F\x98\x80"
       "c",
       0,
       {"a\xF0\x9F\x98\x80"
        "c"}},
  });
}

TEST(RegexSyntax, UnicodeProperties) {
  struct Case {
    const char* name;
    const char* yes;  // a code point in the set
    const char* no;   // one outside it
  } cases[] = {
      {"Alpha", "\xC3\xA9", "1"},
      {"L&", "\xC3\x89", "\xE4\xB8\xAD"},  // É is cased, 中 is not
      {"Digit", "\xD9\xA1", "a"},
      {"Nd", "7", "\xE2\x85\xA0"},
      {"Lower", "\xC3\xA9", "\xC3\x89"},
      {"Ll", "a", "A"},
      {"Upper", "\xC3\x89", "\xC3\xA9"},
      {"Lu", "A", "a"},
      {"Cntrl", "\x01", "a"},
      {"Cc", "\xC2\x85", " "},
      {"Alnum", "\xD9\xA1", "_"},
      {"Blank", "\xC2\xA0", "\n"},
      {"Space", "\xE2\x80\xA9", "a"},
      {"Word", "_", "-"},
      {"XDigit", "F", "g"},
      {"Lt", "\xC7\x85", "\xC7\x84"},
      {"Nl", "\xE2\x85\xA0", "1"},
      {"Pc", "_", "-"},
      {"Pd", "-", "_"},
      {"Pf", "\xC2\xBB", "\xC2\xAB"},
      {"Pi", "\xC2\xAB", "\xC2\xBB"},
      {"Zl", "\xE2\x80\xA8", "\xE2\x80\xA9"},
      {"Zp", "\xE2\x80\xA9", "\xE2\x80\xA8"},
      {"Zs", " ", "\t"},
      {"Sc", "\xE2\x82\xAC", "E"},
      {"Arabic", "\xD8\xB9", "a"},
      {"Cyrillic", "\xD0\x96", "\xCE\xA9"},
      {"Devanagari", "\xE0\xA4\x85", "a"},
      {"Greek", "\xCE\xA9", "\xD0\x96"},
      {"Han", "\xE4\xB8\xAD", "\xE3\x81\x82"},
      {"Latin", "\xC3\xA9", "\xCE\xB1"},
  };
  for (const Case& c : cases) {
    std::string p = std::string("^\\p{") + c.name + "}$";
    std::string n = std::string("^\\P{") + c.name + "}$";
    EXPECT_EQ(regex_search(p.c_str(), c.yes).rc, REGEX_MATCH) << p;
    EXPECT_EQ(regex_search(p.c_str(), c.no).rc, REGEX_NO_MATCH) << p;
    EXPECT_EQ(regex_search(n.c_str(), c.yes).rc, REGEX_NO_MATCH) << n;
    EXPECT_EQ(regex_search(n.c_str(), c.no).rc, REGEX_MATCH) << n;
  }
  // In case-insensitive mode the lower and upper properties mean all cased letters.
  EXPECT_EQ(regex_search("^\\p{Lower}$", "A", REGEX_CASE_INSENSITIVE).rc, REGEX_MATCH);
  EXPECT_EQ(regex_search("^\\p{Lu}$", "a", REGEX_CASE_INSENSITIVE).rc, REGEX_MATCH);
  EXPECT_EQ(regex_search("^\\p{Lu}$", "1", REGEX_CASE_INSENSITIVE).rc, REGEX_NO_MATCH);
}

TEST(RegexSyntax, CaseInsensitiveAndDotAllFlags) {
  const uint32_t CI = REGEX_CASE_INSENSITIVE;
  run_cases({
      {"(?i)abc", "xABC", 0, {"ABC"}},
      {"abc", "xABC", CI, {"ABC"}},
      {"a(?i)bc", "ABC", 0, NO_MATCH},
      {"a(?i)bc", "aBC", 0, {"aBC"}},
      {"(?i)a(?-i)bc", "Abc", 0, {"Abc"}},
      {"(?i)a(?-i)bc", "ABc", 0, NO_MATCH},
      {"(?i)\xC3\xA9t\xC3\xA9", "\xC3\x89T\xC3\x89", 0, {"\xC3\x89T\xC3\x89"}},
      {"(?i)k", "\xE2\x84\xAA", 0, {"\xE2\x84\xAA"}},  // Kelvin sign folds to k
      {"(?i)xk", "x\xE2\x84\xAA", 0, {"x\xE2\x84\xAA"}},
      {"(?i)kx", "a\xE2\x84\xAAx", 0, {"\xE2\x84\xAAx"}},     // no byte shortcut for k
      {"(?i)\xCF\x83", "\xCF\x82\xCE\xA3", 0, {"\xCF\x82"}},  // σ matches final ς
      {"(?i)[[:lower:]]+", "ABc1", 0, {"ABc"}},
      {"(?i)[[:upper:]]+", "1abC", 0, {"abC"}},
      {"(?i)[a-c]+", "xCbAx", 0, {"CbA"}},
      {"(?i)[A-C]+", "xcBax", 0, {"cBa"}},
      {"(?i)[^a-c]+", "ABCxyz", 0, {"xyz"}},
      {"(?i)[k]", "\xE2\x84\xAA", 0, {"\xE2\x84\xAA"}},
      {"(?i)[A-Z]", "\xE2\x84\xAA", 0, {"\xE2\x84\xAA"}},
      {"[a-c]+", "ABC", CI, {"ABC"}},
      {"(?i)[\xC3\xA0-\xC3\xBE]", "\xC3\x89", 0, {"\xC3\x89"}},
      {"(?s)a.b", "a\nb", 0, {"a\nb"}},
      {"(?s-s)a.b", "a\nb", 0, NO_MATCH},
      {"a.b", "a\nb", REGEX_DOT_ALL, {"a\nb"}},
      {"(?is)A.B", "a\nb", 0, {"a\nb"}},
      {"(?-i)a", "A", CI, NO_MATCH},
  });
}

// --- Match rules ---------------------------------------------------------------------

TEST(RegexMatchRules, EarliestStartThenLongest) {
  run_cases({
      {"(a|ab)(c|bcd)", "abcd", 0, {"abcd", "a", "bcd"}},
      {"a+|b+", "xbbbaaaa", 0, {"bbb"}},  // earliest start wins over a longer later match
      {"ab|abcd|abc", "abcde", 0, {"abcd"}},
      {"a*", "baaa", 0, {""}},  // the empty match at 0 starts first
      {"x+y|x", "xxxz", 0, {"x"}},
      {"(x+x+)+y", repeat("x", 40) + "!", 0, NO_MATCH},  // no backtracking blow-up
  });
}

TEST(RegexMatchRules, ThreadPriorityDecidesAmbiguousCaptures) {
  // Among threads of one start, the one along the next links wins a node: the second
  // alternative of an alternation, the way out of a repetition.
  run_cases({
      {"(a|ab)(b*)", "abb", 0, {"abb", "ab", "b"}},
      {"(a*)(a*)", "aaa", 0, {"aaa", "", "aaa"}},
      {"(a*)(a+)", "aaa", 0, {"aaa", "", "aaa"}},
      {"(a|a)", "a", 0, {"a", "a"}},
      {"(x)|(x)", "x", 0, {"x", "~", "x"}},
      {"(a|b)*", "abab", 0, {"abab", "b"}},  // a repeated group keeps its last repetition
      {"x(\\d+)*y", "xy", 0, {"xy", "~"}},   // a group that took no part stays unset
      {"(a)?b", "b", 0, {"b", "~"}},
      {"((a)|(b))+", "ab", 0, {"ab", "b", "a", "b"}},
  });
}

// --- Search flags --------------------------------------------------------------------

TEST(RegexFlags, LineBoundsFlag4) {
  ScopedRegex re("b+", 0);
  RegexCapture caps[1];
  const char* text = "abb\nbb\nb";
  ASSERT_EQ(regex_match(&re.regex, text, caps, REGEX_LINE_BOUNDS), REGEX_MATCH);
  EXPECT_EQ(caps[0].start - text, 4);
  EXPECT_EQ(caps[0].length, 2);
  EXPECT_EQ(regex_match(&re.regex, "abbc", caps, REGEX_LINE_BOUNDS), REGEX_NO_MATCH);
  EXPECT_EQ(caps[0].start, nullptr);
  // Passing 4 at compile time changes nothing.
  ScopedRegex four("b+", 4);
  ASSERT_EQ(regex_match(&four.regex, "abbc", caps, 0), REGEX_MATCH);
  EXPECT_EQ(capture_text(caps[0]), "bb");
}

TEST(RegexFlags, ContinueFlag8ReturnsEachMatchInTurn) {
  ScopedRegex re("^(\\w+)=(\\d*)$", 0);
  const char* text = "a=1\nbad line\nbb=22\n\nc=\nd=4";
  RegexCapture caps[3] = {};
  std::vector<std::string> seen;
  while (regex_match(&re.regex, text, caps, REGEX_CONTINUE) == REGEX_MATCH) {
    seen.push_back(capture_text(caps[1]) + ":" + capture_text(caps[2]));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"a:1", "bb:22", "c:", "d:4"}));
  EXPECT_EQ(caps[0].start, nullptr);  // zeroed after the last search

  // An empty match is not found twice at one place, so such a loop ends.
  ScopedRegex empty("x*", 0);
  caps[0] = RegexCapture{};
  const char* abc = "ab";
  std::vector<std::pair<long, long>> spans;
  while (regex_match(&empty.regex, abc, caps, REGEX_CONTINUE) == REGEX_MATCH && spans.size() < 10) {
    spans.emplace_back(caps[0].start - abc, caps[0].length);
  }
  EXPECT_EQ(spans, (std::vector<std::pair<long, long>>{{0, 0}, {1, 0}, {2, 0}}));

  // A previous match that cannot lie in the text is refused.
  caps[0] = RegexCapture{text + 2, -1};
  EXPECT_EQ(regex_match(&re.regex, text, caps, REGEX_CONTINUE), REGEX_FAILURE);
  const char outer[] = "za=1";
  caps[0] = RegexCapture{outer, 1};
  EXPECT_EQ(regex_match(&re.regex, outer + 1, caps, REGEX_CONTINUE), REGEX_FAILURE);
}

TEST(RegexFlags, RangeFlag16SearchesOnlyInsideTheRange) {
  // The range ends act as the text ends: "^" and "$" hold there, nothing beyond is read.
  const char buffer[] = "xxBO_ 1 A: 8 ECUyy";
  ScopedRegex re("^BO_ (\\d+) ([[:graph:]]+): (\\d+) ([[:graph:]]+)$", 0);
  RegexCapture caps[5] = {};
  caps[0] = RegexCapture{buffer + 2, 14};
  ASSERT_EQ(regex_match(&re.regex, nullptr, caps, REGEX_RANGE), REGEX_MATCH);
  EXPECT_EQ(capture_text(caps[4]), "ECU");
  caps[0] = RegexCapture{buffer + 2, 15};
  ASSERT_EQ(regex_match(&re.regex, nullptr, caps, REGEX_RANGE), REGEX_MATCH);
  EXPECT_EQ(capture_text(caps[4]), "ECUy");
  caps[0] = RegexCapture{buffer + 1, 15};
  EXPECT_EQ(regex_match(&re.regex, nullptr, caps, REGEX_RANGE), REGEX_NO_MATCH);

  // A range with no terminating zero, exactly sized on the heap (ASan checks the reads).
  std::string line = "k=\xE2\x82";  // cut-off sequence at the very end
  std::vector<char> exact(line.begin(), line.end());
  ScopedRegex any("=(.*)$", 0);
  RegexCapture pairs[2] = {{exact.data(), static_cast<int64_t>(exact.size())}, {}};
  ASSERT_EQ(regex_match(&any.regex, nullptr, pairs, REGEX_RANGE), REGEX_MATCH);
  EXPECT_EQ(pairs[1].length, 2);

  // Zero bytes inside a range are ordinary characters.
  const char with_zero[] = {'a', '\0', 'b'};
  ScopedRegex dot("a.b", 0);
  RegexCapture z[1] = {{with_zero, 3}};
  EXPECT_EQ(regex_match(&dot.regex, nullptr, z, REGEX_RANGE), REGEX_MATCH);
  z[0] = RegexCapture{nullptr, 0};
  EXPECT_EQ(regex_match(&dot.regex, nullptr, z, REGEX_RANGE), REGEX_NO_MATCH);
  z[0] = RegexCapture{with_zero, -1};
  EXPECT_EQ(regex_match(&dot.regex, nullptr, z, REGEX_RANGE), REGEX_FAILURE);
}

TEST(RegexFlags, ViewSearchOfOneLineOfABuffer) {
  const std::string buffer = "BO_ 1 A: 8 X\nSG_ S : 0|8@1+ (1,0) [0|255] \"\" X\n";
  std::string_view second(buffer.data() + 13, buffer.size() - 14);
  ScopedRegex re("^SG_ ([[:graph:]]+) .*$", 0);
  RegexCapture caps[2];
  ASSERT_EQ(regex_match_view(&re.regex, second, caps), REGEX_MATCH);
  EXPECT_EQ(capture_text(caps[1]), "S");
  EXPECT_EQ(caps[0].length, static_cast<int64_t>(second.size()));
  EXPECT_EQ(regex_match_view(&re.regex, std::string_view(buffer.data(), 12), caps), REGEX_NO_MATCH);
}

TEST(RegexFlags, TerminatingZeroIsNotMatched) {
  // The end of the text is processed as a position, never as a character.
  run_cases({
      {"a.", "a", 0, NO_MATCH},
      {"a[^x]", "a", 0, NO_MATCH},
      {"a\\W", "a", 0, NO_MATCH},
      {"a$", "a", 0, {"a"}},
  });
}

// --- The DBC and password-file patterns ----------------------------------------------

// The patterns exactly as the parser and the password store compile them.
const char* const PASSWORD = PASSWORD_ENTRY_PATTERN;

void run_dbc_cases(const char* pattern, const std::vector<std::pair<std::string, Groups>>& cases) {
  for (const auto& [text, expected] : cases) {
    SearchResult r = regex_search(pattern, text, DBC_PATTERN_FLAGS);
    ASSERT_GE(r.rc, REGEX_NO_MATCH) << pattern;
    EXPECT_EQ(r.groups, expected) << "pattern " << pattern << " text " << text;
  }
}

TEST(RegexDbcPatterns, MessageStatements) {
  run_dbc_cases(
      DBC_MESSAGE_PATTERN,
      {
          {"BO_ 100 Engine: 8 ECU", {"BO_ 100 Engine: 8 ECU", "100", "Engine", "8", " ECU", "ECU"}},
          {"BO_ 257 B : 1 X", {"BO_ 257 B : 1 X", "257", "B", "1", " X", "X"}},
          {"BO_\t2566869221  PGN_FEE5 :8\tVector__XXX",
           {"BO_\t2566869221  PGN_FEE5 :8\tVector__XXX", "2566869221", "PGN_FEE5", "8",
            "\tVector__XXX", "Vector__XXX"}},
          {"BO_ 100 Engine: 8", {"BO_ 100 Engine: 8", "100", "Engine", "8", "~", "~"}},
          {"BO_ x100 Engine: 8 ECU", NO_MATCH},
          {"BO_ 100 Engine 8 ECU", NO_MATCH},
          {"BO_ 100 Engine: 8 ECU GW", NO_MATCH},
      });
}

TEST(RegexDbcPatterns, SignalStatementsAndMultiplexIndicators) {
  run_dbc_cases(
      DBC_SIGNAL_PATTERN,
      {
          {"SG_ EngineSpeed : 24|16@1+ (0.125,0) [0|8031.875] \"rpm\" Vector__XXX",
           {"SG_ EngineSpeed : 24|16@1+ (0.125,0) [0|8031.875] \"rpm\" Vector__XXX", "EngineSpeed",
            "~", "~", "24", "16", "1", "+", "0.125", "0", "0", "8031.875", " \"rpm\" Vector__XXX"}},
          {"SG_ X M  : 0|4@1- ( +127 , 1e+02 ) [ -1.5e-3 | 1.84467440737096E+019 ] \"\" X",
           {"SG_ X M  : 0|4@1- ( +127 , 1e+02 ) [ -1.5e-3 | 1.84467440737096E+019 ] \"\" X", "X",
            " M", "M", "0", "4", "1", "-", "+127", "1e+02", "-1.5e-3", "1.84467440737096E+019",
            " \"\" X"}},
          {"SG_\tSub\tm2M:4 | 4 @ 0 + (1,0) [0|15]",
           {"SG_\tSub\tm2M:4 | 4 @ 0 + (1,0) [0|15]", "Sub", "\tm2M", "m2M", "4", "4", "0", "+",
            "1", "0", "0", "15", ""}},
          {"SG_ X : 0|8@2+ (1,0) [0|1] \"\" ECU", NO_MATCH},
          {"SG_ X : 0|8@1* (1,0) [0|1] \"\" ECU", NO_MATCH},
          {"SG_ X : 0|8@1+ (1;0) [0|1] \"\" ECU", NO_MATCH},
      });
  run_dbc_cases(DBC_INDICATOR_PATTERN, {
                                           {"m12", {"m12", "m12", "12", "~"}},
                                           {"M", {"M", "~", "~", "M"}},
                                           {"m3M", {"m3M", "m3", "3", "M"}},
                                           {"mM", NO_MATCH},
                                           {"x", NO_MATCH},
                                       });
}

TEST(RegexDbcPatterns, MultiplexRangesAndValueTypes) {
  run_dbc_cases(DBC_MUX_VALUE_PATTERN,
                {
                    {"SG_MUL_VAL_ 2147483649 S MUX 0-0, 3-5",
                     {"SG_MUL_VAL_ 2147483649 S MUX 0-0, 3-5", "2147483649", "S", "MUX", "0-0, 3-5",
                      ", 3-5"}},
                    {"SG_MUL_VAL_ 7 Sub Mux 3 - 5",
                     {"SG_MUL_VAL_ 7 Sub Mux 3 - 5", "7", "Sub", "Mux", "3 - 5", "~"}},
                    {"SG_MUL_VAL_ 7 Sub Mux 3-", NO_MATCH},
                    {"SG_MUL_VAL_ 7 Sub Mux 3-5,", NO_MATCH},
                });
  run_dbc_cases(
      DBC_VALUE_TYPE_PATTERN,
      {
          {"SIG_VALTYPE_ 100 Speed : 1", {"SIG_VALTYPE_ 100 Speed : 1", "100", "Speed", "1"}},
          {"SIG_VALTYPE_ 100 Speed: 2", {"SIG_VALTYPE_ 100 Speed: 2", "100", "Speed", "2"}},
          {"SIG_VALTYPE_ 100 Speed 1", NO_MATCH},
      });
}

TEST(RegexDbcPatterns, AttributeStatements) {
  run_dbc_cases(DBC_ATTRIBUTE_DEF_PATTERN,
                {
                    {"BA_DEF_  \"BusType\" STRING ",
                     {"BA_DEF_  \"BusType\" STRING ", "~", "~", "BusType", "STRING", " ", ""}},
                    {"BA_DEF_ BO_  \"MessageIgnore\" INT 0 1",
                     {"BA_DEF_ BO_  \"MessageIgnore\" INT 0 1", "BO_  ", "BO_", "MessageIgnore",
                      "INT", " 0 1", "0 1"}},
                    // An enumeration continued on the next line.
                    {"BA_DEF_ SG_ \"Mode\" ENUM \"Off\",\n  \"On\"",
                     {"BA_DEF_ SG_ \"Mode\" ENUM \"Off\",\n  \"On\"", "SG_ ", "SG_", "Mode", "ENUM",
                      " \"Off\",\n  \"On\"", "\"Off\",\n  \"On\""}},
                    {"BA_DEF_ \"X\" TEXT", NO_MATCH},
                });
  run_dbc_cases(
      DBC_ATTRIBUTE_DEFAULT_PATTERN,
      {
          {"BA_DEF_DEF_  \"BusType\" \"CAN FD\"",
           {"BA_DEF_DEF_  \"BusType\" \"CAN FD\"", "BusType", " \"CAN FD\""}},
          {"BA_DEF_DEF_ \"BusType\" \"\"", {"BA_DEF_DEF_ \"BusType\" \"\"", "BusType", " \"\""}},
      });
  // The object and the value are read from group 2 by the parser, which trims the white space
  // that the group may take.
  run_dbc_cases(DBC_ATTRIBUTE_VALUE_PATTERN,
                {
                    {"BA_ \"SignalIgnore\" SG_ 256 EngineSpeed 1",
                     {"BA_ \"SignalIgnore\" SG_ 256 EngineSpeed 1", "SignalIgnore",
                      " SG_ 256 EngineSpeed 1"}},
                    {"BA_\t\"BusType\"\t\"CAN FD\"",
                     {"BA_\t\"BusType\"\t\"CAN FD\"", "BusType", "\t\"CAN FD\""}},
                    {"BA_ BusType \"CAN\"", NO_MATCH},
                });
}

TEST(RegexPasswordPattern, EntriesOfAPasswordFile) {
  const char* text =
      "{\r\n"
      "  \"0A1B2C3D\": \"secret\",\r\n"
      "\t\"default\" :\"pa\\\"ss\"  \n"
      "  \"0a1b\": \"with \"quotes\" inside\",\n"
      "  \"12-34\": \"nope\",\n"
      "  \"\": \"empty key\"\n"
      "}";
  ScopedRegex re(PASSWORD, 0);
  ASSERT_EQ(re.regex.error, 0);
  ASSERT_EQ(regex_group_count(&re.regex), 2);
  RegexCapture caps[3] = {};
  std::vector<std::pair<std::string, std::string>> entries;
  while (regex_match(&re.regex, text, caps, REGEX_CONTINUE) == REGEX_MATCH) {
    entries.emplace_back(capture_text(caps[1]), capture_text(caps[2]));
  }
  EXPECT_EQ(entries, (std::vector<std::pair<std::string, std::string>>{
                         {"0A1B2C3D", "secret"},
                         {"default", "pa\\\"ss"},
                         {"0a1b", "with \"quotes\" inside"},
                         {"", "empty key"},
                     }));
}

}  // namespace
