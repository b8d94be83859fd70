// DynString: the owned, always zero-terminated byte string (24 bytes, short texts in place),
// and StringView, the non-owning pointer-and-length view.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <string_view>

struct StringView {
  const char* data;
  uint64_t length;

  constexpr StringView() : data(""), length(0) {}
  constexpr StringView(const char* d, uint64_t n) : data(d), length(n) {}
  constexpr StringView(std::string_view s) : data(s.data()), length(s.size()) {}
  constexpr operator std::string_view() const { return {data, static_cast<size_t>(length)}; }
};

// Short form: bytes 0..22 text and zero, byte 23 the length (top bit clear).
// Long form: pointer, length, and the complement of the capacity, whose sign bit is the top
// bit of byte 23. An all-zero value is the empty string.
struct DynString {
  union {
    char small[24];
    struct {
      char* data;
      uint64_t length;
      int64_t not_capacity;
    } heap;
  } u;
};
static_assert(sizeof(DynString) == 24);

constexpr uint64_t DYNSTRING_SHORT_CAPACITY = 22;

inline bool dynstring_is_long(const DynString* s) {
  return (static_cast<uint8_t>(s->u.small[23]) & 0x80) != 0;
}
inline uint64_t dynstring_length(const DynString* s) {
  return dynstring_is_long(s) ? s->u.heap.length : static_cast<uint8_t>(s->u.small[23]);
}
inline uint64_t dynstring_capacity(const DynString* s) {
  return dynstring_is_long(s) ? static_cast<uint64_t>(~s->u.heap.not_capacity)
                              : DYNSTRING_SHORT_CAPACITY;
}
inline char* dynstring_data(DynString* s) {
  return dynstring_is_long(s) ? s->u.heap.data : s->u.small;
}
inline const char* dynstring_data(const DynString* s) {
  return dynstring_is_long(s) ? s->u.heap.data : s->u.small;
}
inline StringView dynstring_view(const DynString* s) {
  return {dynstring_data(s), dynstring_length(s)};
}
inline std::string_view dynstring_sv(const DynString* s) {
  return {dynstring_data(s), static_cast<size_t>(dynstring_length(s))};
}

// Writes the text into `out` (whose old content is not freed); false when memory is exhausted,
// leaving `out` empty.
bool dynstring_from(DynString* out, const char* bytes, uint64_t n);
inline bool dynstring_from(DynString* out, std::string_view text) {
  return dynstring_from(out, text.data(), text.size());
}

void dynstring_clear(DynString* s);
// Sets the length to n (n <= length) and terminates the text there.
void dynstring_truncate(DynString* s, uint64_t n);
// Texts stay shorter than this, so lengths and their sums never wrap.
constexpr uint64_t DYNSTRING_MAX_LENGTH = uint64_t{1} << 62;
// The three growers return null when memory ran out or the room asked for reaches 2^62 bytes;
// the string is then unchanged. A pointer they return is valid until the string next grows,
// is freed, or (for a short text, which lives in the record itself) is moved.
// Makes room for a text of n bytes in all (and its terminator), keeping the text, and returns
// the start of the text. The length does not change.
char* dynstring_reserve(DynString* s, uint64_t n);
// Lengthens the text by n bytes whose content is unspecified (the caller fills them; the
// terminator follows them) and returns where they start, that is the start of the text plus
// its old length.
char* dynstring_extend(DynString* s, uint64_t n);
// Appends n bytes (which may lie in the string's own text) and returns the start of the whole
// text, not of the appended bytes. Growth leaves room for half as much again.
char* dynstring_append(DynString* s, const char* bytes, uint64_t n);
inline char* dynstring_append(DynString* s, std::string_view text) {
  return dynstring_append(s, text.data(), text.size());
}
// printf rules; returns the number of characters appended, or -1 on failure.
int64_t dynstring_format(DynString* s, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
int64_t dynstring_vformat(DynString* s, const char* format, va_list args);
// Frees a long-form buffer; the string is then the empty short string.
void dynstring_free(DynString* s);

inline bool dynstring_equals(const DynString* s, std::string_view text) {
  return dynstring_sv(s) == text;
}

// RAII owner for code at the edges (tool, pipeline, tests).
struct ScopedDynString {
  DynString s{};
  ScopedDynString() = default;
  explicit ScopedDynString(std::string_view text) { dynstring_from(&s, text); }
  ScopedDynString(const ScopedDynString&) = delete;
  ScopedDynString& operator=(const ScopedDynString&) = delete;
  ~ScopedDynString() { dynstring_free(&s); }
  DynString* operator&() { return &s; }
  std::string_view view() const { return dynstring_sv(&s); }
};
