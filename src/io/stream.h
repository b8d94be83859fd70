// Byte streams: one small polymorphic interface for files, memory buffers, read caches,
// sub-ranges and CRC computation. Stream kinds stack on one another; each closes only what
// it owns.
#pragma once

#include <cstdint>

constexpr int64_t STREAM_UNSUPPORTED = -2;
constexpr int32_t SEEK_FROM_START = 0;
constexpr int32_t SEEK_FROM_CURRENT = 1;
constexpr int32_t SEEK_FROM_END = 2;

struct Stream;

// The operations of a stream kind; any slot may be empty (the dispatch functions then return
// STREAM_UNSUPPORTED). read: bytes read, 0 at the end, -1 on error; a short count is not an
// error. write: bytes written or -1. tell: position or -1. seek: new position or negative.
// close: 0 when the stream is gone (its record freed), non-zero when it failed and the stream
// stays alive.
struct StreamOps {
  int64_t (*read)(Stream* s, void* buffer, uint64_t n);
  int64_t (*write)(Stream* s, const void* buffer, uint64_t n);
  int64_t (*tell)(Stream* s);
  int64_t (*seek)(Stream* s, int64_t offset, int32_t origin);
  int32_t (*close)(Stream* s);
};

// Every stream kind's record starts with this.
struct Stream {
  const StreamOps* ops;
};

int64_t stream_read(Stream* s, void* buffer, uint64_t n);
int64_t stream_write(Stream* s, const void* buffer, uint64_t n);
int64_t stream_tell(Stream* s);
int64_t stream_seek(Stream* s, int64_t offset, int32_t origin);
// 0 for a null stream or a kind without close.
int32_t stream_close(Stream* s);
// The size without moving the position; -1 for a null stream, -2 without tell.
int64_t stream_size(Stream* s);

// mode 0 read ("rb"), 1 write ("wb"), 2 read and write (existing file, no truncation).
Stream* file_stream_open(const char* path, int32_t mode);
Stream* memory_stream_new();
// Appends n bytes for the caller to fill and returns where they start (valid until the next
// write moves the bytes); the position is then at the end. Null when the memory cannot be had.
uint8_t* memory_stream_append_room(Stream* s, uint64_t n);
// A read cache over one window of `inner`; capacity rounded up to a multiple of 8.
Stream* buffered_stream_new(Stream* inner, bool owns_inner, uint64_t capacity);
// The bytes [start, end) of `inner` (end <= 0: to the end of inner); positions it reports
// are relative to start. Never owns inner.
Stream* sub_stream_new(Stream* inner, int64_t start, int64_t end);
// Feeds every byte read or written through it into a reflected CRC-32 register that starts
// at 0xFFFFFFFF; the value has no final inversion. Never owns inner.
Stream* crc32_stream_new(Stream* inner);
uint32_t crc32_stream_value(Stream* s);
// The standard CRC-32 register update over a byte range.
uint32_t crc32_update(uint32_t reg, const uint8_t* bytes, uint64_t n);

// RAII owner for code at the edges: closes the stream at scope end.
struct StreamCloser {
  void operator()(Stream* s) const { stream_close(s); }
};
