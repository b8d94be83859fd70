// Byte streams: one small polymorphic interface for files, memory buffers, read caches,
// sub-ranges and CRC computation. Stream kinds stack on one another; each closes only what
// it owns.
#pragma once

#include <cstdint>
#include <cstdio>

constexpr int64_t STREAM_UNSUPPORTED = -2;
constexpr int32_t SEEK_FROM_START = 0;
constexpr int32_t SEEK_FROM_CURRENT = 1;
constexpr int32_t SEEK_FROM_END = 2;

struct Stream;

// The operations of a stream kind. Every kind obeys one contract, so that readers can stack
// any kind on any other:
// - Any slot may be empty; the dispatch function then returns STREAM_UNSUPPORTED (-2) and
//   nothing changes. A kind that cannot do an operation leaves its slot empty.
// - Positions are byte offsets from the start, 0 or more.
// - read: copies up to n bytes from the position into `buffer`, advances the position by the
//   count and returns it. Fewer than n bytes do not mean the end: only 0 does (at or beyond
//   the end, or for n = 0). -1 on an error, with nothing read. The bytes of `buffer` beyond
//   the count are unspecified.
// - write: writes n bytes at the position, advances the position by the count and returns it;
//   a position beyond the end first fills the gap with zero bytes, as files do. A count below
//   n means a bound or a failure stopped the write part way: the bytes before it are written,
//   none after it. -1 on an error, with nothing written.
// - tell: the position, or -1.
// - seek: moves to `offset` from the start, the position or the end (SEEK_FROM_*) and returns
//   the new position. Any position from 0 up is allowed, the end and beyond included; reads
//   there give 0. A negative or unrepresentable target, an unknown origin or a failure
//   returns -1 and leaves the position as it was.
// - close: 0 when the stream is gone (its record freed, and whatever it owns closed), non-zero
//   when it failed and the stream stays alive (a second close then frees it).
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
// 0 for a null stream or a kind without close (its owner frees it).
int32_t stream_close(Stream* s);
// The size without moving the position; -1 for a null stream or a failure, STREAM_UNSUPPORTED
// for a kind that cannot tell or seek.
int64_t stream_size(Stream* s);
// The position a seek asks for, by the contract of the seek slot, for a stream at `position`
// whose end is `size`: any position from 0 up, also past the end; -1 for an unknown origin or
// a target that is negative or does not fit an int64_t. For the stream kinds to share.
int64_t stream_seek_target(uint64_t position, uint64_t size, int64_t offset, int32_t origin);

// mode 0 read ("rb"), 1 write ("wb"), 2 read and write (existing file, no truncation).
Stream* file_stream_open(const char* path, int32_t mode);
// A file stream over `file`, just opened in the stdio mode that `mode` names; the stream owns
// it from then on. Null, with the file closed, when the mode is invalid or memory runs out.
Stream* file_stream_adopt(FILE* file, int32_t mode);
// Bytes in memory, growing (by doubling) as they are written; empty at first.
Stream* memory_stream_new();
// Appends n bytes for the caller to fill and returns where they start (valid until the next
// write moves the bytes); the position is then at the end. Null when the memory cannot be had.
uint8_t* memory_stream_append_room(Stream* s, uint64_t n);
// A read-only view of `size` bytes at `data`, which the caller keeps alive and unchanged while
// the stream lives; several views of the same bytes read apart (each has its own position),
// also on several threads. Null when memory ran out.
Stream* bytes_stream_new(const uint8_t* data, uint64_t size);
// The bytes a stream holds in memory whole, for readers that take them in place: those of a
// view of bytes, a memory stream, or a spill stream whose bytes are still in memory. They stay
// where they are until the stream is written or closed. False (nothing set) for every other
// kind of stream.
bool stream_bytes_view(const Stream* s, const uint8_t** data, uint64_t* size);
// Bytes in memory while they fit in `threshold` bytes; a write that would pass it first moves
// them to a temporary file (in $TMPDIR, else /tmp) that is unlinked from the start, so that it
// vanishes with the stream (or the process) and peak memory stays bounded whatever is
// written. The bytes that left memory are overwritten there. Reads of the file go through a
// read cache of SPILL_CACHE_WINDOWS windows of SPILL_CACHE_WINDOW bytes. A failure to create
// or write the file is logged once (what, where and why) and fails that write. Null when
// memory runs out.
Stream* spill_stream_new(uint64_t threshold);
constexpr int32_t SPILL_CACHE_WINDOWS = 4;
constexpr uint64_t SPILL_CACHE_WINDOW = uint64_t{256} << 10;
// Moves the bytes to the temporary file now, so that nothing written from here on is held in
// memory; true when they are there (also when they already were).
bool spill_stream_to_file(Stream* s);
// As memory_stream_append_room while the bytes are in memory and keep within the threshold;
// null otherwise.
uint8_t* spill_stream_append_room(Stream* s, uint64_t n);
// A read cache over one window of `inner`; capacity rounded up to a multiple of 8. It reads
// only; a seek moves no bytes until the next read. Null for a null inner stream or a capacity
// above 2^40.
Stream* buffered_stream_new(Stream* inner, bool owns_inner, uint64_t capacity);
// The bytes [start, end) of `inner` (end <= 0: to the end of inner); positions it reports are
// relative to start, and it keeps its own position, seeking inner before each read or write.
// Reads and writes stop at `end`. Never owns inner. Null for a null inner stream, a negative
// start, or an end before start.
Stream* sub_stream_new(Stream* inner, int64_t start, int64_t end);
// Feeds every byte read or written through it into a reflected CRC-32 register that starts
// at 0xFFFFFFFF; the value has no final inversion. It cannot tell or seek (the register
// follows the bytes in order). Never owns inner.
Stream* crc32_stream_new(Stream* inner);
uint32_t crc32_stream_value(Stream* s);
// The standard CRC-32 register update over a byte range.
uint32_t crc32_update(uint32_t reg, const uint8_t* bytes, uint64_t n);

// RAII owner for code at the edges: closes the stream at scope end.
struct StreamCloser {
  void operator()(Stream* s) const { stream_close(s); }
};
