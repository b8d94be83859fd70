// DBC value tables: reads VAL_ statements and builds the compact tables of the signals that
// reached the database (see value_tables.h). Only asked for when texts are written for values.
#include <algorithm>
#include <cstring>

#include "dbc/dbc_records.h"
#include "support/hash_table.h"

namespace {

using std::string_view;

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f'; }

string_view skip_space(string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  return s;
}

// The next run of characters other than white space.
string_view next_token(string_view* s) {
  *s = skip_space(*s);
  size_t n = 0;
  while (n < s->size() && !is_space((*s)[n])) ++n;
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

// A whole number with an optional sign that fits int64; false for anything else.
bool read_raw(string_view s, int64_t* out) {
  bool negative = false;
  if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  if (!all_digits(s)) return false;
  uint64_t v = 0;
  for (char c : s) {
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (v > (uint64_t{1} << 63) / 10 || v * 10 > (uint64_t{1} << 63) - digit) return false;
    v = v * 10 + digit;
  }
  if (!negative && v > static_cast<uint64_t>(INT64_MAX)) return false;
  *out = negative ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
  return true;
}

// The next pair `<raw> "<text>"` of `*rest` (the text as written between its quotes, where a
// backslash takes the next character as it is). 1: a pair, 0: the end, -1: another form.
int next_pair(string_view* rest, int64_t* raw, string_view* text) {
  *rest = skip_space(*rest);
  if (rest->empty()) return 0;
  size_t quote = rest->find('"');
  if (quote == string_view::npos) return -1;
  string_view number = rest->substr(0, quote);
  while (!number.empty() && is_space(number.back())) number.remove_suffix(1);
  if (!read_raw(number, raw)) return -1;
  size_t at = quote + 1;
  while (at < rest->size() && (*rest)[at] != '"') at += (*rest)[at] == '\\' ? 2 : 1;
  if (at >= rest->size()) return -1;
  *text = rest->substr(quote + 1, at - quote - 1);
  rest->remove_prefix(at + 1);
  return 1;
}

// Whether the bytes are UTF-8: no stray continuation byte, no overlong or surrogate form, no
// code point above U+10FFFF.
bool utf8_valid(string_view text) {
  for (size_t i = 0; i < text.size();) {
    auto c = static_cast<uint8_t>(text[i]);
    size_t follow = c < 0x80                 ? 0
                    : c >= 0xC2 && c <= 0xDF ? 1
                    : c >= 0xE0 && c <= 0xEF ? 2
                    : c >= 0xF0 && c <= 0xF4 ? 3
                                             : 4;
    if (follow == 4 || text.size() - i <= follow) return false;
    for (size_t k = 1; k <= follow; ++k)
      if ((static_cast<uint8_t>(text[i + k]) & 0xC0) != 0x80) return false;
    auto second = static_cast<uint8_t>(follow ? text[i + 1] : 0);
    if ((c == 0xE0 && second < 0xA0) || (c == 0xED && second > 0x9F) ||
        (c == 0xF0 && second < 0x90) || (c == 0xF4 && second > 0x8F))
      return false;
    i += follow + 1;
  }
  return true;
}

// Appends the text without its escaping backslashes, as UTF-8: a text that is not UTF-8 is
// taken as Latin-1 (as DBC files often are) and converted. False when memory ran out or the
// texts would pass what an entry's offset can say.
bool append_text(DynString* texts, string_view text, ValueTableEntry* entry) {
  uint64_t offset = dynstring_length(texts);
  if (offset + 2 * text.size() > UINT32_MAX) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) ++i;
    if (!dynstring_append(texts, text.substr(i, 1))) return false;
  }
  string_view added = dynstring_sv(texts).substr(offset);
  if (!utf8_valid(added)) {
    ScopedDynString latin;
    if (!dynstring_append(&latin.s, added)) return false;
    dynstring_truncate(texts, offset);
    for (char c : latin.view()) {
      auto byte = static_cast<uint8_t>(c);
      char pair[2] = {static_cast<char>(0xC0 | byte >> 6), static_cast<char>(0x80 | (byte & 0x3F))};
      bool ok = byte < 0x80 ? dynstring_append(texts, string_view(&c, 1))
                            : dynstring_append(texts, string_view(pair, 2));
      if (!ok) return false;
    }
  }
  entry->offset = static_cast<uint32_t>(offset);
  entry->length = static_cast<uint32_t>(dynstring_length(texts) - offset);
  return true;
}

// The signal of a value line in the database: its message by key, then the signal by the name
// the database gives it. Null when either was left out of the database (reported there).
const Signal* database_signal(DbcParser* p, MessageDatabase* db, int32_t signal_line,
                              uint32_t* key) {
  const DbcSignalLine& s = p->signals[signal_line];
  const DbcMessageLine& m = p->messages[s.message];
  if (m.id > UINT32_MAX) return nullptr;
  *key = dbcMsgKey2DbMsgKey(p->protocol, static_cast<uint32_t>(m.id));
  const Message* message = message_db_find(db, *key);
  // Another message of the same key may be the one kept.
  string_view message_name = dbc_long_name(&p->message_long_names, s.message, m.name);
  if (!message || dynstring_sv(&message->name) != message_name) return nullptr;
  return signal_list_find(&message->signals,
                          dbc_long_name(&p->signal_long_names, signal_line, s.name));
}

