// Message database: key functions, the message tree, signal lists with multiplexor branches
// and the depth-first value walk that decodes a frame.
#include "dbc/message_db.h"

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <utility>

#include "support/hash_table.h"
#include "support/log.h"

uint32_t can_message_key(uint32_t id, bool extended) {
  return extended ? ((id & 0x1FFFFFFFu) | 0x80000000u) : (id & 0x7FFu);
}

uint32_t j1939_message_key(uint32_t id, bool extended) {
  if (!extended) return id & 0x7FFu;
  // PDU1 (PF below 0xF0): the PS byte is a destination address, not part of the PGN.
  uint32_t pgn_bits = (id & 0x00FF0000u) < 0x00F00000u ? id & 0x03FF0000u : id & 0x03FFFF00u;
  return can_message_key(pgn_bits, true);
}

uint32_t lin_message_key(uint32_t id) { return id & 0x3Fu; }

uint32_t dbcMsgKey2DbMsgKey(int32_t protocol, uint32_t dbc_id) {
  // Generators write extended ids without bit 31 as well; a standard id has 11 bits.
  bool extended = (dbc_id & 0x80000000u) != 0 || dbc_id > 0x7FFu;
  switch (protocol) {
    case PROTOCOL_LIN:
      return lin_message_key(dbc_id & 0xFFu);
    case PROTOCOL_CAN:
      return can_message_key(dbc_id, extended);
    case PROTOCOL_J1939:
      return j1939_message_key(dbc_id, extended);
    default:
      LOG(LOG_FATAL, "dbcMsgKey2DbMsgKey called with invalid bus type");
      return 0;
  }
}

MessageDatabase* message_db_new(BusProtocol protocol) {
  auto* db = static_cast<MessageDatabase*>(calloc(1, sizeof(MessageDatabase)));
  if (!db) return nullptr;
  db->protocol = protocol;
  const char* name = protocol == PROTOCOL_J1939 ? "CAN-PGN"
                     : protocol == PROTOCOL_LIN ? "LIN"
                                                : "CAN";
  if (!dynstring_from(&db->protocol_name, name)) {
    free(db);
    return nullptr;
  }
  return db;
}

void signal_list_free(SignalList* list) {
  for (Signal& s : *list) {
    dynstring_free(&s.name);
    for (MuxBranch& b : s.branches) signal_list_free(&b.signals);
    grow_array_free(&s.branches);
  }
  grow_array_free(list);
}

void message_db_free(MessageDatabase* db) {
  if (!db) return;
  ordered_map_for_each(&db->messages, [](const uint32_t&, Message& m) {
    dynstring_free(&m.name);
    signal_list_free(&m.signals);
    return true;
  });
  ordered_map_clear(&db->messages);
  value_tables_free(&db->value_tables);
  dynstring_free(&db->protocol_name);
  free(db);
}

Message* message_db_add_message(MessageDatabase* db, std::string_view name, uint32_t key,
                                uint32_t size, uint8_t ignore) {
  if (!db) return nullptr;
  if (ordered_map_find(&db->messages, key)) {
    LOG(LOG_FATAL, "Message key collision: %u", key);
    return nullptr;
  }
  DynString owned{};
  if (!dynstring_from(&owned, name)) return nullptr;
  OrderedMapSlot<Message> slot = ordered_map_insert(&db->messages, key);
  if (!slot.value) {
    dynstring_free(&owned);
    return nullptr;
  }
  slot.value->name = owned;
  slot.value->size = size;
  slot.value->ignore = ignore;
  return slot.value;
}

bool message_db_reserve(MessageDatabase* db, int32_t count) {
  return db && ordered_map_reserve(&db->messages, count);
}

Message* message_db_find(MessageDatabase* db, uint32_t key) {
  return db ? ordered_map_find(&db->messages, key) : nullptr;
}

const Message* message_db_find(const MessageDatabase* db, uint32_t key) {
  return db ? ordered_map_find(&db->messages, key) : nullptr;
}

Signal* signal_list_add(SignalList* list, std::string_view name, const SignalLayout* layout,
                        uint8_t ignore) {
  if (!list || !layout) return nullptr;
  DynString owned{};
  if (!dynstring_from(&owned, name)) return nullptr;
  Signal* s = grow_array_push(list);
  if (!s) {
    dynstring_free(&owned);
    return nullptr;
  }
  s->name = owned;
  s->ignore = ignore;
  s->name_hash = string_hash(name.data(), name.size());
  s->layout = *layout;
  signal_raw_limits(layout, &s->range_rule, &s->raw_low, &s->raw_high);
  return s;
}

void signal_raw_limits(const SignalLayout* layout, uint8_t* rule, double* raw_low,
                       double* raw_high) {
  double minimum = layout->minimum, maximum = layout->maximum;
  double factor = layout->factor, offset = layout->offset;
  *raw_low = HUGE_VAL;  // no number lies between these two
  *raw_high = -HUGE_VAL;
  if (minimum == 0 && maximum == 0) {
    *rule = RANGE_ALL;
    return;
  }
  if (factor == 0 || !std::isfinite(factor)) {
    // Every raw number gives the offset.
    *rule = minimum <= offset && offset <= maximum ? RANGE_ALL : RANGE_NONE;
    return;
  }
  constexpr double ERROR_BOUND = 8 * DBL_EPSILON;
  double scale = std::fabs(factor);
  double low = (minimum - offset) / factor, high = (maximum - offset) / factor;
  double low_error = ERROR_BOUND * (std::fabs(minimum) + std::fabs(offset)) / scale;
  double high_error = ERROR_BOUND * (std::fabs(maximum) + std::fabs(offset)) / scale;
  if (factor < 0) {
    std::swap(low, high);
    std::swap(low_error, high_error);
  }
  low -= low_error;
  high += high_error;
  if (layout->value_type == SIGNAL_FLOAT32) {
    low -= std::fabs(low) * FLT_EPSILON;
    high += std::fabs(high) * FLT_EPSILON;
  } else if (layout->value_type == SIGNAL_INTEGER) {
    low = std::ceil(low);
    high = std::floor(high);
  }
  if (!(low <= high)) {
    *rule = RANGE_NONE;
    return;
  }
  *rule = RANGE_RAW;
  *raw_low = low;
  *raw_high = high;
}

