// DBC database builder: checks each message and signal line against the file's other lines,
// reports every one it leaves out, resolves simple and extended multiplexing and copies the
// signal trees into the database in file order.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "dbc/dbc_records.h"
#include "support/log.h"

namespace {

using std::string_view;

}  // namespace

uint64_t index_hash(std::initializer_list<uint64_t> numbers, string_view name) {
  uint64_t h = string_hash(name);
  for (uint64_t v : numbers) h = hash_table_detail::mix(h ^ v) + v;
  return h;
}

bool index_reserve(Index* index, int32_t count) {
  return hash_table_rehash<IndexTraits>(index, count);
}

namespace {

enum MessageState : uint8_t { MESSAGE_KEPT, MESSAGE_SKIPPED, MESSAGE_PSEUDO };

struct DbcRange {
  uint32_t low, high;
};

// What the builder decides for one signal line.
struct SignalPlan {
  int32_t parent;       // the signal line of its multiplexor; -1: top level
  int32_t first_range;  // its multiplexor ranges in Builder::ranges, disjoint and sorted
  int32_t range_count;
  int32_t first_child;  // its multiplexed signals in Builder::children, in file order
  int32_t child_count;
  uint8_t usable;  // its own line and its multiplexor reference are sound
  uint8_t kept;    // usable, and so is every multiplexor above it
};

struct Builder {
  DbcParser* p;
  MessageDatabase* db;
  GrowArray<uint8_t> message_state;
  GrowArray<SignalPlan> plans;
  GrowArray<DbcRange> ranges;
  GrowArray<int32_t> children;   // kept signal lines grouped by multiplexor
  GrowArray<int32_t> top;        // kept top-level signal lines grouped by message
  GrowArray<int32_t> top_first;  // per message line: where its group in `top` begins
  // The indexes serve the checks and are freed before the trees are stored.
  Index message_by_key;                // database key -> first message line
  Index signal_by_name;                // (message line, name) -> first signal line
  Index mux_value_by_signal;           // (message id, signal name) -> first SG_MUL_VAL_ line
  Index value_type_by_signal;          // (message id, signal name) -> first SIG_VALTYPE_ line
  Index plain_mux;                     // message line -> its multiplexor for m<value> signals
  GrowArray<int32_t> mux_value_first;  // per SG_MUL_VAL_ line: the first line of its signal
  GrowArray<int32_t> value_type_first;
  GrowArray<uint8_t> mux_value_used;
  GrowArray<uint8_t> value_type_used;
  int64_t copies_left;  // signals the trees may still hold (copies for several ranges count)
  bool copies_reported;
};

void free_indexes(Builder* b) {
  for (Index* index : {&b->message_by_key, &b->signal_by_name, &b->mux_value_by_signal,
                       &b->value_type_by_signal, &b->plain_mux})
    hash_table_destroy<IndexTraits>(index);
}

void builder_free(Builder* b) {
  free_indexes(b);
  grow_array_free(&b->message_state);
  grow_array_free(&b->plans);
  grow_array_free(&b->ranges);
  grow_array_free(&b->children);
  grow_array_free(&b->top);
  grow_array_free(&b->top_first);
  grow_array_free(&b->mux_value_first);
  grow_array_free(&b->value_type_first);
  grow_array_free(&b->mux_value_used);
  grow_array_free(&b->value_type_used);
}

template <class T>
bool zeroed(GrowArray<T>* a, int32_t count) {
  if (!grow_array_reserve(a, count)) return false;
  if (count > 0) memset(static_cast<void*>(a->items), 0, sizeof(T) * static_cast<size_t>(count));
  a->count = count;
  return true;
}

int print_size(string_view s) { return static_cast<int>(s.size()); }

// ---------------------------------------------------------------------------------------------
// Messages

// A CAN id has 11 or 29 bits; bit 31 may mark an extended one. LIN ids are masked to 6 bits.
bool id_fits(int32_t protocol, uint64_t id) {
  if (id > UINT32_MAX) return false;
  if (protocol == PROTOCOL_LIN) return true;
  return (id & 0x7FFFFFFFu) <= 0x1FFFFFFFu;
}

bool add_messages(Builder* b) {
  DbcParser* p = b->p;
  if (!index_reserve(&b->message_by_key, p->messages.count) ||
      !message_db_reserve(b->db, p->messages.count))
    return false;
  for (int32_t i = 0; i < p->messages.count; ++i) {
    const DbcMessageLine& m = p->messages[i];
    uint8_t& state = b->message_state[i];
    if (m.pseudo) {
      state = MESSAGE_PSEUDO;
      continue;
    }
    state = MESSAGE_SKIPPED;
    if (!id_fits(p->protocol, m.id)) {
      dbc_report(p, PROBLEM_MESSAGE, m.line, "message %.*s skipped: %llu is no %s identifier",
                 print_size(m.name), m.name.data(), static_cast<unsigned long long>(m.id),
                 p->protocol == PROTOCOL_LIN ? "LIN" : "CAN");
      continue;
    }
    uint32_t key = dbcMsgKey2DbMsgKey(p->protocol, static_cast<uint32_t>(m.id));
    auto same = [p, key](int32_t k) {
      return dbcMsgKey2DbMsgKey(p->protocol, static_cast<uint32_t>(p->messages[k].id)) == key;
    };
    int32_t first = index_find(&b->message_by_key, {key}, {}, same);
    if (first >= 0) {
      const DbcMessageLine& f = p->messages[first];
      dbc_report(p, PROBLEM_MESSAGE, m.line,
                 "message %.*s skipped: message %.*s (line %u) has the same %s; the first is kept",
                 print_size(m.name), m.name.data(), print_size(f.name), f.name.data(), f.line,
                 p->protocol == PROTOCOL_J1939 ? "parameter group" : "identifier");
      continue;
    }
    string_view name = dbc_long_name(&p->message_long_names, i, m.name);
    if (index_insert_first(&b->message_by_key, {key}, {}, i, same) < 0 ||
        !message_db_add_message(b->db, name, key, m.size, m.ignore))
      return false;
    state = MESSAGE_KEPT;
  }
  hash_table_destroy<IndexTraits>(&b->message_by_key);
  return true;
}

// ---------------------------------------------------------------------------------------------
// Signal lines

uint64_t message_id_of(const Builder* b, const DbcSignalLine& s) {
  return b->p->messages[s.message].id;
}

// The first signal line of this name in message line `message`, or -1.
int32_t find_signal(const Builder* b, int32_t message, string_view name) {
  const DbcParser* p = b->p;
  return index_find(&b->signal_by_name, {static_cast<uint64_t>(message)}, name, [&](int32_t i) {
    return p->signals[i].message == message && p->signals[i].name == name;
  });
}

// Whether two lines that name a signal by message id and name name the same one.
template <class Line>
bool same_signal(const Line& a, const Line& b) {
  return a.message_id == b.message_id && a.signal_name == b.signal_name;
}

// The first multiplex-value line of a signal, or -1.
int32_t find_mux_value(const Builder* b, uint64_t message_id, string_view name) {
  const DbcParser* p = b->p;
  return index_find(&b->mux_value_by_signal, {message_id}, name, [&](int32_t i) {
    return p->mux_values[i].message_id == message_id && p->mux_values[i].signal_name == name;
  });
}

// The first value-type line of a signal, or -1.
int32_t find_value_type(const Builder* b, uint64_t message_id, string_view name) {
  const DbcParser* p = b->p;
  return index_find(&b->value_type_by_signal, {message_id}, name, [&](int32_t i) {
    return p->value_types[i].message_id == message_id && p->value_types[i].signal_name == name;
  });
}

// Indexes signals by name, the multiplex-value and value-type lines by their signal, and finds
// each message's plain multiplexor: its first "M" signal that no multiplex-value line places
// below another one. Marks the lines that name a signal of the file as used.
bool index_lines(Builder* b) {
  DbcParser* p = b->p;
  if (!index_reserve(&b->mux_value_by_signal, p->mux_values.count) ||
      !index_reserve(&b->value_type_by_signal, p->value_types.count) ||
      !index_reserve(&b->signal_by_name, p->signals.count))
    return false;
  for (int32_t i = 0; i < p->mux_values.count; ++i) {
    const DbcMuxValueLine& m = p->mux_values[i];
    b->mux_value_first[i] =
        index_insert_first(&b->mux_value_by_signal, {m.message_id}, m.signal_name, i,
                           [&](int32_t k) { return same_signal(p->mux_values[k], m); });
    if (b->mux_value_first[i] < 0) return false;
  }
  for (int32_t i = 0; i < p->value_types.count; ++i) {
    const DbcValueTypeLine& v = p->value_types[i];
    b->value_type_first[i] =
        index_insert_first(&b->value_type_by_signal, {v.message_id}, v.signal_name, i,
                           [&](int32_t k) { return same_signal(p->value_types[k], v); });
    if (b->value_type_first[i] < 0) return false;
  }
  for (int32_t i = 0; i < p->signals.count; ++i) {
    const DbcSignalLine& s = p->signals[i];
    if (s.message < 0) continue;
    uint64_t id = message_id_of(b, s);
    int32_t mv = find_mux_value(b, id, s.name);
    int32_t vt = find_value_type(b, id, s.name);
    if (mv >= 0) b->mux_value_used[mv] = 1;
    if (vt >= 0) b->value_type_used[vt] = 1;
    int32_t message = s.message;
    if (index_insert_first(
            &b->signal_by_name, {static_cast<uint64_t>(message)}, s.name, i, [&](int32_t k) {
              return p->signals[k].message == message && p->signals[k].name == s.name;
            }) < 0)
      return false;
    if (s.is_multiplexor && !s.is_multiplexed && mv < 0 &&
        index_insert_first(&b->plain_mux, {static_cast<uint64_t>(message)}, {}, i,
                           [&](int32_t k) { return p->signals[k].message == message; }) < 0)
      return false;
  }
  return true;
}

void skip_signal(Builder* b, int32_t i, const char* reason) {
  const DbcSignalLine& s = b->p->signals[i];
  string_view message = b->p->messages[s.message].name;
  dbc_report(b->p, PROBLEM_SIGNAL, s.line, "signal %.*s of message %.*s skipped: %s",
             print_size(s.name), s.name.data(), print_size(message), message.data(), reason);
}

// The checks of a signal line on its own: its message, its name, its value type and its place
// in the message's bytes. Sets the value type.
bool check_signal(Builder* b, int32_t i) {
  DbcParser* p = b->p;
  DbcSignalLine& s = p->signals[i];
  char reason[160];
  if (s.message < 0) {
    if (s.message_line)
      dbc_report(p, PROBLEM_SIGNAL, s.line,
                 "signal %.*s skipped: the message statement on line %u was not understood",
                 print_size(s.name), s.name.data(), s.message_line);
    else
      dbc_report(p, PROBLEM_SIGNAL, s.line, "signal %.*s skipped: no message statement before it",
                 print_size(s.name), s.name.data());
    return false;
  }
  uint8_t state = b->message_state[s.message];
  if (state == MESSAGE_PSEUDO) return false;
  if (state == MESSAGE_SKIPPED) {
    skip_signal(b, i, "its message is skipped");
    return false;
  }
  int32_t first = find_signal(b, s.message, s.name);
  if (first != i) {
    snprintf(reason, sizeof reason, "the message has a signal of this name on line %u",
             p->signals[first].line);
    skip_signal(b, i, reason);
    return false;
  }
  int32_t vt = find_value_type(b, message_id_of(b, s), s.name);
  if (vt >= 0) {
    uint32_t type = p->value_types[vt].type;
    uint32_t bits = type == SIGNAL_FLOAT32 ? 32 : type == SIGNAL_FLOAT64 ? 64 : s.layout.length;
    if (s.layout.length != bits) {
      snprintf(reason, sizeof reason, "a float of %u bits (line %u) must have %u bits",
               s.layout.length, p->value_types[vt].line, bits);
      skip_signal(b, i, reason);
      return false;
    }
    s.layout.value_type = static_cast<uint8_t>(type);
  }
  const DbcMessageLine& m = p->messages[s.message];
  if (s.layout.length == 0) {
    skip_signal(b, i, "it has no bits");
    return false;
  }
  if (static_cast<uint64_t>(m.size) * 8 <
      static_cast<uint64_t>(s.layout.start_bit) + s.layout.length) {
    snprintf(reason, sizeof reason, "it does not fit into the message's %u bytes", m.size);
    skip_signal(b, i, reason);
    return false;
  }
  return true;
}

// The digits of a range bound; anything above 32 bits stays above.
uint64_t range_number(string_view s) {
  uint64_t v = 0;
  for (char c : s)
    if (c >= '0' && c <= '9' && v <= UINT32_MAX) v = v * 10 + static_cast<uint64_t>(c - '0');
  return v;
}

// Reads the ranges of a multiplex-value line into b->ranges, sorted and with overlapping or
// touching ranges merged; reports each empty one. The number read, or -1 when memory ran out.
int32_t read_ranges(Builder* b, const DbcMuxValueLine& line, int32_t* first) {
  *first = b->ranges.count;
  string_view list = line.ranges;
  while (!list.empty()) {
    size_t comma = list.find(',');
    string_view item = list.substr(0, comma);
    list = comma == string_view::npos ? string_view() : list.substr(comma + 1);
    size_t dash = item.find('-');  // the pattern has checked the form "<digits> - <digits>"
    uint64_t low = range_number(item.substr(0, dash));
    uint64_t high = range_number(item.substr(dash + 1));
    if (low > high || high > UINT32_MAX) {
      dbc_report(b->p, PROBLEM_LINE, line.line,
                 "multiplexor range %llu-%llu of signal %.*s left out",
                 static_cast<unsigned long long>(low), static_cast<unsigned long long>(high),
                 print_size(line.signal_name), line.signal_name.data());
      continue;
    }
    if (!grow_array_push(&b->ranges,
                         DbcRange{static_cast<uint32_t>(low), static_cast<uint32_t>(high)}))
      return -1;
  }
  DbcRange* begin = b->ranges.items + *first;
  DbcRange* end = b->ranges.items + b->ranges.count;
  std::sort(begin, end, [](const DbcRange& x, const DbcRange& y) { return x.low < y.low; });
  DbcRange* out = begin;
  for (DbcRange* r = begin; r != end; ++r) {
    if (out != begin && static_cast<uint64_t>(r->low) <= static_cast<uint64_t>(out[-1].high) + 1)
      out[-1].high = std::max(out[-1].high, r->high);
    else
      *out++ = *r;
  }
  b->ranges.count = static_cast<int32_t>(out - b->ranges.items);
  return static_cast<int32_t>(out - begin);
}

// Finds the multiplexor and the ranges of a usable signal; false (reported) when it has none it
// can use, or when memory ran out (b->p->out_of_memory).
bool resolve_parent(Builder* b, int32_t i) {
  DbcParser* p = b->p;
  const DbcSignalLine& s = p->signals[i];
  SignalPlan& plan = b->plans[i];
  plan.parent = -1;
  int32_t mv = find_mux_value(b, message_id_of(b, s), s.name);
  string_view mux_name;
  char reason[200];
  if (mv >= 0 && (s.is_multiplexed || s.is_multiplexor)) {
    const DbcMuxValueLine& line = p->mux_values[mv];
    mux_name = line.multiplexor_name;
    plan.range_count = read_ranges(b, line, &plan.first_range);
    if (plan.range_count < 0) {
      dbc_no_memory(p);
      return false;
    }
    if (plan.range_count == 0) {
      snprintf(reason, sizeof reason, "no multiplexor range of line %u can be used", line.line);
      skip_signal(b, i, reason);
      return false;
    }
  } else {
    if (mv >= 0)
      dbc_report(p, PROBLEM_LINE, p->mux_values[mv].line,
                 "multiplexor ranges of signal %.*s skipped: the signal is not multiplexed",
                 print_size(s.name), s.name.data());
    if (!s.is_multiplexed) return true;
    int32_t message = s.message;
    int32_t plain = index_find(&b->plain_mux, {static_cast<uint64_t>(message)}, {},
                               [&](int32_t k) { return p->signals[k].message == message; });
    if (plain < 0) {
      skip_signal(b, i, "the message has no multiplexor (M) for it");
      return false;
    }
    mux_name = p->signals[plain].name;
    plan.first_range = b->ranges.count;
    plan.range_count = 1;
    if (!grow_array_push(&b->ranges, DbcRange{s.multiplexer_value, s.multiplexer_value})) {
      dbc_no_memory(p);
      return false;
    }
  }
  int32_t mux = find_signal(b, s.message, mux_name);
  if (mux < 0 || mux == i || !p->signals[mux].is_multiplexor) {
    snprintf(reason, sizeof reason, "its multiplexor %.*s is not a multiplexor (M) of the message",
             print_size(mux_name), mux_name.data());
    skip_signal(b, i, reason);
    return false;
  }
  plan.parent = mux;
  return true;
}

// Keeps the usable signals whose multiplexors above them are all usable, at most
// MUX_DEPTH_LIMIT levels deep (which also ends a circle of multiplexors).
void check_chains(Builder* b) {
  for (int32_t i = 0; i < b->plans.count; ++i) {
    if (!b->plans[i].usable) continue;
    int32_t j = i;
    int32_t depth = 0;
    const char* reason = nullptr;
    char text[160];
    while (!reason && b->plans[j].parent >= 0) {
      j = b->plans[j].parent;
      if (!b->plans[j].usable) {
        string_view name = b->p->signals[j].name;
        snprintf(text, sizeof text, "its multiplexor %.*s (line %u) is skipped", print_size(name),
                 name.data(), b->p->signals[j].line);
        reason = text;
      } else if (++depth > MUX_DEPTH_LIMIT) {
        snprintf(text, sizeof text, "multiplexed more than %d levels deep, or in a circle",
                 MUX_DEPTH_LIMIT);
        reason = text;
      }
    }
    if (reason) {
      skip_signal(b, i, reason);
    } else {
      b->plans[i].kept = 1;
    }
  }
}

// Groups the kept signals: each multiplexor's signals and each message's top-level signals,
// in file order.
bool group_signals(Builder* b) {
  DbcParser* p = b->p;
  int32_t n = p->signals.count;
  if (!zeroed(&b->children, n) || !zeroed(&b->top, n) ||
      !zeroed(&b->top_first, p->messages.count + 1))
    return false;
  GrowArray<int32_t>& top_first = b->top_first;
  for (int32_t i = 0; i < n; ++i) {
    if (!b->plans[i].kept) continue;
    if (b->plans[i].parent >= 0)
      ++b->plans[b->plans[i].parent].child_count;
    else
      ++top_first[p->signals[i].message + 1];
  }
  int32_t at = 0;
  for (int32_t i = 0; i < n; ++i) {
    b->plans[i].first_child = at;
    at += b->plans[i].child_count;
    b->plans[i].child_count = 0;
  }
  for (int32_t m = 0; m < p->messages.count; ++m) top_first[m + 1] += top_first[m];
  GrowArray<int32_t> top_fill{};
  if (!zeroed(&top_fill, p->messages.count)) return false;
  for (int32_t i = 0; i < n; ++i) {
    if (!b->plans[i].kept) continue;
    int32_t parent = b->plans[i].parent;
    if (parent >= 0) {
      SignalPlan& pp = b->plans[parent];
      b->children[pp.first_child + pp.child_count++] = i;
    } else {
      int32_t m = p->signals[i].message;
      b->top[top_first[m] + top_fill[m]++] = i;
    }
  }
  grow_array_free(&top_fill);
  return true;
}

// ---------------------------------------------------------------------------------------------
// Storing the trees

// Adds signal line i to `out`, then each of its multiplexed signals to the branch of each of its
// ranges. A signal in several ranges is copied into each; the copies are bounded so that nested
// multiplexors in several ranges cannot multiply without end. False when memory ran out.
bool store_signal(Builder* b, int32_t i, SignalList* out) {
  if (b->copies_left <= 0) {
    if (!b->copies_reported)
      dbc_report(b->p, PROBLEM_SIGNAL, b->p->signals[i].line,
                 "signal %.*s and further copies skipped: multiplexors in several ranges "
                 "need too many copies of their signals",
                 print_size(b->p->signals[i].name), b->p->signals[i].name.data());
    b->copies_reported = true;
    return true;
  }
  --b->copies_left;
  const DbcSignalLine& s = b->p->signals[i];
  Signal* signal =
      signal_list_add(out, dbc_long_name(&b->p->signal_long_names, i, s.name), &s.layout, s.ignore);
  if (!signal) return false;
  const SignalPlan& plan = b->plans[i];
  for (int32_t k = 0; k < plan.child_count; ++k) {
    int32_t child = b->children[plan.first_child + k];
    const SignalPlan& cp = b->plans[child];
    for (int32_t r = 0; r < cp.range_count; ++r) {
      const DbcRange& range = b->ranges[cp.first_range + r];
      MuxBranch* branch = branch_find(&signal->branches, range.low, range.high);
      if (!branch) branch = branch_add(&signal->branches, range.low, range.high);
      if (!branch || !store_signal(b, child, &branch->signals)) return false;
    }
  }
  // The tree is read from now on: its lists keep no room to grow.
  for (MuxBranch& branch : signal->branches)
    if (!grow_array_fit(&branch.signals, branch.signals.count)) return false;
  return grow_array_fit(&signal->branches, signal->branches.count);
}

bool store_messages(Builder* b) {
  DbcParser* p = b->p;
  for (int32_t m = 0; m < p->messages.count; ++m) {
    if (b->message_state[m] != MESSAGE_KEPT) continue;
    uint32_t key = dbcMsgKey2DbMsgKey(p->protocol, static_cast<uint32_t>(p->messages[m].id));
    Message* message = message_db_find(b->db, key);
    if (!message || !grow_array_fit(&message->signals, b->top_first[m + 1] - b->top_first[m]))
      return false;
    for (int32_t k = b->top_first[m]; k < b->top_first[m + 1]; ++k)
      if (!store_signal(b, b->top[k], &message->signals)) return false;
  }
  return true;
}

// Reports the multiplex-value and value-type lines that were repeated or name no signal.
void report_unused_lines(Builder* b) {
  DbcParser* p = b->p;
  for (int32_t i = 0; i < p->mux_values.count; ++i) {
    const DbcMuxValueLine& m = p->mux_values[i];
    int32_t first = b->mux_value_first[i];
    if (first != i)
      dbc_report(p, PROBLEM_LINE, m.line,
                 "multiplexor ranges of signal %.*s skipped: line %u gives them already",
                 print_size(m.signal_name), m.signal_name.data(), p->mux_values[first].line);
    else if (!b->mux_value_used[i])
      dbc_report(p, PROBLEM_LINE, m.line,
                 "multiplexor ranges skipped: message %llu has no signal %.*s",
                 static_cast<unsigned long long>(m.message_id), print_size(m.signal_name),
                 m.signal_name.data());
  }
  for (int32_t i = 0; i < p->value_types.count; ++i) {
    const DbcValueTypeLine& v = p->value_types[i];
    int32_t first = b->value_type_first[i];
    if (first != i)
      dbc_report(p, PROBLEM_LINE, v.line,
                 "value type of signal %.*s skipped: line %u gives it already",
                 print_size(v.signal_name), v.signal_name.data(), p->value_types[first].line);
    else if (!b->value_type_used[i])
      dbc_report(p, PROBLEM_LINE, v.line, "value type skipped: message %llu has no signal %.*s",
                 static_cast<unsigned long long>(v.message_id), print_size(v.signal_name),
                 v.signal_name.data());
  }
}

bool plan_signals(Builder* b) {
  DbcParser* p = b->p;
  for (int32_t i = 0; i < p->signals.count; ++i) b->plans[i].usable = check_signal(b, i);
  for (int32_t i = 0; i < p->signals.count; ++i) {
    if (b->plans[i].usable) b->plans[i].usable = resolve_parent(b, i);
    if (p->out_of_memory) return false;
  }
  check_chains(b);
  return true;
}

}  // namespace

bool dbc_build_database(DbcParser* p, MessageDatabase* db, int32_t* loaded_signals) {
  Builder b{};
  b.p = p;
  b.db = db;
  b.copies_left = 16 * static_cast<int64_t>(p->signals.count) + 65536;
  bool ok = zeroed(&b.message_state, p->messages.count) && zeroed(&b.plans, p->signals.count) &&
            zeroed(&b.mux_value_first, p->mux_values.count) &&
            zeroed(&b.value_type_first, p->value_types.count) &&
            zeroed(&b.mux_value_used, p->mux_values.count) &&
            zeroed(&b.value_type_used, p->value_types.count) && add_messages(&b) &&
            index_lines(&b) && plan_signals(&b);
  // What the checks needed goes before the trees take their room.
  free_indexes(&b);
  ok = ok && group_signals(&b) && store_messages(&b);
  if (ok) report_unused_lines(&b);
  *loaded_signals = 0;
  for (const SignalPlan& plan : b.plans) *loaded_signals += plan.kept;
  builder_free(&b);
  return ok;
}