// Adds the table of one value line for `signal`; false when memory ran out.
bool add_table(ValueTables* tables, uint32_t key, const Signal* signal, string_view pairs) {
  ValueTableHead head{key, static_cast<uint32_t>(tables->entries.count), signal->name_hash, 0};
  int64_t raw;
  string_view text;
  while (next_pair(&pairs, &raw, &text) == 1) {
    ValueTableEntry entry{raw, 0, 0};
    if (!append_text(&tables->texts, text, &entry) || !grow_array_push(&tables->entries, entry))
      return false;
  }
  ValueTableEntry* begin = tables->entries.items + head.first;
  ValueTableEntry* end = tables->entries.items + tables->entries.count;
  // The first text given for a raw value wins.
  std::stable_sort(
      begin, end, [](const ValueTableEntry& a, const ValueTableEntry& b) { return a.raw < b.raw; });
  end = std::unique(begin, end, [](const ValueTableEntry& a, const ValueTableEntry& b) {
    return a.raw == b.raw;
  });
  head.count = static_cast<uint32_t>(end - begin);
  tables->entries.count = static_cast<int32_t>(end - tables->entries.items);
  return head.count == 0 || grow_array_push(&tables->heads, head);
}

bool build_tables(DbcParser* p, MessageDatabase* db, Index* signal_by_name, Index* first_line) {
  for (int32_t i = 0; i < p->signals.count; ++i) {
    const DbcSignalLine& s = p->signals[i];
    if (s.message < 0) continue;
    uint64_t id = p->messages[s.message].id;
    auto same = [p, id, name = s.name](int32_t r) {
      const DbcSignalLine& o = p->signals[r];
      return p->messages[o.message].id == id && o.name == name;
    };
    if (index_insert_first(signal_by_name, {id}, s.name, i, same) < 0) return false;
  }
  for (int32_t i = 0; i < p->value_lines.count; ++i) {
    const DbcValueLine& v = p->value_lines[i];
    auto same_line = [p, &v](int32_t r) {
      return p->value_lines[r].message_id == v.message_id &&
             p->value_lines[r].signal_name == v.signal_name;
    };
    int32_t first = index_insert_first(first_line, {v.message_id}, v.signal_name, i, same_line);
    if (first < 0) return false;
    int name_size = static_cast<int>(v.signal_name.size());
    if (first != i) {
      dbc_report(p, PROBLEM_LINE, v.line,
                 "value table of signal %.*s skipped: line %u gives it already", name_size,
                 v.signal_name.data(), p->value_lines[first].line);
      continue;
    }
    auto same_signal = [p, &v](int32_t r) {
      const DbcSignalLine& o = p->signals[r];
      return p->messages[o.message].id == v.message_id && o.name == v.signal_name;
    };
    int32_t s = index_find(signal_by_name, {v.message_id}, v.signal_name, same_signal);
    if (s < 0) {
      dbc_report(p, PROBLEM_LINE, v.line, "value table skipped: message %llu has no signal %.*s",
                 static_cast<unsigned long long>(v.message_id), name_size, v.signal_name.data());
      continue;
    }
    uint32_t key;
    const Signal* signal = database_signal(p, db, s, &key);
    if (signal && !add_table(&db->value_tables, key, signal, v.pairs)) return false;
  }
  ValueTableHead* begin = db->value_tables.heads.items;
  ValueTableHead* end = begin + db->value_tables.heads.count;
  auto before = [](const ValueTableHead& a, const ValueTableHead& b) {
    return a.key < b.key || (a.key == b.key && a.name_hash < b.name_hash);
  };
  std::stable_sort(begin, end, before);
  end = std::unique(begin, end, [](const ValueTableHead& a, const ValueTableHead& b) {
    return a.key == b.key && a.name_hash == b.name_hash;
  });
  db->value_tables.heads.count = static_cast<int32_t>(end - begin);
  return true;
}

}  // namespace

bool dbc_read_value_line(DbcParser* p, string_view text, uint32_t line) {
  string_view rest = text;
  if (next_token(&rest) != "VAL_") return false;
  string_view id = next_token(&rest);
  // "VAL_ <variable> ...": the values of an environment variable, which rows never hold.
  if (!id.empty() && !all_digits(id)) return true;
  string_view signal = next_token(&rest);
  if (id.empty() || signal.empty() || id.size() > 10) return false;
  string_view pairs = rest;
  int64_t raw;
  string_view value_text;
  int result;
  while ((result = next_pair(&rest, &raw, &value_text)) == 1) {
  }
  if (result < 0) return false;
  uint64_t message_id = 0;
  for (char c : id) message_id = message_id * 10 + static_cast<uint64_t>(c - '0');
  // The file's text is freed before the tables are built: the line keeps copies.
  if (!arena_copy(&p->texts, &signal) || !arena_copy(&p->texts, &pairs) ||
      !grow_array_push(&p->value_lines, DbcValueLine{message_id, signal, pairs, line}))
    dbc_no_memory(p);
  return true;
}

bool dbc_build_value_tables(DbcParser* p, MessageDatabase* db) {
  Index signal_by_name{}, first_line{};
  bool ok = build_tables(p, db, &signal_by_name, &first_line);
  hash_table_destroy<IndexTraits>(&signal_by_name);
  hash_table_destroy<IndexTraits>(&first_line);
  return ok;
}
