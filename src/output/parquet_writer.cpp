// Writing Parquet files: the setup, rows into pages, pages into row groups, and the footer.
#include "output/parquet_writer.h"

#include <zstd.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "output/parquet_format.h"
#include "output/parquet_state.h"

// Values are copied as the host holds them; Parquet's byte order is little-endian.
static_assert(std::endian::native == std::endian::little);

namespace {

// Texts of the setup are bounded so that their sums never wrap.
constexpr uint64_t MAX_SETUP_TEXT = uint64_t{1} << 40;

bool utf8_valid(const char* text, uint64_t n) {
  const auto* s = reinterpret_cast<const uint8_t*>(text);
  uint64_t i = 0;
  while (i < n) {
    uint64_t word;
    if (n - i >= 8 && (memcpy(&word, s + i, 8), (word & 0x8080808080808080u) == 0)) {
      i += 8;
      continue;
    }
    uint8_t c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    uint32_t follow, cp;
    if (c >= 0xC2 && c <= 0xDF) {
      follow = 1, cp = c & 0x1Fu;
    } else if (c >= 0xE0 && c <= 0xEF) {
      follow = 2, cp = c & 0x0Fu;
    } else if (c >= 0xF0 && c <= 0xF4) {
      follow = 3, cp = c & 0x07u;
    } else {
      return false;
    }
    if (n - i <= follow) return false;
    for (uint32_t k = 1; k <= follow; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3Fu);
    }
    // Over-long forms, surrogates and code points past U+10FFFF.
    if (follow == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) return false;
    if (follow == 3 && (cp < 0x10000 || cp > 0x10FFFF)) return false;
    i += follow + 1;
  }
  return true;
}

bool text_valid(StringView text, bool may_be_empty, uint64_t* total) {
  if (!text.data || (!may_be_empty && text.length == 0) || text.length > MAX_SETUP_TEXT) {
    return false;
  }
  *total += text.length;
  return *total <= MAX_SETUP_TEXT && utf8_valid(text.data, text.length);
}

// Whether the setup can be written; `text_bytes` gets the bytes of its names and metadata.
bool setup_valid(const ParquetSetup* setup, uint64_t* text_bytes) {
  if (!setup || setup->column_count > PARQUET_MAX_COLUMNS ||
      (setup->column_count && !setup->columns) || setup->metadata_count > INT32_MAX ||
      (setup->metadata_count && !setup->metadata)) {
    return false;
  }
  if (setup->page_rows > PARQUET_MAX_PAGE_ROWS) return false;
  if (setup->zstd_level != 0 &&
      (setup->zstd_level < ZSTD_minCLevel() || setup->zstd_level > ZSTD_maxCLevel())) {
    return false;
  }
  *text_bytes = 1;  // the time column's name
  for (uint32_t i = 0; i < setup->column_count; ++i) {
    const ParquetColumn& c = setup->columns[i];
    if (c.kind > PARQUET_STRING || !text_valid(c.name, false, text_bytes)) return false;
  }
  for (uint32_t i = 0; i < setup->metadata_count; ++i) {
    const ParquetKeyValue& kv = setup->metadata[i];
    if (!text_valid(kv.key, true, text_bytes) || !text_valid(kv.value, true, text_bytes)) {
      return false;
    }
  }
  return true;
}

StringView copy_text(char** at, StringView text) {
  StringView copy{*at, text.length};
  if (text.length) memcpy(*at, text.data, text.length);
  *at += text.length;
  return copy;
}

// Copies the names and metadata into one block of `bytes` bytes that the writer owns.
bool copy_setup_texts(ParquetWriter* w, const ParquetSetup* setup, uint64_t bytes) {
  w->text = static_cast<char*>(malloc(bytes));
  w->names = static_cast<StringView*>(calloc(w->column_count, sizeof(StringView)));
  w->metadata =
      static_cast<ParquetKeyValue*>(calloc(setup->metadata_count + 1u, sizeof(ParquetKeyValue)));
  if (!w->text || !w->names || !w->metadata) return false;
  char* at = w->text;
  w->names[0] = copy_text(&at, StringView(PARQUET_TIME_COLUMN, 1));
  for (uint32_t i = 0; i < setup->column_count; ++i) {
    w->names[i + 1] = copy_text(&at, setup->columns[i].name);
  }
  for (uint32_t i = 0; i < setup->metadata_count; ++i) {
    w->metadata[i].key = copy_text(&at, setup->metadata[i].key);
    w->metadata[i].value = copy_text(&at, setup->metadata[i].value);
  }
  w->metadata_count = setup->metadata_count;
  return true;
}

