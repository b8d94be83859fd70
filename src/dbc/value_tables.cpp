// Value tables: binary searches over the heads and the entries of one database's tables.
#include "dbc/value_tables.h"

#include <cmath>

const ValueTableHead* value_tables_find(const ValueTables* tables, uint32_t key,
                                        uint64_t name_hash) {
  if (!tables) return nullptr;
  int32_t low = 0, high = tables->heads.count;
  while (low < high) {
    int32_t mid = low + (high - low) / 2;
    const ValueTableHead& h = tables->heads.items[mid];
    if (h.key < key || (h.key == key && h.name_hash < name_hash))
      low = mid + 1;
    else
      high = mid;
  }
  if (low == tables->heads.count) return nullptr;
  const ValueTableHead* h = &tables->heads.items[low];
  return h->key == key && h->name_hash == name_hash ? h : nullptr;
}

bool value_tables_text(const ValueTables* tables, const ValueTableHead* head, double raw,
                       std::string_view* text) {
  // Table entries are whole numbers: a raw value with a fraction, or beyond int64, has none.
  if (!tables || !head || !(raw >= -9223372036854775808.0 && raw < 9223372036854775808.0) ||
      std::trunc(raw) != raw)
    return false;
  auto value = static_cast<int64_t>(raw);
  uint32_t low = head->first, high = head->first + head->count;
  while (low < high) {
    uint32_t mid = low + (high - low) / 2;
    if (tables->entries.items[mid].raw < value)
      low = mid + 1;
    else
      high = mid;
  }
  if (low == head->first + head->count || tables->entries.items[low].raw != value) return false;
  const ValueTableEntry& e = tables->entries.items[low];
  *text = dynstring_sv(&tables->texts).substr(e.offset, e.length);
  return true;
}

void value_tables_free(ValueTables* tables) {
  if (!tables) return;
  grow_array_free(&tables->heads);
  grow_array_free(&tables->entries);
  dynstring_free(&tables->texts);
}
