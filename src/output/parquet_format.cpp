// The Thrift compact protocol, page headers and definition levels of the Parquet writer.
#include "output/parquet_format.h"

#include <cstdlib>
#include <cstring>

// ---- ByteBuffer ----

bool byte_buffer_grow(ByteBuffer* b, uint64_t more) {
  if (more <= b->capacity - b->size) return true;
  if (more > (uint64_t{1} << 62) - b->size) return false;
  uint64_t wanted = b->size + more;
  uint64_t capacity = b->capacity + b->capacity / 2 + 64;
  if (capacity < wanted) capacity = wanted;
  if (capacity > SIZE_MAX) return false;
  auto* data = static_cast<uint8_t*>(realloc(b->data, static_cast<size_t>(capacity)));
  if (!data) return false;
  b->data = data;
  b->capacity = capacity;
  return true;
}

uint8_t* byte_buffer_extend(ByteBuffer* b, uint64_t n) {
  if (!byte_buffer_reserve(b, n)) return nullptr;
  uint8_t* start = b->data + b->size;
  b->size += n;
  return start;
}

bool byte_buffer_append(ByteBuffer* b, const void* bytes, uint64_t n) {
  uint8_t* start = byte_buffer_extend(b, n);
  if (!start) return false;
  if (n) memcpy(start, bytes, n);
  return true;
}

void byte_buffer_free(ByteBuffer* b) {
  free(b->data);
  *b = ByteBuffer{};
}

// ---- Thrift compact writer ----

namespace {

void put_byte(ThriftWriter* t, uint8_t byte) {
  if (t->ok && !byte_buffer_append(t->out, &byte, 1)) t->ok = false;
}

void put_varint(ThriftWriter* t, uint64_t value) {
  uint8_t bytes[10];
  int n = 0;
  while (value >= 0x80) {
    bytes[n++] = static_cast<uint8_t>(value | 0x80);
    value >>= 7;
  }
  bytes[n++] = static_cast<uint8_t>(value);
  if (t->ok && !byte_buffer_append(t->out, bytes, static_cast<uint64_t>(n))) t->ok = false;
}

uint64_t zigzag(int64_t value) {
  return (static_cast<uint64_t>(value) << 1) ^ static_cast<uint64_t>(value >> 63);
}

// A field header: the id as a delta from the previous one when it fits in four bits.
void put_field(ThriftWriter* t, int16_t id, uint8_t type) {
  if (t->depth < 0) {
    t->ok = false;  // a field outside every struct
    return;
  }
  int16_t& last = t->last_id[t->depth];
  if (id > last && id - last <= 15) {
    put_byte(t, static_cast<uint8_t>(((id - last) << 4) | type));
  } else {
    put_byte(t, type);
    put_varint(t, zigzag(id));
  }
  last = id;
}

}  // namespace

ThriftWriter thrift_writer(ByteBuffer* out) {
  ThriftWriter t{};
  t.out = out;
  t.depth = -1;
  t.ok = true;
  return t;
}

void thrift_i32_field(ThriftWriter* t, int16_t id, int32_t value) {
  put_field(t, id, THRIFT_I32);
  put_varint(t, zigzag(value));
}

void thrift_i64_field(ThriftWriter* t, int16_t id, int64_t value) {
  put_field(t, id, THRIFT_I64);
  put_varint(t, zigzag(value));
}

void thrift_bool_field(ThriftWriter* t, int16_t id, bool value) {
  put_field(t, id, value ? THRIFT_TRUE : THRIFT_FALSE);
}

void thrift_binary_field(ThriftWriter* t, int16_t id, const void* bytes, uint64_t n) {
  put_field(t, id, THRIFT_BINARY);
  thrift_binary_element(t, bytes, n);
}

