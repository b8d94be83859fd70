// Hash table, growable array and ordered map: the fixed growth and probe rules, and
// randomised comparisons against the standard containers.
#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "support/grow_array.h"
#include "support/hash_table.h"
#include "support/ordered_map.h"

namespace {

struct U64Entry {
  uint64_t key;
  int64_t value;
};
using U64Traits = U64KeyTraits<U64Entry>;

uint64_t rotl(uint64_t v, int r) { return (v << r) | (v >> (64 - r)); }

TEST(StringHash, Vectors) {
  EXPECT_EQ(string_hash("", 0), 1u);
  EXPECT_EQ(string_hash("abcd", 4), 0x64636261ULL * 0xC6A4A7935BD1E99DULL);
  EXPECT_EQ(string_hash("abcdefgh", 8), 0x6867666564636261ULL * 0xC6A4A7935BD1E99DULL);
  uint64_t h = 97;
  h = h * 1023 - 97;
  h = h * 1023 - 98;
  h = h * 1023 - 99;
  EXPECT_EQ(string_hash("abc", 3), h ^ rotl(h, 26));
  // Nine bytes: one whole word, then one byte.
  uint64_t g = 'a';
  g += 0x6867666564636261ULL * 0xC6A4A7935BD1E99DULL;
  g = g * 1023 - 'i';
  EXPECT_EQ(string_hash("abcdefghi", 9), g ^ rotl(g, 26));
}

TEST(HashTable, GrowthSteps) {
  HashTable<U64Entry> t;
  EXPECT_EQ(hash_table_find<U64Traits>(&t, 7), nullptr);  // never inserted: finds nothing
  std::vector<int32_t> capacities;
  for (uint64_t k = 1; k <= 9; ++k) {
    auto r = hash_table_find_or_insert<U64Traits>(&t, k * 1000003);
    ASSERT_TRUE(r.slot && r.inserted);
    r.slot->key = k * 1000003;
    capacities.push_back(t.capacity);
  }
  EXPECT_EQ(capacities, (std::vector<int32_t>{5, 5, 5, 5, 11, 11, 11, 11, 19}));
  EXPECT_EQ(t.control[t.capacity], 0xFF);
  auto again = hash_table_find_or_insert<U64Traits>(&t, 3 * 1000003);
  EXPECT_FALSE(again.inserted);
  EXPECT_EQ(again.slot->key, 3u * 1000003);
  EXPECT_EQ(t.count, 9);
  hash_table_destroy<U64Traits>(&t);
  EXPECT_EQ(t.capacity, 0);
}

// Keys whose home slot is the last slot must wrap around to slot 0.
TEST(HashTable, WrapAroundProbing) {
  HashTable<U64Entry> t;
  ASSERT_TRUE(hash_table_rehash<U64Traits>(&t, 0));
  ASSERT_EQ(t.capacity, 5);
  std::vector<uint64_t> last_slot_keys;
  for (uint64_t k = 1; last_slot_keys.size() < 3; ++k)
    if (hash_table_detail::home_slot(u64_hash(k), 5) == 4) last_slot_keys.push_back(k);
  for (uint64_t k : last_slot_keys) {
    auto r = hash_table_find_or_insert<U64Traits>(&t, k);
    ASSERT_TRUE(r.inserted);
    r.slot->key = k;
    r.slot->value = static_cast<int64_t>(k) * 2;
  }
  ASSERT_EQ(t.capacity, 5);  // three keys fit without growth
  EXPECT_EQ(t.entries[4].key, last_slot_keys[0]);
  EXPECT_EQ(t.entries[0].key, last_slot_keys[1]);
  EXPECT_EQ(t.entries[1].key, last_slot_keys[2]);
  for (uint64_t k : last_slot_keys) {
    U64Entry* e = hash_table_find<U64Traits>(&t, k);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->value, static_cast<int64_t>(k) * 2);
  }
  hash_table_destroy<U64Traits>(&t);
}

TEST(HashTable, RandomAgainstUnorderedMap) {
  std::mt19937_64 rng(42);
  HashTable<StringMapEntry> t;
  std::unordered_map<std::string, std::string> reference;
  for (int i = 0; i < 20000; ++i) {
    std::string key = std::to_string(rng() % 5000) + std::string(rng() % 30, 'x');
    std::string value = std::to_string(i);
    bool inserted = false;
    StringMapEntry* e = string_map_insert(&t, key, value, &inserted);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(inserted, reference.emplace(key, value).second);
  }
  EXPECT_EQ(t.count, static_cast<int32_t>(reference.size()));
  for (const auto& [k, v] : reference) {
    StringMapEntry* e = string_map_find(&t, k);
    ASSERT_NE(e, nullptr) << k;
    EXPECT_EQ(dynstring_sv(&e->value), v);
  }
  EXPECT_EQ(string_map_find(&t, "absent"), nullptr);
  hash_table_destroy<StringMapTraits>(&t);
}

