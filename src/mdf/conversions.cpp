// The linear and value-table conversions; the identity is the absence of a table.
#include "mdf/conversions.h"

#include <cstdlib>
#include <cstring>

#include "support/hash_table.h"

namespace {

double linear_apply(const Conversion* c, double value) {
  const auto* p = static_cast<const double*>(c->parameters);
  return value * p[0] + p[1];
}

void plain_destroy(Conversion* c) {
  free(c->parameters);
  c->parameters = nullptr;
}

constexpr ConversionOps kLinearOps = {linear_apply, plain_destroy};

struct TableEntry {
  uint64_t key;  // the key's bit pattern, with -0 folded into +0
  double value;
};

uint64_t key_bits(double k) {
  if (k == 0) k = 0;  // -0 and +0 are the same key
  uint64_t bits;
  memcpy(&bits, &k, sizeof bits);
  return bits;
}

// Keys are hashed by their bit pattern and compared as doubles, so a NaN never matches.
struct TableTraits {
  using Key = double;
  static uint64_t hash(Key k) { return u64_hash(key_bits(k)); }
  static uint64_t hash_entry(const TableEntry& e) { return u64_hash(e.key); }
  static bool equal(const TableEntry& e, Key k) {
    double stored;
    memcpy(&stored, &e.key, sizeof stored);
    return stored == k;
  }
  static void destroy(TableEntry&) {}
};

using Table = HashTable<TableEntry>;

double table_apply(const Conversion* c, double value) {
  const TableEntry* e =
      hash_table_find<TableTraits>(static_cast<const Table*>(c->parameters), value);
  return e ? e->value : value;
}

void table_destroy(Conversion* c) {
  auto* t = static_cast<Table*>(c->parameters);
  if (t) hash_table_destroy<TableTraits>(t);
  free(t);
  c->parameters = nullptr;
}

constexpr ConversionOps kTableOps = {table_apply, table_destroy};

}  // namespace

double conversion_apply(const Conversion* c, double value) {
  if (!c || !c->ops || !c->ops->apply) return value;
  return c->ops->apply(c, value);
}

void conversion_destroy(Conversion* c) {
  if (c->ops && c->ops->destroy) c->ops->destroy(c);
  *c = conversion_identity();
}

Conversion conversion_identity() { return Conversion{nullptr, nullptr}; }

bool conversion_linear(Conversion* out, double factor, double offset) {
  *out = conversion_identity();
  auto* p = static_cast<double*>(malloc(2 * sizeof(double)));
  if (!p) return false;
  p[0] = factor;
  p[1] = offset;
  *out = Conversion{&kLinearOps, p};
  return true;
}

bool conversion_value_table(Conversion* out, const double* values, uint64_t count) {
  *out = conversion_identity();
  auto* t = static_cast<Table*>(calloc(1, sizeof(Table)));
  if (!t) return false;
  for (uint64_t i = 0; i + 1 < count; i += 2) {
    HashSlot<TableEntry> slot = hash_table_find_or_insert<TableTraits>(t, values[i]);
    if (!slot.slot) {
      hash_table_destroy<TableTraits>(t);
      free(t);
      return false;
    }
    if (slot.inserted) *slot.slot = TableEntry{key_bits(values[i]), values[i + 1]};
  }
  *out = Conversion{&kTableOps, t};
  return true;
}
