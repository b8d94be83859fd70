// Value tables: the texts a DBC file gives to raw values of its signals (VAL_ statements), held
// apart from the signal trees in one compact table per database, sorted by message key, signal
// and raw value, so that a decoded value finds its text by binary search without allocating.
#pragma once

#include <cstdint>
#include <string_view>

#include "support/dyn_string.h"
#include "support/grow_array.h"

// The table of one signal: its entries are ValueTables::entries[first, first + count), sorted
// by raw value. A signal is known by its message key and the string_hash of its name in the
// database (Signal::name_hash), which the decoded values carry.
struct ValueTableHead {
  uint32_t key;
  uint32_t first;
  uint64_t name_hash;
  uint32_t count;
};

struct ValueTableEntry {
  int64_t raw;
  uint32_t offset;  // of the text in ValueTables::texts
  uint32_t length;
};

struct ValueTables {
  GrowArray<ValueTableHead> heads;  // sorted by (key, name_hash), one per signal
  GrowArray<ValueTableEntry> entries;
  DynString texts;  // every text, one after another, as UTF-8 bytes
};

// The table of a signal, or null when it has none (or `tables` is null).
const ValueTableHead* value_tables_find(const ValueTables* tables, uint32_t key,
                                        uint64_t name_hash);
// The text of the raw value in the table `head` of `tables`; false when the raw value is not a
// whole number or the table has no entry for it. The view is valid while the tables are.
bool value_tables_text(const ValueTables* tables, const ValueTableHead* head, double raw,
                       std::string_view* text);
void value_tables_free(ValueTables* tables);
