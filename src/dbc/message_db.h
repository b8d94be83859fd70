// The message database of one DBC file: messages by key, their signal trees with multiplexor
// branches, the message-key functions of each bus protocol, and frame decoding.
#pragma once

#include <cstdint>
#include <string_view>

#include "dbc/signal_extract.h"
#include "dbc/value_tables.h"
#include "support/dyn_string.h"
#include "support/grow_array.h"
#include "support/ordered_map.h"

enum BusProtocol : int32_t {
  PROTOCOL_CAN = 1,
  PROTOCOL_J1939 = 2,
  PROTOCOL_LIN = 3,
};

struct Signal;
struct MuxBranch;
using SignalList = GrowArray<Signal>;
using BranchList = GrowArray<MuxBranch>;

// Which decoded values of a signal are in range (set by signal_list_add from the layout).
enum SignalRangeRule : uint8_t {
  RANGE_ALL = 0,   // minimum and maximum both 0: no range, every value counts
  RANGE_NONE = 1,  // no raw value reaches the range (a minimum above the maximum, say)
  RANGE_RAW = 2,   // the raw number lies in [raw_low, raw_high]
};

struct Signal {
  DynString name;
  uint8_t ignore;      // 1: the DBC's "SignalIgnore" is a non-zero integer
  uint8_t range_rule;  // SignalRangeRule
  uint64_t name_hash;  // string_hash(name), set by signal_list_add
  SignalLayout layout;
  // The minimum and maximum as raw numbers (see signal_raw_limits); HUGE_VAL and -HUGE_VAL
  // unless the rule is RANGE_RAW.
  double raw_low;
  double raw_high;
  BranchList branches;  // non-empty only for a multiplexor with multiplexed signals
};

// The range test of a signal, done on raw numbers so that a value equal to a limit as the DBC
// writes it is never rejected by the rounding of raw * factor + offset: the limits are turned
// into raw numbers, (limit - offset) / factor, widened by the largest error that this
// conversion and the parsing of the decimal limit can make (eight units in the last place of
// the operands' magnitude); for integer signals they are then rounded inwards to whole raw
// numbers, for single-precision floats widened by one unit in the last place of a float.
// Sets the rule and the raw limits.
void signal_raw_limits(const SignalLayout* layout, uint8_t* rule, double* raw_low,
                       double* raw_high);

// The signals valid while the multiplexor's value lies in [low, high] (low <= high). Branches
// may overlap: every branch that holds the value is in use.
struct MuxBranch {
  uint32_t low;
  uint32_t high;
  SignalList signals;
};

struct Message {
  DynString name;
  uint32_t size;     // bytes
  uint8_t ignore;    // 1: the DBC's "MessageIgnore" is a non-zero integer
  uint8_t filtered;  // 1: the run's signal selection keeps none of its signals
  SignalList signals;
};

using MessageTree = OrderedMap<uint32_t, Message>;

// Signal trees are at most MUX_DEPTH_LIMIT branches deep (the parser holds back deeper
// signals), so the recursive walks over them stay shallow.
constexpr int MUX_DEPTH_LIMIT = 32;

struct MessageDatabase {
  BusProtocol protocol;
  DynString protocol_name;  // "CAN", "CAN-PGN" or "LIN", as the protocol is told
  MessageTree messages;
  ValueTables value_tables;  // empty unless the load asked for them (dbc_load)
};

// Message keys. An extended CAN key carries bit 31.
uint32_t can_message_key(uint32_t id, bool extended);
// The PGN of an extended id (priority, source address and, for PDU1, the destination
// address dropped), keyed as an extended CAN id.
uint32_t j1939_message_key(uint32_t id, bool extended);
uint32_t lin_message_key(uint32_t id);
// The key of a message id as written in a DBC file: bit 31 marks an extended id, and so does
// a value above 0x7FF without it. An unknown protocol logs and gives key 0.
uint32_t dbcMsgKey2DbMsgKey(int32_t protocol, uint32_t dbc_id);

MessageDatabase* message_db_new(BusProtocol protocol);
void message_db_free(MessageDatabase* db);
// Null when the key is already present (logged; the database is unchanged) or memory ran out.
// The returned pointer is valid until the next message is added.
Message* message_db_add_message(MessageDatabase* db, std::string_view name, uint32_t key,
                                uint32_t size, uint8_t ignore);
// Makes room for `count` messages in all; false when memory ran out.
bool message_db_reserve(MessageDatabase* db, int32_t count);
Message* message_db_find(MessageDatabase* db, uint32_t key);
const Message* message_db_find(const MessageDatabase* db, uint32_t key);

// Appends a signal without branches; null when the list is missing or memory ran out. The
// returned pointer is valid until the list grows again.
Signal* signal_list_add(SignalList* list, std::string_view name, const SignalLayout* layout,
                        uint8_t ignore);
// Depth first by exact name: each element in order, and after an element that does not
// match, the lists of its branches in order.
Signal* signal_list_find(SignalList* list, std::string_view name);
const Signal* signal_list_find(const SignalList* list, std::string_view name);
// Frees the names and branches of every signal and the list's storage.
void signal_list_free(SignalList* list);

MuxBranch* branch_find(BranchList* branches, uint32_t low, uint32_t high);
// Appends a branch with an empty signal list; null when high < low or memory ran out.
MuxBranch* branch_add(BranchList* branches, uint32_t low, uint32_t high);
const MuxBranch* branch_containing(const BranchList* branches, uint32_t value);

struct DecodedValue {
  std::string_view name;  // the signal's name in the database (valid while the database is)
  uint8_t ignore;
  uint8_t has_branches;  // the signal is a multiplexor in use
  uint8_t last;          // the final value of its message (iteration stops here)
  uint8_t in_range;      // the value passes its signal's range test (signal_raw_limits)
  uint64_t name_hash;    // string_hash(name), from the signal
  double value;
  double raw;  // the number in the frame's bits, before factor and offset
};

struct DecodedMessage {
  uint32_t key;
  std::string_view name;  // the message's name in the database (valid while the database is)
  uint32_t size;
  uint8_t ignore;
  GrowArray<DecodedValue> values;  // depth first: a multiplexor, then its selected branches
};

// Decodes every signal of the message with this key that fits into the bytes; null when no
// message has the key or memory ran out.
DecodedMessage* message_db_decode(const MessageDatabase* db, uint32_t key, const uint8_t* bytes,
                                  uint64_t byte_count);
// As message_db_decode, into a record owned by the caller whose storage is reused from frame to
// frame: a zeroed DecodedMessage, or one filled before; release it with decoded_message_clear.
// False (and `out` without values) when no message has the key or memory ran out.
bool message_db_decode_into(const MessageDatabase* db, uint32_t key, const uint8_t* bytes,
                            uint64_t byte_count, DecodedMessage* out);
// As message_db_decode_into, for the message `m` (found by its `key`) of a database.
bool message_decode_into(const Message* m, uint32_t key, const uint8_t* bytes, uint64_t byte_count,
                         DecodedMessage* out);
// Frees what a DecodedMessage holds, not the record itself, and leaves it zeroed.
void decoded_message_clear(DecodedMessage* result);
const DecodedValue* decoded_values_first(const DecodedMessage* result);
const DecodedValue* decoded_values_next(const DecodedValue* entry);
void decoded_message_free(DecodedMessage* result);