void set_status(ParquetStatus* status, ParquetStatus value) {
  if (status) *status = value;
}

bool sink_write(ParquetWriter* w, const void* bytes, uint64_t n) {
  if (n == 0) return true;
  if (stream_write(w->sink, bytes, n) != static_cast<int64_t>(n)) {
    w->failed = 1;
    return false;
  }
  w->file_size += n;
  return true;
}

}  // namespace

const char* parquet_status_name(ParquetStatus status) {
  switch (status) {
    case PARQUET_OK:
      return "ok";
    case PARQUET_BAD_SETUP:
      return "bad setup";
    case PARQUET_NO_MEMORY:
      return "out of memory";
    case PARQUET_IO_ERROR:
      return "input/output error";
    case PARQUET_BAD_FILE:
      return "not an unfinished file of this setup";
  }
  return "unknown status";
}

ParquetWriter* parquet_writer_new(const ParquetSetup* setup, Stream* sink, ParquetStatus* status) {
  uint64_t text_bytes = 0;
  if (!sink || !setup_valid(setup, &text_bytes)) {
    set_status(status, PARQUET_BAD_SETUP);
    return nullptr;
  }
  auto* w = static_cast<ParquetWriter*>(calloc(1, sizeof(ParquetWriter)));
  if (w) {
    w->sink = sink;
    w->column_count = setup->column_count + 1;
    w->page_rows = setup->page_rows ? setup->page_rows : PARQUET_DEFAULT_PAGE_ROWS;
    w->zstd_level = setup->zstd_level ? setup->zstd_level : PARQUET_DEFAULT_ZSTD_LEVEL;
    w->columns = static_cast<ColumnState*>(calloc(w->column_count, sizeof(ColumnState)));
  }
  if (!w || !w->columns || !copy_setup_texts(w, setup, text_bytes)) {
    parquet_writer_free(w);
    set_status(status, PARQUET_NO_MEMORY);
    return nullptr;
  }
  w->columns[0].type = VALUE_TIME;
  w->all_double = 1;
  for (uint32_t i = 0; i < setup->column_count; ++i) {
    bool text = setup->columns[i].kind == PARQUET_STRING;
    w->columns[i + 1].type = text ? VALUE_STRING : VALUE_DOUBLE;
    if (text) w->all_double = 0;
  }
  set_status(status, PARQUET_OK);
  return w;
}

ParquetWriter* parquet_writer_open(const ParquetSetup* setup, Stream* sink, ParquetStatus* status) {
  ParquetWriter* w = parquet_writer_new(setup, sink, status);
  if (w && !sink_write(w, PARQUET_MAGIC, sizeof PARQUET_MAGIC)) {
    parquet_writer_free(w);
    set_status(status, PARQUET_IO_ERROR);
    return nullptr;
  }
  return w;
}

void parquet_writer_free(ParquetWriter* w) {
  if (!w) return;
  if (w->columns) {
    for (uint32_t c = 0; c < w->column_count; ++c) {
      byte_buffer_free(&w->columns[c].values);
      byte_buffer_free(&w->columns[c].levels);
      byte_buffer_free(&w->columns[c].pages);
    }
  }
  free(w->columns);
  free(w->names);
  free(w->metadata);
  free(w->text);
  grow_array_free(&w->groups);
  grow_array_free(&w->chunks);
  byte_buffer_free(&w->header);
  free(w);
}

// ---- Statistics ----

bool parquet_min_max_ordered(ParquetValueType type, uint64_t min_bits, uint64_t max_bits) {
  if (type == VALUE_TIME) return static_cast<int64_t>(min_bits) <= static_cast<int64_t>(max_bits);
  if (type != VALUE_DOUBLE) return false;
  double min = std::bit_cast<double>(min_bits), max = std::bit_cast<double>(max_bits);
  return min <= max;  // false for NaN
}

