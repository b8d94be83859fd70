// OrderedMap: an AA tree whose nodes live in one growable array and refer to one another by
// signed 32-bit index, index 0 being the nil node (level 0). Nodes are never removed one by
// one; the whole map is cleared at once. Keys and values are trivially copyable.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "support/dyn_string.h"
#include "support/grow_array.h"

// Key orders: `static int compare(const Key&, const Key&)` returning <0, 0, >0.
template <class Key>
struct UnsignedKeyOrder {
  static int compare(const Key& a, const Key& b) { return a < b ? -1 : (b < a ? 1 : 0); }
};
// Texts compare byte by byte as unsigned bytes, then by length.
struct DynStringKeyOrder {
  static int compare(const DynString& a, const DynString& b) {
    std::string_view x = dynstring_sv(&a), y = dynstring_sv(&b);
    size_t n = x.size() < y.size() ? x.size() : y.size();
    int c = n ? memcmp(x.data(), y.data(), n) : 0;
    if (c) return c;
    return x.size() < y.size() ? -1 : (x.size() > y.size() ? 1 : 0);
  }
};

template <class Key, class Value>
struct OrderedMapNode {
  int32_t left;
  int32_t right;
  int32_t level;
  Key key;
  Value value;
};

template <class Key, class Value, class Order = UnsignedKeyOrder<Key>>
struct OrderedMap {
  using Node = OrderedMapNode<Key, Value>;
  Node* nodes = nullptr;  // nodes[0] is the nil node
  int32_t root = 0;
  int32_t used = 0;      // nodes in use, the nil node excluded
  int32_t capacity = 0;  // nodes available, the nil node excluded
};

template <class Value>
struct OrderedMapSlot {
  Value* value;
  bool inserted;
};

namespace ordered_map_detail {

constexpr int MAX_DEPTH = 64;

template <class Node>
int32_t skew(Node* n, int32_t t) {
  int32_t l = n[t].left;
  if (t && l && n[l].level == n[t].level) {
    n[t].left = n[l].right;
    n[l].right = t;
    return l;
  }
  return t;
}

template <class Node>
int32_t split(Node* n, int32_t t) {
  int32_t r = n[t].right;
  if (t && r && n[r].right && n[n[r].right].level == n[t].level) {
    n[t].right = n[r].left;
    n[r].left = t;
    ++n[r].level;
    return r;
  }
  return t;
}

// Sets the node array to `capacity` nodes besides the nil node (at least those in use).
template <class Key, class Value, class Order>
bool resize(OrderedMap<Key, Value, Order>* m, int64_t capacity) {
  using Node = typename OrderedMap<Key, Value, Order>::Node;
  static_assert(std::is_trivially_copyable_v<Node>);
  if (capacity < m->used || capacity + 1 > INT32_MAX ||
      static_cast<uint64_t>(capacity + 1) > SIZE_MAX / sizeof(Node))
    return false;
  Node* nodes = static_cast<Node*>(
      realloc(static_cast<void*>(m->nodes), sizeof(Node) * static_cast<size_t>(capacity + 1)));
  if (!nodes) return false;
  memset(static_cast<void*>(&nodes[0]), 0, sizeof(Node));
  m->nodes = nodes;
  m->capacity = static_cast<int32_t>(capacity);
  return true;
}

}  // namespace ordered_map_detail

// Makes room for `count` keys in all, so that inserting up to that many does not grow the node
// array step by step (nor leave it with room to spare). False when memory ran out.
template <class Key, class Value, class Order>
bool ordered_map_reserve(OrderedMap<Key, Value, Order>* m, int64_t count) {
  return count <= m->capacity || ordered_map_detail::resize(m, count);
}

template <class Key, class Value, class Order>
Value* ordered_map_find(const OrderedMap<Key, Value, Order>* m, const Key& key) {
  int32_t i = m->root;
  while (i) {
    int c = Order::compare(key, m->nodes[i].key);
    if (c == 0) return &m->nodes[i].value;
    i = c < 0 ? m->nodes[i].left : m->nodes[i].right;
  }
  return nullptr;
}

// Finds the key or inserts it with a zero-filled value. The key bytes are stored only when
// inserted is true (a caller that passes an owned key frees it otherwise). (null, false)
// when the node array cannot grow or the tree is deeper than its path limit.
template <class Key, class Value, class Order>
OrderedMapSlot<Value> ordered_map_insert(OrderedMap<Key, Value, Order>* m, const Key& key) {
  using namespace ordered_map_detail;
  using Node = typename OrderedMap<Key, Value, Order>::Node;
  static_assert(std::is_trivially_copyable_v<Node>);
  int32_t path[MAX_DEPTH];
  int depth = 0;
  int32_t i = m->root;
  int last = 0;
  while (i) {
    int c = Order::compare(key, m->nodes[i].key);
    if (c == 0) return {&m->nodes[i].value, false};
    if (depth == MAX_DEPTH) return {nullptr, false};
    path[depth++] = i;
    last = c;
    i = c < 0 ? m->nodes[i].left : m->nodes[i].right;
  }
  if (m->used == m->capacity && !resize(m, grow_capacity(m->capacity))) return {nullptr, false};
  Node* n = m->nodes;
  int32_t fresh = ++m->used;
  memset(static_cast<void*>(&n[fresh]), 0, sizeof(Node));
  n[fresh].level = 1;
  memcpy(static_cast<void*>(&n[fresh].key), &key, sizeof(Key));
  if (depth == 0) {
    m->root = fresh;
  } else if (last < 0) {
    n[path[depth - 1]].left = fresh;
  } else {
    n[path[depth - 1]].right = fresh;
  }
  // Rebalance bottom-up along the remembered path.
  for (int d = depth - 1; d >= 0; --d) {
    int32_t t = path[d];
    t = skew(n, t);
    t = split(n, t);
    if (d == 0) {
      m->root = t;
    } else if (n[path[d - 1]].left == path[d]) {
      n[path[d - 1]].left = t;
    } else {
      n[path[d - 1]].right = t;
    }
  }
  return {&n[fresh].value, true};
}

// Visits key and value in ascending key order; `fn` returns false to stop early.
template <class Key, class Value, class Order, class Fn>
void ordered_map_for_each(OrderedMap<Key, Value, Order>* m, Fn&& fn) {
  int32_t stack[ordered_map_detail::MAX_DEPTH + 1];
  int depth = 0;
  int32_t i = m->root;
  while (i || depth) {
    while (i) {
      stack[depth++] = i;
      i = m->nodes[i].left;
    }
    i = stack[--depth];
    if (!fn(m->nodes[i].key, m->nodes[i].value)) return;
    i = m->nodes[i].right;
  }
}

// Frees the node array; the map is then empty with no storage. Keys and values that own
// memory are released by the caller first (with ordered_map_for_each).
template <class Key, class Value, class Order>
void ordered_map_clear(OrderedMap<Key, Value, Order>* m) {
  free(static_cast<void*>(m->nodes));
  *m = OrderedMap<Key, Value, Order>{};
}