const Signal* signal_list_find(const SignalList* list, std::string_view name) {
  if (!list) return nullptr;
  for (const Signal& s : *list) {
    if (dynstring_sv(&s.name) == name) return &s;
    for (const MuxBranch& b : s.branches)
      if (const Signal* found = signal_list_find(&b.signals, name)) return found;
  }
  return nullptr;
}

Signal* signal_list_find(SignalList* list, std::string_view name) {
  return const_cast<Signal*>(signal_list_find(static_cast<const SignalList*>(list), name));
}

MuxBranch* branch_find(BranchList* branches, uint32_t low, uint32_t high) {
  if (!branches) return nullptr;
  for (MuxBranch& b : *branches)
    if (b.low == low && b.high == high) return &b;
  return nullptr;
}

MuxBranch* branch_add(BranchList* branches, uint32_t low, uint32_t high) {
  if (!branches || high < low) return nullptr;
  MuxBranch* b = grow_array_push(branches);
  if (!b) return nullptr;
  b->low = low;
  b->high = high;
  return b;
}

const MuxBranch* branch_containing(const BranchList* branches, uint32_t value) {
  if (!branches) return nullptr;
  for (const MuxBranch& b : *branches)
    if (b.low <= value && value <= b.high) return &b;
  return nullptr;
}

namespace {

// RANGE_ALL takes NaN as well; RANGE_NONE has limits that no number lies between.
bool in_range(const Signal& s, double raw) {
  return (s.raw_low <= raw && raw <= s.raw_high) || s.range_rule == RANGE_ALL;
}

void walk_signals(const SignalList* list, const uint8_t* bytes, uint64_t byte_count,
                  DecodedMessage* result, int depth) {
  for (const Signal& s : *list) {
    double raw;
    if (!extract_signal_raw(bytes, byte_count, &s.layout, &raw)) continue;
    double value = raw * s.layout.factor + s.layout.offset;
    DecodedValue* v = grow_array_push(&result->values);
    if (v) {
      v->name = dynstring_sv(&s.name);
      v->ignore = s.ignore;
      v->has_branches = s.branches.count > 0;
      v->in_range = in_range(s, raw);
      v->name_hash = s.name_hash;
      v->value = value;
      v->raw = raw;
    }
    // A hand-built tree deeper than the parser allows is cut off rather than recursed into.
    if (depth >= MUX_DEPTH_LIMIT) continue;
    // Every branch that holds the value is in use: each multiplexed signal has its own ranges,
    // and a signal's own ranges never overlap, so no signal is decoded twice.
    for (const MuxBranch& b : s.branches) {
      if (static_cast<double>(b.low) <= value && value <= static_cast<double>(b.high))
        walk_signals(&b.signals, bytes, byte_count, result, depth + 1);
    }
  }
}

}  // namespace

bool message_db_decode_into(const MessageDatabase* db, uint32_t key, const uint8_t* bytes,
                            uint64_t byte_count, DecodedMessage* out) {
  out->values.count = 0;
  const Message* m = message_db_find(db, key);
  return m && message_decode_into(m, key, bytes, byte_count, out);
}

bool message_decode_into(const Message* m, uint32_t key, const uint8_t* bytes, uint64_t byte_count,
                         DecodedMessage* out) {
  // The array of earlier values is kept, and values name their signals in the database, so a
  // decode of known size allocates nothing.
  out->values.count = 0;
  out->name = dynstring_sv(&m->name);
  out->key = key;
  out->size = m->size;
  out->ignore = m->ignore;
  if (!bytes) byte_count = 0;
  walk_signals(&m->signals, bytes, byte_count, out, 0);
  if (out->values.count > 0) out->values[out->values.count - 1].last = 1;
  return true;
}

DecodedMessage* message_db_decode(const MessageDatabase* db, uint32_t key, const uint8_t* bytes,
                                  uint64_t byte_count) {
  if (!message_db_find(db, key)) return nullptr;
  auto* result = static_cast<DecodedMessage*>(calloc(1, sizeof(DecodedMessage)));
  if (!result) return nullptr;
  if (!message_db_decode_into(db, key, bytes, byte_count, result)) {
    decoded_message_free(result);
    return nullptr;
  }
  return result;
}

const DecodedValue* decoded_values_first(const DecodedMessage* result) {
  return result && result->values.count > 0 ? &result->values[0] : nullptr;
}

const DecodedValue* decoded_values_next(const DecodedValue* entry) {
  return entry && !entry->last ? entry + 1 : nullptr;
}

void decoded_message_clear(DecodedMessage* result) {
  if (!result) return;
  grow_array_free(&result->values);
  *result = DecodedMessage{};
}

void decoded_message_free(DecodedMessage* result) {
  decoded_message_clear(result);
  free(result);
}
