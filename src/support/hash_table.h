// HashTable: the one open-addressing table of the program. One control byte per slot
// (0 empty, 0x80 | seven hash bits occupied, 0xFF after the last slot), linear probing from a
// multiplicative home slot, growth at about 85 % load. Entries are trivially copyable and
// are moved as bytes when the table grows; they are never removed one by one.
// The table mixes every bit of a key's hash before it picks the home slot and the tag, so a
// key policy only has to give distinct keys distinct 64-bit hashes: keys that differ only in
// their high bits (doubles of small integers, multiples of large powers of two) or share long
// prefixes still spread over the whole table, and building it stays linear in the key count.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "support/dyn_string.h"

uint64_t string_hash(const void* bytes, uint64_t length);
inline uint64_t string_hash(std::string_view s) { return string_hash(s.data(), s.size()); }
// 8-byte keys are their own hash: the table's mixing spreads every bit.
inline uint64_t u64_hash(uint64_t key) { return key; }

template <class Entry>
struct HashTable {
  Entry* entries = nullptr;
  uint8_t* control = nullptr;
  int32_t count = 0;
  int32_t capacity = 0;
};

template <class Entry>
struct HashSlot {
  Entry* slot;
  bool inserted;
};

// Key policies. A Traits type provides:
//   using Key;                                  what lookups are made with
//   static uint64_t hash(Key);                  hash of a lookup key
//   static uint64_t hash_entry(const Entry&);   hash of a stored entry (when rehashing)
//   static bool equal(const Entry&, Key);
//   static void destroy(Entry&);                releases what the entry owns

// String keys: the entry's first member is `DynString key`.
template <class Entry>
struct StringKeyTraits {
  using Key = std::string_view;
  static uint64_t hash(Key k) { return string_hash(k); }
  static uint64_t hash_entry(const Entry& e) { return string_hash(dynstring_sv(&e.key)); }
  static bool equal(const Entry& e, Key k) { return dynstring_sv(&e.key) == k; }
  static void destroy(Entry& e) { dynstring_free(&e.key); }
};

// 8-byte keys: the entry's first member is `uint64_t key` (an integer, an offset, a pointer
// or a double's bit pattern).
template <class Entry>
struct U64KeyTraits {
  using Key = uint64_t;
  static uint64_t hash(Key k) { return u64_hash(k); }
  static uint64_t hash_entry(const Entry& e) { return u64_hash(e.key); }
  static bool equal(const Entry& e, Key k) { return e.key == k; }
  static void destroy(Entry&) {}
};

// A set of names and a map of names to texts, the two string instances used everywhere.
struct StringSetEntry {
  DynString key;
};
struct StringMapEntry {
  DynString key;
  DynString value;
};
struct StringMapTraits : StringKeyTraits<StringMapEntry> {
  static void destroy(StringMapEntry& e) {
    dynstring_free(&e.key);
    dynstring_free(&e.value);
  }
};

namespace hash_table_detail {

// A bijective finaliser: every input bit changes each output bit with probability about one
// half, so the slot (high half) and the tag (low bits) depend on the whole hash.
inline uint64_t mix(uint64_t h) {
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDULL;
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53ULL;
  h ^= h >> 33;
  return h;
}
// The home slot also depends on the capacity: were it the same fraction of every table, a table
// filled in another table's slot order (a copy, or a journal written from one) would get its
// keys in ascending home order, all crowded into the front of each smaller table it grows
// through, and filling it would take time quadratic in the key count.
inline uint32_t home_slot(uint64_t hash, int32_t capacity) {
  uint64_t salted = (mix(hash) ^ (static_cast<uint64_t>(capacity) * 0x9E3779B97F4A7C15ULL)) *
                    0xD6E8FEB86659FD93ULL;
  return static_cast<uint32_t>(((salted >> 32) * static_cast<uint64_t>(capacity)) >> 32);
}
inline uint8_t tag_of(uint64_t hash) { return static_cast<uint8_t>(mix(hash) | 0x80); }

}  // namespace hash_table_detail

