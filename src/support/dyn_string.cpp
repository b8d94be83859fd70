// DynString growth, appending and formatting.
#include "support/dyn_string.h"

#include <cstdio>
#include <cstdlib>

namespace {

void set_short_length(DynString* s, uint64_t n) {
  s->u.small[23] = static_cast<char>(n);
  s->u.small[n] = 0;
}

void set_length(DynString* s, uint64_t n) {
  if (dynstring_is_long(s)) {
    s->u.heap.length = n;
    s->u.heap.data[n] = 0;
  } else {
    set_short_length(s, n);
  }
}

}  // namespace

bool dynstring_from(DynString* out, const char* bytes, uint64_t n) {
  memset(out, 0, sizeof *out);
  if (n <= DYNSTRING_SHORT_CAPACITY) {
    if (n) memcpy(out->u.small, bytes, n);
    set_short_length(out, n);
    return true;
  }
  if (!dynstring_reserve(out, n)) return false;
  memcpy(out->u.heap.data, bytes, n);
  set_length(out, n);
  return true;
}

void dynstring_clear(DynString* s) { set_length(s, 0); }

void dynstring_truncate(DynString* s, uint64_t n) {
  if (n < dynstring_length(s)) set_length(s, n);
}

char* dynstring_reserve(DynString* s, uint64_t n) {
  if (n >= DYNSTRING_MAX_LENGTH) return nullptr;
  if (dynstring_is_long(s)) {
    if (n > dynstring_capacity(s)) {
      char* buffer = static_cast<char*>(realloc(s->u.heap.data, n + 1));
      if (!buffer) return nullptr;
      s->u.heap.data = buffer;
      s->u.heap.not_capacity = ~static_cast<int64_t>(n);
    }
    return s->u.heap.data;
  }
  if (n <= DYNSTRING_SHORT_CAPACITY) return s->u.small;
  char* buffer = static_cast<char*>(malloc(n + 1));
  if (!buffer) return nullptr;
  uint64_t length = static_cast<uint8_t>(s->u.small[23]);
  memcpy(buffer, s->u.small, 23);
  s->u.heap.data = buffer;
  s->u.heap.length = length;
  s->u.heap.not_capacity = ~static_cast<int64_t>(n);
  return buffer;
}

char* dynstring_extend(DynString* s, uint64_t n) {
  uint64_t length = dynstring_length(s);
  // Compared this way round, a huge n cannot wrap the sum into a small request.
  if (n >= DYNSTRING_MAX_LENGTH - length) return nullptr;
  char* buffer = dynstring_reserve(s, length + n);
  if (!buffer) return nullptr;
  set_length(s, length + n);
  return buffer + length;
}

char* dynstring_append(DynString* s, const char* bytes, uint64_t n) {
  uint64_t length = dynstring_length(s);
  uint64_t capacity = dynstring_capacity(s);
  char* old_text = dynstring_data(s);
  if (n >= DYNSTRING_MAX_LENGTH - length) return nullptr;  // the sums below cannot wrap
  if (n > capacity - length) {
    // The source may lie inside our own text; remember where, since the buffer may move.
    bool inside = bytes >= old_text && bytes <= old_text + length;
    uint64_t source_offset = inside ? static_cast<uint64_t>(bytes - old_text) : 0;
    char* buffer = dynstring_reserve(s, n + (3 * length) / 2);
    if (!buffer) return nullptr;
    if (inside) bytes = buffer + source_offset;
  }
  char* buffer = dynstring_data(s);
  if (n) memmove(buffer + length, bytes, n);
  set_length(s, length + n);
  return buffer;
}

int64_t dynstring_vformat(DynString* s, const char* format, va_list args) {
  va_list count_args;
  va_copy(count_args, args);
  int m = vsnprintf(nullptr, 0, format, count_args);
  va_end(count_args);
  if (m < 0) return -1;
  uint64_t length = dynstring_length(s);
  char* buffer = dynstring_reserve(s, length + static_cast<uint64_t>(m));
  if (!buffer) return -1;
  vsnprintf(buffer + length, static_cast<size_t>(m) + 1, format, args);
  set_length(s, length + static_cast<uint64_t>(m));
  return m;
}

int64_t dynstring_format(DynString* s, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int64_t m = dynstring_vformat(s, format, args);
  va_end(args);
  return m;
}

void dynstring_free(DynString* s) {
  if (dynstring_is_long(s)) free(s->u.heap.data);
  memset(s, 0, sizeof *s);
}
