// The private parts of the Parquet writer: the growable byte buffer, the Thrift compact
// protocol (written by hand), the page header as this writer writes and reads it back, and the
// run-length/bit-packed hybrid encoding of definition levels.
#pragma once

#include <cstdint>

// ---- ByteBuffer ----

// Bytes with a 64-bit size that grow by half again when full and keep their room when emptied
// (size = 0), so that a writer reaches a steady state without allocations.
struct ByteBuffer {
  uint8_t* data;
  uint64_t size;
  uint64_t capacity;
};

// Grows the room to take `more` bytes past the size; false (nothing changed) when memory runs
// out. For byte_buffer_reserve.
bool byte_buffer_grow(ByteBuffer* b, uint64_t more);
// Makes room for `more` bytes past the size; false (nothing changed) when memory runs out.
inline bool byte_buffer_reserve(ByteBuffer* b, uint64_t more) {
  return more <= b->capacity - b->size || byte_buffer_grow(b, more);
}
// Lengthens the buffer by n bytes the caller fills and returns where they start; null (nothing
// changed) when memory runs out.
uint8_t* byte_buffer_extend(ByteBuffer* b, uint64_t n);
// Appends n bytes; false (nothing changed) when memory runs out.
bool byte_buffer_append(ByteBuffer* b, const void* bytes, uint64_t n);
// Frees the room; the buffer is then empty with no room.
void byte_buffer_free(ByteBuffer* b);

// ---- Thrift compact protocol ----

constexpr uint8_t THRIFT_STOP = 0;
constexpr uint8_t THRIFT_TRUE = 1;
constexpr uint8_t THRIFT_FALSE = 2;
constexpr uint8_t THRIFT_I32 = 5;
constexpr uint8_t THRIFT_I64 = 6;
constexpr uint8_t THRIFT_BINARY = 8;
constexpr uint8_t THRIFT_LIST = 9;
constexpr uint8_t THRIFT_STRUCT = 12;
// Structs nest at most this deep in what the writer writes (the footer needs 5).
constexpr int32_t THRIFT_MAX_DEPTH = 8;

// Writes one Thrift value after another into `out`; `ok` turns false for good when memory runs
// out or the nesting is deeper than THRIFT_MAX_DEPTH, and nothing more is written.
struct ThriftWriter {
  ByteBuffer* out;
  int16_t last_id[THRIFT_MAX_DEPTH];  // the previous field id at each open struct
  int32_t depth;                      // open structs; 0 at the top
  bool ok;
};

// A writer that appends to `out` (which keeps its bytes), at the top level.
ThriftWriter thrift_writer(ByteBuffer* out);
void thrift_i32_field(ThriftWriter* t, int16_t id, int32_t value);
void thrift_i64_field(ThriftWriter* t, int16_t id, int64_t value);
void thrift_bool_field(ThriftWriter* t, int16_t id, bool value);
void thrift_binary_field(ThriftWriter* t, int16_t id, const void* bytes, uint64_t n);
// Opens a struct field (or, with id 0, a struct element of a list); thrift_struct_end closes
// it with the stop byte. The top-level struct is opened with id 0 as well.
void thrift_struct_begin(ThriftWriter* t, int16_t id);
void thrift_struct_end(ThriftWriter* t);
// Opens a list field of `count` elements of `element_type`; the elements follow with the
// element writers below (or thrift_struct_begin(t, 0) for structs). Lists need no end.
void thrift_list_begin(ThriftWriter* t, int16_t id, uint8_t element_type, uint32_t count);
void thrift_i32_element(ThriftWriter* t, int32_t value);
void thrift_binary_element(ThriftWriter* t, const void* bytes, uint64_t n);

// Reads Thrift values from [p, end): every length and count is checked against the bytes left;
// `ok` turns false for good at the first value that does not fit or is malformed.
struct ThriftReader {
  const uint8_t* p;
  const uint8_t* end;
  bool ok;
};

// The next field header of the current struct: its type and id (ids as deltas from `last_id`,
// which is updated). False at the stop byte or on malformed bytes (then `ok` is false).
bool thrift_read_field(ThriftReader* r, int16_t* last_id, uint8_t* type, int16_t* id);
// The value of a field of that type; false (and `ok` false) when malformed or out of range.
bool thrift_read_i32(ThriftReader* r, int32_t* value);
bool thrift_read_i64(ThriftReader* r, int64_t* value);
// A binary value in place: `bytes` points into the reader's range.
bool thrift_read_binary(ThriftReader* r, const uint8_t** bytes, uint64_t* n);

// ---- Parquet constants (the values the format fixes) ----

constexpr int32_t PARQUET_TYPE_INT64 = 2;
constexpr int32_t PARQUET_TYPE_DOUBLE = 5;
constexpr int32_t PARQUET_TYPE_BYTE_ARRAY = 6;
constexpr int32_t PARQUET_REQUIRED = 0;
constexpr int32_t PARQUET_OPTIONAL = 1;
constexpr int32_t PARQUET_CONVERTED_UTF8 = 0;
constexpr int32_t PARQUET_CONVERTED_TIMESTAMP_MICROS = 10;
constexpr int32_t PARQUET_ENCODING_PLAIN = 0;
constexpr int32_t PARQUET_ENCODING_RLE = 3;
constexpr int32_t PARQUET_CODEC_ZSTD = 6;
constexpr int32_t PARQUET_PAGE_DATA = 0;
constexpr uint8_t PARQUET_MAGIC[4] = {'P', 'A', 'R', '1'};

// ---- Page headers ----

// A data page header with the fields this writer writes, all of them required when read back
// but for the statistics' null count (which the required time column's pages leave out, so
// that they tell themselves apart from value columns' pages) and least and greatest value (8
// little-endian bytes each, absent for texts and pages without a number to compare).
struct PageHeader {
  int32_t type;
  int32_t uncompressed_size;
  int32_t compressed_size;
  int32_t num_values;
  int32_t encoding;
  int32_t definition_encoding;
  int32_t repetition_encoding;
  int64_t null_count;
  uint8_t has_null_count;
  uint8_t has_min_max;
  uint8_t min[8];
  uint8_t max[8];
};

// Appends the compact encoding of `h`; false when memory runs out.
bool page_header_write(ByteBuffer* out, const PageHeader* h);
// Reads a header from the start of [data, data + size) into `h` and sets `length` to its
// bytes. False for anything this writer does not write: missing bytes, a missing, repeated or
// unknown field, a value of the wrong type, or a length that runs past the bytes.
bool page_header_read(const uint8_t* data, uint64_t size, PageHeader* h, uint64_t* length);

// ---- Definition levels ----

// Room that level_encode may use for `count` levels.
constexpr uint64_t level_encoded_room(uint64_t count) { return count / 4 + 16; }
// Writes the hybrid encoding (bit width 1) of the `count` levels from bit `first` of `bits`
// (bit i is bit i % 8 of byte i / 8: 1 = a value, 0 = null) at `out`, and returns its length.
// Runs of 8 or more equal levels become run-length runs; the rest is bit-packed by eights, the
// last group padded with zeros.
uint64_t level_encode(const uint8_t* bits, uint64_t first, uint64_t count, uint8_t* out);