void thrift_struct_begin(ThriftWriter* t, int16_t id) {
  if (id != 0) put_field(t, id, THRIFT_STRUCT);
  if (t->depth + 1 >= THRIFT_MAX_DEPTH) {
    t->ok = false;
    return;
  }
  t->last_id[++t->depth] = 0;
}

void thrift_struct_end(ThriftWriter* t) {
  put_byte(t, THRIFT_STOP);
  if (t->depth >= 0) --t->depth;
}

void thrift_list_begin(ThriftWriter* t, int16_t id, uint8_t element_type, uint32_t count) {
  put_field(t, id, THRIFT_LIST);
  if (count < 15) {
    put_byte(t, static_cast<uint8_t>((count << 4) | element_type));
  } else {
    put_byte(t, static_cast<uint8_t>(0xF0 | element_type));
    put_varint(t, count);
  }
}

void thrift_i32_element(ThriftWriter* t, int32_t value) { put_varint(t, zigzag(value)); }

void thrift_binary_element(ThriftWriter* t, const void* bytes, uint64_t n) {
  put_varint(t, n);
  if (t->ok && !byte_buffer_append(t->out, bytes, n)) t->ok = false;
}

// ---- Thrift compact reader ----

namespace {

bool fail(ThriftReader* r) {
  r->ok = false;
  return false;
}

// A varint of at most 10 bytes whose value fits in 64 bits.
bool get_varint(ThriftReader* r, uint64_t* value) {
  uint64_t v = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    if (r->p >= r->end) return fail(r);
    uint8_t byte = *r->p++;
    if (shift == 63 && byte > 1) return fail(r);
    v |= static_cast<uint64_t>(byte & 0x7F) << shift;
    if (!(byte & 0x80)) {
      *value = v;
      return true;
    }
  }
  return fail(r);
}

int64_t unzigzag(uint64_t value) {
  return static_cast<int64_t>(value >> 1) ^ -static_cast<int64_t>(value & 1);
}

}  // namespace

bool thrift_read_field(ThriftReader* r, int16_t* last_id, uint8_t* type, int16_t* id) {
  if (!r->ok) return false;
  if (r->p >= r->end) return fail(r);
  uint8_t byte = *r->p++;
  if (byte == THRIFT_STOP) return false;
  *type = byte & 0x0F;
  uint8_t delta = byte >> 4;
  if (delta != 0) {
    if (*last_id > INT16_MAX - delta) return fail(r);
    *id = static_cast<int16_t>(*last_id + delta);
  } else {
    uint64_t raw;
    if (!get_varint(r, &raw)) return false;
    int64_t v = unzigzag(raw);
    if (v < INT16_MIN || v > INT16_MAX) return fail(r);
    *id = static_cast<int16_t>(v);
  }
  *last_id = *id;
  return true;
}

bool thrift_read_i32(ThriftReader* r, int32_t* value) {
  uint64_t raw;
  if (!get_varint(r, &raw)) return false;
  int64_t v = unzigzag(raw);
  if (v < INT32_MIN || v > INT32_MAX) return fail(r);
  *value = static_cast<int32_t>(v);
  return true;
}

bool thrift_read_i64(ThriftReader* r, int64_t* value) {
  uint64_t raw;
  if (!get_varint(r, &raw)) return false;
  *value = unzigzag(raw);
  return true;
}

bool thrift_read_binary(ThriftReader* r, const uint8_t** bytes, uint64_t* n) {
  uint64_t length;
  if (!get_varint(r, &length)) return false;
  if (length > static_cast<uint64_t>(r->end - r->p)) return fail(r);
  *bytes = r->p;
  *n = length;
  r->p += length;
  return true;
}

// ---- Page headers ----

