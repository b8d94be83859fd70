// GrowArray: the growable array of the program. When full it grows to count * 3 / 2 + 4
// elements, keeps insertion order, and stays unchanged when the growth fails. Elements are
// trivially copyable and moved as bytes; the owner releases what they hold.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

template <class T>
struct GrowArray {
  T* items = nullptr;
  int32_t count = 0;
  int32_t capacity = 0;

  T* begin() { return items; }
  T* end() { return items + count; }
  const T* begin() const { return items; }
  const T* end() const { return items + count; }
  T& operator[](int32_t i) { return items[i]; }
  const T& operator[](int32_t i) const { return items[i]; }
};

// The capacity after one growth step from `count` elements.
constexpr int64_t grow_capacity(int64_t count) { return count * 3 / 2 + 4; }

// Sets the capacity to exactly `capacity` elements (at least the count): for an array whose
// final size is known, so that it keeps no room for growth. False, with the array unchanged,
// when capacity is below the count or memory ran out.
template <class T>
bool grow_array_fit(GrowArray<T>* a, int64_t capacity) {
  static_assert(std::is_trivially_copyable_v<T>);
  if (capacity < a->count || capacity > INT32_MAX ||
      static_cast<uint64_t>(capacity) > SIZE_MAX / sizeof(T))
    return false;
  if (capacity == a->capacity) return true;
  if (capacity == 0) {
    free(static_cast<void*>(a->items));
    a->items = nullptr;
    a->capacity = 0;
    return true;
  }
  T* items = static_cast<T*>(
      realloc(static_cast<void*>(a->items), sizeof(T) * static_cast<size_t>(capacity)));
  if (!items) return false;
  a->items = items;
  a->capacity = static_cast<int32_t>(capacity);
  return true;
}

// Makes room for at least `wanted` elements by repeated growth steps.
template <class T>
bool grow_array_reserve(GrowArray<T>* a, int64_t wanted) {
  if (wanted <= a->capacity) return true;
  int64_t capacity = a->capacity;
  while (capacity < wanted) capacity = grow_capacity(capacity);
  return grow_array_fit(a, capacity);
}

// Appends a zero-filled element and returns it, or null when the array cannot grow.
template <class T>
T* grow_array_push(GrowArray<T>* a) {
  if (a->count == a->capacity && !grow_array_reserve(a, grow_capacity(a->count))) return nullptr;
  T* slot = &a->items[a->count++];
  memset(static_cast<void*>(slot), 0, sizeof(T));
  return slot;
}

template <class T>
T* grow_array_push(GrowArray<T>* a, const T& value) {
  T* slot = grow_array_push(a);
  if (slot) memcpy(static_cast<void*>(slot), &value, sizeof(T));
  return slot;
}

// Frees the storage only; elements that own memory are released by the caller first.
template <class T>
void grow_array_free(GrowArray<T>* a) {
  free(static_cast<void*>(a->items));
  *a = GrowArray<T>{};
}