template <class Traits, class Entry>
bool hash_table_rehash(HashTable<Entry>* t, int32_t n) {
  static_assert(std::is_trivially_copyable_v<Entry>);
  using namespace hash_table_detail;
  if (n != t->count && t->capacity >= n) return true;
  float wanted = 4.0f + static_cast<float>(static_cast<int64_t>(static_cast<float>(n) / 0.85f));
  if (wanted > 1.0e9f) return false;
  int32_t capacity = static_cast<int32_t>(wanted) | 1;
  Entry* entries = static_cast<Entry*>(malloc(sizeof(Entry) * static_cast<size_t>(capacity)));
  uint8_t* control = static_cast<uint8_t*>(calloc(static_cast<size_t>(capacity) + 1, 1));
  if (!entries || !control) {
    free(entries);
    free(control);
    return false;
  }
  control[capacity] = 0xFF;
  for (int32_t i = 0; i < t->capacity; ++i) {
    if (!t->control[i]) continue;
    uint64_t h = Traits::hash_entry(t->entries[i]);
    uint32_t slot = home_slot(h, capacity);
    while (control[slot]) slot = slot + 1 == static_cast<uint32_t>(capacity) ? 0 : slot + 1;
    memcpy(static_cast<void*>(&entries[slot]), &t->entries[i], sizeof(Entry));
    control[slot] = tag_of(h);
  }
  free(t->entries);
  free(t->control);
  t->entries = entries;
  t->control = control;
  t->capacity = capacity;
  return true;
}

// Finds the key, or claims a free slot for it (control byte set, count incremented): the
// caller then constructs key and value in the raw entry. (null, false) when growth failed.
template <class Traits, class Entry>
HashSlot<Entry> hash_table_find_or_insert(HashTable<Entry>* t, typename Traits::Key key) {
  using namespace hash_table_detail;
  if (static_cast<int32_t>(static_cast<float>(t->capacity) * 0.85f) < t->count + 2) {
    if (!hash_table_rehash<Traits>(t, t->count * 3 / 2)) return {nullptr, false};
  }
  uint64_t h = Traits::hash(key);
  uint8_t tag = tag_of(h);
  uint32_t slot = home_slot(h, t->capacity);
  for (;;) {
    uint8_t c = t->control[slot];
    if (c == 0) {
      t->control[slot] = tag;
      ++t->count;
      return {&t->entries[slot], true};
    }
    if (c == tag && Traits::equal(t->entries[slot], key)) return {&t->entries[slot], false};
    slot = slot + 1 == static_cast<uint32_t>(t->capacity) ? 0 : slot + 1;
  }
}

template <class Traits, class Entry>
Entry* hash_table_find(const HashTable<Entry>* t, typename Traits::Key key) {
  using namespace hash_table_detail;
  if (t->capacity == 0) return nullptr;
  uint64_t h = Traits::hash(key);
  uint8_t tag = tag_of(h);
  uint32_t slot = home_slot(h, t->capacity);
  for (;;) {
    uint8_t c = t->control[slot];
    if (c == 0) return nullptr;
    if (c == tag && Traits::equal(t->entries[slot], key)) return &t->entries[slot];
    slot = slot + 1 == static_cast<uint32_t>(t->capacity) ? 0 : slot + 1;
  }
}

// Probes that finding every stored key takes, in all (each key's distance from its home slot,
// plus one). Inserting the same keys took about as many. A table that stays linear keeps this
// a small multiple of count for any keys; keys whose hashes coincide make it grow with the
// square of their number.
template <class Traits, class Entry>
uint64_t hash_table_probes(const HashTable<Entry>* t) {
  using namespace hash_table_detail;
  uint64_t probes = 0;
  const uint64_t capacity = static_cast<uint64_t>(t->capacity);
  for (int32_t i = 0; i < t->capacity; ++i) {
    if (!t->control[i]) continue;
    uint64_t home = home_slot(Traits::hash_entry(t->entries[i]), t->capacity);
    uint64_t at = static_cast<uint64_t>(i);
    probes += (at >= home ? at - home : at + capacity - home) + 1;
  }
  return probes;
}

// Visits the occupied slots in index order.
template <class Entry, class Fn>
void hash_table_for_each(HashTable<Entry>* t, Fn&& fn) {
  for (int32_t i = 0; i < t->capacity; ++i)
    if (t->control[i]) fn(t->entries[i]);
}

template <class Traits, class Entry>
void hash_table_destroy(HashTable<Entry>* t) {
  hash_table_for_each(t, [](Entry& e) { Traits::destroy(e); });
  free(t->entries);
  free(t->control);
  *t = HashTable<Entry>{};
}

// Convenience for the string instances: inserts a copy of the key (and of the value) when the
// key is new. Returns the entry, or null when memory ran out.
StringSetEntry* string_set_insert(HashTable<StringSetEntry>* set, std::string_view key,
                                  bool* inserted = nullptr);
StringMapEntry* string_map_insert(HashTable<StringMapEntry>* map, std::string_view key,
                                  std::string_view value, bool* inserted = nullptr);
inline StringMapEntry* string_map_find(const HashTable<StringMapEntry>* map, std::string_view key) {
  return hash_table_find<StringMapTraits>(map, key);
}