// Field ids of PageHeader, DataPageHeader and Statistics.
constexpr int16_t PAGE_TYPE = 1;
constexpr int16_t PAGE_UNCOMPRESSED_SIZE = 2;
constexpr int16_t PAGE_COMPRESSED_SIZE = 3;
constexpr int16_t PAGE_DATA_HEADER = 5;
constexpr int16_t DATA_NUM_VALUES = 1;
constexpr int16_t DATA_ENCODING = 2;
constexpr int16_t DATA_DEFINITION_ENCODING = 3;
constexpr int16_t DATA_REPETITION_ENCODING = 4;
constexpr int16_t DATA_STATISTICS = 5;
constexpr int16_t STATS_NULL_COUNT = 3;
constexpr int16_t STATS_MAX_VALUE = 5;
constexpr int16_t STATS_MIN_VALUE = 6;

bool page_header_write(ByteBuffer* out, const PageHeader* h) {
  ThriftWriter t = thrift_writer(out);
  thrift_struct_begin(&t, 0);
  thrift_i32_field(&t, PAGE_TYPE, h->type);
  thrift_i32_field(&t, PAGE_UNCOMPRESSED_SIZE, h->uncompressed_size);
  thrift_i32_field(&t, PAGE_COMPRESSED_SIZE, h->compressed_size);
  thrift_struct_begin(&t, PAGE_DATA_HEADER);
  thrift_i32_field(&t, DATA_NUM_VALUES, h->num_values);
  thrift_i32_field(&t, DATA_ENCODING, h->encoding);
  thrift_i32_field(&t, DATA_DEFINITION_ENCODING, h->definition_encoding);
  thrift_i32_field(&t, DATA_REPETITION_ENCODING, h->repetition_encoding);
  thrift_struct_begin(&t, DATA_STATISTICS);
  if (h->has_null_count) thrift_i64_field(&t, STATS_NULL_COUNT, h->null_count);
  if (h->has_min_max) {
    thrift_binary_field(&t, STATS_MAX_VALUE, h->max, 8);
    thrift_binary_field(&t, STATS_MIN_VALUE, h->min, 8);
  }
  thrift_struct_end(&t);
  thrift_struct_end(&t);
  thrift_struct_end(&t);
  return t.ok;
}

namespace {

// Marks field `id` (below 16) as seen; false when it was seen before.
bool first_sight(uint32_t* seen, int16_t id) {
  uint32_t bit = uint32_t{1} << id;
  if (*seen & bit) return false;
  *seen |= bit;
  return true;
}

bool read_min_max(ThriftReader* r, uint8_t* out) {
  const uint8_t* bytes;
  uint64_t n;
  if (!thrift_read_binary(r, &bytes, &n) || n != 8) return fail(r);
  memcpy(out, bytes, 8);
  return true;
}

bool read_statistics(ThriftReader* r, PageHeader* h) {
  int16_t last = 0, id = 0;
  uint8_t type = 0;
  uint32_t seen = 0;
  while (thrift_read_field(r, &last, &type, &id)) {
    if (id < 0 || id > 15 || !first_sight(&seen, id)) return fail(r);
    if (id == STATS_NULL_COUNT && type == THRIFT_I64) {
      if (!thrift_read_i64(r, &h->null_count)) return false;
    } else if (id == STATS_MAX_VALUE && type == THRIFT_BINARY) {
      if (!read_min_max(r, h->max)) return false;
    } else if (id == STATS_MIN_VALUE && type == THRIFT_BINARY) {
      if (!read_min_max(r, h->min)) return false;
    } else {
      return fail(r);
    }
  }
  uint32_t min_max = (1u << STATS_MAX_VALUE) | (1u << STATS_MIN_VALUE);
  if ((seen & min_max) != 0 && (seen & min_max) != min_max) return fail(r);
  h->has_min_max = (seen & min_max) != 0;
  h->has_null_count = (seen & (1u << STATS_NULL_COUNT)) != 0;
  return r->ok;
}

bool read_data_page_header(ThriftReader* r, PageHeader* h) {
  int16_t last = 0, id = 0;
  uint8_t type = 0;
  uint32_t seen = 0;
  int32_t* fields[] = {nullptr, &h->num_values, &h->encoding, &h->definition_encoding,
                       &h->repetition_encoding};
  while (thrift_read_field(r, &last, &type, &id)) {
    if (id < 0 || id > 15 || !first_sight(&seen, id)) return fail(r);
    if (id >= DATA_NUM_VALUES && id <= DATA_REPETITION_ENCODING && type == THRIFT_I32) {
      if (!thrift_read_i32(r, fields[id])) return false;
    } else if (id == DATA_STATISTICS && type == THRIFT_STRUCT) {
      if (!read_statistics(r, h)) return false;
    } else {
      return fail(r);
    }
  }
  return r->ok && seen == 0x3E ? true : fail(r);
}

}  // namespace