void parquet_merge_min_max(ParquetValueType type, ChunkSummary* s, uint64_t min_bits,
                           uint64_t max_bits) {
  if (!s->has_min_max) {
    s->min_bits = min_bits;
    s->max_bits = max_bits;
    s->has_min_max = 1;
  } else if (type == VALUE_TIME) {
    if (static_cast<int64_t>(min_bits) < static_cast<int64_t>(s->min_bits)) s->min_bits = min_bits;
    if (static_cast<int64_t>(max_bits) > static_cast<int64_t>(s->max_bits)) s->max_bits = max_bits;
  } else {
    if (std::bit_cast<double>(min_bits) < std::bit_cast<double>(s->min_bits))
      s->min_bits = min_bits;
    if (std::bit_cast<double>(max_bits) > std::bit_cast<double>(s->max_bits))
      s->max_bits = max_bits;
  }
}

namespace {

// The least and greatest of `n` bytes of PLAIN values into the page header: times as int64,
// doubles without NaN, with a zero minimum written as -0 and a zero maximum as +0 so that
// readers comparing either way keep every zero. Nothing for texts or pages without a number.
void page_min_max(ParquetValueType type, const uint8_t* values, uint64_t n, PageHeader* h) {
  h->has_min_max = 0;
  if (type == VALUE_TIME && n >= 8) {
    int64_t min = INT64_MAX, max = INT64_MIN;
    for (uint64_t at = 0; at + 8 <= n; at += 8) {
      int64_t v;
      memcpy(&v, values + at, 8);
      if (v < min) min = v;
      if (v > max) max = v;
    }
    memcpy(h->min, &min, 8), memcpy(h->max, &max, 8);
    h->has_min_max = 1;
  } else if (type == VALUE_DOUBLE) {
    double min = INFINITY, max = -INFINITY;
    bool any = false;
    for (uint64_t at = 0; at + 8 <= n; at += 8) {
      double v;
      memcpy(&v, values + at, 8);
      if (std::isnan(v)) continue;
      any = true;
      if (v < min) min = v;
      if (v > max) max = v;
    }
    if (!any) return;
    if (min == 0) min = -0.0;
    if (max == 0) max = 0.0;
    memcpy(h->min, &min, 8), memcpy(h->max, &max, 8);
    h->has_min_max = 1;
  }
}

// Level bits set in [first, first + count).
uint64_t count_present(const uint8_t* bits, uint64_t first, uint64_t count) {
  uint64_t n = 0, i = first, end = first + count;
  for (; i < end && (i & 7); ++i) n += (bits[i >> 3] >> (i & 7)) & 1;
  for (; i + 8 <= end; i += 8) n += static_cast<uint64_t>(std::popcount(bits[i >> 3]));
  for (; i < end; ++i) n += (bits[i >> 3] >> (i & 7)) & 1;
  return n;
}

}  // namespace

// ---- Pages ----

