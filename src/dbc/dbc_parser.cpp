// DBC parser: splits the file into lines, matches the seven line kinds against their patterns,
// resolves the attributes that matter and builds the message database, nested multiplexing
// included.
#include "dbc/dbc_parser.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "dbc/dbc_patterns.h"
#include "regex/regex.h"
#include "support/hash_table.h"
#include "support/log.h"

namespace {

using std::string_view;

// ---------------------------------------------------------------------------------------------
// Line patterns

constexpr int MAX_GROUPS = 11;  // group 0 and the ten groups of the signal pattern

enum PatternIndex {
  P_MESSAGE,
  P_SIGNAL,
  P_INDICATOR,
  P_MUX_VALUE,
  P_DEF,
  P_DEFAULT,
  P_VALUE,
  P_COUNT
};
constexpr const char* PATTERNS[P_COUNT] = {
    DBC_MESSAGE_PATTERN,        DBC_SIGNAL_PATTERN,        DBC_INDICATOR_PATTERN,
    DBC_MUX_VALUE_PATTERN,      DBC_ATTRIBUTE_DEF_PATTERN, DBC_ATTRIBUTE_DEFAULT_PATTERN,
    DBC_ATTRIBUTE_VALUE_PATTERN};

// The groups of one whole-line match as views into the line; a group that took no part is
// empty.
struct Groups {
  string_view g[MAX_GROUPS];
  string_view operator[](int i) const { return g[i]; }
};

struct LinePattern {
  Regex regex;
};

bool pattern_compile(LinePattern* p, const char* pattern) {
  return regex_compile(&p->regex, pattern, 0) == 0;
}

void pattern_free(LinePattern* p) { regex_free(p->regex.program); }

// Matches the whole of `line` (searched as a range, so it needs no terminating zero).
bool pattern_match(const LinePattern* p, string_view line, Groups* out) {
  RegexCapture caps[MAX_GROUPS] = {};
  caps[0] = RegexCapture{line.data(), static_cast<int64_t>(line.size())};
  if (regex_match(&p->regex, line.data(), caps, REGEX_RANGE) != REGEX_MATCH) return false;
  if (caps[0].start != line.data() || static_cast<uint64_t>(caps[0].length) != line.size())
    return false;
  for (int i = 0; i < MAX_GROUPS; ++i) {
    const char* start = caps[i].start;
    int64_t length = caps[i].length;
    bool inside =
        start && length >= 0 && start >= line.data() &&
        static_cast<uint64_t>(start - line.data()) + static_cast<uint64_t>(length) <= line.size();
    out->g[i] = inside ? string_view(start, static_cast<size_t>(length)) : string_view();
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Records

enum ObjectKind : int32_t { OBJ_NETWORK = 1, OBJ_NODE = 2, OBJ_MESSAGE = 3, OBJ_SIGNAL = 4 };
enum ValueType : int32_t { VT_OTHER = 0, VT_INT = 1, VT_FLOAT = 2, VT_STRING = 3, VT_ENUM = 4 };

struct DbcMessageLine {
  DynString name;
  uint32_t id;  // bit 31 marks an extended CAN id
  uint32_t size;
  uint8_t ignore;
};

struct DbcSignalLine {
  DynString name;
  uint32_t message_id;
  SignalLayout layout;
  uint8_t is_multiplexor;
  uint8_t is_multiplexed;
  uint32_t multiplexer_value;
  uint8_t ignore;
};

struct DbcMuxValueLine {
  uint32_t message_id;
  DynString signal_name;
  DynString multiplexor_name;
  uint32_t low, high;
};

struct DbcAttributeDef {
  int32_t object_kind;
  DynString name;
  int32_t value_type;
  DynString definition;
};

struct DbcAttributeDefault {
  DynString name;
  DynString value;
};

struct DbcAttributeValue {
  DynString name;
  int32_t object_kind;
  uint32_t object_id;
  DynString object_name;
  DynString value;
};

// A resolved attribute; the text is a view into the parser's records.
struct DbcAttribute {
  int32_t value_type;
  int32_t integer_value;
  double float_value;
  string_view text_value;
};

// Index entries. Keys that combine numbers and a name are byte strings: the numbers' bytes
// followed by the name.
struct IndexEntry {
  DynString key;
  int32_t index;
};
using IndexTraits = StringKeyTraits<IndexEntry>;
using Index = HashTable<IndexEntry>;

// The definition and default of one attribute name and object kind, looked up once.
struct AttributeSlot {
  string_view name;
  int32_t kind;
  int32_t definition;  // -1: none
  int32_t fallback;    // the first default, -1: none
};

struct DbcParser {
  int32_t protocol;
  uint32_t current_message_id;
  GrowArray<DbcMessageLine> messages;
  GrowArray<DbcSignalLine> signals;
  GrowArray<DbcMuxValueLine> mux_values;
  GrowArray<DbcAttributeDef> definitions;
  GrowArray<DbcAttributeDefault> defaults;
  GrowArray<DbcAttributeValue> assignments;
  LinePattern patterns[P_COUNT];
  bool compiled[P_COUNT];
  Index assignment_index;  // first assignment per (name, kind, id, object name)
  GrowArray<AttributeSlot> attribute_slots;
};

// ---------------------------------------------------------------------------------------------
// Small text helpers

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equal_no_case(string_view a, string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  return true;
}

string_view trim_char(string_view s, char c) {
  while (!s.empty() && s.front() == c) s.remove_prefix(1);
  while (!s.empty() && s.back() == c) s.remove_suffix(1);
  return s;
}

// The C conversions need a terminated copy; short captures stay on the stack.
template <class Fn>
auto with_terminated(string_view s, Fn&& fn) -> decltype(fn("")) {
  char small[64];
  if (s.size() < sizeof(small)) {
    if (!s.empty()) memcpy(small, s.data(), s.size());
    small[s.size()] = 0;
    return fn(small);
  }
  DynString copy{};
  if (!dynstring_from(&copy, s)) return fn("");
  auto result = fn(dynstring_data(&copy));
  dynstring_free(&copy);
  return result;
}

// Base-10 unsigned conversion saturated to 32 bits; empty or non-numeric text gives 0.
uint32_t to_u32(string_view s) {
  return with_terminated(s, [](const char* text) {
    errno = 0;
    unsigned long long v = strtoull(text, nullptr, 10);
    if (text[0] == '-' || errno == ERANGE || v > UINT32_MAX) return UINT32_MAX;
    return static_cast<uint32_t>(v);
  });
}

int32_t to_i32(string_view s) {
  return with_terminated(s, [](const char* text) {
    long long v = strtoll(text, nullptr, 10);
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
  });
}

double to_double(string_view s) {
  return with_terminated(s, [](const char* text) { return strtod(text, nullptr); });
}

int32_t object_kind_of(string_view s) {
  if (equal_no_case(s, "BU_")) return OBJ_NODE;
  if (equal_no_case(s, "BO_")) return OBJ_MESSAGE;
  if (equal_no_case(s, "SG_")) return OBJ_SIGNAL;
  return OBJ_NETWORK;
}

void no_memory() { LOG(LOG_FATAL, "Could not allocate memory"); }

// ---------------------------------------------------------------------------------------------
// Line handlers

void handle_message(DbcParser* p, string_view line) {
  Groups g;
  if (!pattern_match(&p->patterns[P_MESSAGE], line, &g)) return;
  DbcMessageLine rec{};
  rec.id = to_u32(g[1]);
  rec.size = to_u32(g[3]);
  if (!dynstring_from(&rec.name, g[2]) || !grow_array_push(&p->messages, rec)) {
    dynstring_free(&rec.name);
    no_memory();
    return;
  }
  p->current_message_id = rec.id;
}

void handle_signal(DbcParser* p, string_view line) {
  Groups g;
  if (!pattern_match(&p->patterns[P_SIGNAL], line, &g)) return;
  DbcSignalLine rec{};
  Groups m;
  if (!g[2].empty() && pattern_match(&p->patterns[P_INDICATOR], g[2], &m)) {
    rec.is_multiplexed = !m[1].empty();
    rec.multiplexer_value = to_u32(m[2]);
    rec.is_multiplexor = !m[3].empty();
  }
  uint32_t start = to_u32(g[3]);
  uint32_t length = to_u32(g[4]);
  // A start bit or length beyond what a layout holds would wrap to another field: such a
  // line describes no signal we can place.
  if (start > UINT16_MAX || length > UINT8_MAX) return;
  rec.layout.byte_order = g[5] == "0" ? BYTE_ORDER_BIG : BYTE_ORDER_LITTLE;
  rec.layout.is_unsigned = g[6] == "+" ? 1 : 0;
  rec.layout.length = static_cast<uint8_t>(length);
  rec.layout.factor = to_double(g[7]);
  rec.layout.offset = to_double(g[8]);
  rec.layout.minimum = to_double(g[9]);
  rec.layout.maximum = to_double(g[10]);
  rec.layout.start_bit = normalise_start_bit(static_cast<uint16_t>(start), rec.layout.byte_order);
  rec.message_id = p->current_message_id;
  if (!dynstring_from(&rec.name, g[1]) || !grow_array_push(&p->signals, rec)) {
    dynstring_free(&rec.name);
    no_memory();
  }
}

void handle_mux_value(DbcParser* p, string_view line) {
  Groups g;
  if (!pattern_match(&p->patterns[P_MUX_VALUE], line, &g)) return;
  DbcMuxValueLine rec{};
  rec.message_id = to_u32(g[1]);
  rec.low = to_u32(g[4]);
  rec.high = to_u32(g[5]);
  if (!dynstring_from(&rec.signal_name, g[2]) || !dynstring_from(&rec.multiplexor_name, g[3]) ||
      !grow_array_push(&p->mux_values, rec)) {
    dynstring_free(&rec.signal_name);
    dynstring_free(&rec.multiplexor_name);
    no_memory();
  }
}

void handle_attribute_def(DbcParser* p, string_view line) {
  Groups g;
  if (!pattern_match(&p->patterns[P_DEF], line, &g)) return;
  DbcAttributeDef rec{};
  rec.object_kind = object_kind_of(g[1]);
  if (rec.object_kind == OBJ_NODE) return;
  string_view type = g[3];
  rec.value_type = type == "INT"      ? VT_INT
                   : type == "FLOAT"  ? VT_FLOAT
                   : type == "STRING" ? VT_STRING
                   : type == "ENUM"   ? VT_ENUM
                                      : VT_OTHER;
  if (!dynstring_from(&rec.name, g[2]) || !dynstring_from(&rec.definition, g[4]) ||
      !grow_array_push(&p->definitions, rec)) {
    dynstring_free(&rec.name);
    dynstring_free(&rec.definition);
    no_memory();
  }
}

void handle_attribute_default(DbcParser* p, string_view line) {
  Groups g;
  if (!pattern_match(&p->patterns[P_DEFAULT], line, &g)) return;
  DbcAttributeDefault rec{};
  if (!dynstring_from(&rec.name, trim_char(g[1], '"')) ||
      !dynstring_from(&rec.value, trim_char(g[2], '"')) || !grow_array_push(&p->defaults, rec)) {
    dynstring_free(&rec.name);
    dynstring_free(&rec.value);
    no_memory();
  }
}

// The reading of an attribute assignment: after the quoted name an optional object kind; for
// messages and signals the id; for signals and nodes the object name; then the whole value.
struct AssignmentReading {
  string_view kind, id, object_name, value;
};

bool starts_with_token(string_view s, string_view token) {
  return s.size() > token.size() && s.substr(0, token.size()) == token && s[token.size()] == ' ';
}

bool all_ascii(string_view s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) > 127) return false;
  return true;
}

bool is_graph(char c) { return c > ' ' && c < 127; }

// The assignment pattern lets the optional spaces, the repeated groups and the digits of id
// and object name share a line in several ways, and the search settles on one of them. This
// reads the text after the name token by token instead, so that a quoted value with a space
// stays whole and an id stays in one piece. False when the line is not of this plain shape;
// the caller then keeps the groups of the pattern match.
bool read_assignment_tail(string_view tail, AssignmentReading* out) {
  // `tail` runs from after the name's closing quote to before the final ";".
  *out = AssignmentReading{};
  string_view s = tail;
  bool spaced = !s.empty() && s.front() == ' ';
  if (spaced) s.remove_prefix(1);
  for (string_view kind : {string_view("BU_"), string_view("BO_"), string_view("SG_")}) {
    if (s.substr(0, 3) != kind) continue;
    if (!starts_with_token(s, kind)) return false;  // "BO_256", "BO_BO_": not the plain shape
    out->kind = s.substr(0, 3);
    s.remove_prefix(4);
    break;
  }
  if (out->kind.empty() && !spaced) return false;  // the value needs its separating space
  if (out->kind == "BO_" || out->kind == "SG_") {
    size_t n = 0;
    while (n < s.size() && s[n] >= '0' && s[n] <= '9') ++n;
    if (n == 0 || n == s.size() || s[n] != ' ') return false;
    out->id = s.substr(0, n);
    s.remove_prefix(n + 1);
  }
  if (out->kind == "SG_" || out->kind == "BU_") {
    size_t n = 0;
    while (n < s.size() && is_graph(s[n])) ++n;
    if (n == 0 || n == s.size() || s[n] != ' ') return false;
    out->object_name = s.substr(0, n);
    s.remove_prefix(n + 1);
  }
  if (s.empty() || !all_ascii(s)) return false;
  out->value = s;
  return true;
}

void handle_attribute_value(DbcParser* p, string_view line) {
  Groups g;
  if (!pattern_match(&p->patterns[P_VALUE], line, &g)) return;
  string_view name = g[1];
  AssignmentReading r{g[2], g[3], g[4], g[5]};
  // The name group starts right after `BA_ "`; the tail follows its closing quote.
  size_t tail_start = static_cast<size_t>(name.data() - line.data()) + name.size() + 1;
  if (name.data() == line.data() + 5 && tail_start < line.size() && line[tail_start - 1] == '"') {
    AssignmentReading plain;
    if (read_assignment_tail(line.substr(tail_start, line.size() - 1 - tail_start), &plain))
      r = plain;
  }
  int32_t kind = object_kind_of(r.kind);
  bool kept = (kind == OBJ_NETWORK && (name == "BusType" || name == "ProtocolType")) ||
              (kind == OBJ_MESSAGE && name == "MessageIgnore") ||
              (kind == OBJ_SIGNAL && name == "SignalIgnore");
  if (!kept) return;
  DbcAttributeValue rec{};
  rec.object_kind = kind;
  rec.object_id = to_u32(r.id);
  if (!dynstring_from(&rec.name, name) || !dynstring_from(&rec.object_name, r.object_name) ||
      !dynstring_from(&rec.value, trim_char(r.value, '"')) ||
      !grow_array_push(&p->assignments, rec)) {
    dynstring_free(&rec.name);
    dynstring_free(&rec.object_name);
    dynstring_free(&rec.value);
    no_memory();
  }
}

bool has_prefix(string_view line, string_view prefix) {
  return line.size() >= prefix.size() && line.substr(0, prefix.size()) == prefix;
}

void dispatch_line(DbcParser* p, string_view line) {
  size_t n = line.size();
  if (n > 7 && has_prefix(line, "BA_DEF_ ")) {
    handle_attribute_def(p, line);
  } else if (n > 11 && has_prefix(line, "BA_DEF_DEF_ ")) {
    handle_attribute_default(p, line);
  } else if (n > 3 && has_prefix(line, "BA_ ")) {
    handle_attribute_value(p, line);
  } else if (n > 3 && has_prefix(line, "BO_ ")) {
    handle_message(p, line);
  } else if (n > 3 && has_prefix(line, "SG_ ")) {
    handle_signal(p, line);
  } else if (n >= 12 && has_prefix(line, "SG_MUL_VAL_ ")) {
    handle_mux_value(p, line);
  }
}

// ---------------------------------------------------------------------------------------------
// Attributes

// Composite index keys: the bytes of the numbers, then the name. Keys up to the size of the
// stack buffer are built there; longer ones in a heap copy.
template <class Fn>
auto with_key(std::initializer_list<uint32_t> numbers, string_view name, Fn&& fn)
    -> decltype(fn(string_view())) {
  char small[128];
  size_t head = numbers.size() * sizeof(uint32_t);
  DynString big{};
  char* out = small;
  if (head + name.size() > sizeof(small)) {
    out = dynstring_extend(&big, head + name.size());
    if (!out) return fn(string_view());
  }
  size_t n = 0;
  for (uint32_t v : numbers) {
    memcpy(out + n, &v, sizeof v);
    n += sizeof v;
  }
  if (!name.empty()) memcpy(out + n, name.data(), name.size());
  auto result = fn(string_view(out, head + name.size()));
  dynstring_free(&big);
  return result;
}

// Inserts index for `key` unless the key is there already (the first record wins). False when
// memory ran out.
bool index_insert_first(Index* index, std::initializer_list<uint32_t> numbers, string_view name,
                        int32_t value) {
  return with_key(numbers, name, [&](string_view key) {
    HashSlot<IndexEntry> slot = hash_table_find_or_insert<IndexTraits>(index, key);
    if (!slot.slot) return false;
    if (!slot.inserted) return true;
    if (!dynstring_from(&slot.slot->key, key)) {
      // The slot stays claimed with an empty key; the caller abandons the build.
      slot.slot->key = DynString{};
      slot.slot->index = -1;
      return false;
    }
    slot.slot->index = value;
    return true;
  });
}

int32_t index_find(const Index* index, std::initializer_list<uint32_t> numbers, string_view name) {
  return with_key(numbers, name, [&](string_view key) {
    const IndexEntry* e = hash_table_find<IndexTraits>(index, key);
    return e ? e->index : -1;
  });
}

// Only four exact names are ever kept as assignments, so they key the index by number.
uint32_t attribute_code(string_view name) {
  constexpr string_view NAMES[] = {"BusType", "ProtocolType", "MessageIgnore", "SignalIgnore"};
  for (uint32_t i = 0; i < 4; ++i)
    if (equal_no_case(name, NAMES[i])) return i;
  return 4;
}

bool build_assignment_index(DbcParser* p) {
  for (int32_t i = 0; i < p->assignments.count; ++i) {
    const DbcAttributeValue& a = p->assignments[i];
    uint32_t numbers[] = {attribute_code(dynstring_sv(&a.name)),
                          static_cast<uint32_t>(a.object_kind), a.object_id};
    if (!index_insert_first(&p->assignment_index, {numbers[0], numbers[1], numbers[2]},
                            dynstring_sv(&a.object_name), i))
      return false;
  }
  return true;
}

// The definition and default for (name, kind), found by one scan and remembered: the ignore
// attributes are asked for once per message and signal.
const AttributeSlot* attribute_slot(DbcParser* p, string_view name, int32_t kind) {
  for (const AttributeSlot& s : p->attribute_slots)
    if (s.kind == kind && s.name == name) return &s;
  AttributeSlot slot{name, kind, -1, -1};
  for (int32_t i = 0; i < p->definitions.count; ++i) {
    const DbcAttributeDef& d = p->definitions[i];
    if (d.object_kind == kind && equal_no_case(dynstring_sv(&d.name), name)) {
      slot.definition = i;
      break;
    }
  }
  for (int32_t i = 0; i < p->defaults.count; ++i) {
    if (equal_no_case(dynstring_sv(&p->defaults[i].name), name)) {
      slot.fallback = i;
      break;
    }
  }
  return grow_array_push(&p->attribute_slots, slot);
}

// The (index + 1)-th comma-separated item of an enumeration, trimmed of spaces and then of
// double quotes; empty when there is no such item.
string_view enum_item(string_view list, int32_t index) {
  if (index < 0) return {};
  for (int32_t i = 0;; ++i) {
    size_t comma = list.find(',');
    string_view item = list.substr(0, comma);
    if (i == index) return trim_char(trim_char(item, ' '), '"');
    if (comma == string_view::npos) return {};
    list.remove_prefix(comma + 1);
  }
}

bool dbc_attribute_get(DbcParser* p, string_view name, int32_t kind, uint32_t id,
                       string_view object_name, DbcAttribute* out) {
  const AttributeSlot* slot = attribute_slot(p, name, kind);
  if (!slot || slot->definition < 0) return false;
  const DbcAttributeDef& def = p->definitions[slot->definition];
  string_view raw;
  bool assigned = false;
  int32_t a = index_find(&p->assignment_index,
                         {attribute_code(name), static_cast<uint32_t>(kind), id}, object_name);
  if (a >= 0 && equal_no_case(dynstring_sv(&p->assignments[a].name), name)) {
    raw = dynstring_sv(&p->assignments[a].value);
    assigned = true;
  } else if (slot->fallback >= 0) {
    raw = dynstring_sv(&p->defaults[slot->fallback].value);
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
      out->text_value = assigned ? enum_item(dynstring_sv(&def.definition), to_i32(raw)) : raw;
      return true;
    default:
      return false;
  }
}

bool attribute_is_set(DbcParser* p, string_view name, int32_t kind, uint32_t id,
                      string_view object_name) {
  DbcAttribute a;
  return dbc_attribute_get(p, name, kind, id, object_name, &a) && a.value_type == VT_INT &&
         a.integer_value != 0;
}

int32_t resolve_protocol(DbcParser* p) {
  DbcAttribute a;
  int32_t protocol = 0;
  if (!dbc_attribute_get(p, "BusType", OBJ_NETWORK, 0, {}, &a)) {
    LOG(LOG_WARN, "\"BusType\" attribute not found. Defaulting to \"CAN\"");
    protocol = PROTOCOL_CAN;
  } else if (a.value_type == VT_STRING) {
    if (equal_no_case(a.text_value, "CAN") || equal_no_case(a.text_value, "CAN FD"))
      protocol = PROTOCOL_CAN;
    else if (equal_no_case(a.text_value, "LIN"))
      protocol = PROTOCOL_LIN;
  }
  if (protocol == PROTOCOL_CAN && dbc_attribute_get(p, "ProtocolType", OBJ_NETWORK, 0, {}, &a) &&
      a.value_type == VT_STRING && a.text_value == "J1939")
    protocol = PROTOCOL_J1939;
  return protocol;
}

// ---------------------------------------------------------------------------------------------
// Building the database

// Signals are first placed in a flat, index-linked tree (so that nothing moves while later
// signals are placed), then copied into the database's nested lists.
struct BuildBranch {
  uint32_t low, high;
  int32_t list;
};

struct BuildNode {
  int32_t line;   // the signal line
  int32_t depth;  // branches between the node and its message's top-level list
  GrowArray<BuildBranch> branches;
  bool stored;  // copied into the database
};

struct Builder {
  DbcParser* p;
  MessageDatabase* db;
  GrowArray<BuildNode> nodes;
  GrowArray<GrowArray<int32_t>> lists;  // node indexes in insertion order
  Index message_lists;                  // message key -> the top-level list
  Index placed;                         // (message key, signal name) -> node
  Index branch_lists;                   // (multiplexor node, low, high) -> list
  Index mux_value_first;                // signal name -> the first multiplex-value line naming it
  Index plain_mux_first;          // message id -> the first multiplexor that is not multiplexed
  GrowArray<uint32_t> line_keys;  // message key of every signal line
};

void builder_free(Builder* b) {
  for (BuildNode& n : b->nodes) grow_array_free(&n.branches);
  grow_array_free(&b->nodes);
  for (GrowArray<int32_t>& l : b->lists) grow_array_free(&l);
  grow_array_free(&b->lists);
  hash_table_destroy<IndexTraits>(&b->message_lists);
  hash_table_destroy<IndexTraits>(&b->placed);
  hash_table_destroy<IndexTraits>(&b->branch_lists);
  hash_table_destroy<IndexTraits>(&b->mux_value_first);
  hash_table_destroy<IndexTraits>(&b->plain_mux_first);
  grow_array_free(&b->line_keys);
}

int32_t new_list(Builder* b) {
  if (!grow_array_push(&b->lists)) return -1;
  return b->lists.count - 1;
}

// One pass over the signal lines; the number of signals placed, or -1 when memory ran out.
int32_t signal_pass(Builder* b) {
  DbcParser* p = b->p;
  int32_t added = 0;
  for (int32_t i = 0; i < p->signals.count; ++i) {
    const DbcSignalLine& s = p->signals[i];
    uint32_t key = b->line_keys[i];
    int32_t top = index_find(&b->message_lists, {key}, {});
    if (top < 0) continue;
    string_view name = dynstring_sv(&s.name);
    if (index_find(&b->placed, {key}, name) >= 0) continue;
    int32_t list = top;
    int32_t depth = 0;
    if (s.is_multiplexed) {
      string_view mux_name;
      uint32_t low = s.multiplexer_value, high = s.multiplexer_value;
      int32_t mv = index_find(&b->mux_value_first, {}, name);
      if (mv >= 0) {
        const DbcMuxValueLine& m = p->mux_values[mv];
        mux_name = dynstring_sv(&m.multiplexor_name);
        low = m.low;
        high = m.high;
      } else {
        int32_t plain = index_find(&b->plain_mux_first, {s.message_id}, {});
        if (plain >= 0) mux_name = dynstring_sv(&p->signals[plain].name);
      }
      if (mux_name.empty()) continue;
      int32_t mux = index_find(&b->placed, {key}, mux_name);
      if (mux < 0) continue;
      if (b->nodes[mux].depth >= MUX_DEPTH_LIMIT) continue;
      depth = b->nodes[mux].depth + 1;
      list = index_find(&b->branch_lists, {static_cast<uint32_t>(mux), low, high}, {});
      if (list < 0) {
        if (low > high) continue;
        BuildBranch* branch = grow_array_push(&b->nodes[mux].branches);
        list = branch ? new_list(b) : -1;
        if (list < 0 || !index_insert_first(&b->branch_lists,
                                            {static_cast<uint32_t>(mux), low, high}, {}, list)) {
          if (branch) --b->nodes[mux].branches.count;
          return -1;
        }
        *branch = BuildBranch{low, high, list};
      }
    }
    const Message* message = message_db_find(b->db, key);
    if (!message) continue;
    if (static_cast<uint64_t>(message->size) * 8 <
        static_cast<uint64_t>(s.layout.start_bit) + s.layout.length) {
      LOG(LOG_FATAL, "Failed to add signal %s to message %s", dynstring_data(&s.name),
          dynstring_data(&message->name));
      continue;
    }
    BuildNode* node = grow_array_push(&b->nodes);
    if (!node) return -1;
    node->line = i;
    node->depth = depth;
    int32_t node_index = b->nodes.count - 1;
    if (!grow_array_push(&b->lists[list], node_index) ||
        !index_insert_first(&b->placed, {key}, name, node_index)) {
      --b->nodes.count;
      return -1;
    }
    ++added;
  }
  return added;
}

// Copies a build list into a database list; the depth is bounded by MUX_DEPTH_LIMIT.
void store_list(Builder* b, int32_t list, SignalList* out) {
  for (int32_t k = 0; k < b->lists[list].count; ++k) {
    BuildNode& node = b->nodes[b->lists[list][k]];
    const DbcSignalLine& s = b->p->signals[node.line];
    Signal* signal = signal_list_add(out, dynstring_sv(&s.name), &s.layout, s.ignore);
    if (!signal) continue;
    node.stored = true;
    for (const BuildBranch& br : node.branches) {
      MuxBranch* branch = branch_add(&signal->branches, br.low, br.high);
      if (branch) store_list(b, br.list, &branch->signals);
    }
  }
}

// Every message line becomes a database message; false (logged) when a key is taken.
bool add_messages(DbcParser* p, MessageDatabase* db) {
  for (const DbcMessageLine& m : p->messages) {
    uint32_t key = dbcMsgKey2DbMsgKey(p->protocol, m.id);
    if (!message_db_add_message(db, dynstring_sv(&m.name), key, m.size, m.ignore)) {
      LOG(LOG_FATAL, "Failed to add message with key %X to DB", key);
      return false;
    }
  }
  return true;
}

// The builder's indexes: the messages' top-level lists in file order, the first multiplex-value
// line per signal name, the first plain multiplexor per message id and every signal line's
// message key. A multiplexor that is itself listed on a multiplex-value line is nested. False
// when memory ran out.
bool builder_index(Builder* b) {
  DbcParser* p = b->p;
  bool ok = true;
  for (const DbcMessageLine& m : p->messages) {
    int32_t list = new_list(b);
    if (list < 0 ||
        !index_insert_first(&b->message_lists, {dbcMsgKey2DbMsgKey(p->protocol, m.id)}, {}, list))
      ok = false;
  }
  for (int32_t i = 0; ok && i < p->mux_values.count; ++i)
    ok =
        index_insert_first(&b->mux_value_first, {}, dynstring_sv(&p->mux_values[i].signal_name), i);
  for (DbcSignalLine& s : p->signals)
    if (ok && s.is_multiplexor && index_find(&b->mux_value_first, {}, dynstring_sv(&s.name)) >= 0)
      s.is_multiplexed = 1;
  for (int32_t i = 0; ok && i < p->signals.count; ++i) {
    const DbcSignalLine& s = p->signals[i];
    if (s.is_multiplexor && !s.is_multiplexed)
      ok = index_insert_first(&b->plain_mux_first, {s.message_id}, {}, i);
  }
  for (int32_t i = 0; ok && i < p->signals.count; ++i)
    ok = grow_array_push(&b->line_keys,
                         dbcMsgKey2DbMsgKey(p->protocol, p->signals[i].message_id)) != nullptr;
  return ok;
}

// Places signals pass by pass until a pass places none (a multiplexed signal waits for its
// multiplexor), then copies the trees into the messages. False when memory ran out.
bool place_and_store(Builder* b) {
  for (;;) {
    int32_t added = signal_pass(b);
    if (added < 0) return false;
    if (added == 0) break;
  }
  for (const DbcMessageLine& m : b->p->messages) {
    uint32_t key = dbcMsgKey2DbMsgKey(b->p->protocol, m.id);
    Message* message = message_db_find(b->db, key);
    int32_t list = index_find(&b->message_lists, {key}, {});
    if (message && list >= 0) store_list(b, list, &message->signals);
  }
  return true;
}

// Final check, message by message: signal lines grouped by key in file order, each one that
// did not reach the database logged. False when memory ran out.
bool report_unloaded(Builder* b) {
  DbcParser* p = b->p;
  GrowArray<int32_t> order{};
  if (!grow_array_reserve(&order, p->signals.count)) return false;
  for (int32_t i = 0; i < p->signals.count; ++i) order.items[i] = i;
  order.count = p->signals.count;
  const uint32_t* keys = b->line_keys.items;
  std::sort(order.begin(), order.end(), [keys](int32_t x, int32_t y) {
    return keys[x] != keys[y] ? keys[x] < keys[y] : x < y;
  });
  for (const DbcMessageLine& m : p->messages) {
    uint32_t key = dbcMsgKey2DbMsgKey(p->protocol, m.id);
    if (!message_db_find(b->db, key)) {
      LOG(LOG_ERROR, "Failed to load message %s", dynstring_data(&m.name));
      continue;
    }
    const int32_t* first = std::lower_bound(order.begin(), order.end(), key,
                                            [keys](int32_t x, uint32_t k) { return keys[x] < k; });
    for (const int32_t* it = first; it != order.end() && keys[*it] == key; ++it) {
      const DbcSignalLine& s = p->signals[*it];
      int32_t node = index_find(&b->placed, {key}, dynstring_sv(&s.name));
      if (node < 0 || !b->nodes[node].stored)
        LOG(LOG_ERROR, "Failed to load signal %s", dynstring_data(&s.name));
    }
  }
  grow_array_free(&order);
  return true;
}

bool build_database(DbcParser* p, MessageDatabase* db) {
  if (!add_messages(p, db)) return false;
  Builder b{};
  b.p = p;
  b.db = db;
  bool ok = builder_index(&b) && place_and_store(&b) && report_unloaded(&b);
  if (!ok) no_memory();
  builder_free(&b);
  return ok;
}

// ---------------------------------------------------------------------------------------------
// Parser lifetime

void parser_free(DbcParser* p) {
  for (DbcMessageLine& m : p->messages) dynstring_free(&m.name);
  grow_array_free(&p->messages);
  for (DbcSignalLine& s : p->signals) dynstring_free(&s.name);
  grow_array_free(&p->signals);
  for (DbcMuxValueLine& v : p->mux_values) {
    dynstring_free(&v.signal_name);
    dynstring_free(&v.multiplexor_name);
  }
  grow_array_free(&p->mux_values);
  for (DbcAttributeDef& d : p->definitions) {
    dynstring_free(&d.name);
    dynstring_free(&d.definition);
  }
  grow_array_free(&p->definitions);
  for (DbcAttributeDefault& d : p->defaults) {
    dynstring_free(&d.name);
    dynstring_free(&d.value);
  }
  grow_array_free(&p->defaults);
  for (DbcAttributeValue& a : p->assignments) {
    dynstring_free(&a.name);
    dynstring_free(&a.object_name);
    dynstring_free(&a.value);
  }
  grow_array_free(&p->assignments);
  for (int i = 0; i < P_COUNT; ++i)
    if (p->compiled[i]) pattern_free(&p->patterns[i]);
  hash_table_destroy<IndexTraits>(&p->assignment_index);
  grow_array_free(&p->attribute_slots);
}

// Strips carriage returns, then spaces, then tabs from both ends, in that order.
string_view trim_line(string_view line) {
  line = trim_char(line, '\r');
  line = trim_char(line, ' ');
  return trim_char(line, '\t');
}

// Splits `text` at line feeds and hands every non-empty trimmed line to the dispatcher.
void parse_lines(DbcParser* p, const char* text, uint64_t size) {
  uint64_t at = 0;
  while (at <= size) {
    const char* begin = text + at;
    const void* nl = memchr(begin, '\n', static_cast<size_t>(size - at));
    uint64_t end = nl ? static_cast<uint64_t>(static_cast<const char*>(nl) - text) : size;
    if (end == size && at == size) break;
    string_view line = trim_line(string_view(begin, static_cast<size_t>(end - at)));
    if (!line.empty()) dispatch_line(p, line);
    at = end + 1;
  }
}

}  // namespace