// Building a table stays linear for key shapes that defeat a weak hash: the probes needed to
// find every key stay a small multiple of the key count at every doubling up to a million keys,
// where a table gone quadratic fails at the first check, long before it gets slow. The shapes
// are those of the program's tables: value-table keys (double bit patterns), block offsets,
// record ids, pointers, password serials, DBC index keys (binary numbers, then a name) and
// counters as text.
template <class Traits, class Entry, class Insert>
void expect_linear(const char* shape, HashTable<Entry>* t, Insert insert) {
  constexpr int KEYS = 1000000;
  for (int i = 0, check = 1024; i < KEYS; ++i) {
    ASSERT_TRUE(insert(i)) << shape << ": key " << i << " is not new";
    if (i + 1 != check && i + 1 != KEYS) continue;
    uint64_t probes = hash_table_probes<Traits>(t);
    ASSERT_LE(probes, 8 * static_cast<uint64_t>(i + 1)) << shape << ": " << i + 1 << " keys";
    check *= 2;
  }
}

std::string binary(std::initializer_list<uint32_t> numbers, const std::string& name = "") {
  std::string key;
  for (uint32_t n : numbers) key.append(reinterpret_cast<const char*>(&n), sizeof n);
  return key + name;
}

TEST(HashTable, LinearForAdversarialKeys) {
  const std::pair<const char*, uint64_t (*)(int)> number_shapes[] = {
      {"integers as doubles", [](int i) { return std::bit_cast<uint64_t>(double(i)); }},
      {"negative halves as doubles", [](int i) { return std::bit_cast<uint64_t>(-0.5 * i - 1); }},
      {"multiples of 2^32", [](int i) { return uint64_t(i) << 32; }},
      {"multiples of 2^44", [](int i) { return uint64_t(i) << 44; }},
      {"block offsets", [](int i) { return 0x40 + uint64_t(i) * 4096; }},
      {"record ids", [](int i) { return uint64_t(i); }},
      {"pointers", [](int i) { return uint64_t{0x7F3A12000010} + uint64_t(i) * 48; }},
  };
  for (auto [shape, key] : number_shapes) {
    HashTable<U64Entry> t;
    expect_linear<U64Traits>(shape, &t, [&, key = key](int i) {
      auto r = hash_table_find_or_insert<U64Traits>(&t, key(i));
      if (r.slot) *r.slot = U64Entry{key(i), i};
      return r.inserted;
    });
    hash_table_destroy<U64Traits>(&t);
  }
  const std::pair<const char*, std::string (*)(int)> text_shapes[] = {
      {"counters", [](int i) { return std::to_string(i); }},
      {"serials",
       [](int i) {
         char text[16];
         snprintf(text, sizeof text, "%08X", i);
         return std::string(text);
       }},
      {"shared prefix", [](int i) { return "logs/2023/11/07/0A1B2C3D/" + std::to_string(i); }},
      {"message ids", [](int i) { return binary({0x80000000u | uint32_t(i)}); }},
      {"message and value",
       [](int i) {
         return binary({0x98FEF100u, uint32_t(i)});
       }},
      {"message and name", [](int i) { return binary({0x100}, "Signal_" + std::to_string(i)); }},
      {"branch ranges",
       [](int i) {
         return binary({3, uint32_t(i), uint32_t(i) + 1});
       }},
  };
  for (auto [shape, key] : text_shapes) {
    HashTable<StringSetEntry> t;
    expect_linear<StringKeyTraits<StringSetEntry>>(shape, &t, [&, key = key](int i) {
      bool inserted = false;
      return string_set_insert(&t, key(i), &inserted) && inserted;
    });
    hash_table_destroy<StringKeyTraits<StringSetEntry>>(&t);
  }
}

// Keys that arrive in another table's slot order (a copy of a table, or a journal written from
// one and read back on resume) are in ascending home order; they must not pile up at the front
// of the smaller tables the new one grows through.
TEST(HashTable, LinearForKeysInAnotherTablesOrder) {
  HashTable<StringSetEntry> source;
  for (int i = 0; i < 1000000; ++i)
    ASSERT_NE(string_set_insert(&source, "0A1B2C3D_out/CAN1/M/2023/11/07/" + std::to_string(i)),
              nullptr);
  std::vector<std::string_view> order;
  hash_table_for_each(&source, [&](StringSetEntry& e) { order.push_back(dynstring_sv(&e.key)); });
  HashTable<StringSetEntry> copy;
  expect_linear<StringKeyTraits<StringSetEntry>>("another table's order", &copy, [&](int i) {
    bool inserted = false;
    return string_set_insert(&copy, order[static_cast<size_t>(i)], &inserted) && inserted;
  });
  hash_table_destroy<StringKeyTraits<StringSetEntry>>(&copy);
  hash_table_destroy<StringKeyTraits<StringSetEntry>>(&source);
}