namespace {

// What encoding a page needs for a moment, shared by the writers of a thread (they encode one
// page at a time): one set instead of one per open file keeps the memory of many open files
// small and the compressor's tables warm.
struct PageScratch {
  ByteBuffer page;    // one uncompressed page
  ByteBuffer packed;  // one compressed page
  ZSTD_CCtx* zstd;    // made on first use
  ~PageScratch() {
    byte_buffer_free(&page);
    byte_buffer_free(&packed);
    ZSTD_freeCCtx(zstd);
  }
};

PageScratch& page_scratch() {
  static thread_local PageScratch scratch{};
  return scratch;
}

// The open page's bytes uncompressed: for a value column the levels' length and hybrid
// encoding before the values, assembled in the page scratch; the time column's values as
// they are.
bool uncompressed_page(const ColumnState* col, const uint8_t** page, uint64_t* size) {
  if (col->type == VALUE_TIME) {
    *page = col->values.data;
    *size = col->values.size;
    return true;
  }
  ByteBuffer* scratch = &page_scratch().page;
  scratch->size = 0;
  uint64_t values = col->values.size;
  uint8_t* p = byte_buffer_extend(scratch, 4 + level_encoded_room(col->page_rows) + values);
  if (!p) return false;
  uint64_t n = level_encode(col->levels.data, 0, col->page_rows, p + 4);
  uint32_t length = static_cast<uint32_t>(n);
  memcpy(p, &length, 4);
  if (values) memcpy(p + 4 + n, col->values.data, values);
  *page = p;
  *size = 4 + n + values;
  return true;
}

// Compresses `size` bytes at `page` into the scratch's packed buffer.
bool compress(int32_t level, const uint8_t* page, uint64_t size, uint64_t* packed) {
  PageScratch& s = page_scratch();
  if (!s.zstd && !(s.zstd = ZSTD_createCCtx())) return false;
  size_t bound = ZSTD_compressBound(static_cast<size_t>(size));
  s.packed.size = 0;
  if (ZSTD_isError(bound) || !byte_buffer_reserve(&s.packed, bound)) return false;
  size_t n =
      ZSTD_compressCCtx(s.zstd, s.packed.data, bound, page, static_cast<size_t>(size), level);
  if (ZSTD_isError(n)) return false;
  *packed = n;
  return true;
}

void clear_open_page(ParquetWriter* w, ColumnState* col) {
  w->buffered_bytes -= col->values.size + col->levels.size;
  col->values.size = 0;
  col->levels.size = 0;
  col->page_rows = 0;
}

// Encodes the open page of `col` as one data page at the end of its encoded pages, adds it to
// the chunk's summary and empties the open page. The time column's page statistics leave the
// null count out, which is how resuming tells where its pages end. False, with nothing
// changed, when memory runs out or a size passes what a page header can hold.
bool encode_open_page(ParquetWriter* w, ColumnState* col) {
  const uint8_t* page;
  uint64_t size, packed;
  if (!uncompressed_page(col, &page, &size) || size > INT32_MAX ||
      !compress(w->zstd_level, page, size, &packed) || packed > INT32_MAX) {
    return false;
  }
  uint32_t rows = col->page_rows;
  uint64_t present = col->type == VALUE_TIME ? rows : count_present(col->levels.data, 0, rows);
  PageHeader h{};
  h.type = PARQUET_PAGE_DATA;
  h.uncompressed_size = static_cast<int32_t>(size);
  h.compressed_size = static_cast<int32_t>(packed);
  h.num_values = static_cast<int32_t>(rows);
  h.encoding = PARQUET_ENCODING_PLAIN;
  h.definition_encoding = PARQUET_ENCODING_RLE;
  h.repetition_encoding = PARQUET_ENCODING_RLE;
  h.null_count = static_cast<int64_t>(rows - present);
  h.has_null_count = col->type != VALUE_TIME;
  page_min_max(col->type, col->values.data, col->values.size, &h);
  w->header.size = 0;
  if (!page_header_write(&w->header, &h) ||
      !byte_buffer_reserve(&col->pages, w->header.size + packed)) {
    return false;
  }
  byte_buffer_append(&col->pages, w->header.data, w->header.size);
  byte_buffer_append(&col->pages, page_scratch().packed.data, packed);
  ChunkSummary* s = &col->summary;
  s->values += rows;
  s->nulls += h.null_count;
  s->compressed += static_cast<int64_t>(w->header.size + packed);
  s->uncompressed += static_cast<int64_t>(w->header.size + size);
  if (h.has_min_max) {
    uint64_t min, max;
    memcpy(&min, h.min, 8), memcpy(&max, h.max, 8);
    parquet_merge_min_max(col->type, s, min, max);
  }
  w->buffered_bytes += w->header.size + packed;
  clear_open_page(w, col);
  return true;
}

}  // namespace

// ---- Rows ----

