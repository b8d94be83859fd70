// The string hash and the string-keyed table helpers.
#include "support/hash_table.h"

#include <bit>

namespace {

constexpr uint64_t MULTIPLIER = 0xC6A4A7935BD1E99DULL;

uint64_t load_le(const uint8_t* p, int n) {
  uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

}  // namespace

uint64_t string_hash(const void* bytes, uint64_t n) {
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  if (n == 0) return 1;
  if (n == 4) return load_le(p, 4) * MULTIPLIER;
  if (n == 8) return load_le(p, 8) * MULTIPLIER;
  uint64_t h = p[0];
  uint64_t words = n / 8;
  for (uint64_t i = 0; i < words; ++i) h += load_le(p + 8 * i, 8) * MULTIPLIER;
  for (uint64_t i = words * 8; i < n; ++i) h = h * 1023 - p[i];
  return h ^ std::rotl(h, 26);
}

StringSetEntry* string_set_insert(HashTable<StringSetEntry>* set, std::string_view key,
                                  bool* inserted) {
  auto r = hash_table_find_or_insert<StringKeyTraits<StringSetEntry>>(set, key);
  if (inserted) *inserted = r.inserted;
  if (!r.slot) return nullptr;
  if (r.inserted && !dynstring_from(&r.slot->key, key)) {
    // Keep the table consistent: an empty key stays in the claimed slot, which is harmless
    // for a set and reported as a failure to the caller.
    memset(&r.slot->key, 0, sizeof r.slot->key);
    return nullptr;
  }
  return r.slot;
}

StringMapEntry* string_map_insert(HashTable<StringMapEntry>* map, std::string_view key,
                                  std::string_view value, bool* inserted) {
  auto r = hash_table_find_or_insert<StringMapTraits>(map, key);
  if (inserted) *inserted = r.inserted;
  if (!r.slot) return nullptr;
  if (r.inserted) {
    memset(r.slot, 0, sizeof *r.slot);
    if (!dynstring_from(&r.slot->key, key) || !dynstring_from(&r.slot->value, value))
      return nullptr;
  }
  return r.slot;
}
