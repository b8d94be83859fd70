// The regular-expression engine: an operator-precedence parser builds a Thompson program of
// nodes; the search runs every thread of it in lock step over the text, one code point at a
// time, so its cost is linear in the text length times the program size.
#include "regex/regex.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "regex/unicode_tables.h"

namespace {

enum NodeKind : uint8_t {
  NODE_LITERAL,
  NODE_FOLDED_LITERAL,
  NODE_CLASS,
  NODE_ANY,
  NODE_ANY_NEWLINE,
  NODE_BRACKET,
  NODE_NEGATED_BRACKET,
  NODE_LINE_START,
  NODE_TEXT_START,
  NODE_LINE_END,
  NODE_TEXT_END,
  NODE_TEXT_END_NEWLINE,
  NODE_WORD_BOUNDARY,
  NODE_NOT_WORD_BOUNDARY,
  NODE_CASE_ON,
  NODE_CASE_OFF,
  NODE_GROUP_START,
  NODE_GROUP_END,
  NODE_SPLIT,
  NODE_EMPTY,
  NODE_MATCH,
};

// Consuming nodes test one code point; all others are passed through at a position.
constexpr bool node_consumes(uint8_t kind) { return kind <= NODE_NEGATED_BRACKET; }

struct RegexNode {
  uint8_t kind;
  uint8_t folded;  // brackets: compare case-insensitively
  uint32_t arg;    // code point, class code, bracket index or group index
  int32_t next;
  int32_t alt;
};

struct RegexItem {
  uint32_t first;
  uint32_t last;
};

struct RegexBracket {
  int32_t count;
  RegexItem items[REGEX_MAX_BRACKET_ITEMS];
};

// Named classes. Codes of bracket items and class nodes are CLASS_CODE | negation | id, above
// every code point and invalid-byte marker, so that class items sort after the ranges.
enum ClassId : uint32_t {
  CLS_ALNUM,
  CLS_ALPHA,
  CLS_ASCII,
  CLS_BLANK,
  CLS_CNTRL,
  CLS_DIGIT,
  CLS_GRAPH,
  CLS_LOWER,
  CLS_PRINT,
  CLS_PUNCT,
  CLS_SPACE,
  CLS_UPPER,
  CLS_XDIGIT,
  CLS_WORD,
  CLS_U_DIGIT,  // \d, category Nd
  CLS_U_SPACE,  // \s
  CLS_U_WORD,   // \w
  CLS_P_ALPHA,  // letters
  CLS_P_CASED,  // L&
  CLS_P_LOWER,  // simple upper-casing changes it
  CLS_P_UPPER,  // simple lower-casing changes it
  CLS_P_ALNUM,  // letters and Nd
  CLS_P_BLANK,  // space, tab and Zs
};
constexpr uint32_t CLS_TABLE = 64;  // + UnicodeTable: membership in that table
constexpr uint32_t CLASS_CODE = 0xFF000000u;
constexpr uint32_t CLASS_NEGATED = 0x100;
constexpr uint32_t NO_CODE_POINT = 0xFFFFFFFFu;  // before the text start, at its end

constexpr uint32_t class_code(uint32_t id, bool negated) {
  return CLASS_CODE | (negated ? CLASS_NEGATED : 0) | id;
}

// Classification of code points below 128 in the default locale.
enum : uint16_t {
  A_ALNUM = 1,
  A_ALPHA = 2,
  A_BLANK = 4,
  A_CNTRL = 8,
  A_DIGIT = 16,
  A_GRAPH = 32,
  A_LOWER = 64,
  A_PRINT = 128,
  A_PUNCT = 256,
  A_SPACE = 512,
  A_UPPER = 1024,
  A_XDIGIT = 2048,
  A_WORD = 4096,
};

struct AsciiTable {
  uint16_t bits[128];
  constexpr AsciiTable() : bits() {
    for (int c = 0; c < 128; ++c) {
      uint16_t b = 0;
      bool lower = c >= 'a' && c <= 'z', upper = c >= 'A' && c <= 'Z', digit = c >= '0' && c <= '9';
      if (lower) b |= A_LOWER;
      if (upper) b |= A_UPPER;
      if (digit) b |= A_DIGIT;
      if (lower || upper) b |= A_ALPHA;
      if (lower || upper || digit) b |= A_ALNUM | A_WORD;
      if (c == '_') b |= A_WORD;
      if (c == ' ' || c == '\t') b |= A_BLANK;
      if (c < 32 || c == 127) b |= A_CNTRL;
      if (c > 32 && c < 127) b |= A_GRAPH;
      if (c >= 32 && c < 127) b |= A_PRINT;
      if (c > 32 && c < 127 && !(lower || upper || digit)) b |= A_PUNCT;
      if (c == ' ' || (c >= 9 && c <= 13)) b |= A_SPACE;
      if (digit || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')) b |= A_XDIGIT;
      bits[c] = b;
    }
  }
};
constexpr AsciiTable k_ascii;

bool ascii_is(uint32_t cp, uint16_t bit) { return cp < 128 && (k_ascii.bits[cp] & bit) != 0; }

bool in_table(UnicodeTable table, uint32_t cp) {
  std::span<const UnicodeRange> ranges = unicode_table(table);
  auto it = std::upper_bound(ranges.begin(), ranges.end(), cp,
                             [](uint32_t c, const UnicodeRange& r) { return c < r.first; });
  return it != ranges.begin() && cp <= (it - 1)->last;
}

bool is_word(uint32_t cp) {
  if (cp < 128) return ascii_is(cp, A_WORD);
  if (cp == NO_CODE_POINT) return false;
  return in_table(UNICODE_LETTER, cp) || in_table(UNICODE_WORD_EXTRA, cp);
}

bool is_unicode_space(uint32_t cp) {
  if (cp < 128) return ascii_is(cp, A_SPACE);
  return cp == 0x2028 || cp == 0x2029 || in_table(UNICODE_ZS, cp);
}

bool class_test(uint32_t id, uint32_t cp) {
  switch (id) {
    case CLS_ALNUM:
      return ascii_is(cp, A_ALNUM);
    case CLS_ALPHA:
      return ascii_is(cp, A_ALPHA);
    case CLS_ASCII:
      return cp < 128;
    case CLS_BLANK:
      return ascii_is(cp, A_BLANK);
    case CLS_CNTRL:
      return ascii_is(cp, A_CNTRL);
    case CLS_DIGIT:
      return ascii_is(cp, A_DIGIT);
    case CLS_GRAPH:
      return ascii_is(cp, A_GRAPH);
    case CLS_LOWER:
      return ascii_is(cp, A_LOWER);
    case CLS_PRINT:
      return ascii_is(cp, A_PRINT);
    case CLS_PUNCT:
      return ascii_is(cp, A_PUNCT);
    case CLS_SPACE:
      return ascii_is(cp, A_SPACE);
    case CLS_UPPER:
      return ascii_is(cp, A_UPPER);
    case CLS_XDIGIT:
      return ascii_is(cp, A_XDIGIT);
    case CLS_WORD:
      return ascii_is(cp, A_WORD);
    case CLS_U_DIGIT:
      return cp < 128 ? ascii_is(cp, A_DIGIT) : in_table(UNICODE_ND, cp);
    case CLS_U_SPACE:
      return is_unicode_space(cp);
    case CLS_U_WORD:
      return is_word(cp);
    case CLS_P_ALPHA:
      return cp < 128 ? ascii_is(cp, A_ALPHA) : in_table(UNICODE_LETTER, cp);
    case CLS_P_CASED:
      return in_table(UNICODE_CASED_LETTER, cp);
    case CLS_P_LOWER:
      return unicode_to_upper(cp) != cp;
    case CLS_P_UPPER:
      return unicode_to_lower(cp) != cp;
    case CLS_P_ALNUM:
      return cp < 128 ? ascii_is(cp, A_ALNUM)
                      : in_table(UNICODE_LETTER, cp) || in_table(UNICODE_ND, cp);
    case CLS_P_BLANK:
      return cp < 128 ? ascii_is(cp, A_BLANK) : in_table(UNICODE_ZS, cp);
    default:
      if (id >= CLS_TABLE && id < CLS_TABLE + UNICODE_TABLE_COUNT) {
        return in_table(static_cast<UnicodeTable>(id - CLS_TABLE), cp);
      }
      return false;
  }
}

bool class_matches(uint32_t code, uint32_t cp) {
  bool in = class_test(code & 0xFF, cp);
  return (code & CLASS_NEGATED) ? !in : in;
}

bool bracket_has(const RegexBracket& b, uint32_t cp) {
  for (int32_t i = 0; i < b.count; ++i) {
    const RegexItem& item = b.items[i];
    if (item.first >= CLASS_CODE) {
      if (class_matches(item.first, cp)) return true;
    } else if (cp >= item.first && cp <= item.last) {
      return true;
    }
  }
  return false;
}

// Case-insensitive brackets hold folded single code points and ranges as written; a code
// point matches when it or one of its case variants is in the set.
bool bracket_matches(const RegexBracket& b, uint32_t cp, bool folded) {
  if (bracket_has(b, cp)) return true;
  if (!folded || cp == NO_CODE_POINT) return false;
  uint32_t f = unicode_simple_fold(cp);
  uint32_t variants[4] = {f, unicode_to_lower(cp), unicode_to_upper(cp), unicode_to_upper(f)};
  for (uint32_t v : variants) {
    if (v != cp && bracket_has(b, v)) return true;
  }
  return false;
}

}  // namespace

struct RegexProgram {
  int32_t start;
  uint8_t dot_all;
  uint8_t case_insensitive;
  int32_t group_count;
  int32_t bracket_count;
  int32_t node_count;
  int32_t consumer_count;
  int32_t split_count;
  // The first-node shortcut: 0 none, 1 a byte (or its other-case byte), 2 a line start.
  int32_t shortcut;
  uint8_t shortcut_bytes[2];
  RegexBracket brackets[REGEX_MAX_BRACKETS];
};

namespace {

RegexNode* program_nodes(RegexProgram* p) {
  return reinterpret_cast<RegexNode*>(reinterpret_cast<char*>(p) + sizeof(RegexProgram));
}
const RegexNode* program_nodes(const RegexProgram* p) {
  return reinterpret_cast<const RegexNode*>(reinterpret_cast<const char*>(p) +
                                            sizeof(RegexProgram));
}
static_assert(sizeof(RegexProgram) % alignof(RegexNode) == 0);

// --- Compiler ------------------------------------------------------------------------

enum OpKind : uint8_t { OP_GROUP, OP_ALT, OP_CONCAT, OP_STAR, OP_PLUS, OP_QUEST };

int op_precedence(OpKind op) {
  switch (op) {
    case OP_GROUP:
      return 0;
    case OP_ALT:
      return 1;
    case OP_CONCAT:
      return 2;
    default:
      return 3;
  }
}

struct Op {
  OpKind kind;
  int32_t group;
};

struct Fragment {
  int32_t first;
  int32_t last;  // the node whose next link is still open
};

struct Compiler {
  const char* p;
  const char* end;
  RegexProgram* prog;
  RegexNode* nodes;
  int32_t node_count;
  int32_t node_capacity;
  bool case_insensitive;
  bool dot_all;
  bool literal_run;  // inside \Q ... \E
  int32_t group_count;
  Op ops[REGEX_STACK_DEPTH];
  int32_t op_count;
  Fragment frags[REGEX_STACK_DEPTH];
  int32_t frag_count;
};

#define TRY(expr)                    \
  do {                               \
    int32_t try_rc_ = (expr);        \
    if (try_rc_ < 0) return try_rc_; \
  } while (0)

int32_t new_node(Compiler* c, uint8_t kind, uint32_t arg) {
  if (c->node_count >= c->node_capacity) return REGEX_ERROR_MEMORY;
  int32_t index = c->node_count++;
  c->nodes[index] = RegexNode{kind, 0, arg, -1, -1};
  return index;
}

int32_t push_fragment(Compiler* c, int32_t first, int32_t last) {
  if (c->frag_count >= REGEX_STACK_DEPTH) return REGEX_ERROR_FRAGMENT_STACK;
  c->frags[c->frag_count++] = Fragment{first, last};
  return 0;
}

int32_t push_atom(Compiler* c, uint8_t kind, uint32_t arg) {
  int32_t n = new_node(c, kind, arg);
  TRY(n);
  return push_fragment(c, n, n);
}

int32_t apply_op(Compiler* c, const Op& op) {
  RegexNode* nodes = c->nodes;
  if (op.kind == OP_CONCAT || op.kind == OP_ALT) {
    if (c->frag_count < 2) return REGEX_ERROR_MISSING_OPERAND;
    Fragment b = c->frags[--c->frag_count];
    Fragment a = c->frags[--c->frag_count];
    if (op.kind == OP_CONCAT) {
      nodes[a.last].next = b.first;
      return push_fragment(c, a.first, b.last);
    }
    int32_t split = new_node(c, NODE_SPLIT, 0);
    TRY(split);
    int32_t join = new_node(c, NODE_EMPTY, 0);
    TRY(join);
    nodes[split].next = b.first;
    nodes[split].alt = a.first;
    nodes[a.last].next = join;
    nodes[b.last].next = join;
    return push_fragment(c, split, join);
  }
  if (c->frag_count < 1) return REGEX_ERROR_MISSING_OPERAND;
  Fragment a = c->frags[--c->frag_count];
  switch (op.kind) {
    case OP_STAR: {
      int32_t split = new_node(c, NODE_SPLIT, 0);
      TRY(split);
      nodes[split].alt = a.first;
      nodes[a.last].next = split;
      return push_fragment(c, split, split);
    }
    case OP_PLUS: {
      int32_t split = new_node(c, NODE_SPLIT, 0);
      TRY(split);
      nodes[split].alt = a.first;
      nodes[a.last].next = split;
      return push_fragment(c, a.first, split);
    }
    case OP_QUEST: {
      int32_t skip = new_node(c, NODE_EMPTY, 0);
      TRY(skip);
      int32_t split = new_node(c, NODE_SPLIT, 0);
      TRY(split);
      nodes[split].next = skip;
      nodes[split].alt = a.first;
      nodes[a.last].next = skip;
      return push_fragment(c, split, skip);
    }
    case OP_GROUP: {
      int32_t start = new_node(c, NODE_GROUP_START, static_cast<uint32_t>(op.group));
      TRY(start);
      int32_t end = new_node(c, NODE_GROUP_END, static_cast<uint32_t>(op.group));
      TRY(end);
      nodes[start].next = a.first;
      nodes[a.last].next = end;
      return push_fragment(c, start, end);
    }
    default:
      return REGEX_ERROR_NO_OPERATOR;
  }
}

// An arriving binary or repetition operator first applies the stacked operators of equal or
// higher precedence (never a group start, which has the lowest).
int32_t push_op(Compiler* c, OpKind kind) {
  int prec = op_precedence(kind);
  while (c->op_count > 0 && c->ops[c->op_count - 1].kind != OP_GROUP &&
         op_precedence(c->ops[c->op_count - 1].kind) >= prec) {
    TRY(apply_op(c, c->ops[--c->op_count]));
  }
  if (c->op_count >= REGEX_STACK_DEPTH) return REGEX_ERROR_OPERATOR_STACK;
  c->ops[c->op_count++] = Op{kind, 0};
  return 0;
}

bool at_end(const Compiler* c) { return c->p >= c->end; }

uint32_t next_cp(Compiler* c) {
  uint32_t cp;
  c->p += utf8_decode(c->p, c->end, &cp);
  return cp;
}

uint32_t peek_cp(const Compiler* c) {
  if (at_end(c)) return NO_CODE_POINT;
  uint32_t cp;
  utf8_decode(c->p, c->end, &cp);
  return cp;
}

struct PropertyName {
  const char* name;
  uint32_t id;
};

constexpr PropertyName k_properties[] = {
    {"Alpha", CLS_P_ALPHA},
    {"L&", CLS_P_CASED},
    {"Digit", CLS_U_DIGIT},
    {"Nd", CLS_U_DIGIT},
    {"Lower", CLS_P_LOWER},
    {"Ll", CLS_P_LOWER},
    {"Upper", CLS_P_UPPER},
    {"Lu", CLS_P_UPPER},
    {"Cntrl", CLS_TABLE + UNICODE_CC},
    {"Cc", CLS_TABLE + UNICODE_CC},
    {"Alnum", CLS_P_ALNUM},
    {"Blank", CLS_P_BLANK},
    {"Space", CLS_U_SPACE},
    {"Word", CLS_U_WORD},
    {"XDigit", CLS_XDIGIT},
    {"Lt", CLS_TABLE + UNICODE_LT},
    {"Nl", CLS_TABLE + UNICODE_NL},
    {"Pc", CLS_TABLE + UNICODE_PC},
    {"Pd", CLS_TABLE + UNICODE_PD},
    {"Pf", CLS_TABLE + UNICODE_PF},
    {"Pi", CLS_TABLE + UNICODE_PI},
    {"Zl", CLS_TABLE + UNICODE_ZL},
    {"Zp", CLS_TABLE + UNICODE_ZP},
    {"Zs", CLS_TABLE + UNICODE_ZS},
    {"Sc", CLS_TABLE + UNICODE_SC},
    {"Arabic", CLS_TABLE + UNICODE_SCRIPT_ARABIC},
    {"Cyrillic", CLS_TABLE + UNICODE_SCRIPT_CYRILLIC},
    {"Devanagari", CLS_TABLE + UNICODE_SCRIPT_DEVANAGARI},
    {"Greek", CLS_TABLE + UNICODE_SCRIPT_GREEK},
    {"Han", CLS_TABLE + UNICODE_SCRIPT_HAN},
    {"Latin", CLS_TABLE + UNICODE_SCRIPT_LATIN},
};

struct PosixName {
  const char* name;
  uint32_t id;
};

constexpr PosixName k_posix[] = {
    {"alnum", CLS_ALNUM},   {"alpha", CLS_ALPHA}, {"ascii", CLS_ASCII}, {"blank", CLS_BLANK},
    {"cntrl", CLS_CNTRL},   {"digit", CLS_DIGIT}, {"graph", CLS_GRAPH}, {"lower", CLS_LOWER},
    {"print", CLS_PRINT},   {"punct", CLS_PUNCT}, {"space", CLS_SPACE}, {"upper", CLS_UPPER},
    {"xdigit", CLS_XDIGIT}, {"word", CLS_WORD},
};

// Case-insensitive mode widens the lower- and upper-case classes to all cased letters.
uint32_t fold_class(const Compiler* c, uint32_t id) {
  if (!c->case_insensitive) return id;
  if (id == CLS_LOWER || id == CLS_UPPER) return CLS_ALPHA;
  if (id == CLS_P_LOWER || id == CLS_P_UPPER) return CLS_P_CASED;
  return id;
}

// After "\p" or "\P": reads "{Name}" and returns the class code.
int32_t parse_property(Compiler* c, bool negated, uint32_t* code) {
  if (at_end(c) || *c->p != '{') return REGEX_ERROR_PROPERTY;
  const char* name = c->p + 1;
  const char* close =
      static_cast<const char*>(memchr(name, '}', static_cast<size_t>(c->end - name)));
  if (!close) return REGEX_ERROR_PROPERTY;
  std::string_view text(name, static_cast<size_t>(close - name));
  for (const PropertyName& prop : k_properties) {
    if (text == prop.name) {
      c->p = close + 1;
      *code = class_code(fold_class(c, prop.id), negated);
      return 0;
    }
  }
  return REGEX_ERROR_PROPERTY;
}

// The class of a backslash letter (d, D, s, S, w, W), or 0.
uint32_t escape_class(uint32_t letter) {
  switch (letter) {
    case 'd':
      return class_code(CLS_U_DIGIT, false);
    case 'D':
      return class_code(CLS_U_DIGIT, true);
    case 's':
      return class_code(CLS_U_SPACE, false);
    case 'S':
      return class_code(CLS_U_SPACE, true);
    case 'w':
      return class_code(CLS_U_WORD, false);
    case 'W':
      return class_code(CLS_U_WORD, true);
    default:
      return 0;
  }
}

uint32_t escape_control(uint32_t letter) {
  switch (letter) {
    case 'a':
      return 7;
    case 'f':
      return 12;
    case 'n':
      return 10;
    case 'r':
      return 13;
    case 't':
      return 9;
    case 'v':
      return 11;
    default:
      return letter;
  }
}

// "[:name:]" or "[:^name:]" at c->p (which is just after the "["); on success advances past
// it and returns true.
bool parse_posix(Compiler* c, uint32_t* code) {
  const char* q = c->p;
  if (q >= c->end || *q != ':') return false;
  ++q;
  bool negated = q < c->end && *q == '^';
  if (negated) ++q;
  const char* name = q;
  while (q < c->end && *q >= 'a' && *q <= 'z') ++q;
  if (c->end - q < 2 || q[0] != ':' || q[1] != ']') return false;
  std::string_view text(name, static_cast<size_t>(q - name));
  for (const PosixName& posix : k_posix) {
    if (text == posix.name) {
      *code = class_code(fold_class(c, posix.id), negated);
      c->p = q + 2;
      return true;
    }
  }
  return false;
}

// One bracket item that stands for a single code point or a class: sets *cp or *code.
int32_t bracket_atom(Compiler* c, uint32_t* cp, uint32_t* code) {
  *code = 0;
  uint32_t first = next_cp(c);
  if (first == '[' && parse_posix(c, code)) return 0;
  if (first != '\\') {
    *cp = first;
    return 0;
  }
  if (at_end(c)) return REGEX_ERROR_UNCLOSED_BRACKET;
  uint32_t letter = next_cp(c);
  if ((*code = escape_class(letter)) != 0) return 0;
  if (letter == 'p' || letter == 'P') return parse_property(c, letter == 'P', code);
  *cp = escape_control(letter);
  return 0;
}

int32_t parse_bracket(Compiler* c) {
  if (c->prog->bracket_count >= REGEX_MAX_BRACKETS) return REGEX_ERROR_TOO_MANY_BRACKETS;
  RegexBracket& b = c->prog->brackets[c->prog->bracket_count];
  b.count = 0;
  bool negated = !at_end(c) && *c->p == '^';
  if (negated) ++c->p;
  for (;;) {
    if (at_end(c)) return REGEX_ERROR_UNCLOSED_BRACKET;
    if (*c->p == ']') {
      ++c->p;
      break;  // right after "[" or "[^" too: the empty set
    }
    uint32_t lo = 0, code = 0;
    TRY(bracket_atom(c, &lo, &code));
    RegexItem item{};
    if (code != 0) {
      item = RegexItem{code, code};
    } else if (c->end - c->p >= 2 && c->p[0] == '-' && c->p[1] != ']') {
      ++c->p;
      uint32_t hi = 0, hi_code = 0;
      TRY(bracket_atom(c, &hi, &hi_code));
      if (hi_code != 0) {
        // "a-\d": the "-" was literal after all.
        if (b.count + 3 > REGEX_MAX_BRACKET_ITEMS) return REGEX_ERROR_BRACKET_ITEMS;
        b.items[b.count++] = RegexItem{c->case_insensitive ? unicode_simple_fold(lo) : lo,
                                       c->case_insensitive ? unicode_simple_fold(lo) : lo};
        b.items[b.count++] = RegexItem{'-', '-'};
        item = RegexItem{hi_code, hi_code};
      } else if (lo > hi) {
        continue;  // a reversed range matches nothing
      } else if (lo == hi && c->case_insensitive) {
        item = RegexItem{unicode_simple_fold(lo), unicode_simple_fold(lo)};
      } else {
        item = RegexItem{lo, hi};
      }
    } else {
      uint32_t v = c->case_insensitive ? unicode_simple_fold(lo) : lo;
      item = RegexItem{v, v};
    }
    if (b.count >= REGEX_MAX_BRACKET_ITEMS) return REGEX_ERROR_BRACKET_ITEMS;
    b.items[b.count++] = item;
  }
  std::sort(b.items, b.items + b.count,
            [](const RegexItem& x, const RegexItem& y) { return x.first < y.first; });
  // Merge overlapping ranges; ranges that only touch stay apart.
  int32_t merged = 0;
  for (int32_t i = 0; i < b.count; ++i) {
    if (merged > 0 && b.items[i].first < CLASS_CODE &&
        b.items[i].first <= b.items[merged - 1].last) {
      b.items[merged - 1].last = std::max(b.items[merged - 1].last, b.items[i].last);
    } else {
      b.items[merged++] = b.items[i];
    }
  }
  b.count = merged;
  int32_t node = new_node(c, negated ? NODE_NEGATED_BRACKET : NODE_BRACKET,
                          static_cast<uint32_t>(c->prog->bracket_count));
  TRY(node);
  c->nodes[node].folded = c->case_insensitive;
  ++c->prog->bracket_count;
  return push_fragment(c, node, node);
}

// Tokens that the main loop tells apart.
enum TokenKind { TOKEN_ATOM, TOKEN_OPEN, TOKEN_CLOSE, TOKEN_ALT, TOKEN_REPEAT, TOKEN_END };

int32_t push_literal(Compiler* c, uint32_t cp) {
  if (c->case_insensitive) return push_atom(c, NODE_FOLDED_LITERAL, unicode_simple_fold(cp));
  return push_atom(c, NODE_LITERAL, cp);
}

// "(?flags)" after the "(?": sets the flags and yields the case node.
int32_t parse_flags(Compiler* c) {
  bool clear = false;
  for (;;) {
    if (at_end(c)) return REGEX_ERROR_UNCLOSED_GROUP;
    uint32_t cp = next_cp(c);
    if (cp == ')') break;
    if (cp == '-') {
      clear = true;
    } else if (cp == 'i') {
      c->case_insensitive = !clear;
    } else if (cp == 's') {
      c->dot_all = !clear;
    } else {
      return REGEX_ERROR_UNKNOWN_FLAG;
    }
  }
  return push_atom(c, c->case_insensitive ? NODE_CASE_ON : NODE_CASE_OFF, 0);
}

// True when the "\x{...}" at p (just after the backslash) has the value 0, which ends the
// pattern.
bool is_zero_hex(const char* p, const char* end) {
  if (end - p < 3 || p[0] != 'x' || p[1] != '{') return false;
  for (p += 2; p < end && *p == '0'; ++p) {
  }
  return p < end && *p == '}';
}

// Whether the next token starts an operand (an atom or "("), looked at without side effects;
// the implicit concatenation goes before such a token.
bool next_starts_operand(const Compiler* c) {
  const char* p = c->p;
  bool literal_run = c->literal_run;
  for (;;) {
    if (p >= c->end) return false;
    if (p[0] == '\\' && c->end - p >= 2 && (p[1] == 'E' || p[1] == 'Q')) {
      if (p[1] == 'E' && literal_run) {
        literal_run = false;
        p += 2;
        continue;
      }
      if (p[1] == 'Q' && !literal_run) {
        literal_run = true;
        p += 2;
        continue;
      }
    }
    if (literal_run) return true;
    switch (*p) {
      case ')':
      case '|':
      case '*':
      case '+':
      case '?':
        return false;
      case '\\':
        return !is_zero_hex(p + 1, c->end);
      default:
        return true;
    }
  }
}

// Reads the next code point that is not a "\Q" or "\E" switch, updating the literal-run
// state; false at the end of the pattern. Inside a run every other code point, a backslash
// included, stands for itself.
bool next_pattern_cp(Compiler* c, uint32_t* cp) {
  for (;;) {
    if (at_end(c)) return false;
    *cp = next_cp(c);
    if (*cp != '\\') return true;
    uint32_t letter = peek_cp(c);
    if (c->literal_run) {
      if (letter != 'E') return true;
      ++c->p;
      c->literal_run = false;
      continue;
    }
    if (letter != 'Q') return true;
    ++c->p;
    c->literal_run = true;
  }
}

// "\x{...}" after the "\x{": the code point, or the end of the pattern for the value 0.
int32_t parse_hex_escape(Compiler* c, TokenKind* kind) {
  uint32_t value = 0;
  for (;;) {
    if (at_end(c)) return REGEX_ERROR_UNMATCHED_CLOSE;
    char h = *c->p++;
    if (h == '}') break;
    uint32_t digit;
    if (h >= '0' && h <= '9') {
      digit = static_cast<uint32_t>(h - '0');
    } else if ((h | 0x20) >= 'a' && (h | 0x20) <= 'f') {
      digit = static_cast<uint32_t>((h | 0x20) - 'a' + 10);
    } else {
      return REGEX_ERROR_UNMATCHED_CLOSE;
    }
    value = value > 0x0FFFFFFF ? NO_CODE_POINT - 1 : (value << 4) | digit;
  }
  if (value == 0) {
    c->p = c->end;  // the value 0 ends the pattern
    *kind = TOKEN_END;
    return 0;
  }
  return push_literal(c, value);
}

// The atom of an escape, after its backslash (a backslash at the end stands for itself).
int32_t parse_escape(Compiler* c, TokenKind* kind) {
  if (at_end(c)) return push_literal(c, '\\');
  uint32_t letter = next_cp(c);
  if (uint32_t code = escape_class(letter)) return push_atom(c, NODE_CLASS, code);
  switch (letter) {
    case 'A':
      return push_atom(c, NODE_TEXT_START, 0);
    case 'z':
      return push_atom(c, NODE_TEXT_END, 0);
    case 'Z':
      return push_atom(c, NODE_TEXT_END_NEWLINE, 0);
    case 'b':
      return push_atom(c, NODE_WORD_BOUNDARY, 0);
    case 'B':
      return push_atom(c, NODE_NOT_WORD_BOUNDARY, 0);
    case 'p':
    case 'P': {
      uint32_t code = 0;
      TRY(parse_property(c, letter == 'P', &code));
      return push_atom(c, NODE_CLASS, code);
    }
    case 'x':
      if (peek_cp(c) != '{') return push_literal(c, 'x');
      ++c->p;
      return parse_hex_escape(c, kind);
    default:
      return push_literal(c, escape_control(letter));
  }
}

// Reads one token. An atom is built and pushed as a fragment before returning.
int32_t read_token(Compiler* c, TokenKind* kind, OpKind* repeat) {
  *kind = TOKEN_ATOM;
  uint32_t cp;
  if (!next_pattern_cp(c, &cp)) {
    *kind = TOKEN_END;
    return 0;
  }
  if (c->literal_run) return push_literal(c, cp);
  switch (cp) {
    case '(':
      if (peek_cp(c) == '?') {
        ++c->p;
        return parse_flags(c);
      }
      *kind = TOKEN_OPEN;
      return 0;
    case ')':
      *kind = TOKEN_CLOSE;
      return 0;
    case '|':
      *kind = TOKEN_ALT;
      return 0;
    case '*':
    case '+':
    case '?':
      *kind = TOKEN_REPEAT;
      *repeat = cp == '*' ? OP_STAR : cp == '+' ? OP_PLUS : OP_QUEST;
      return 0;
    case '.':
      return push_atom(c, c->dot_all ? NODE_ANY_NEWLINE : NODE_ANY, 0);
    case '^':
      return push_atom(c, NODE_LINE_START, 0);
    case '$':
      return push_atom(c, NODE_LINE_END, 0);
    case '[':
      return parse_bracket(c);
    case '\\':
      return parse_escape(c, kind);
    default:
      return push_literal(c, cp);
  }
}

// Nodes that only link on (empty) are skipped when links are resolved.
int32_t resolve(const RegexNode* nodes, int32_t count, int32_t target) {
  for (int32_t steps = 0; target >= 0 && nodes[target].kind == NODE_EMPTY && steps < count;
       ++steps) {
    target = nodes[target].next;
  }
  return target;
}

// True when a code point of 128 or above folds to the ASCII value `v`, so that a byte
// search for a folded literal would miss it.
bool folds_from_non_ascii(uint32_t v) {
  for (const UnicodeCaseRun& r : unicode_case_table(UNICODE_FOLD)) {
    if (r.last < 128) continue;
    for (uint32_t cp = std::max(r.first, 128u); cp <= r.last; ++cp) {
      if ((cp - r.first) % r.stride == 0 && static_cast<int64_t>(cp) + r.delta == v) return true;
    }
  }
  return false;
}

int32_t compile(Compiler* c) {
  bool expect_operand = true;  // after the start, "(" and "|"
  bool any_token = false;
  for (;;) {
    // Implicit concatenation goes before an atom or "(" that follows the end of an operand.
    TokenKind kind;
    OpKind repeat = OP_STAR;
    if (!expect_operand && next_starts_operand(c)) TRY(push_op(c, OP_CONCAT));
    TRY(read_token(c, &kind, &repeat));
    switch (kind) {
      case TOKEN_ATOM:
        expect_operand = false;
        break;
      case TOKEN_OPEN:
        if (c->group_count >= REGEX_MAX_GROUPS) return REGEX_ERROR_TOO_MANY_GROUPS;
        if (c->op_count >= REGEX_STACK_DEPTH) return REGEX_ERROR_OPERATOR_STACK;
        c->ops[c->op_count++] = Op{OP_GROUP, ++c->group_count};
        expect_operand = true;
        break;
      case TOKEN_CLOSE: {
        if (expect_operand) {
          bool has_open = false;
          for (int32_t i = 0; i < c->op_count; ++i) has_open |= c->ops[i].kind == OP_GROUP;
          return has_open ? REGEX_ERROR_MISSING_OPERAND : REGEX_ERROR_UNMATCHED_CLOSE;
        }
        while (c->op_count > 0 && c->ops[c->op_count - 1].kind != OP_GROUP) {
          TRY(apply_op(c, c->ops[--c->op_count]));
        }
        if (c->op_count == 0) return REGEX_ERROR_UNMATCHED_CLOSE;
        TRY(apply_op(c, c->ops[--c->op_count]));
        break;
      }
      case TOKEN_ALT:
        if (expect_operand) return REGEX_ERROR_MISSING_OPERAND;
        TRY(push_op(c, OP_ALT));
        expect_operand = true;
        break;
      case TOKEN_REPEAT:
        if (expect_operand) return REGEX_ERROR_MISSING_OPERAND;
        TRY(push_op(c, repeat));
        break;
      case TOKEN_END:
        if (expect_operand && any_token) {
          for (int32_t i = 0; i < c->op_count; ++i) {
            if (c->ops[i].kind == OP_GROUP) return REGEX_ERROR_UNCLOSED_GROUP;
          }
          return REGEX_ERROR_MISSING_OPERAND;
        }
        while (c->op_count > 0) {
          Op op = c->ops[--c->op_count];
          if (op.kind == OP_GROUP) return REGEX_ERROR_UNCLOSED_GROUP;
          TRY(apply_op(c, op));
        }
        if (c->frag_count > 1) return REGEX_ERROR_NO_OPERATOR;
        return 0;
    }
    any_token = true;
  }
}

// The search shortcut of a program whose first consuming node is an ASCII literal (the
// search then skips to its bytes) or a line start.
void set_shortcut(RegexProgram* prog, const RegexNode* nodes, int32_t node_count, int32_t start) {
  // The shortcut looks through case nodes, which test nothing.
  int32_t first_index = start;
  for (int32_t steps = 0; steps < node_count && (nodes[first_index].kind == NODE_CASE_ON ||
                                                 nodes[first_index].kind == NODE_CASE_OFF);
       ++steps) {
    first_index = nodes[first_index].next;
  }
  const RegexNode& first = nodes[first_index];
  if (first.kind == NODE_LITERAL && first.arg < 128) {
    prog->shortcut = 1;
    prog->shortcut_bytes[0] = prog->shortcut_bytes[1] = static_cast<uint8_t>(first.arg);
  } else if (first.kind == NODE_FOLDED_LITERAL && first.arg < 128 &&
             !folds_from_non_ascii(first.arg)) {
    prog->shortcut = 1;
    prog->shortcut_bytes[0] = static_cast<uint8_t>(first.arg);
    prog->shortcut_bytes[1] = static_cast<uint8_t>(unicode_to_upper(first.arg));
  } else if (first.kind == NODE_LINE_START) {
    prog->shortcut = 2;
  }
}

}  // namespace

int32_t regex_compile(Regex* holder, const char* pattern, uint32_t flags) {
  if (!holder) return REGEX_ERROR_ARGUMENT;
  if (!pattern) return holder->error = REGEX_ERROR_ARGUMENT;
  size_t length = strlen(pattern);
  if (length > (static_cast<size_t>(INT32_MAX) - 5) / 6) return holder->error = REGEX_ERROR_MEMORY;
  int32_t capacity = static_cast<int32_t>(length) * 6 + 5;
  size_t bytes = sizeof(RegexProgram) + sizeof(RegexNode) * static_cast<size_t>(capacity);
  auto* prog = static_cast<RegexProgram*>(realloc(holder->program, bytes));
  if (!prog) return holder->error = REGEX_ERROR_MEMORY;
  holder->program = prog;
  memset(static_cast<void*>(prog), 0, sizeof(RegexProgram));
  prog->dot_all = (flags & REGEX_DOT_ALL) ? 1 : 0;
  prog->case_insensitive = (flags & REGEX_CASE_INSENSITIVE) ? 1 : 0;

  Compiler c{};
  c.p = pattern;
  c.end = pattern + length;
  c.prog = prog;
  c.nodes = program_nodes(prog);
  c.node_capacity = capacity;
  c.case_insensitive = prog->case_insensitive;
  c.dot_all = prog->dot_all;
  int32_t rc = compile(&c);
  if (rc < 0) return holder->error = rc;

  int32_t match = new_node(&c, NODE_MATCH, 0);
  if (match < 0) return holder->error = match;
  RegexNode* nodes = c.nodes;
  int32_t start = match;
  if (c.frag_count == 1) {
    nodes[c.frags[0].last].next = match;
    start = c.frags[0].first;
  }
  for (int32_t i = 0; i < c.node_count; ++i) {
    RegexNode& n = nodes[i];
    if (n.kind == NODE_EMPTY) continue;
    if (n.kind != NODE_MATCH) {
      n.next = resolve(nodes, c.node_count, n.next);
      if (n.next < 0 || nodes[n.next].kind == NODE_EMPTY)
        return holder->error = REGEX_ERROR_NO_OPERATOR;
    }
    if (n.kind == NODE_SPLIT) {
      n.alt = resolve(nodes, c.node_count, n.alt);
      if (n.alt < 0 || nodes[n.alt].kind == NODE_EMPTY)
        return holder->error = REGEX_ERROR_NO_OPERATOR;
      ++prog->split_count;
    }
    if (node_consumes(n.kind)) ++prog->consumer_count;
  }
  start = resolve(nodes, c.node_count, start);
  prog->start = start;
  prog->group_count = c.group_count;
  prog->node_count = c.node_count;

  set_shortcut(prog, nodes, c.node_count, start);

  if (capacity >= 2 * c.node_count) {
    size_t used = sizeof(RegexProgram) + sizeof(RegexNode) * static_cast<size_t>(c.node_count);
    if (auto* smaller = static_cast<RegexProgram*>(realloc(prog, used))) holder->program = smaller;
  }
  return holder->error = REGEX_OK;
}

int32_t regex_group_count(const Regex* holder) {
  if (!holder || !holder->program || holder->error != REGEX_OK) return 0;
  return holder->program->group_count;
}

void regex_free(RegexProgram* program) { free(program); }

// --- Search --------------------------------------------------------------------------

namespace {

// A thread: the node it is at, the position where its match started, and its capture
// pairs for groups 1 .. group_count. Threads are stored back to back with a fixed stride.
struct Thread {
  int32_t node;
  int32_t pad;
  const char* start;
  // followed by group_count RegexCapture pairs
};
static_assert(sizeof(Thread) % alignof(RegexCapture) == 0);

RegexCapture* thread_caps(Thread* t) {
  return reinterpret_cast<RegexCapture*>(reinterpret_cast<char*>(t) + sizeof(Thread));
}
const RegexCapture* thread_caps(const Thread* t) {
  return reinterpret_cast<const RegexCapture*>(reinterpret_cast<const char*>(t) + sizeof(Thread));
}

struct ThreadList {
  char* data;
  int32_t count;
};

struct Search {
  const RegexProgram* prog;
  const RegexNode* nodes;
  const char* begin;  // start of the text (or of the range)
  // End of the range; null for a zero-terminated text, whose end is found on the way so
  // that continued searches over one text stay linear in its length.
  const char* end;
  const char* reject_empty_at;
  uint32_t flags;
  size_t stride;
  size_t caps_bytes;
  uint64_t* marks;
  uint64_t generation;
  char* stack;  // threads waiting at the alternative of a split
  Thread* cur;
  bool matched;
  const char* match_start;
  int64_t match_length;
  RegexCapture* out;
};

Thread* thread_at(const ThreadList& list, size_t stride, int32_t i) {
  return reinterpret_cast<Thread*>(list.data + stride * static_cast<size_t>(i));
}

// Visits a node at the current position; false when a thread was there already.
bool visit(Search* s, int32_t node) {
  if (s->marks[node] == s->generation) return false;
  s->marks[node] = s->generation;
  return true;
}

bool line_start(const Search* s, const char* pos) { return pos == s->begin || pos[-1] == '\n'; }
bool at_text_end(const Search* s, const char* pos) { return s->end ? pos >= s->end : *pos == 0; }
bool line_end(const Search* s, const char* pos) { return at_text_end(s, pos) || *pos == '\n'; }

bool consumes(const Search* s, const RegexNode& n, uint32_t cp) {
  switch (n.kind) {
    case NODE_LITERAL:
      return cp == n.arg;
    case NODE_FOLDED_LITERAL:
      return cp == n.arg || unicode_simple_fold(cp) == n.arg;
    case NODE_CLASS:
      return class_matches(n.arg, cp);
    case NODE_ANY:
      return cp != '\n';
    case NODE_ANY_NEWLINE:
      return true;
    case NODE_BRACKET:
      return bracket_matches(s->prog->brackets[n.arg], cp, n.folded);
    case NODE_NEGATED_BRACKET:
      return cp != '\n' && !bracket_matches(s->prog->brackets[n.arg], cp, n.folded);
    default:
      return false;
  }
}

void record_match(Search* s, const Thread* t, const char* pos) {
  int64_t length = pos - t->start;
  if ((s->flags & REGEX_LINE_BOUNDS) && !(line_start(s, t->start) && line_end(s, pos))) return;
  if (length == 0 && t->start == s->reject_empty_at) return;
  if (s->matched &&
      !(t->start < s->match_start || (t->start == s->match_start && length > s->match_length))) {
    return;
  }
  s->matched = true;
  s->match_start = t->start;
  s->match_length = length;
  s->out[0] = RegexCapture{t->start, length};
  memcpy(static_cast<void*>(s->out + 1), thread_caps(t), s->caps_bytes);
}

// Runs the threads of `clist` at `pos` through the nodes that consume nothing, in list
// order and depth first along next links; consuming nodes that accept `cp` add the thread's
// successor to `nlist`.
void step(Search* s, const ThreadList& clist, ThreadList* nlist, const char* pos, bool at_end,
          uint32_t cp, uint32_t prev) {
  const RegexNode* nodes = s->nodes;
  const size_t stride = s->stride;
  for (int32_t i = 0; i < clist.count; ++i) {
    // Each listed thread runs once, so it is advanced in place.
    Thread* cur = thread_at(clist, stride, i);
    // Lists are ordered by start; later starts can no longer beat the recorded match.
    if (s->matched && cur->start > s->match_start) break;
    if (!visit(s, cur->node)) continue;
    int32_t depth = 0;
    for (;;) {
      const RegexNode& n = nodes[cur->node];
      bool go_on = true;
      switch (n.kind) {
        case NODE_GROUP_START:
          thread_caps(cur)[n.arg - 1] = RegexCapture{pos, 0};
          break;
        case NODE_GROUP_END: {
          RegexCapture& cap = thread_caps(cur)[n.arg - 1];
          cap.length = pos - cap.start;
          break;
        }
        case NODE_SPLIT:
          if (visit(s, n.alt)) {
            auto* waiting =
                reinterpret_cast<Thread*>(s->stack + stride * static_cast<size_t>(depth++));
            memcpy(static_cast<void*>(waiting), cur, stride);
            waiting->node = n.alt;
          }
          break;
        case NODE_LINE_START:
          go_on = line_start(s, pos);
          break;
        case NODE_TEXT_START:
          go_on = pos == s->begin;
          break;
        case NODE_LINE_END:
          go_on = line_end(s, pos);
          break;
        case NODE_TEXT_END:
          go_on = at_end;
          break;
        case NODE_TEXT_END_NEWLINE:
          go_on = at_end || (*pos == '\n' && at_text_end(s, pos + 1));
          break;
        case NODE_WORD_BOUNDARY:
          go_on = is_word(prev) != is_word(cp);
          break;
        case NODE_NOT_WORD_BOUNDARY:
          go_on = is_word(prev) == is_word(cp);
          break;
        case NODE_CASE_ON:
        case NODE_CASE_OFF:
        case NODE_EMPTY:
          break;
        case NODE_MATCH:
          record_match(s, cur, pos);
          go_on = false;
          break;
        default:
          if (!at_end && consumes(s, n, cp)) {
            Thread* added = thread_at(*nlist, stride, nlist->count++);
            memcpy(static_cast<void*>(added), cur, stride);
            added->node = n.next;
          }
          go_on = false;
          break;
      }
      if (go_on && visit(s, n.next)) {
        cur->node = n.next;
        continue;
      }
      if (depth == 0) break;
      cur = s->cur;
      memcpy(static_cast<void*>(cur), s->stack + stride * static_cast<size_t>(--depth), stride);
    }
  }
}

// The next position at or after `pos` where a thread can start, or null.
const char* next_candidate(const Search* s, const char* pos) {
  const RegexProgram* prog = s->prog;
  if (prog->shortcut == 0) return pos;
  if (prog->shortcut == 2 && line_start(s, pos)) return pos;
  const char set[3] = {static_cast<char>(prog->shortcut == 1 ? prog->shortcut_bytes[0] : '\n'),
                       static_cast<char>(prog->shortcut == 1 ? prog->shortcut_bytes[1] : '\n'), 0};
  const char* found;
  if (s->end) {
    size_t left = static_cast<size_t>(s->end - pos);
    found = static_cast<const char*>(memchr(pos, set[0], left));
    if (set[1] != set[0]) {
      const char* other = static_cast<const char*>(memchr(pos, set[1], left));
      if (!found || (other && other < found)) found = other;
    }
  } else {
    found = strpbrk(pos, set);
  }
  if (prog->shortcut == 2 && found) ++found;  // the position after the line feed
  return found;
}

int32_t run_search(Search* s, const char* start, char* area, size_t area_bytes) {
  const RegexProgram* prog = s->prog;
  size_t list_threads = static_cast<size_t>(prog->consumer_count) + 2;
  size_t lists_bytes = s->stride * list_threads;
  size_t stack_bytes = s->stride * (static_cast<size_t>(prog->split_count) + 1);
  size_t marks_bytes = sizeof(uint64_t) * static_cast<size_t>(prog->node_count);
  size_t needed = marks_bytes + 2 * lists_bytes + stack_bytes + s->stride;
  char* heap = nullptr;
  if (needed > area_bytes) {
    heap = static_cast<char*>(malloc(needed));
    if (!heap) return REGEX_FAILURE;
    area = heap;
  }
  s->marks = reinterpret_cast<uint64_t*>(area);
  memset(s->marks, 0, marks_bytes);
  ThreadList lists[2] = {{area + marks_bytes, 0}, {area + marks_bytes + lists_bytes, 0}};
  s->stack = area + marks_bytes + 2 * lists_bytes;
  s->cur = reinterpret_cast<Thread*>(s->stack + stack_bytes);
  s->generation = 0;

  const char* pos = start;
  uint32_t prev = NO_CODE_POINT;
  if (pos > s->begin) utf8_decode_before(s->begin, pos, &prev);
  ThreadList* clist = &lists[0];
  ThreadList* nlist = &lists[1];
  for (;;) {
    if (clist->count == 0) {
      if (s->matched) break;
      const char* candidate = next_candidate(s, pos);
      if (!candidate) break;
      if (candidate != pos) {
        pos = candidate;
        utf8_decode_before(s->begin, pos, &prev);
      }
    }
    uint32_t cp = NO_CODE_POINT;
    int32_t length = 0;
    // Without a range end, decoding stops at the zero byte: it is never a continuation byte.
    bool at_end = at_text_end(s, pos);
    if (!at_end) length = utf8_decode(pos, s->end ? s->end : pos + 4, &cp);
    ++s->generation;
    if (!s->matched) {
      Thread* fresh = thread_at(*clist, s->stride, clist->count++);
      memset(static_cast<void*>(fresh), 0, s->stride);
      fresh->node = prog->start;
      fresh->start = pos;
    }
    nlist->count = 0;
    step(s, *clist, nlist, pos, at_end, cp, prev);
    if (at_end) break;
    prev = cp;
    pos += length;
    std::swap(clist, nlist);
  }
  free(heap);
  return s->matched ? REGEX_MATCH : REGEX_NO_MATCH;
}

}  // namespace

int32_t regex_match(const Regex* holder, const char* text, RegexCapture* captures, uint32_t flags) {
  if (!holder || !holder->program || holder->error != REGEX_OK || !captures) return REGEX_FAILURE;
  const RegexProgram* prog = holder->program;
  Search s{};
  s.prog = prog;
  s.nodes = program_nodes(prog);
  s.flags = flags;
  const char* start;
  if (flags & REGEX_RANGE) {
    if (captures[0].length < 0 || (!captures[0].start && captures[0].length != 0)) {
      return REGEX_FAILURE;
    }
    s.begin = captures[0].start ? captures[0].start : "";
    s.end = s.begin + captures[0].length;
    start = s.begin;
  } else {
    if (!text) return REGEX_FAILURE;
    s.begin = text;
    s.end = nullptr;
    start = text;
    if ((flags & REGEX_CONTINUE) && captures[0].start) {
      // The previous match must start in the text and hold no zero byte, so that the search
      // begins inside the text (checked without measuring the whole text).
      const char* ms = captures[0].start;
      if (reinterpret_cast<uintptr_t>(ms) < reinterpret_cast<uintptr_t>(text) ||
          captures[0].length < 0 ||
          memchr(ms, 0, static_cast<size_t>(captures[0].length)) != nullptr) {
        return REGEX_FAILURE;
      }
      start = ms + captures[0].length;
      if (captures[0].length == 0) s.reject_empty_at = start;
    }
  }
  memset(static_cast<void*>(captures), 0,
         sizeof(RegexCapture) * (static_cast<size_t>(prog->group_count) + 1));
  s.caps_bytes = sizeof(RegexCapture) * static_cast<size_t>(prog->group_count);
  s.stride = sizeof(Thread) + s.caps_bytes;
  s.out = captures;
  alignas(16) char area[32768];  // enough for the line patterns of the DBC parser
  int32_t rc = run_search(&s, start, area, sizeof(area));
  if (rc != REGEX_MATCH) {
    memset(static_cast<void*>(captures), 0,
           sizeof(RegexCapture) * (static_cast<size_t>(prog->group_count) + 1));
  }
  return rc;
}
