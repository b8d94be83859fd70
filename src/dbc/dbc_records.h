// The DBC parser's records: what the statement handlers keep of each statement they read, the
// indexes over them, and the problem reports that the handlers and the database builder share.
// Texts are views into the file's text while the statements are read and resolved; what the
// builder reads after that (names, long names, multiplexor ranges) is copied into the parser's
// arena, so that the file's text is freed before the database takes its room.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "dbc/message_db.h"
#include "support/grow_array.h"
#include "support/hash_table.h"

enum ObjectKind : int32_t {
  OBJ_NETWORK = 1,
  OBJ_NODE = 2,
  OBJ_MESSAGE = 3,
  OBJ_SIGNAL = 4,
  OBJ_VARIABLE = 5,
};
enum AttributeType : int32_t { VT_OTHER = 0, VT_INT = 1, VT_FLOAT = 2, VT_STRING = 3, VT_ENUM = 4 };

// Message and signal lines are kept by the million: their fields are ordered to leave no holes,
// and the few long names are kept apart (DbcParser::long_names).
struct DbcMessageLine {
  std::string_view name;
  uint64_t id;  // as written (bit 31 marks an extended id), not yet checked
  uint32_t size;
  uint32_t line;
  uint8_t ignore;
  uint8_t pseudo;  // the container of signals that belong to no message: skipped quietly
};

struct DbcSignalLine {
  std::string_view name;
  SignalLayout layout;
  int32_t message;        // index of the message line before it; -1: none
  uint32_t message_line;  // with message -1: the line of a BO_ not understood, or 0
  uint32_t line;
  uint32_t multiplexer_value;
  uint8_t is_multiplexor;
  uint8_t is_multiplexed;
  uint8_t ignore;
};

// The long name (SystemMessageLongSymbol, SystemSignalLongSymbol) of a message or signal line.
struct DbcLongName {
  int32_t line;  // the index of the message or signal line
  std::string_view text;
};

struct DbcMuxValueLine {
  uint64_t message_id;
  std::string_view signal_name;
  std::string_view multiplexor_name;
  std::string_view ranges;  // "<low>-<high>, ..." as written
  uint32_t line;
};

struct DbcValueTypeLine {
  uint64_t message_id;
  std::string_view signal_name;
  uint32_t type;  // SignalValueType
  uint32_t line;
};

// VAL_ <message id> <signal> <raw> "<text>" ...: the pairs stay as written until the build.
struct DbcValueLine {
  uint64_t message_id;
  std::string_view signal_name;
  std::string_view pairs;
  uint32_t line;
};

struct DbcAttributeDef {
  int32_t object_kind;
  std::string_view name;
  int32_t value_type;
  std::string_view definition;
};

struct DbcAttributeDefault {
  std::string_view name;
  std::string_view value;
};

struct DbcAttributeValue {
  std::string_view name;
  uint32_t code;  // the number of the kept attribute name (it keys the assignment index)
  int32_t object_kind;
  uint64_t object_id;
  std::string_view object_name;
  std::string_view value;
};

// Indexes from a key (numbers and a name) to the first record that has it. An entry keeps only
// the key's hash and the record: the caller's `same(record)` tells whether a stored record has
// the key sought, so an index costs the same few bytes per key however long the names are.
struct IndexEntry {
  uint64_t hash;
  int32_t index;
};
struct IndexKey {
  uint64_t hash;
  const void* context;
  bool (*same)(const void* context, int32_t record);
};
struct IndexTraits {
  using Key = IndexKey;
  static uint64_t hash(Key k) { return k.hash; }
  static uint64_t hash_entry(const IndexEntry& e) { return e.hash; }
  static bool equal(const IndexEntry& e, Key k) {
    return e.hash == k.hash && k.same(k.context, e.index);
  }
  static void destroy(IndexEntry&) {}
};
using Index = HashTable<IndexEntry>;

// The hash of a key: the name's, mixed with each number in turn.
uint64_t index_hash(std::initializer_list<uint64_t> numbers, std::string_view name);
// Sizes the index for `count` keys at once, so that filling it does not grow it step by step.
bool index_reserve(Index* index, int32_t count);

template <class Same>
IndexKey index_key(std::initializer_list<uint64_t> numbers, std::string_view name,
                   const Same* same) {
  return IndexKey{index_hash(numbers, name), same, [](const void* context, int32_t record) {
                    return (*static_cast<const Same*>(context))(record);
                  }};
}

