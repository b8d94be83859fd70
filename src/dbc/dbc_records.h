// The DBC parser's records: what the statement handlers keep of each statement they read, the
// indexes over them, and the problem reports that the handlers and the database builder share.
// Texts are views into the file's text, which outlives the parser.
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

struct DbcMessageLine {
  std::string_view name;
  std::string_view long_name;  // SystemMessageLongSymbol, empty when not set
  uint64_t id;                 // as written (bit 31 marks an extended id), not yet checked
  uint32_t size;
  uint32_t line;
  uint8_t ignore;
  uint8_t pseudo;  // the container of signals that belong to no message: skipped quietly
};

struct DbcSignalLine {
  std::string_view name;
  std::string_view long_name;  // SystemSignalLongSymbol, empty when not set
  int32_t message;             // index of the message line before it; -1: none
  uint32_t message_line;       // with message -1: the line of a BO_ not understood, or 0
  uint32_t line;
  SignalLayout layout;
  uint8_t is_multiplexor;
  uint8_t is_multiplexed;
  uint32_t multiplexer_value;
  uint8_t ignore;
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
  int32_t object_kind;
  uint64_t object_id;
  std::string_view object_name;
  std::string_view value;
};

// Index entries. Keys that combine numbers and a name are byte strings: the numbers' bytes
// followed by the name.
struct IndexEntry {
  DynString key;
  int32_t index;
};
using IndexTraits = StringKeyTraits<IndexEntry>;
using Index = HashTable<IndexEntry>;

// Records `value` for the key unless the key is there already (the first record wins). False
// when memory ran out.
bool index_insert_first(Index* index, std::initializer_list<uint64_t> numbers,
                        std::string_view name, int32_t value);
// The value recorded for the key, or -1.
int32_t index_find(const Index* index, std::initializer_list<uint64_t> numbers,
                   std::string_view name);

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