TEST(GrowArray, GrowthRuleAndOrder) {
  GrowArray<int> a;
  std::vector<int32_t> capacities;
  for (int i = 0; i < 20; ++i) {
    ASSERT_NE(grow_array_push(&a, i), nullptr);
    if (capacities.empty() || capacities.back() != a.capacity) capacities.push_back(a.capacity);
  }
  EXPECT_EQ(capacities, (std::vector<int32_t>{4, 10, 19, 32}));
  for (int i = 0; i < 20; ++i) EXPECT_EQ(a[i], i);
  grow_array_free(&a);
  EXPECT_EQ(a.count, 0);
}

using U32Map = OrderedMap<uint32_t, int>;

// Checks the AA invariants and returns the number of nodes below (and including) `i`.
int check_aa(const U32Map& m, int32_t i) {
  if (!i) return 0;
  const auto& n = m.nodes[i];
  int32_t l = n.left, r = n.right;
  EXPECT_EQ(m.nodes[l].level, l ? n.level - 1 : 0) << "left child one level down";
  if (r) {
    EXPECT_TRUE(m.nodes[r].level == n.level || m.nodes[r].level == n.level - 1);
    if (m.nodes[r].right) {
      EXPECT_LT(m.nodes[m.nodes[r].right].level, n.level);
    }
  } else {
    EXPECT_EQ(n.level, 1);
  }
  return 1 + check_aa(m, l) + check_aa(m, r);
}

TEST(OrderedMap, RandomAgainstStdMapWithBalance) {
  std::mt19937 rng(7);
  U32Map m;
  std::map<uint32_t, int> reference;
  for (int i = 0; i < 5000; ++i) {
    uint32_t key = rng() % 3000 + (i % 2 ? 0x80000000u : 0);  // both halves, unsigned order
    auto slot = ordered_map_insert(&m, key);
    ASSERT_NE(slot.value, nullptr);
    bool inserted = reference.emplace(key, i).second;
    ASSERT_EQ(slot.inserted, inserted);
    if (inserted) *slot.value = i;
  }
  EXPECT_EQ(m.used, static_cast<int32_t>(reference.size()));
  EXPECT_EQ(check_aa(m, m.root), m.used);
  std::vector<std::pair<uint32_t, int>> walked;
  ordered_map_for_each(&m, [&](uint32_t k, int v) {
    walked.emplace_back(k, v);
    return true;
  });
  std::vector<std::pair<uint32_t, int>> expected(reference.begin(), reference.end());
  EXPECT_EQ(walked, expected);
  for (const auto& [k, v] : reference) {
    int* found = ordered_map_find(&m, k);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(*found, v);
  }
  EXPECT_EQ(ordered_map_find(&m, 999999u), nullptr);
  ordered_map_clear(&m);
  EXPECT_EQ(m.root, 0);
  EXPECT_EQ(ordered_map_find(&m, reference.begin()->first), nullptr);
}

// Ascending keys are the worst case for an unbalanced tree; the AA tree keeps the insertion
// path within its 64-node limit.
TEST(OrderedMap, AscendingKeysStayBalanced) {
  U32Map m;
  for (uint32_t k = 0; k < 200000; ++k) ASSERT_NE(ordered_map_insert(&m, k).value, nullptr);
  EXPECT_EQ(check_aa(m, m.root), 200000);
  ordered_map_clear(&m);
}

TEST(OrderedMap, NamesSortByUnsignedBytes) {
  OrderedMap<DynString, int, DynStringKeyOrder> m;
  for (const char* name : {"b.MF4", "a.mf4", "B.MF4", "\xC3\xA9.mf4", "a"}) {
    DynString key;
    ASSERT_TRUE(dynstring_from(&key, name));
    ASSERT_TRUE(ordered_map_insert(&m, key).inserted);
  }
  std::vector<std::string> order;
  ordered_map_for_each(&m, [&](DynString& k, int&) {
    order.emplace_back(dynstring_sv(&k));
    dynstring_free(&k);
    return true;
  });
  EXPECT_EQ(order, (std::vector<std::string>{"B.MF4", "a", "a.mf4", "b.MF4", "\xC3\xA9.mf4"}));
  ordered_map_clear(&m);
}

}  // namespace