namespace {

// Whether `cell` can go into `col` now (before a full open page is encoded).
bool cell_fits(const ParquetWriter* w, const ColumnState* col, const ParquetCell* cell) {
  switch (cell->kind) {
    case PARQUET_NULL:
      return true;
    case PARQUET_NUMBER:
      return col->type == VALUE_DOUBLE;
    case PARQUET_TEXT: {
      if (col->type != VALUE_STRING || (!cell->text.data && cell->text.length)) return false;
      uint64_t held = col->page_rows == w->page_rows ? 0 : col->values.size;
      return cell->text.length <= PARQUET_MAX_PAGE_VALUE_BYTES &&
             held + 4 + cell->text.length <= PARQUET_MAX_PAGE_VALUE_BYTES &&
             utf8_valid(cell->text.data, cell->text.length);
    }
  }
  return false;
}

uint64_t cell_bytes(const ParquetCell* cell) {
  if (cell->kind == PARQUET_NUMBER) return 8;
  if (cell->kind == PARQUET_TEXT) return 4 + cell->text.length;
  return 0;
}

// Makes room in every column for one more row (encoding full pages first), `value_bytes(c)`
// bytes in value column c (from 1); false, with the rows unchanged, when memory runs out.
template <typename ValueBytes>
bool make_room(ParquetWriter* w, ValueBytes value_bytes) {
  for (uint32_t c = 0; c < w->column_count; ++c) {
    ColumnState* col = &w->columns[c];
    if (col->page_rows == w->page_rows && !encode_open_page(w, col)) return false;
    if (!byte_buffer_reserve(&col->values, c == 0 ? 8 : value_bytes(c))) return false;
    if (c != 0 && col->page_rows % 8 == 0 && !byte_buffer_reserve(&col->levels, 1)) return false;
  }
  return true;
}

// Takes a row's place in value column `col`, whose room is made: its level bit (set when the
// value is present) and `bytes` bytes of values, whose start is returned to be filled.
inline uint8_t* take_place(ParquetWriter* w, ColumnState* col, bool present, uint64_t bytes) {
  if (col->page_rows % 8 == 0) {
    col->levels.data[col->levels.size++] = 0;
    ++w->buffered_bytes;
  }
  if (present) {
    col->levels.data[col->levels.size - 1] |= static_cast<uint8_t>(1u << (col->page_rows & 7));
  }
  uint8_t* out = col->values.data + col->values.size;
  col->values.size += bytes;
  w->buffered_bytes += bytes;
  ++col->page_rows;
  return out;
}

// Adds the row's time to the time column, whose room is made.
void put_time(ParquetWriter* w, int64_t time_us) {
  ColumnState* time = &w->columns[0];
  memcpy(time->values.data + time->values.size, &time_us, 8);
  time->values.size += 8;
  ++time->page_rows;
  w->buffered_bytes += 8;
}

// Adds a cell whose room is made.
void put_cell(ParquetWriter* w, ColumnState* col, const ParquetCell* cell) {
  uint8_t* out = take_place(w, col, cell->kind != PARQUET_NULL, cell_bytes(cell));
  if (cell->kind == PARQUET_NUMBER) {
    memcpy(out, &cell->number, 8);
  } else if (cell->kind == PARQUET_TEXT) {
    uint32_t length = static_cast<uint32_t>(cell->text.length);
    memcpy(out, &length, 4);
    if (length) memcpy(out + 4, cell->text.data, length);
  }
}

// Whether the writer takes a row of `count` values now.
bool takes_rows(const ParquetWriter* w, uint32_t count) {
  return w && !w->failed && !w->finished && count == w->column_count - 1;
}

}  // namespace

bool parquet_writer_append(ParquetWriter* w, int64_t time_us, const ParquetCell* cells,
                           uint32_t count) {
  if (!takes_rows(w, count) || (count && !cells)) return false;
  for (uint32_t i = 0; i < count; ++i) {
    if (!cell_fits(w, &w->columns[i + 1], &cells[i])) return false;
  }
  if (!make_room(w, [cells](uint32_t c) { return cell_bytes(&cells[c - 1]); })) return false;
  put_time(w, time_us);
  for (uint32_t i = 0; i < count; ++i) put_cell(w, &w->columns[i + 1], &cells[i]);
  ++w->buffered_rows;
  return true;
}

bool parquet_writer_append_numbers(ParquetWriter* w, int64_t time_us, const uint8_t* numbers,
                                   uint32_t count) {
  if (!takes_rows(w, count) || !w->all_double || (count && !numbers)) return false;
  if (!make_room(w, [](uint32_t) { return uint64_t{8}; })) return false;
  put_time(w, time_us);
  for (uint32_t c = 1; c < w->column_count; ++c) {
    memcpy(take_place(w, &w->columns[c], true, 8), numbers + 8 * uint64_t{c - 1}, 8);
  }
  ++w->buffered_rows;
  return true;
}