MessageDatabase* dbc_load(Stream* stream) {
  int64_t size = stream_size(stream);
  if (size == 0) return nullptr;
  if (size < 0) {
    LOG(LOG_ERROR, "Could not read DBC-file");
    return nullptr;
  }
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

  DbcParser p{};
  MessageDatabase* db = nullptr;
  bool compiled = true;
  for (int i = 0; i < P_COUNT; ++i) {
    p.compiled[i] = pattern_compile(&p.patterns[i], PATTERNS[i]);
    compiled = compiled && p.compiled[i];
  }
  // Memory is the only way a fixed pattern or an index can fail.
  if (!compiled) {
    no_memory();
  } else {
    parse_lines(&p, text, static_cast<uint64_t>(size));
    if (!build_assignment_index(&p)) {
      no_memory();
    } else {
      p.protocol = resolve_protocol(&p);
      for (DbcMessageLine& m : p.messages)
        m.ignore = attribute_is_set(&p, "MessageIgnore", OBJ_MESSAGE, m.id, {});
      for (DbcSignalLine& s : p.signals)
        s.ignore =
            attribute_is_set(&p, "SignalIgnore", OBJ_SIGNAL, s.message_id, dynstring_sv(&s.name));
      if (p.protocol == 0) {
        LOG(LOG_ERROR, "\"BusType\" not supported");
      } else {
        const char* name = p.protocol == PROTOCOL_J1939 ? "CAN-PGN"
                           : p.protocol == PROTOCOL_LIN ? "LIN"
                                                        : "CAN";
        db = message_db_new(name);
        if (!db) {
          no_memory();
        } else if (!build_database(&p, db)) {
          message_db_free(db);
          db = nullptr;
        }
      }
    }
  }
  parser_free(&p);
  free(text);
  return db;
}