// Records `value` (>= 0) for the key unless a record with the key is there already (the first
// record wins); `same(record)` says whether a recorded record has this key. The record now
// recorded for the key, or -1 when memory ran out.
template <class Same>
int32_t index_insert_first(Index* index, std::initializer_list<uint64_t> numbers,
                           std::string_view name, int32_t value, const Same& same) {
  IndexKey key = index_key(numbers, name, &same);
  HashSlot<IndexEntry> slot = hash_table_find_or_insert<IndexTraits>(index, key);
  if (!slot.slot) return -1;
  if (slot.inserted) *slot.slot = IndexEntry{key.hash, value};
  return slot.slot->index;
}

// The record recorded for the key, or -1.
template <class Same>
int32_t index_find(const Index* index, std::initializer_list<uint64_t> numbers,
                   std::string_view name, const Same& same) {
  const IndexEntry* e = hash_table_find<IndexTraits>(index, index_key(numbers, name, &same));
  return e ? e->index : -1;
}

// The definition and default of one attribute name and object kind, looked up once.
struct AttributeSlot {
  std::string_view name;
  int32_t kind;
  int32_t definition;  // -1: none
  int32_t fallback;    // the first default, -1: none
};

// What went unused, for the summary of the file.
struct DbcCounts {
  int32_t lines;
  int32_t messages;
  int32_t signals;
};

// Texts copied into large blocks that are freed together: far less memory than one allocation
// per name, and views into it stay valid until the arena is freed.
struct TextArena {
  GrowArray<char*> blocks;
  char* next;     // where the next text goes in the last block
  uint64_t room;  // bytes left there
};

// A view of a copy of `text` in the arena; false when memory ran out. Empty texts take no room.
bool arena_copy(TextArena* arena, std::string_view* text);
void arena_free(TextArena* arena);

// PROBLEM_NOTE: something read in another way than written, which leaves nothing out.
enum DbcProblem { PROBLEM_LINE, PROBLEM_MESSAGE, PROBLEM_SIGNAL, PROBLEM_NOTE };

struct DbcParser {
  std::string_view file_name;
  int32_t protocol;
  int32_t current_message;  // the message line that signal lines belong to; -1: none
  uint32_t current_message_line;
  GrowArray<DbcMessageLine> messages;
  GrowArray<DbcSignalLine> signals;
  GrowArray<DbcMuxValueLine> mux_values;
  GrowArray<DbcValueTypeLine> value_types;
  GrowArray<DbcAttributeDef> definitions;
  GrowArray<DbcAttributeDefault> defaults;
  GrowArray<DbcAttributeValue> assignments;
  Index assignment_index;  // first assignment per (name, kind, id, object name)
  GrowArray<AttributeSlot> attribute_slots;
  // Long names in the order of their lines; kept when not empty.
  GrowArray<DbcLongName> message_long_names;
  GrowArray<DbcLongName> signal_long_names;
  TextArena texts;  // the texts of the records that outlive the file's text
  GrowArray<DbcValueLine> value_lines;
  bool want_value_tables;  // VAL_ statements are read (else skipped unread)
  DbcCounts skipped;
  bool out_of_memory;
};

// Logs one problem of the file at warning level as "<file>:<line>: <text>" and counts it
// (a note is not counted).
void dbc_report(DbcParser* p, DbcProblem problem, uint32_t line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// Logs that memory ran out (once) and marks the load as failed.
void dbc_no_memory(DbcParser* p);

// The long name of message or signal line `line` in `names`, or else `name`.
std::string_view dbc_long_name(const GrowArray<DbcLongName>* names, int32_t line,
                               std::string_view name);
// Reads a VAL_ statement (one of an environment variable is understood and left out); false
// when it is not of the form "VAL_ <message id> <signal> <raw> \"<text>\" ...".
bool dbc_read_value_line(DbcParser* p, std::string_view text, uint32_t line);
// Builds the value tables of the signals that reached `db` from the VAL_ statements read,
// reporting those it leaves out. False only when memory ran out.
bool dbc_build_value_tables(DbcParser* p, MessageDatabase* db);

// Builds the messages and signal trees of the parsed file into `db`, reporting every message and
// signal left out. False only when memory ran out. *loaded_signals counts the signal lines that
// reached the database.
bool dbc_build_database(DbcParser* p, MessageDatabase* db, int32_t* loaded_signals);