uint64_t parquet_writer_buffered_bytes(const ParquetWriter* w) { return w ? w->buffered_bytes : 0; }
uint64_t parquet_writer_buffered_rows(const ParquetWriter* w) { return w ? w->buffered_rows : 0; }
uint64_t parquet_writer_file_size(const ParquetWriter* w) { return w ? w->file_size : 0; }
uint64_t parquet_writer_written_rows(const ParquetWriter* w) { return w ? w->written_rows : 0; }
uint32_t parquet_writer_row_groups(const ParquetWriter* w) {
  return w ? static_cast<uint32_t>(w->groups.count) : 0;
}

uint64_t parquet_writer_held_bytes(const ParquetWriter* w) {
  if (!w) return 0;
  uint64_t held = w->header.capacity;
  for (uint32_t c = 0; c < w->column_count; ++c) {
    const ColumnState& col = w->columns[c];
    held += col.values.capacity + col.levels.capacity + col.pages.capacity;
  }
  return held;
}

void parquet_writer_trim(ParquetWriter* w) {
  if (!w) return;
  for (uint32_t c = 0; c < w->column_count; ++c) {
    ColumnState* col = &w->columns[c];
    for (ByteBuffer* b : {&col->values, &col->levels, &col->pages}) {
      if (b->size == 0) byte_buffer_free(b);
    }
  }
  byte_buffer_free(&w->header);
}

// ---- Row groups ----

namespace {

bool reserve_group(ParquetWriter* w) {
  return grow_array_reserve(&w->chunks, int64_t{w->chunks.count} + w->column_count) &&
         grow_array_reserve(&w->groups, int64_t{w->groups.count} + 1);
}

}  // namespace

bool parquet_add_group(ParquetWriter* w, int64_t offset) {
  if (!reserve_group(w)) return false;
  GroupSummary g{offset, w->columns[0].summary.values, 0, 0};
  for (uint32_t c = 0; c < w->column_count; ++c) {
    ChunkSummary* s = &w->columns[c].summary;
    grow_array_push(&w->chunks, *s);
    g.compressed += s->compressed;
    g.uncompressed += s->uncompressed;
    *s = ChunkSummary{};
  }
  grow_array_push(&w->groups, g);
  w->written_rows += static_cast<uint64_t>(g.rows);
  return true;
}

bool parquet_writer_flush(ParquetWriter* w) {
  if (!w || w->failed || w->finished) return false;
  if (w->buffered_rows == 0) return true;
  // The group's summaries get their room before anything is written, so that a written group
  // is always recorded. Encoding an open page changes no row, so a failure leaves the rows
  // buffered as they were.
  if (!reserve_group(w)) return false;
  for (uint32_t c = 0; c < w->column_count; ++c) {
    ColumnState* col = &w->columns[c];
    if (col->page_rows != 0 && !encode_open_page(w, col)) return false;
  }
  int64_t offset = static_cast<int64_t>(w->file_size);
  for (uint32_t c = 0; c < w->column_count; ++c) {
    ColumnState* col = &w->columns[c];
    col->summary.offset = static_cast<int64_t>(w->file_size);
    if (!sink_write(w, col->pages.data, col->pages.size)) return false;
    col->pages.size = 0;
  }
  parquet_add_group(w, offset);
  w->buffered_rows = 0;
  w->buffered_bytes = 0;
  return true;
}

// ---- Footer ----