bool page_header_read(const uint8_t* data, uint64_t size, PageHeader* h, uint64_t* length) {
  ThriftReader r{data, data + size, true};
  *h = PageHeader{};
  int16_t last = 0, id = 0;
  uint8_t type = 0;
  uint32_t seen = 0;
  int32_t* fields[] = {nullptr, &h->type, &h->uncompressed_size, &h->compressed_size};
  while (thrift_read_field(&r, &last, &type, &id)) {
    if (id < 0 || id > 15 || !first_sight(&seen, id)) return false;
    if (id >= PAGE_TYPE && id <= PAGE_COMPRESSED_SIZE && type == THRIFT_I32) {
      if (!thrift_read_i32(&r, fields[id])) return false;
    } else if (id == PAGE_DATA_HEADER && type == THRIFT_STRUCT) {
      if (!read_data_page_header(&r, h)) return false;
    } else {
      return false;
    }
  }
  if (!r.ok || seen != 0x2E) return false;
  *length = static_cast<uint64_t>(r.p - data);
  return true;
}

// ---- Definition levels ----

namespace {

uint8_t level_at(const uint8_t* bits, uint64_t i) { return (bits[i >> 3] >> (i & 7)) & 1; }

// How many levels from i on (before end) equal level i.
uint64_t run_length(const uint8_t* bits, uint64_t i, uint64_t end) {
  uint8_t level = level_at(bits, i);
  uint64_t j = i + 1;
  // Whole bytes of the same level go eight at a time.
  while (j < end && (j & 7) != 0 && level_at(bits, j) == level) ++j;
  uint8_t full = level ? 0xFF : 0x00;
  while (j + 8 <= end && (j & 7) == 0 && bits[j >> 3] == full) j += 8;
  while (j < end && level_at(bits, j) == level) ++j;
  return j - i;
}

uint8_t* put_uleb(uint8_t* out, uint64_t value) {
  while (value >= 0x80) {
    *out++ = static_cast<uint8_t>(value | 0x80);
    value >>= 7;
  }
  *out++ = static_cast<uint8_t>(value);
  return out;
}

}  // namespace

uint64_t level_encode(const uint8_t* bits, uint64_t first, uint64_t count, uint8_t* out) {
  uint8_t* o = out;
  uint64_t i = first, end = first + count;
  while (i < end) {
    uint64_t run = run_length(bits, i, end);
    if (run >= 8) {
      o = put_uleb(o, run << 1);
      *o++ = level_at(bits, i);
      i += run;
      continue;
    }
    // Groups of eight until a run worth its own header starts at a group boundary.
    uint64_t start = i, groups = 0;
    do {
      ++groups;
      i += 8;
    } while (i < end && run_length(bits, i, end) < 8);
    o = put_uleb(o, (groups << 1) | 1);
    for (uint64_t g = 0; g < groups; ++g) {
      uint8_t byte = 0;
      for (uint64_t k = 0; k < 8; ++k) {
        uint64_t at = start + g * 8 + k;
        if (at < end) byte |= static_cast<uint8_t>(level_at(bits, at) << k);
      }
      *o++ = byte;
    }
    if (i > end) i = end;
  }
  return static_cast<uint64_t>(o - out);
}
