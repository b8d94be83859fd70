// DBC parser: cuts the file into statements, matches the statements it reads against their
// patterns, resolves the attributes that matter and has the database built. Every statement
// it cannot read is reported with its line.
#include "dbc/dbc_parser.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dbc/dbc_patterns.h"
#include "dbc/dbc_records.h"
#include "dbc/dbc_statements.h"
#include "regex/regex.h"
#include "support/log.h"

namespace {

using std::string_view;

// ---------------------------------------------------------------------------------------------
// Statement patterns

constexpr int MAX_GROUPS = 13;  // group 0 and the twelve groups of the signal pattern

enum PatternIndex {
  P_MESSAGE,
  P_SIGNAL,
  P_INDICATOR,
  P_MUX_VALUE,
  P_VALUE_TYPE,
  P_DEF,
  P_DEFAULT,
  P_VALUE,
  P_COUNT
};
constexpr const char* PATTERNS[P_COUNT] = {
    DBC_MESSAGE_PATTERN,           DBC_SIGNAL_PATTERN,         DBC_INDICATOR_PATTERN,
    DBC_MUX_VALUE_PATTERN,         DBC_VALUE_TYPE_PATTERN,     DBC_ATTRIBUTE_DEF_PATTERN,
    DBC_ATTRIBUTE_DEFAULT_PATTERN, DBC_ATTRIBUTE_VALUE_PATTERN};

// The groups of one whole-statement match as views into the statement; a group that took no
// part is empty.
struct Groups {
  string_view g[MAX_GROUPS];
  string_view operator[](int i) const { return g[i]; }
};

struct Patterns {
  Regex regex[P_COUNT];
  bool compiled[P_COUNT];
};

// Matches the whole of `text` (searched as a range, so it needs no terminating zero).
bool pattern_match(const Patterns* patterns, PatternIndex which, string_view text, Groups* out) {
  RegexCapture caps[MAX_GROUPS] = {};
  caps[0] = RegexCapture{text.data(), static_cast<int64_t>(text.size())};
  if (regex_match(&patterns->regex[which], text.data(), caps, REGEX_RANGE) != REGEX_MATCH)
    return false;
  if (caps[0].start != text.data() || static_cast<uint64_t>(caps[0].length) != text.size())
    return false;
  for (int i = 0; i < MAX_GROUPS; ++i) {
    const char* start = caps[i].start;
    int64_t length = caps[i].length;
    bool inside =
        start && length >= 0 && start >= text.data() &&
        static_cast<uint64_t>(start - text.data()) + static_cast<uint64_t>(length) <= text.size();
    out->g[i] = inside ? string_view(start, static_cast<size_t>(length)) : string_view();
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Small text helpers

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equal_no_case(string_view a, string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  return true;
}

bool contains_no_case(string_view text, string_view part) {
  for (size_t at = 0; at + part.size() <= text.size(); ++at)
    if (equal_no_case(text.substr(at, part.size()), part)) return true;
  return false;
}

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

string_view trim(string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

// A value with its enclosing double quotes removed (when it has both).
string_view unquote(string_view s) {
  s = trim(s);
  if (s.size() >= 2 && s.front() == '"' && s.back() == '"') return s.substr(1, s.size() - 2);
  return s;
}

// The C conversions need a terminated copy; short texts stay on the stack.
template <class Fn>
auto with_terminated(string_view s, Fn&& fn) -> decltype(fn("", size_t{0})) {
  char small[64];
  if (s.size() < sizeof(small)) {
    if (!s.empty()) memcpy(small, s.data(), s.size());
    small[s.size()] = 0;
    return fn(small, s.size());
  }
  DynString copy{};
  if (!dynstring_from(&copy, s)) return fn("", size_t{0});
  auto result = fn(dynstring_data(&copy), s.size());
  dynstring_free(&copy);
  return result;
}

// Base-10 digits saturated to UINT64_MAX; empty text gives 0.
uint64_t to_u64(string_view digits) {
  uint64_t v = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') break;
    uint64_t d = static_cast<uint64_t>(c - '0');
    if (v > (UINT64_MAX - d) / 10) return UINT64_MAX;
    v = v * 10 + d;
  }
  return v;
}

int32_t to_i32(string_view s) {
  return with_terminated(s, [](const char* text, size_t) {
    long long v = strtoll(text, nullptr, 10);
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
  });
}

double to_double(string_view s) {
  return with_terminated(s, [](const char* text, size_t) { return strtod(text, nullptr); });
}

// A number in any form of the C library (sign, exponent, "1.8E+019" ...) that is the whole
// text and finite.
bool parse_number(string_view s, double* out) {
  return with_terminated(s, [out](const char* text, size_t length) {
    if (length == 0) return false;
    char* end = nullptr;
    errno = 0;
    double v = strtod(text, &end);
    if (end != text + length || !std::isfinite(v)) return false;
    *out = v;
    return true;
  });
}

int32_t object_kind_of(string_view s) {
  if (s == "BU_") return OBJ_NODE;
  if (s == "BO_") return OBJ_MESSAGE;
  if (s == "SG_") return OBJ_SIGNAL;
  if (s == "EV_") return OBJ_VARIABLE;
  return OBJ_NETWORK;
}

// Copies the texts of a record into the arena, so that it outlives the file's text.
bool keep_texts(DbcParser* p, std::initializer_list<string_view*> texts) {
  for (string_view* text : texts) {
    if (arena_copy(&p->texts, text)) continue;
    dbc_no_memory(p);
    return false;
  }
  return true;
}

template <class T>
bool push(DbcParser* p, GrowArray<T>* list, const T& record) {
  if (grow_array_push(list, record)) return true;
  dbc_no_memory(p);
  return false;
}

// ---------------------------------------------------------------------------------------------
// Statement handlers: each returns false when the statement does not have its form.

constexpr string_view PSEUDO_MESSAGE = "VECTOR__INDEPENDENT_SIG_MSG";

bool handle_message(DbcParser* p, const Patterns* pt, const DbcStatement& st) {
  Groups g;
  if (!pattern_match(pt, P_MESSAGE, st.text, &g)) {
    // Its signals must not join the message before it.
    p->current_message = -1;
    p->current_message_line = st.first_line;
    return false;
  }
  uint64_t size = to_u64(g[3]);
  if (size > UINT32_MAX) {
    dbc_report(p, PROBLEM_MESSAGE, st.first_line, "message %.*s skipped: size %.*s is too large",
               static_cast<int>(g[2].size()), g[2].data(), static_cast<int>(g[3].size()),
               g[3].data());
    p->current_message = -1;
    p->current_message_line = st.first_line;
    return true;
  }
  DbcMessageLine rec{};
  rec.id = to_u64(g[1]);
  rec.name = g[2];
  rec.size = static_cast<uint32_t>(size);
  rec.line = st.first_line;
  rec.pseudo = rec.name == PSEUDO_MESSAGE;
  if (!keep_texts(p, {&rec.name}) || !push(p, &p->messages, rec)) return true;
  p->current_message = p->messages.count - 1;
  return true;
}

// Reads the multiplexing, position and scaling of a signal statement into `rec`; false with a
// report when one of them cannot be used.
bool read_signal_fields(DbcParser* p, const Patterns* pt, const Groups& g, DbcSignalLine* rec,
                        bool quiet) {
  Groups m;
  if (g[3] == "m") {
    // A bare "m" names no value to be selected by: the signal is read as a plain one.
    string_view message = p->current_message >= 0 ? p->messages[p->current_message].name : "";
    if (!quiet)
      dbc_report(p, PROBLEM_NOTE, rec->line,
                 "signal %.*s of message %.*s: multiplexing \"m\" without a value is read as "
                 "a plain signal",
                 static_cast<int>(g[1].size()), g[1].data(), static_cast<int>(message.size()),
                 message.data());
  } else if (!g[3].empty()) {
    if (!pattern_match(pt, P_INDICATOR, g[3], &m) || (m[2].empty() && m[3].empty())) {
      if (!quiet)
        dbc_report(p, PROBLEM_SIGNAL, rec->line,
                   "signal %.*s skipped: multiplexing \"%.*s\" is not M, m<value> or m<value>M",
                   static_cast<int>(g[1].size()), g[1].data(), static_cast<int>(g[3].size()),
                   g[3].data());
      return false;
    }
    uint64_t value = to_u64(m[2]);
    if (value > UINT32_MAX) {
      if (!quiet)
        dbc_report(p, PROBLEM_SIGNAL, rec->line,
                   "signal %.*s skipped: multiplexor value %.*s is too large",
                   static_cast<int>(g[1].size()), g[1].data(), static_cast<int>(m[2].size()),
                   m[2].data());
      return false;
    }
    rec->is_multiplexed = !m[2].empty();
    rec->multiplexer_value = static_cast<uint32_t>(value);
    rec->is_multiplexor = !m[3].empty();
  }
  uint64_t start = to_u64(g[4]);
  uint64_t length = to_u64(g[5]);
  // A start bit or length beyond what a layout holds would wrap to another field.
  if (start > UINT16_MAX || length > UINT8_MAX) {
    if (!quiet)
      dbc_report(p, PROBLEM_SIGNAL, rec->line, "signal %.*s skipped: start bit or length too large",
                 static_cast<int>(g[1].size()), g[1].data());
    return false;
  }
  SignalLayout& l = rec->layout;
  l.byte_order = g[6] == "0" ? BYTE_ORDER_BIG : BYTE_ORDER_LITTLE;
  l.is_unsigned = g[7] == "+" ? 1 : 0;
  l.length = static_cast<uint8_t>(length);
  l.start_bit = normalise_start_bit(static_cast<uint16_t>(start), l.byte_order);
  constexpr const char* FIELD_NAMES[4] = {"factor", "offset", "minimum", "maximum"};
  double* fields[4] = {&l.factor, &l.offset, &l.minimum, &l.maximum};
  for (int i = 0; i < 4; ++i) {
    if (parse_number(g[8 + i], fields[i])) continue;
    if (!quiet)
      dbc_report(p, PROBLEM_SIGNAL, rec->line, "signal %.*s skipped: %s \"%.*s\" is not a number",
                 static_cast<int>(g[1].size()), g[1].data(), FIELD_NAMES[i],
                 static_cast<int>(g[8 + i].size()), g[8 + i].data());
    return false;
  }
  return true;
}

bool handle_signal(DbcParser* p, const Patterns* pt, const DbcStatement& st) {
  // The signals of the pseudo-message are not read at all.
  bool quiet = p->current_message >= 0 && p->messages[p->current_message].pseudo;
  Groups g;
  if (!pattern_match(pt, P_SIGNAL, st.text, &g)) return quiet;
  DbcSignalLine rec{};
  rec.name = g[1];
  rec.line = st.first_line;
  rec.message = p->current_message;
  rec.message_line = p->current_message_line;
  if (read_signal_fields(p, pt, g, &rec, quiet) && keep_texts(p, {&rec.name}))
    push(p, &p->signals, rec);
  return true;
}

bool handle_mux_value(DbcParser* p, const Patterns* pt, const DbcStatement& st) {
  Groups g;
  if (!pattern_match(pt, P_MUX_VALUE, st.text, &g)) return false;
  DbcMuxValueLine rec{to_u64(g[1]), g[2], g[3], g[4], st.first_line};
  if (keep_texts(p, {&rec.signal_name, &rec.multiplexor_name, &rec.ranges}))
    push(p, &p->mux_values, rec);
  return true;
}

bool handle_value_type(DbcParser* p, const Patterns* pt, const DbcStatement& st) {
  Groups g;
  if (!pattern_match(pt, P_VALUE_TYPE, st.text, &g)) return false;
  uint64_t type = to_u64(g[3]);
  if (type > SIGNAL_FLOAT64) {
    dbc_report(p, PROBLEM_LINE, st.first_line,
               "value type %.*s of signal %.*s is not 0, 1 or 2: line skipped",
               static_cast<int>(g[3].size()), g[3].data(), static_cast<int>(g[2].size()),
               g[2].data());
    return true;
  }
  DbcValueTypeLine rec{to_u64(g[1]), g[2], static_cast<uint32_t>(type), st.first_line};
  if (keep_texts(p, {&rec.signal_name})) push(p, &p->value_types, rec);
  return true;
}

bool handle_attribute_def(DbcParser* p, const Patterns* pt, const DbcStatement& st) {
  Groups g;
  if (!pattern_match(pt, P_DEF, st.text, &g)) return false;
  DbcAttributeDef rec{};
  rec.object_kind = object_kind_of(g[2]);
  if (rec.object_kind == OBJ_NODE || rec.object_kind == OBJ_VARIABLE) return true;
  string_view type = g[4];
  rec.value_type = type == "INT" || type == "HEX" ? VT_INT
                   : type == "FLOAT"              ? VT_FLOAT
                   : type == "STRING"             ? VT_STRING
                                                  : VT_ENUM;
  rec.name = g[3];
  rec.definition = trim(g[6]);
  push(p, &p->definitions, rec);
  return true;
}

bool handle_attribute_default(DbcParser* p, const Patterns* pt, const DbcStatement& st) {
  Groups g;
  if (!pattern_match(pt, P_DEFAULT, st.text, &g)) return false;
  push(p, &p->defaults, DbcAttributeDefault{g[1], unquote(g[2])});
  return true;
}

// The next token of an assignment's tail: a quoted text with its quotes, or a run of
// characters other than white space. Empty at the end.
string_view next_token(string_view* s) {
  *s = trim(*s);
  if (s->empty()) return {};
  size_t n = 1;
  if (s->front() == '"') {
    while (n < s->size() && (*s)[n] != '"') ++n;
    if (n < s->size()) ++n;
  } else {
    while (n < s->size() && !is_space((*s)[n])) ++n;
  }
  string_view token = s->substr(0, n);
  s->remove_prefix(n);
  return token;
}

bool all_digits(string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// Reads "[BU_ <node> | BO_ <id> | SG_ <id> <signal> | EV_ <variable>] <value>" into `rec`.
bool read_assignment_tail(string_view tail, DbcAttributeValue* rec) {
  string_view rest = tail;
  string_view kind = next_token(&rest);
  rec->object_kind = object_kind_of(kind);
  if (rec->object_kind == OBJ_NETWORK) {
    rest = tail;
  } else {
    if (rec->object_kind == OBJ_MESSAGE || rec->object_kind == OBJ_SIGNAL) {
      string_view id = next_token(&rest);
      if (!all_digits(id)) return false;
      rec->object_id = to_u64(id);
    }
    if (rec->object_kind != OBJ_MESSAGE) {
      rec->object_name = next_token(&rest);
      if (rec->object_name.empty() || rec->object_name.front() == '"') return false;
    }
  }
  rec->value = unquote(rest);
  return !trim(rest).empty();
}

// Attribute names whose assignments are kept, with the object kind they apply to.
struct KeptAttribute {
  string_view name;
  int32_t kind;
};
constexpr KeptAttribute KEPT_ATTRIBUTES[] = {
    {"BusType", OBJ_NETWORK},
    {"ProtocolType", OBJ_NETWORK},
    {"MessageIgnore", OBJ_MESSAGE},
    {"SignalIgnore", OBJ_SIGNAL},
    {"SystemMessageLongSymbol", OBJ_MESSAGE},
    {"SystemSignalLongSymbol", OBJ_SIGNAL},
};
constexpr uint32_t KEPT_COUNT = sizeof(KEPT_ATTRIBUTES) / sizeof(KEPT_ATTRIBUTES[0]);

// The number of a kept attribute name (it keys the assignment index); KEPT_COUNT for others.
uint32_t attribute_code(string_view name) {
  for (uint32_t i = 0; i < KEPT_COUNT; ++i)
    if (equal_no_case(name, KEPT_ATTRIBUTES[i].name)) return i;
  return KEPT_COUNT;
}

bool handle_attribute_value(DbcParser* p, const Patterns* pt, const DbcStatement& st) {
  Groups g;
  if (!pattern_match(pt, P_VALUE, st.text, &g)) return false;
  DbcAttributeValue rec{};
  rec.name = g[1];
  if (!read_assignment_tail(g[2], &rec)) return false;
  uint32_t code = attribute_code(rec.name);
  if (code == KEPT_COUNT || KEPT_ATTRIBUTES[code].name != rec.name ||
      KEPT_ATTRIBUTES[code].kind != rec.object_kind)
    return true;
  rec.code = code;
  push(p, &p->assignments, rec);
  return true;
}

// The form a statement of each kind must have, for the report of one that does not.
const char* expected_form(DbcKeyword keyword) {
  switch (keyword) {
    case KW_BO:
      return "BO_ <id> <name>: <size> <sender>";
    case KW_SG:
      return "SG_ <name> [M|m<value>] : <start>|<length>@<order><sign> (<factor>,<offset>) "
             "[<minimum>|<maximum>] <unit> <receivers>";
    case KW_SG_MUL_VAL:
      return "SG_MUL_VAL_ <message id> <signal> <multiplexor> <low>-<high>, ...;";
    case KW_SIG_VALTYPE:
      return "SIG_VALTYPE_ <message id> <signal> : <type>;";
    case KW_BA_DEF:
      return "BA_DEF_ [BU_|BO_|SG_|EV_] \"<name>\" INT|HEX|FLOAT|STRING|ENUM ...;";
    case KW_BA_DEF_DEF:
      return "BA_DEF_DEF_ \"<name>\" <value>;";
    case KW_BA:
      return "BA_ \"<name>\" [BU_ <node>|BO_ <id>|SG_ <id> <signal>|EV_ <variable>] <value>;";
    case KW_VAL:
      return "VAL_ <message id> <signal> <raw> \"<text>\" ...;";
    default:
      return nullptr;
  }
}

void report_statement(DbcParser* p, const DbcStatement& st) {
  char lines[40] = "";
  if (st.last_line != st.first_line) snprintf(lines, sizeof lines, " (to line %u)", st.last_line);
  if (const char* form = expected_form(st.keyword)) {
    dbc_report(p, PROBLEM_LINE, st.first_line, "statement%s skipped: not of the form %s", lines,
               form);
    return;
  }
  size_t n = 0;
  while (n < st.text.size() && n < 40 && !is_space(st.text[n])) ++n;
  dbc_report(p, PROBLEM_LINE, st.first_line, "statement%s skipped: \"%.*s\" is no DBC keyword",
             lines, static_cast<int>(n), st.text.data());
}

void dispatch_statement(DbcParser* p, const Patterns* pt, const DbcStatement& st) {
  bool understood;
  switch (st.keyword) {
    case KW_BO:
      understood = handle_message(p, pt, st);
      break;
    case KW_SG:
      understood = handle_signal(p, pt, st);
      break;
    case KW_SG_MUL_VAL:
      understood = handle_mux_value(p, pt, st);
      break;
    case KW_SIG_VALTYPE:
      understood = handle_value_type(p, pt, st);
      break;
    case KW_BA_DEF:
      understood = handle_attribute_def(p, pt, st);
      break;
    case KW_BA_DEF_DEF:
      understood = handle_attribute_default(p, pt, st);
      break;
    case KW_BA:
      understood = handle_attribute_value(p, pt, st);
      break;
    case KW_VAL:
      understood = !p->want_value_tables || dbc_read_value_line(p, st.text, st.first_line);
      break;
    case KW_UNKNOWN:
      understood = false;
      break;
    default:
      understood = true;  // understood and not needed
      break;
  }
  if (!understood) report_statement(p, st);
}

// ---------------------------------------------------------------------------------------------
// Attributes

// Whether assignment `i` is the one of attribute `code` for this object.
struct SameAssignment {
  const DbcParser* p;
  uint32_t code;
  int32_t kind;
  uint64_t id;
  string_view object_name;
  bool operator()(int32_t i) const {
    const DbcAttributeValue& a = p->assignments[i];
    return a.code == code && a.object_kind == kind && a.object_id == id &&
           a.object_name == object_name;
  }
};

bool build_assignment_index(DbcParser* p) {
  if (!index_reserve(&p->assignment_index, p->assignments.count)) return false;
  for (int32_t i = 0; i < p->assignments.count; ++i) {
    const DbcAttributeValue& a = p->assignments[i];
    SameAssignment same{p, a.code, a.object_kind, a.object_id, a.object_name};
    if (index_insert_first(&p->assignment_index,
                           {a.code, static_cast<uint64_t>(a.object_kind), a.object_id},
                           a.object_name, i, same) < 0)
      return false;
  }
  return true;
}

// The definition and default for (name, kind), found by one scan and remembered: the ignore
// and name attributes are asked for once per message and signal.
const AttributeSlot* attribute_slot(DbcParser* p, string_view name, int32_t kind) {
  for (const AttributeSlot& s : p->attribute_slots)
    if (s.kind == kind && s.name == name) return &s;
  AttributeSlot slot{name, kind, -1, -1};
  for (int32_t i = 0; i < p->definitions.count; ++i) {
    const DbcAttributeDef& d = p->definitions[i];
    if (d.object_kind == kind && equal_no_case(d.name, name)) {
      slot.definition = i;
      break;
    }
  }
  for (int32_t i = 0; i < p->defaults.count; ++i) {
    if (equal_no_case(p->defaults[i].name, name)) {
      slot.fallback = i;
      break;
    }
  }
  const AttributeSlot* kept = grow_array_push(&p->attribute_slots, slot);
  if (!kept) dbc_no_memory(p);  // the attribute would look absent: the load fails instead
  return kept;
}

// The (index + 1)-th comma-separated item of an enumeration, trimmed of white space and then of
// double quotes; false when there is no such item.
bool enum_item(string_view list, int32_t index, string_view* out) {
  if (index < 0) return false;
  for (int32_t i = 0;; ++i) {
    size_t comma = list.find(',');
    if (i == index) {
      *out = unquote(list.substr(0, comma));
      return true;
    }
    if (comma == string_view::npos) return false;
    list.remove_prefix(comma + 1);
  }
}

// A resolved attribute; the text is a view into the file.
struct DbcAttribute {
  int32_t value_type;
  int32_t integer_value;
  double float_value;
  string_view text_value;
};

// The value of an attribute of one object: its assignment, or else the default of its name.
// False when the attribute has no definition for this kind of object, or no value.
bool dbc_attribute_get(DbcParser* p, string_view name, int32_t kind, uint64_t id,
                       string_view object_name, DbcAttribute* out) {
  const AttributeSlot* slot = attribute_slot(p, name, kind);
  if (!slot || slot->definition < 0) return false;
  const DbcAttributeDef& def = p->definitions[slot->definition];
  string_view raw;
  bool assigned = false;
  uint32_t code = attribute_code(name);
  int32_t a = index_find(&p->assignment_index, {code, static_cast<uint64_t>(kind), id}, object_name,
                         SameAssignment{p, code, kind, id, object_name});
  if (a >= 0) {
    raw = p->assignments[a].value;
    assigned = true;
  } else if (slot->fallback >= 0) {
    raw = p->defaults[slot->fallback].value;
  } else {
    return false;
  }
  *out = DbcAttribute{def.value_type, 0, 0.0, {}};
  switch (def.value_type) {
    case VT_INT:
      out->integer_value = to_i32(raw);
      return true;
    case VT_FLOAT:
      out->float_value = to_double(raw);
      return true;
    case VT_STRING:
      out->text_value = raw;
      return true;
    case VT_ENUM:
      // An assignment gives the item's index, a default the item itself.
      if (!assigned) {
        out->text_value = raw;
        return true;
      }
      return enum_item(def.definition, to_i32(raw), &out->text_value);
    default:
      return false;
  }
}

bool attribute_is_set(DbcParser* p, string_view name, int32_t kind, uint64_t id,
                      string_view object_name) {
  DbcAttribute a;
  return dbc_attribute_get(p, name, kind, id, object_name, &a) && a.value_type == VT_INT &&
         a.integer_value != 0;
}

// A text attribute of an object; empty when not set.
string_view attribute_text(DbcParser* p, string_view name, int32_t kind, uint64_t id,
                           string_view object_name) {
  DbcAttribute a;
  if (!dbc_attribute_get(p, name, kind, id, object_name, &a) || a.value_type != VT_STRING)
    return {};
  return a.text_value;
}

int32_t resolve_protocol(DbcParser* p) {
  DbcAttribute a;
  int32_t protocol = 0;
  if (!dbc_attribute_get(p, "BusType", OBJ_NETWORK, 0, {}, &a)) {
    // Files written for CAN often leave the bus type out: no problem worth a warning.
    LOG(LOG_INFO, "%.*s: \"BusType\" attribute not found. Defaulting to \"CAN\"",
        static_cast<int>(p->file_name.size()), p->file_name.data());
    protocol = PROTOCOL_CAN;
  } else if (a.value_type == VT_STRING || a.value_type == VT_ENUM) {
    // An empty bus type is the default of files written for CAN.
    if (a.text_value.empty() || equal_no_case(a.text_value, "CAN") ||
        equal_no_case(a.text_value, "CAN FD"))
      protocol = PROTOCOL_CAN;
    else if (equal_no_case(a.text_value, "LIN"))
      protocol = PROTOCOL_LIN;
    else if (contains_no_case(a.text_value, "CAN")) {
      // Networks named after the bus ("KCAN", "PTCAN", "FCAN" ...) are CAN networks.
      LOG(LOG_WARN, "%.*s: \"BusType\" \"%.*s\" is read as \"CAN\"",
          static_cast<int>(p->file_name.size()), p->file_name.data(),
          static_cast<int>(a.text_value.size()), a.text_value.data());
      protocol = PROTOCOL_CAN;
    }
  }
  if (protocol == PROTOCOL_CAN && dbc_attribute_get(p, "ProtocolType", OBJ_NETWORK, 0, {}, &a) &&
      a.value_type == VT_STRING && a.text_value == "J1939")
    protocol = PROTOCOL_J1939;
  return protocol;
}

// Ignore flags and long names of every message and signal.
// Keeps a long name that is set; false when memory ran out.
bool keep_long_name(DbcParser* p, GrowArray<DbcLongName>* names, int32_t line, string_view text) {
  return text.empty() || (keep_texts(p, {&text}) && push(p, names, DbcLongName{line, text}));
}

void resolve_object_attributes(DbcParser* p) {
  for (int32_t i = 0; i < p->messages.count; ++i) {
    DbcMessageLine& m = p->messages[i];
    m.ignore = attribute_is_set(p, "MessageIgnore", OBJ_MESSAGE, m.id, {});
    if (!keep_long_name(p, &p->message_long_names, i,
                        attribute_text(p, "SystemMessageLongSymbol", OBJ_MESSAGE, m.id, {})))
      return;
  }
  for (int32_t i = 0; i < p->signals.count; ++i) {
    DbcSignalLine& s = p->signals[i];
    if (s.message < 0) continue;
    uint64_t id = p->messages[s.message].id;
    s.ignore = attribute_is_set(p, "SignalIgnore", OBJ_SIGNAL, id, s.name);
    if (!keep_long_name(p, &p->signal_long_names, i,
                        attribute_text(p, "SystemSignalLongSymbol", OBJ_SIGNAL, id, s.name)))
      return;
  }
}

// ---------------------------------------------------------------------------------------------
// Loading

// The attributes, once resolved into the message and signal lines.
void free_attributes(DbcParser* p) {
  grow_array_free(&p->definitions);
  grow_array_free(&p->defaults);
  grow_array_free(&p->assignments);
  hash_table_destroy<IndexTraits>(&p->assignment_index);
  grow_array_free(&p->attribute_slots);
}

void parser_free(DbcParser* p) {
  grow_array_free(&p->messages);
  grow_array_free(&p->signals);
  grow_array_free(&p->mux_values);
  grow_array_free(&p->value_types);
  free_attributes(p);
  grow_array_free(&p->message_long_names);
  grow_array_free(&p->signal_long_names);
  grow_array_free(&p->value_lines);
  arena_free(&p->texts);
}

void patterns_free(Patterns* pt) {
  for (int i = 0; i < P_COUNT; ++i)
    if (pt->compiled[i]) regex_free(pt->regex[i].program);
}

bool patterns_compile(Patterns* pt) {
  bool ok = true;
  for (int i = 0; i < P_COUNT; ++i) {
    pt->compiled[i] = regex_compile(&pt->regex[i], PATTERNS[i], DBC_PATTERN_FLAGS) == 0;
    ok = ok && pt->compiled[i];
  }
  return ok;
}

// Reads every statement of the text; false when memory ran out.
bool parse_text(DbcParser* p, const char* text, uint64_t size) {
  Patterns pt{};
  bool ok = patterns_compile(&pt);
  if (ok) {
    DbcStatementReader reader;
    dbc_statements_begin(&reader, text, size);
    DbcStatement st;
    while (!p->out_of_memory && dbc_next_statement(&reader, &st)) dispatch_statement(p, &pt, st);
  }
  patterns_free(&pt);
  return ok && !p->out_of_memory;
}

// The whole stream in one allocation (freed by the caller); null (logged) when it cannot be
// read.
char* read_all(Stream* stream, int64_t size) {
  char* text = static_cast<uint64_t>(size) <= SIZE_MAX
                   ? static_cast<char*>(malloc(static_cast<size_t>(size)))
                   : nullptr;
  if (!text) {
    LOG(LOG_ERROR, "Could not allocate memory for DBC-file");
    return nullptr;
  }
  int64_t got = 0;
  while (got < size) {
    int64_t n = stream_read(stream, text + got, static_cast<uint64_t>(size - got));
    if (n <= 0) break;
    got += n;
  }
  if (got != size) {
    LOG(LOG_ERROR, "Could not read DBC-file");
    free(text);
    return nullptr;
  }
  return text;
}

// Builds the database of a parsed file; null (logged) for an unsupported bus type or when
// memory ran out. The file's text is freed once the attributes are resolved (*text is then
// null): the records hold copies of what the builder still reads.
MessageDatabase* build(DbcParser* p, char** text) {
  p->protocol = resolve_protocol(p);
  resolve_object_attributes(p);
  free_attributes(p);
  free(*text);
  *text = nullptr;
  if (p->out_of_memory) return nullptr;
  if (p->protocol == 0) {
    LOG(LOG_ERROR, "%.*s: \"BusType\" not supported", static_cast<int>(p->file_name.size()),
        p->file_name.data());
    return nullptr;
  }
  MessageDatabase* db = message_db_new(static_cast<BusProtocol>(p->protocol));
  int32_t signals = 0;
  if (!db || !dbc_build_database(p, db, &signals) ||
      (p->want_value_tables && !dbc_build_value_tables(p, db))) {
    dbc_no_memory(p);
    message_db_free(db);
    return nullptr;
  }
  LOG(LOG_INFO,
      "%.*s: %d messages and %d signals loaded; skipped: %d lines, %d messages, %d signals",
      static_cast<int>(p->file_name.size()), p->file_name.data(), db->messages.used, signals,
      p->skipped.lines, p->skipped.messages, p->skipped.signals);
  return db;
}

}  // namespace

void dbc_report(DbcParser* p, DbcProblem problem, uint32_t line, const char* format, ...) {
  if (problem == PROBLEM_LINE) ++p->skipped.lines;
  if (problem == PROBLEM_MESSAGE) ++p->skipped.messages;
  if (problem == PROBLEM_SIGNAL) ++p->skipped.signals;
  if (log_output_level > LOG_WARN) return;
  char text[400];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  log_write(LOG_WARN, "%.*s:%u: %s", static_cast<int>(p->file_name.size()), p->file_name.data(),
            line, text);
}

bool arena_copy(TextArena* arena, std::string_view* text) {
  constexpr uint64_t BLOCK_SIZE = 1 << 20;
  if (text->empty()) return true;
  if (text->size() > arena->room) {
    // A text longer than a block gets a block of its own size.
    uint64_t size = text->size() > BLOCK_SIZE ? text->size() : BLOCK_SIZE;
    char* block = static_cast<char*>(malloc(static_cast<size_t>(size)));
    if (!block || !grow_array_push(&arena->blocks, block)) {
      free(block);
      return false;
    }
    arena->next = block;
    arena->room = size;
  }
  memcpy(arena->next, text->data(), text->size());
  *text = std::string_view(arena->next, text->size());
  arena->next += text->size();
  arena->room -= text->size();
  return true;
}

std::string_view dbc_long_name(const GrowArray<DbcLongName>* names, int32_t line,
                               std::string_view name) {
  const DbcLongName* found = std::lower_bound(
      names->begin(), names->end(), line,
      [](const DbcLongName& entry, int32_t wanted) { return entry.line < wanted; });
  return found != names->end() && found->line == line ? found->text : name;
}

void arena_free(TextArena* arena) {
  for (char* block : arena->blocks) free(block);
  grow_array_free(&arena->blocks);
  *arena = TextArena{};
}

void dbc_no_memory(DbcParser* p) {
  if (!p->out_of_memory) LOG(LOG_FATAL, "Could not allocate memory");
  p->out_of_memory = true;
}

MessageDatabase* dbc_load(Stream* stream, std::string_view file_name, bool value_tables) {
  int64_t size = stream_size(stream);
  if (size == 0) return nullptr;
  if (size < 0) {
    LOG(LOG_ERROR, "Could not read DBC-file");
    return nullptr;
  }
  char* text = read_all(stream, size);
  if (!text) return nullptr;
  DbcParser p{};
  p.file_name = file_name;
  p.current_message = -1;
  p.want_value_tables = value_tables;
  MessageDatabase* db = nullptr;
  // Memory is the only way a fixed pattern or an index can fail.
  if (!parse_text(&p, text, static_cast<uint64_t>(size)) || !build_assignment_index(&p))
    dbc_no_memory(&p);
  else
    db = build(&p, &text);
  parser_free(&p);
  free(text);
  return db;
}