namespace {

// Field ids of the footer's structs.
constexpr int16_t FILE_VERSION = 1, FILE_SCHEMA = 2, FILE_NUM_ROWS = 3, FILE_ROW_GROUPS = 4,
                  FILE_KEY_VALUE = 5, FILE_CREATED_BY = 6, FILE_COLUMN_ORDERS = 7;
constexpr int16_t SCHEMA_TYPE = 1, SCHEMA_REPETITION = 3, SCHEMA_NAME = 4, SCHEMA_CHILDREN = 5,
                  SCHEMA_CONVERTED = 6, SCHEMA_LOGICAL = 10;
constexpr int16_t LOGICAL_STRING = 1, LOGICAL_TIMESTAMP = 8;
constexpr int16_t TIMESTAMP_UTC = 1, TIMESTAMP_UNIT = 2, UNIT_MICROS = 2;
constexpr int16_t GROUP_COLUMNS = 1, GROUP_BYTES = 2, GROUP_ROWS = 3, GROUP_OFFSET = 5,
                  GROUP_COMPRESSED = 6;
constexpr int16_t CHUNK_OFFSET = 2, CHUNK_META = 3;
constexpr int16_t META_TYPE = 1, META_ENCODINGS = 2, META_PATH = 3, META_CODEC = 4, META_VALUES = 5,
                  META_UNCOMPRESSED = 6, META_COMPRESSED = 7, META_DATA_OFFSET = 9,
                  META_STATISTICS = 12;
constexpr int16_t STATS_NULL_COUNT = 3, STATS_MAX_VALUE = 5, STATS_MIN_VALUE = 6;
constexpr int16_t KEY = 1, VALUE = 2, ORDER_TYPE_DEFINED = 1;

int32_t physical_type(ParquetValueType type) {
  if (type == VALUE_TIME) return PARQUET_TYPE_INT64;
  return type == VALUE_DOUBLE ? PARQUET_TYPE_DOUBLE : PARQUET_TYPE_BYTE_ARRAY;
}

void write_schema(ThriftWriter* t, const ParquetWriter* w) {
  thrift_list_begin(t, FILE_SCHEMA, THRIFT_STRUCT, w->column_count + 1);
  thrift_struct_begin(t, 0);
  thrift_binary_field(t, SCHEMA_NAME, "schema", 6);
  thrift_i32_field(t, SCHEMA_CHILDREN, static_cast<int32_t>(w->column_count));
  thrift_struct_end(t);
  for (uint32_t c = 0; c < w->column_count; ++c) {
    ParquetValueType type = w->columns[c].type;
    thrift_struct_begin(t, 0);
    thrift_i32_field(t, SCHEMA_TYPE, physical_type(type));
    thrift_i32_field(t, SCHEMA_REPETITION,
                     type == VALUE_TIME ? PARQUET_REQUIRED : PARQUET_OPTIONAL);
    thrift_binary_field(t, SCHEMA_NAME, w->names[c].data, w->names[c].length);
    if (type == VALUE_TIME) {
      thrift_i32_field(t, SCHEMA_CONVERTED, PARQUET_CONVERTED_TIMESTAMP_MICROS);
      thrift_struct_begin(t, SCHEMA_LOGICAL);
      thrift_struct_begin(t, LOGICAL_TIMESTAMP);
      thrift_bool_field(t, TIMESTAMP_UTC, true);
      thrift_struct_begin(t, TIMESTAMP_UNIT);
      thrift_struct_begin(t, UNIT_MICROS);
      thrift_struct_end(t);
      thrift_struct_end(t);
      thrift_struct_end(t);
      thrift_struct_end(t);
    } else if (type == VALUE_STRING) {
      thrift_i32_field(t, SCHEMA_CONVERTED, PARQUET_CONVERTED_UTF8);
      thrift_struct_begin(t, SCHEMA_LOGICAL);
      thrift_struct_begin(t, LOGICAL_STRING);
      thrift_struct_end(t);
      thrift_struct_end(t);
    }
    thrift_struct_end(t);
  }
}

void write_statistics(ThriftWriter* t, const ChunkSummary* s) {
  thrift_struct_begin(t, META_STATISTICS);
  thrift_i64_field(t, STATS_NULL_COUNT, s->nulls);
  if (s->has_min_max) {
    thrift_binary_field(t, STATS_MAX_VALUE, &s->max_bits, 8);
    thrift_binary_field(t, STATS_MIN_VALUE, &s->min_bits, 8);
  }
  thrift_struct_end(t);
}

void write_chunk(ThriftWriter* t, const ParquetWriter* w, uint32_t c, const ChunkSummary* s) {
  ParquetValueType type = w->columns[c].type;
  thrift_struct_begin(t, 0);
  thrift_i64_field(t, CHUNK_OFFSET, s->offset);
  thrift_struct_begin(t, CHUNK_META);
  thrift_i32_field(t, META_TYPE, physical_type(type));
  thrift_list_begin(t, META_ENCODINGS, THRIFT_I32, type == VALUE_TIME ? 1 : 2);
  thrift_i32_element(t, PARQUET_ENCODING_PLAIN);
  if (type != VALUE_TIME) thrift_i32_element(t, PARQUET_ENCODING_RLE);
  thrift_list_begin(t, META_PATH, THRIFT_BINARY, 1);
  thrift_binary_element(t, w->names[c].data, w->names[c].length);
  thrift_i32_field(t, META_CODEC, PARQUET_CODEC_ZSTD);
  thrift_i64_field(t, META_VALUES, s->values);
  thrift_i64_field(t, META_UNCOMPRESSED, s->uncompressed);
  thrift_i64_field(t, META_COMPRESSED, s->compressed);
  thrift_i64_field(t, META_DATA_OFFSET, s->offset);
  write_statistics(t, s);
  thrift_struct_end(t);
  thrift_struct_end(t);
}

void write_row_groups(ThriftWriter* t, const ParquetWriter* w) {
  thrift_list_begin(t, FILE_ROW_GROUPS, THRIFT_STRUCT, static_cast<uint32_t>(w->groups.count));
  for (int32_t g = 0; g < w->groups.count; ++g) {
    const GroupSummary& group = w->groups[g];
    thrift_struct_begin(t, 0);
    thrift_list_begin(t, GROUP_COLUMNS, THRIFT_STRUCT, w->column_count);
    for (uint32_t c = 0; c < w->column_count; ++c) {
      write_chunk(t, w, c, &w->chunks[static_cast<int32_t>(g * w->column_count + c)]);
    }
    thrift_i64_field(t, GROUP_BYTES, group.uncompressed);
    thrift_i64_field(t, GROUP_ROWS, group.rows);
    thrift_i64_field(t, GROUP_OFFSET, group.offset);
    thrift_i64_field(t, GROUP_COMPRESSED, group.compressed);
    thrift_struct_end(t);
  }
}

// The footer's FileMetaData, appended to `out`.
bool write_file_metadata(ByteBuffer* out, const ParquetWriter* w) {
  ThriftWriter t = thrift_writer(out);
  thrift_struct_begin(&t, 0);
  thrift_i32_field(&t, FILE_VERSION, 1);
  write_schema(&t, w);
  thrift_i64_field(&t, FILE_NUM_ROWS, static_cast<int64_t>(w->written_rows));
  write_row_groups(&t, w);
  if (w->metadata_count) {
    thrift_list_begin(&t, FILE_KEY_VALUE, THRIFT_STRUCT, w->metadata_count);
    for (uint32_t i = 0; i < w->metadata_count; ++i) {
      thrift_struct_begin(&t, 0);
      thrift_binary_field(&t, KEY, w->metadata[i].key.data, w->metadata[i].key.length);
      thrift_binary_field(&t, VALUE, w->metadata[i].value.data, w->metadata[i].value.length);
      thrift_struct_end(&t);
    }
  }
  static constexpr char CREATED_BY[] = "tabulon " TABULON_VERSION;
  thrift_binary_field(&t, FILE_CREATED_BY, CREATED_BY, sizeof CREATED_BY - 1);
  thrift_list_begin(&t, FILE_COLUMN_ORDERS, THRIFT_STRUCT, w->column_count);
  for (uint32_t c = 0; c < w->column_count; ++c) {
    thrift_struct_begin(&t, 0);
    thrift_struct_begin(&t, ORDER_TYPE_DEFINED);
    thrift_struct_end(&t);
    thrift_struct_end(&t);
  }
  thrift_struct_end(&t);
  return t.ok;
}

}  // namespace

bool parquet_writer_finish(ParquetWriter* w) {
  if (!parquet_writer_flush(w)) return false;
  ByteBuffer* footer = &page_scratch().page;
  footer->size = 0;
  if (!write_file_metadata(footer, w) || footer->size > UINT32_MAX) return false;
  uint32_t length = static_cast<uint32_t>(footer->size);
  if (!byte_buffer_append(footer, &length, 4) ||
      !byte_buffer_append(footer, PARQUET_MAGIC, sizeof PARQUET_MAGIC) ||
      !sink_write(w, footer->data, footer->size)) {
    return false;
  }
  w->finished = 1;
  return true;
}
