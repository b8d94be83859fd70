// The regular-expression engine: compiles UTF-8 patterns into node programs and searches
// UTF-8 text by running all threads in lock step, with up to 31 capture groups. Also the
// Unicode helpers (simple case mappings, UTF-8 decoding) that file-name handling shares.
#pragma once

#include <cstdint>
#include <string_view>

#include "support/dyn_string.h"

// regex_compile results: 0 or one of these negative codes.
enum RegexError : int32_t {
  REGEX_OK = 0,
  REGEX_ERROR_MEMORY = -1,             // the program could not be allocated
  REGEX_ERROR_ARGUMENT = -3,           // null holder or pattern
  REGEX_ERROR_UNCLOSED_GROUP = -4,     // a group is not closed
  REGEX_ERROR_UNMATCHED_CLOSE = -5,    // ")" without "(", or "\x{" without "}"
  REGEX_ERROR_TOO_MANY_GROUPS = -6,    // more than 31 groups
  REGEX_ERROR_TOO_MANY_BRACKETS = -7,  // more than 16 bracket expressions
  REGEX_ERROR_UNCLOSED_BRACKET = -8,   // the pattern ends inside a bracket expression
  REGEX_ERROR_MISSING_OPERAND = -9,    // an operator without its operand (also "()", "a|")
  REGEX_ERROR_UNKNOWN_FLAG = -10,      // a character other than i, s, - in "(?...)"
  REGEX_ERROR_FRAGMENT_STACK = -11,    // the fragment stack (20) is full
  REGEX_ERROR_OPERATOR_STACK = -12,    // the operator stack (20) is full
  REGEX_ERROR_NO_OPERATOR = -13,       // the operator stack is empty where one was expected
  REGEX_ERROR_BRACKET_ITEMS = -14,     // more than 32 items in one bracket expression
  REGEX_ERROR_PROPERTY = -15,          // "\p" without "{...}" or with an unknown name
};

// regex_compile flags (other bits are ignored).
constexpr uint32_t REGEX_DOT_ALL = 1;           // "." also matches a line feed
constexpr uint32_t REGEX_CASE_INSENSITIVE = 2;  // as if the pattern began with "(?i)"

// regex_match flags.
constexpr uint32_t REGEX_LINE_BOUNDS = 4;  // the match must begin and end at line boundaries
constexpr uint32_t REGEX_CONTINUE = 8;     // begin at the end of the match in captures[0]
constexpr uint32_t REGEX_RANGE = 16;       // search only inside captures[0] (start, length)

// regex_match results.
constexpr int32_t REGEX_MATCH = 0;
constexpr int32_t REGEX_NO_MATCH = -1;
constexpr int32_t REGEX_FAILURE = -2;

constexpr int32_t REGEX_MAX_GROUPS = 31;
constexpr int32_t REGEX_MAX_BRACKETS = 16;
constexpr int32_t REGEX_MAX_BRACKET_ITEMS = 32;
constexpr int32_t REGEX_STACK_DEPTH = 20;

// One capture pair: group i of a match is text [start, start + length). A group that took
// no part in the match is (null, 0).
struct RegexCapture {
  const char* start;
  int64_t length;
};

// The compiled program: one allocation, owned by its holder.
struct RegexProgram;

// Holder of a compiled pattern. Zero-initialise before the first compile; release the
// program with regex_free(holder.program) (or use ScopedRegex).
struct Regex {
  RegexProgram* program;
  int32_t error;  // the last compile result
};

// Compiles the zero-terminated UTF-8 `pattern`, reusing (reallocating) the holder's previous
// program. Returns 0, or a negative RegexError that is also kept in holder->error; a
// holder whose last compile failed must not be matched (regex_match then fails with -2).
int32_t regex_compile(Regex* holder, const char* pattern, uint32_t flags);

// Number of capture groups of the compiled pattern (0 when there is no valid program).
int32_t regex_group_count(const Regex* holder);

// Searches `text` for the earliest-starting, then longest, match. `captures` has room for
// regex_group_count + 1 pairs: pair 0 is the whole match, pair i group i. Without
// REGEX_CONTINUE and REGEX_RANGE, the search runs from `text` to its terminating zero byte.
// With REGEX_RANGE, captures[0] gives the searched range [start, start + length), which may
// hold zero bytes and need not be zero-terminated; its ends count as the ends of the text
// (REGEX_CONTINUE is then ignored).
// With REGEX_CONTINUE, the search begins at the end of the match in captures[0], which must
// be a match found in this text (or all zero: then at `text`); an empty match is not found
// again at the same place. The text is never measured as a whole, so a loop of continued
// searches stays linear in its length.
// All pairs are zeroed before the search (after their input has been read).
// Returns REGEX_MATCH, REGEX_NO_MATCH or REGEX_FAILURE (memory, no valid program, or a
// captures[0] that cannot be a match of the text: before it, negative length, zero bytes).
int32_t regex_match(const Regex* holder, const char* text, RegexCapture* captures, uint32_t flags);

void regex_free(RegexProgram* program);

// RAII owner for code at the edges and tests.
struct ScopedRegex {
  Regex regex{};
  ScopedRegex() = default;
  ScopedRegex(const char* pattern, uint32_t flags) { regex_compile(&regex, pattern, flags); }
  ScopedRegex(const ScopedRegex&) = delete;
  ScopedRegex& operator=(const ScopedRegex&) = delete;
  ~ScopedRegex() { regex_free(regex.program); }
  Regex* operator&() { return &regex; }
};

// --- Unicode helpers -------------------------------------------------------------------

// Code points that the decoder gives to bytes that do not start a well-formed UTF-8
// sequence: UTF8_INVALID_BASE + the byte value. They lie above U+10FFFF, so no letter,
// class or case mapping contains them, and re-encoding gives back the original byte.
constexpr uint32_t UTF8_INVALID_BASE = 0x110000;

// Decodes one code point from [p, end) (p < end) into *cp and returns its length in bytes
// (1 to 4). Overlong forms, surrogates, values above U+10FFFF and sequences cut short by
// `end` decode as one invalid byte. Never reads at or past `end`.
int32_t utf8_decode(const char* p, const char* end, uint32_t* cp);

// The code point that ends right before `p` (begin < p), decoded so that it agrees with
// decoding forward from `begin`; returns its length in bytes.
int32_t utf8_decode_before(const char* begin, const char* p, uint32_t* cp);

// Simple (one-to-one) Unicode mappings; code points without a mapping map to themselves.
uint32_t unicode_simple_fold(uint32_t cp);
uint32_t unicode_to_lower(uint32_t cp);
uint32_t unicode_to_upper(uint32_t cp);
